// The start-up and termination frame, seen from outside: the body program runs on a
// pseudo-terminal (the console device needs one), with standard output on a pipe or on the
// terminal, and the test reads its report, its exit status and what its bodies told on
// standard error about the addresses the report must show.
#include <signal.h>

#include <algorithm>
#include <string>
#include <utility>

#include <gtest/gtest.h>

#include "support/pty_screen.h"

using namespace testing_support;

enum class To { Pipe, Terminal, ClosedPipe };

TEST(Frame, EveryWayToEndGivesItsStatusReportAndFrameListing) {
  // status: the exit status, a negative value: ended by that signal; report: the report's first
  // line starts so, "" no report at all; frames: frame lines in the listing, -1 not counted.
  const struct { const char* body; To to; int status; const char* report; int frames = -1, depth = 40;
                 long stackLimit = -1; } table[] = {
      {"return", To::Terminal, 0, ""}, {"halt", To::Terminal, 0, ""}, {"halt-cannot-open", To::Terminal, 3, ""},
      {"raise-258", To::Pipe, 2, "Runtime error 258 at 0x"},  // shown whole, status mod 256
      // Not killed by SIGPIPE when nothing reads the pipe.
      {"divide-with-status-pending", To::Pipe, 200, ""}, {"divide-in-nested-routine", To::ClosedPipe, 200, ""},
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
      {"divide-after-deep-recursion", To::Terminal, 200, "Runtime error 200", 9},
      {"divide-after-deep-recursion", To::Pipe, 200, "Runtime error 200", 257, 300},
      {"recurse-without-end", To::Pipe, 202, "Runtime error 202 at 0x", 257, 0, 4u << 20},
      {"store-beyond-stack-limit", To::Pipe, 202, "Runtime error 202 at 0x", -1, 0, 4u << 20},
  };
  for (const auto& row : table) {
    // The sanitizers' own fault handlers would catch the faults before the runtime does.
    const PtyResult o = RunOnPty({.program = TOLVAR_FRAME_BODIES,
                                  .env = {"TOLVAR_FRAME_DEPTH=" + std::to_string(row.depth),
                                          "ASAN_OPTIONS=handle_segv=0:handle_sigfpe=0:handle_sigbus=0:handle_sigill=0:"
                                          "use_sigaltstack=0:detect_stack_use_after_return=0",
                                          "TOLVAR_FRAME_BODY=" + std::string(row.body),
                                          // between the stack's top and the start-up frame
                                          "TOLVAR_FRAME_PADDING=" + std::string(120 << 10, 'x')},
                                  .pipes = row.to != To::Terminal, .closeStdoutReader = row.to == To::ClosedPipe,
                                  .stackLimit = row.stackLimit});
    EXPECT_EQ(std::pair(o.timedOut, o.exited ? o.exitStatus : -o.termSignal), std::pair(false, row.status)) << row.body;
    // Standard output, from the pipe or the terminal, from the report's header on; the
    // terminal's carriage returns dropped.
    std::string report = row.to == To::Terminal ? o.output : o.stdoutText;
    report.erase(0, std::min(report.find("Runtime error"), report.size()));
    std::erase(report, '\r');
    int frames = -1;  // every "  0x" line but the address line after the header
    for (size_t at = report.find("\n  0x"); at != std::string::npos; at = report.find("\n  0x", at + 1)) ++frames;
    EXPECT_EQ(row.frames < 0 ? -1 : frames, row.frames) << row.body;
    const bool asExpected = row.report[0] == '\0' ? row.to == To::ClosedPipe || report.empty()
                                                  : report.starts_with(row.report) && report.ends_with("\n\n");
    EXPECT_TRUE(asExpected) << row.body << ": " << report;
    // After the header the fault address again, then the calling frames; a body that knows
    // its frames told them on standard error: from the header on, or from the caller on.
    if (report.find(" at 0x") == 17) { EXPECT_EQ(report.substr(32, 13), "  0x" + report.substr(23, 8) + "\n") << row.body; }
    const std::string told = o.stderrText.starts_with("Runtime") ? o.stderrText : report.substr(0, 45) + o.stderrText;
    EXPECT_TRUE(o.stderrText.empty() || report.empty() || report.starts_with(told))
        << row.body << ": " << report << "told: " << o.stderrText;
    // The terminal gets its modes back; the report never reaches the device.
    EXPECT_TRUE(row.to == To::Terminal ? o.ModesGivenBack() : o.output.find("Runtime error") == std::string::npos)
        << row.body;
  }
}
