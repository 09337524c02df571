// A stand-in program body for the console tests: it runs the real start-up and writes to
// Output what its arguments ask, one statement per argument:
//   w:TEXT  write TEXT             l:TEXT  write TEXT and a line end
//   g:X,Y   GotoXY(X, Y)           r       GotoXY(1, WhereY), as the progress row does
//   h:TEXT  write TEXT less than a send interval after the statement before began, which went
//           out at once (as the first does), so that TEXT is held; else halt with status 3.
//           SIGTERM waits meanwhile.
//   wait    pause until a signal ends the run (30 s at most)
//   e:N     raise runtime error N
//   p       write ParamStr(0) and a line end to StdOut
//   x:N     write the 32 bytes from 32 * N on and a line end; the ones that move the cursor
//           (7, 8, 10, 13) as blanks
#include <signal.h>
#include <time.h>

#include <chrono>
#include <cstdlib>
#include <string>

#include "runtime/console.h"
#include "runtime/posix/held_output.h"
#include "runtime/system.h"
#include "runtime/text_output.h"

namespace {

uint8_t Number(std::string_view s) { return static_cast<uint8_t>(std::atoi(std::string(s).c_str())); }

using Clock = std::chrono::steady_clock;  // the clock held output keeps its time by

void WriteHeld(std::string_view text, Clock::time_point previousStart) {
  sigset_t term;
  sigemptyset(&term);
  sigaddset(&term, SIGTERM);
  sigprocmask(SIG_BLOCK, &term, nullptr);
  Write_Str(0, Output, text);
  Write_End(Output);
  if (Clock::now() - previousStart >= std::chrono::nanoseconds(SendIntervalNs)) Halt(3);
  sigprocmask(SIG_UNBLOCK, &term, nullptr);
}

void RunScript() {
  Clock::time_point previousStart;
  for (int32_t i = 1; i <= ParamCount(); ++i) {
    const Clock::time_point start = Clock::now();
    const std::string_view op = ParamStr(i), arg = op.size() > 2 ? op.substr(2) : "";
    if (op[0] == 'h') WriteHeld(arg, previousStart);
    if (op == "wait") {
      for (timespec left{30, 0}; nanosleep(&left, &left) != 0;) {
      }  // resumed after a signal that is caught
    } else if (op[0] == 'w' || op[0] == 'l') {
      Write_Str(0, Output, arg);
    } else if (op[0] == 'x') {
      for (int byte = Number(arg) * 32, end = byte + 32; byte < end; ++byte) {
        Write_Char(0, Output,
                   static_cast<char>(byte == 7 || byte == 8 || byte == 10 || byte == 13 ? ' ' : byte));
      }
    }
    if (op[0] == 'g') GotoXY(Number(arg), Number(arg.substr(arg.find(',') + 1)));
    if (op[0] == 'r') GotoXY(1, WhereY());
    if (op == "p") {
      Write_Str(0, StdOut, ParamStr(0));
      Writeln_End(StdOut);
    }
    if (op[0] == 'e') HandleError(static_cast<uint16_t>(std::atoi(std::string(arg).c_str())));
    if (op.starts_with("w:")) Write_End(Output);
    if (op[0] == 'l' || op[0] == 'x') Writeln_End(Output);
    previousStart = start;
  }
}

}  // namespace

int main(int argc, char** argv) { System_Start(argc, argv, RunScript); }
