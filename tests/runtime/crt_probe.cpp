// A stand-in program body for the console tests: it runs the real start-up and writes to
// Output what its arguments ask, one statement per argument:
//   w:TEXT  write TEXT             l:TEXT  write TEXT and a line end
//   g:X,Y   GotoXY(X, Y)           r       GotoXY(1, WhereY), as the progress row does
//   wait    pause until a signal ends the run (30 s at most)
//   error:N raise runtime error N
//   x:N     write the 32 bytes from 32 * N on and a line end; the ones that move the cursor
//           (7, 8, 10, 13) as blanks
#include <time.h>

#include <cstdlib>
#include <string>
#include <string_view>

#include "runtime/console.h"
#include "runtime/system.h"
#include "runtime/text_output.h"

namespace {

int Number(std::string_view s) { return std::atoi(std::string(s).c_str()); }

void RunScript() {
  for (int32_t i = 1; i <= ParamCount(); ++i) {
    const std::string_view op = ParamStr(i);
    if (op.starts_with("w:") || op.starts_with("l:")) {
      Write_Str(0, Output, op.substr(2));
      if (op[0] == 'l') Writeln_End(Output);
      else Write_End(Output);
    } else if (op.starts_with("g:")) {
      const std::size_t comma = op.find(',');
      GotoXY(static_cast<uint8_t>(Number(op.substr(2, comma - 2))), static_cast<uint8_t>(Number(op.substr(comma + 1))));
    } else if (op.starts_with("x:")) {
      for (int byte = Number(op.substr(2)) * 32, end = byte + 32; byte < end; ++byte) {
        Write_Char(0, Output, static_cast<char>(byte == 7 || byte == 8 || byte == 10 || byte == 13 ? ' ' : byte));
      }
      Writeln_End(Output);
    } else if (op == "r") {
      GotoXY(1, WhereY());
    } else if (op == "wait") {
      const timespec tenth{0, 100000000};
      for (int k = 0; k < 300; ++k) nanosleep(&tenth, nullptr);
    } else if (op.starts_with("error:")) {
      HandleError(static_cast<uint16_t>(Number(op.substr(6))));
    }
  }
}

}  // namespace

int main(int argc, char** argv) { System_Start(argc, argv, RunScript); }
