#include "normalize/progress.h"

#include <cstring>

#include "normalize/wave_file.h"
#include "runtime/console.h"
#include "runtime/file_access.h"
#include "runtime/text_output.h"

namespace {

constexpr std::string_view Label = " Normalisiere Wave...";

// The percentage of a block changes its text only about every 11 blocks of a 1 GiB file,
// and a text already on the screen need not be written again. The text is a pure function
// of the two counts, and it never falls as the position grows (the quotient and the product
// are rounded monotonically, and so is the conversion to one decimal), so a range of
// positions whose first and last give the same text gives it throughout.

/// The last text worked out, and the positions of the same size known to give it.
struct KnownText {
  int64_t size = 0;
  int64_t from = 0;
  int64_t to = -1;
  char text[RealTextCapacity];
  std::size_t length = 0;
};
KnownText LastWorkedOut;

std::size_t FullText(int64_t position, int64_t size, char* out) {
  const long double done = static_cast<long double>(position) / static_cast<long double>(size);
  return Str_Real(5, 1, done * 100.0L, RealTypeExtended, out);
}

/// Tenths shown by a text of the form "ddd.d" with leading blanks, or -1 for any other.
int64_t ShownTenths(std::string_view text) {
  int64_t tenths = 0;
  int digits = 0;
  for (std::size_t i = 0; i < text.size(); ++i) {
    const char c = text[i];
    if (c == ' ' && digits == 0) continue;
    if (c == '.' && i + 2 == text.size()) continue;
    if (c < '0' || c > '9') return -1;
    tenths = tenths * 10 + (c - '0');
    ++digits;
  }
  return digits >= 2 && text[text.size() - 2] == '.' ? tenths : -1;
}

/// The last position before the text of `tenths` could give way to the next one: the exact
/// fraction reaches (tenths + 0.5) / 1000 of the file at ceil((2 tenths + 1) size / 2000);
/// a margin keeps clear of where the rounded computation may already round up.
int64_t LastPositionBelowNextText(int64_t tenths, int64_t size) {
  const int64_t halves = 2 * tenths + 1;
  const int64_t first = (halves * (size / 2000)) + (halves * (size % 2000) + 1999) / 2000;
  return first - 2 - (size >> 40);
}

void Remember(int64_t position, int64_t size) {
  LastWorkedOut.size = size;
  LastWorkedOut.from = position;
  LastWorkedOut.to = position;
  LastWorkedOut.length = FullText(position, size, LastWorkedOut.text);
  const int64_t tenths = ShownTenths(std::string_view(LastWorkedOut.text, LastWorkedOut.length));
  // Up to 100.0 %, and sizes whose products stay within 64 bits.
  if (tenths < 0 || tenths > 1000 || size > (int64_t{1} << 52)) return;
  const int64_t last = LastPositionBelowNextText(tenths, size);
  if (last <= position) return;
  char there[RealTextCapacity];
  const std::size_t length = FullText(last, size, there);
  if (std::string_view(there, length) == std::string_view(LastWorkedOut.text, LastWorkedOut.length)) {
    LastWorkedOut.to = last;
  }
}

/// The text last written, and where the device cursor stood after it when it ended on the row
/// it began on (x -1 otherwise); the row shows it still as long as the cursor has not moved.
struct ShownText {
  char text[RealTextCapacity];
  std::size_t length = 0;
  int32_t x = -1;
  int32_t y = -1;
};
ShownText LastShown;

}  // namespace

std::string_view ProgressText(int64_t position, int64_t size) {
  if (size != LastWorkedOut.size || position < LastWorkedOut.from || position > LastWorkedOut.to) {
    Remember(position, size);
  }
  return std::string_view(LastWorkedOut.text, LastWorkedOut.length);
}

void PROGRESS() {
  const int64_t position = FilePos(F);
  // The size asked at the chunk's start or before a write: the pass asks no more for this.
  const int64_t size = KnownFileSize(F);
  // With an I/O failure latched both counts read 0 and nothing would be shown anyway;
  // 0 / 0 is not worth computing.
  if (InOutRes != 0 || size <= 0) {
    GotoXY(1, WhereY());
    return;
  }
  const std::string_view text = ProgressText(position, size);
  // The same characters written over themselves from column 1, ending where the cursor
  // already stands, change no cell of the device.
  if (Output.FlushOp == CrtWrite && CursorSaveX == LastShown.x && CursorSaveY == LastShown.y &&
      text == std::string_view(LastShown.text, LastShown.length)) {
    return;
  }
  GotoXY(1, WhereY());
  const int32_t row = CursorSaveY;
  Write_Str(0, Output, Label);
  Write_Str(5, Output, text);
  Write_Char(0, Output, '%');
  Write_End(Output);
  const bool onOneRow = CursorSaveY == row &&
                        CursorSaveX == static_cast<int32_t>(Label.size() + text.size() + 1);
  std::memcpy(LastShown.text, text.data(), text.size());
  LastShown.length = text.size();
  LastShown.x = onOneRow ? CursorSaveX : -1;
  LastShown.y = CursorSaveY;
}
