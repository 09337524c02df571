// A stand-in program body for the console tests: it runs the real start-up and writes to
// Output what its arguments ask, one statement per argument:
//   w:TEXT   write TEXT             l:TEXT   write TEXT and a line end
//   g:X,Y    GotoXY(X, Y)           r        GotoXY(1, WhereY), as the progress row does
//   sleep:MS pause                  wait     pause until a signal ends the run (30 s at most)
//   key      read standard input up to a line end (30 s at most)
//   error:N  raise runtime error N
// TEXT understands \r \n \b \a \t \e \\ and \xHH.
#include <errno.h>
#include <poll.h>
#include <time.h>
#include <unistd.h>

#include <cstdlib>
#include <string>
#include <string_view>

#include "runtime/console.h"
#include "runtime/system.h"
#include "runtime/text_output.h"

namespace {

int HexValue(char c) {
  if (c >= '0' && c <= '9') return c - '0';
  if (c >= 'a' && c <= 'f') return c - 'a' + 10;
  if (c >= 'A' && c <= 'F') return c - 'A' + 10;
  return 0;
}

std::string Unescape(std::string_view s) {
  std::string out;
  for (std::size_t i = 0; i < s.size(); ++i) {
    if (s[i] != '\\' || i + 1 == s.size()) {
      out += s[i];
      continue;
    }
    char c = s[++i];
    switch (c) {
      case 'r': out += '\r'; break;
      case 'n': out += '\n'; break;
      case 'b': out += '\b'; break;
      case 'a': out += '\a'; break;
      case 't': out += '\t'; break;
      case 'e': out += '\x1b'; break;
      case 'x':
        if (i + 2 < s.size()) {
          out += static_cast<char>(HexValue(s[i + 1]) * 16 + HexValue(s[i + 2]));
          i += 2;
        }
        break;
      default: out += c;
    }
  }
  return out;
}

void Pause(long ms) {
  timespec ts{ms / 1000, (ms % 1000) * 1000000};
  nanosleep(&ts, nullptr);
}

void ReadLine() {
  char c = 0;
  pollfd p{STDIN_FILENO, POLLIN, 0};
  // The device's own alarm (held output) may interrupt the wait; it goes on.
  for (int ready; c != '\n';) {
    ready = poll(&p, 1, 30000);
    if (ready < 0 && errno == EINTR) continue;
    if (ready <= 0 || read(STDIN_FILENO, &c, 1) != 1) break;
  }
}

int Number(std::string_view s) { return std::atoi(std::string(s).c_str()); }

void RunScript() {
  for (int32_t i = 1; i <= ParamCount(); ++i) {
    std::string_view op = ParamStr(i);
    if (op.starts_with("w:")) {
      Write_Str(0, Output, Unescape(op.substr(2)));
      Write_End(Output);
    } else if (op.starts_with("l:")) {
      Write_Str(0, Output, Unescape(op.substr(2)));
      Writeln_End(Output);
    } else if (op.starts_with("g:")) {
      std::string_view xy = op.substr(2);
      std::size_t comma = xy.find(',');
      GotoXY(static_cast<uint8_t>(Number(xy.substr(0, comma))),
             static_cast<uint8_t>(Number(xy.substr(comma + 1))));
    } else if (op == "r") {
      GotoXY(1, WhereY());
    } else if (op.starts_with("sleep:")) {
      Pause(Number(op.substr(6)));
    } else if (op == "wait") {
      for (int k = 0; k < 300; ++k) Pause(100);
    } else if (op == "key") {
      ReadLine();
    } else if (op.starts_with("error:")) {
      HandleError(static_cast<uint16_t>(Number(op.substr(6))));
    }
  }
}

}  // namespace

int main(int argc, char** argv) { System_Start(argc, argv, RunScript); }
