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
