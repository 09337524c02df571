#include "driver/program.h"

#include "driver/chunk_walk.h"
#include "runtime/system.h"
#include "runtime/text_output.h"

void PROGRAM() {
  Write_Str(0, Output, "Tolvar v1.0");
  Writeln_End(Output);
  Writeln_End(Output);
  Write_Str(0, Output, " Syntax: Tolvar [Name.wav]");
  Writeln_End(Output);
  Writeln_End(Output);
  if (ParamCount() == 1) {
    MAIN();
  } else if (ParamCount() > 1) {
    Halt(ExitStatus::WrongArguments);
  }
}
