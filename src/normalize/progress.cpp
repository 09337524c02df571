#include "normalize/progress.h"

#include <cstring>
#include <string_view>

#include "normalize/progress_text.h"
#include "normalize/wave_file.h"
#include "runtime/console.h"
#include "runtime/file_access.h"
#include "runtime/text_output.h"

namespace {

constexpr std::string_view Label = " Normalisiere Wave...";

/// The text last written, and where the device cursor stood after it (WhereX, WhereY) when it
/// ended on the row it began on (x -1 otherwise); the row shows it still as long as the
/// cursor has not moved.
struct ShownText {
  char text[RealTextCapacity];
  std::size_t length = 0;
  int32_t x = -1;
  int32_t y = -1;
};
ShownText LastShown;

}  // namespace

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
  // already stands, change no cell of the device. Only a write through the device moves its
  // cursor to the text's end, and Output is the device's from InitCrt, before the body runs.
  if (WhereX() == LastShown.x && WhereY() == LastShown.y &&
      text == std::string_view(LastShown.text, LastShown.length)) {
    return;
  }
  GotoXY(1, WhereY());
  const uint8_t row = WhereY();
  Write_Str(0, Output, Label);
  Write_Str(5, Output, text);
  Write_Char(0, Output, '%');
  Write_End(Output);
  // In a window of as many columns as the text or fewer it wrapped, and the cursor stands
  // in column 1 of a later row, or of the same one when the window scrolled.
  const int32_t written = static_cast<int32_t>(Label.size() + text.size() + 1);
  const bool onOneRow = WhereY() == row && WhereX() == written + 1;
  std::memcpy(LastShown.text, text.data(), text.size());
  LastShown.length = text.size();
  LastShown.x = onOneRow ? WhereX() : -1;
  LastShown.y = WhereY();
}
