// The start-up and termination frame, seen from outside: the body program runs on a
// pseudo-terminal (the console device needs one), with standard output on a pipe or on the
// terminal, and the test reads its report, its exit status and what its bodies told on
// standard error about the addresses the report must show.
#include <signal.h>

#include <algorithm>
#include <cstring>
#include <string>
#include <utility>

#include <gtest/gtest.h>

#include "runtime/system.h"
#include "support/pty_screen.h"

using namespace testing_support;

enum class To { Pipe, Terminal, ClosedPipe };

// Frame lines of a listing long enough to reach its bound: on a terminal, and redirected.
constexpr int TerminalFrames = Max_Frame_Dump + 1;
constexpr int RedirectedFrames = 257;
constexpr long SmallStack = 4 << 20;  // bytes

TEST(Frame, EveryWayToEndGivesItsStatusReportAndFrameListing) {
  // status: the exit status, a negative value: ended by that signal; report: the report's first
  // line starts so, "" no report at all; frames: frame lines in the listing, -1 not counted.
  const struct {
    const char* body;
    To to;
    int status;
    const char* report;
    int frames = -1, depth = 40;
    long stackLimit = -1;
  } table[] = {
      {"return", To::Terminal, 0, ""},
      {"halt", To::Terminal, 0, ""},
      {"halt-cannot-open", To::Terminal, 3, ""},
      {"raise-258", To::Pipe, 2, "Runtime error 258 at 0x"},  // shown whole, status mod 256
      // Not killed by SIGPIPE when nothing reads the pipe.
      {"divide-with-status-pending", To::Pipe, 200, ""},
      {"divide-in-nested-routine", To::ClosedPipe, 200, ""},
      {"write-then-divide", To::Pipe, 200, "Runtime error 200 at 0x"},  // not on the terminal
      {"extended-divide-by-zero", To::Pipe, 200, "Runtime error 200 at 0x"},
      {"double-divide-by-zero", To::Pipe, 200, "Runtime error 200 at 0x"},
      {"extended-overflow", To::Pipe, 205, "Runtime error 205 at 0x"},
      {"extended-zero-by-zero", To::Pipe, 207, "Runtime error 207 at 0x"},
      {"read-unmapped-address", To::Pipe, 216, "Runtime error 216 at 0x"},
      {"undefined-instruction", To::Pipe, 217, "Runtime error 217 at 0x"},
      {"single-step", To::Pipe, 217, "Runtime error 217 at 0x"},
      {"read-beyond-mapped-file", To::Pipe, 217, "Runtime error 217 at 0x"},
      {"breakpoint", To::Terminal, -SIGTRAP, ""},  // left to the platform
      {"divide-after-deep-recursion", To::Terminal, 200, "Runtime error 200", TerminalFrames},
      {"divide-after-deep-recursion", To::Pipe, 200, "Runtime error 200", RedirectedFrames, 300},
      {"recurse-without-end", To::Pipe, 202, "Runtime error 202 at 0x", RedirectedFrames, 0, SmallStack},
      {"store-beyond-stack-limit", To::Pipe, 202, "Runtime error 202 at 0x", -1, 0, SmallStack},
  };
  for (const auto& row : table) {
    // The sanitizers' own fault handlers would catch the faults before the runtime does.
    const PtyResult o = RunOnPty({.program = TOLVAR_FRAME_BODIES,
                                  .env = {"TOLVAR_FRAME_DEPTH=" + std::to_string(row.depth),
                                          "ASAN_OPTIONS=handle_segv=0:handle_sigfpe=0:handle_sigbus=0:"
                                          "handle_sigill=0:use_sigaltstack=0:detect_stack_use_after_return=0",
                                          "TOLVAR_FRAME_BODY=" + std::string(row.body),
                                          // between the stack's top and the start-up frame
                                          "TOLVAR_FRAME_PADDING=" + std::string(120 << 10, 'x')},
                                  .pipes = row.to != To::Terminal,
                                  .closeStdoutReader = row.to == To::ClosedPipe,
                                  .stackLimit = row.stackLimit});
    const int ended = o.exited ? o.exitStatus : -o.termSignal;
    EXPECT_EQ(std::pair(o.timedOut, ended), std::pair(false, row.status)) << row.body;
    // Standard output, from the pipe or the terminal, from the report's header on; the
    // terminal's carriage returns dropped.
    std::string report = row.to == To::Terminal ? o.output : o.stdoutText;
    report.erase(0, std::min(report.find("Runtime error"), report.size()));
    std::erase(report, '\r');
    int frames = -1;  // every "  0x" line but the address line after the header
    for (size_t at = 0; (at = report.find("\n  0x", at)) != std::string::npos; ++at) ++frames;
    EXPECT_EQ(row.frames < 0 ? -1 : frames, row.frames) << row.body;
    const bool asExpected = row.report[0] == '\0'
                                ? row.to == To::ClosedPipe || report.empty()
                                : report.starts_with(row.report) && report.ends_with("\n\n");
    EXPECT_TRUE(asExpected) << row.body << ": " << report;
    // After the header the fault address again, then the calling frames; a body that knows
    // its frames told them on standard error: from the header on, or from the caller on.
    const std::size_t headerEnd = report.find('\n') + 1;
    const std::string header = report.substr(0, headerEnd);
    const std::string addressLine = report.substr(headerEnd, report.find('\n', headerEnd) + 1 - headerEnd);
    if (const std::size_t at = header.find(" at 0x"); at != std::string::npos) {
      EXPECT_EQ(addressLine, "  0x" + header.substr(at + std::strlen(" at 0x"), 8) + "\n") << row.body;
    }
    const std::string told =
        o.stderrText.starts_with("Runtime") ? o.stderrText : header + addressLine + o.stderrText;
    EXPECT_TRUE(o.stderrText.empty() || report.empty() || report.starts_with(told))
        << row.body << ": " << report << "told: " << o.stderrText;
    // The terminal gets its modes back; the report never reaches the device.
    const bool reportOffTheDevice = o.output.find("Runtime error") == std::string::npos;
    EXPECT_TRUE(row.to == To::Terminal ? o.ModesGivenBack() : reportOffTheDevice) << row.body;
  }
}
