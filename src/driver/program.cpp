#include "driver/program.h"

#include <string_view>

#include "driver/chunk_walk.h"
#include "runtime/system.h"
#include "runtime/text_output.h"

namespace {

void WriteLine(std::string_view text) {
  Write_Str(0, Output, text);
  Writeln_End(Output);
}

}  // namespace

void PROGRAM() {
  WriteLine("Tolvar v1.0");
  Writeln_End(Output);
  WriteLine(" Syntax: Tolvar [Name.wav]");
  Writeln_End(Output);
  if (ParamCount() > 1) Halt(ExitStatus::WrongArguments);
  if (ParamCount() == 0) return;
  switch (MAIN()) {
    case WalkOutcome::Done:
      // Completes the progress row, or stands alone when the file held no "data" chunk.
      WriteLine(", fertig!");
      return;
    case WalkOutcome::CannotOpen:
      WriteLine(
          " Kann Datei nicht \x94"
          "ffnen!");
      Halt(ExitStatus::CannotOpen);
    case WalkOutcome::NotPcm16:
      WriteLine(" Nur 16-Bit-PCM wird unterst\x81tzt, Datei unver\x84ndert!");
      Halt(ExitStatus::NotPcm16);
    case WalkOutcome::IoFailure:
      WriteLine(" Fehler beim Lesen oder Schreiben der Datei!");
      Halt(ExitStatus::IoFailure);
  }
}
