#include "normalize/progress.h"

#include "normalize/wave_file.h"
#include "runtime/console.h"
#include "runtime/file_access.h"
#include "runtime/text_output.h"

void PROGRESS() {
  GotoXY(1, WhereY());
  const int64_t position = FilePos(F);
  const int64_t size = FileSize(F);
  // With an I/O failure latched both counts read 0 and nothing would be shown anyway;
  // 0 / 0 is not worth computing.
  if (InOutRes != 0 || size <= 0) return;
  const long double done = static_cast<long double>(position) / static_cast<long double>(size);
  Write_Str(0, Output, " Normalisiere Wave...");
  Write_Float(RealTypeExtended, 1, 5, Output, done * 100.0L);
  Write_Char(0, Output, '%');
  Write_End(Output);
}
