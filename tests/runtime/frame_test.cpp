// The start-up and termination frame, seen from outside: the body program runs on a
// pseudo-terminal (the console device needs one), with standard output on a pipe or on the
// terminal, and the test reads its report, its exit status and what its bodies told on
// standard error about the addresses the report must show.
#include <signal.h>

#include <cstdio>
#include <filesystem>
#include <map>
#include <sstream>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "runtime/system.h"
#include "support/pty_screen.h"

namespace {

using testing_support::PtyResult;
using testing_support::PtyRun;

enum class Destination { Pipe, Terminal, ClosedPipe };

// The sanitizers' own fault handlers would catch the faults before the runtime does.
constexpr char SanitizerOptions[] =
    "ASAN_OPTIONS=handle_segv=0:handle_sigfpe=0:handle_sigbus=0:handle_sigill=0:"
    "use_sigaltstack=0:detect_stack_use_after_return=0";

/// Runs the named body; stdoutText holds standard output, from the pipe or the terminal.
PtyResult RunBody(const std::string& body, Destination to = Destination::Pipe, PtyRun run = {}) {
  run.program = TOLVAR_FRAME_BODIES;
  run.env.insert(run.env.end(), {SanitizerOptions, "TOLVAR_FRAME_BODY=" + body});
  run.stdoutToPipe = to != Destination::Terminal;
  run.closeStdoutReader = to == Destination::ClosedPipe;
  run.stderrToPipe = true;
  PtyResult r = testing_support::RunOnPty(run);
  EXPECT_FALSE(r.timedOut) << body << " did not end";
  if (to == Destination::Terminal) r.stdoutText = r.output;
  return r;
}

int ExitStatusOf(const PtyResult& o) { return o.exited ? o.exitStatus : -1; }

/// Standard output as lines, carriage returns of the terminal dropped, from the header on.
std::vector<std::string> ReportLines(const PtyResult& o) {
  const std::string& out = o.stdoutText;
  std::string text = out.substr(std::min(out.find("Runtime error"), out.size()));
  std::erase(text, '\r');
  std::vector<std::string> lines;
  std::istringstream in(text);
  for (std::string line; std::getline(in, line);) lines.push_back(line);
  return lines;
}

/// "  0x" and 8 upper-case hexadecimal digits.
bool IsFrameLine(const std::string& line) {
  return line.size() == 12 && line.starts_with("  0x") &&
         line.find_first_not_of("0123456789ABCDEF", 4) == std::string::npos;
}

int FrameLineCount(const std::vector<std::string>& lines) {
  int count = 0;
  for (std::size_t i = 2; i < lines.size() && IsFrameLine(lines[i]); ++i) ++count;
  return count;
}

/// The "<name> <hex>" lines a body wrote, as the 8 digits the report must show.
std::map<std::string, std::string> ToldAddresses(const PtyResult& o) {
  std::map<std::string, std::string> told;
  std::istringstream in(o.stderrText);
  std::string name;
  for (unsigned long long address = 0; in >> name >> std::hex >> address;) {
    char digits[9];
    std::snprintf(digits, sizeof digits, "%08llX", address & 0xFFFFFFFFull);
    told[name] = digits;
  }
  return told;
}

TEST(RuntimeErrorReport, DivisionInNestedRoutineShowsFaultTwiceThenTheCallingFrames) {
  const PtyResult o = RunBody("divide-in-nested-routine");
  auto told = ToldAddresses(o);
  const std::vector<std::string> lines = ReportLines(o);
  const std::vector<std::string> expectedStart = {
      "Runtime error 200 at 0x" + told["fault"],
      "  0x" + told["fault"],
      "  0x" + told["into-intermediate"],
      "  0x" + told["into-body"],
      "  0x" + told["into-entry"],
  };
  ASSERT_GE(lines.size(), expectedStart.size() + 1);
  EXPECT_EQ(std::vector<std::string>(lines.begin(), lines.begin() + 5), expectedStart);
  EXPECT_EQ(FrameLineCount(lines) + 3, static_cast<int>(lines.size())) << o.stdoutText;
  EXPECT_EQ(lines.back(), "");
  EXPECT_TRUE(o.stdoutText.starts_with("Runtime error ") && o.stdoutText.ends_with("\n\n")) << o.stdoutText;
  EXPECT_EQ(ExitStatusOf(o), 200);
}

TEST(RuntimeErrorReport, GoesToRedirectedStandardOutputWhileTheBodysTextStaysOnTheTerminal) {
  const PtyResult o = RunBody("write-then-divide");
  EXPECT_TRUE(o.stdoutText.starts_with("Runtime error 200 at 0x")) << o.stdoutText;
  EXPECT_EQ(o.stdoutText.find("text of the body"), std::string::npos);
  EXPECT_NE(o.output.find("text of the body"), std::string::npos) << o.output;
  EXPECT_EQ(o.output.find("Runtime error"), std::string::npos);
}

TEST(RuntimeErrorReport, NumberAbove255IsShownWholeAndExitsWithItsLowByte) {
  const PtyResult o = RunBody("raise-258");
  const std::vector<std::string> lines = ReportLines(o);
  ASSERT_GE(lines.size(), 4u) << o.stdoutText;
  EXPECT_TRUE(lines[0].starts_with("Runtime error 258 at 0x")) << lines[0];
  EXPECT_EQ(lines[1], "  0x" + lines[0].substr(lines[0].size() - 8));
  EXPECT_EQ(lines[2], "  0x" + ToldAddresses(o)["into-body"]);  // raised in the caller's frame
  EXPECT_EQ(ExitStatusOf(o), 2);
}

TEST(RuntimeErrorReport, PendingIoStatusSilencesTheReportButNotTheStatus) {
  const PtyResult o = RunBody("divide-with-status-pending");
  EXPECT_EQ(o.stdoutText, "");
  EXPECT_EQ(ExitStatusOf(o), 200);
}

TEST(RuntimeErrorReport, ClosedPipeOnStandardOutputDoesNotKillTheProcess) {
  const PtyResult o = RunBody("divide-in-nested-routine", Destination::ClosedPipe);
  EXPECT_TRUE(o.exited) << "ended by signal " << o.termSignal;
  EXPECT_EQ(ExitStatusOf(o), 200);
}

TEST(StackListing, OnATerminalStopsAfterNineFrames) {
  const PtyResult o = RunBody("divide-after-deep-recursion", Destination::Terminal);
  EXPECT_EQ(FrameLineCount(ReportLines(o)), Max_Frame_Dump + 1) << o.stdoutText;
  EXPECT_EQ(ExitStatusOf(o), 200);
}

TEST(StackListing, RedirectedShowsEveryFrameUpTo257) {
  PtyRun shallowRun, deepRun;
  shallowRun.env = {"TOLVAR_FRAME_DEPTH=40"};
  deepRun.env = {"TOLVAR_FRAME_DEPTH=300"};
  const PtyResult shallow = RunBody("divide-after-deep-recursion", Destination::Pipe, shallowRun);
  EXPECT_GT(FrameLineCount(ReportLines(shallow)), 40);
  const PtyResult deep = RunBody("divide-after-deep-recursion", Destination::Pipe, deepRun);
  EXPECT_EQ(FrameLineCount(ReportLines(deep)), 257);
}

TEST(StackOverflow, UnboundedRecursionIsReportedAs202) {
  PtyRun run;
  run.stackLimit = 4u << 20;
  const PtyResult o = RunBody("recurse-without-end", Destination::Pipe, run);
  const std::vector<std::string> lines = ReportLines(o);
  ASSERT_FALSE(lines.empty()) << "no report; signal " << o.termSignal;
  EXPECT_TRUE(lines[0].starts_with("Runtime error 202 at 0x")) << lines[0];
  EXPECT_EQ(FrameLineCount(lines), 257);
  EXPECT_EQ(ExitStatusOf(o), 202);
}

TEST(Faults, EachKindOfFaultGivesItsRuntimeError) {
  const struct {
    const char* body;
    int number;
  } table[] = {
      // body                       runtime error
      {"extended-divide-by-zero",   200},
      {"double-divide-by-zero",     200},
      {"extended-overflow",         205},
      {"extended-zero-by-zero",     207},
      {"read-unmapped-address",     216},
      {"undefined-instruction",     217},
      {"single-step",               217},
      {"read-beyond-mapped-file",   217},
  };
  for (const auto& row : table) {
    const PtyResult o = RunBody(row.body);
    EXPECT_TRUE(o.stdoutText.starts_with("Runtime error " + std::to_string(row.number) + " at 0x"))
        << row.body << ": " << o.stdoutText;
    EXPECT_EQ(ExitStatusOf(o), row.number) << row.body;
  }
}

TEST(Faults, BreakpointIsLeftToThePlatformAndTheTerminalIsGivenBack) {
  const PtyResult o = RunBody("breakpoint", Destination::Terminal);
  EXPECT_EQ(o.termSignal, SIGTRAP);
  EXPECT_EQ(o.stdoutText.find("Runtime error"), std::string::npos);
  EXPECT_TRUE(o.ModesGivenBack());
}

TEST(Termination, EveryOrdinaryEndGivesItsStatusWithoutReport) {
  const struct {
    const char* body;
    int status;
  } table[] = {
      {"return",           0},
      {"halt",             0},
      {"halt-cannot-open", 3},
  };
  for (const auto& row : table) {
    const PtyResult o = RunBody(row.body, Destination::Terminal);
    EXPECT_EQ(ExitStatusOf(o), row.status) << row.body;
    EXPECT_EQ(o.stdoutText.find("Runtime error"), std::string::npos) << row.body;
    EXPECT_TRUE(o.ModesGivenBack()) << row.body;
  }
}

TEST(ArgumentList, ArgumentsArriveWholeAndEntryZeroIsTheProgramPath) {
  const std::string longName(300, 'x');
  PtyRun run;
  run.args = {"my file.wav", "", longName, "a\"b'c"};
  const PtyResult o = RunBody("tell-arguments", Destination::Pipe, run);
  const std::string program = std::filesystem::canonical(TOLVAR_FRAME_BODIES).string();
  auto param = [](int i, const std::string& text) {
    return "param " + std::to_string(i) + " " + std::to_string(text.size()) + " " + text + "\n";
  };
  EXPECT_EQ(o.stderrText, "count 4\n" + param(0, program) + param(1, "my file.wav") + param(2, "") +
                        param(3, longName) + param(4, "a\"b'c") + param(5, ""));
}

TEST(HexStr, LowThirtyTwoBitsAsEightUpperCaseDigits) {
  const struct {
    uint64_t value;
    const char* text;
  } table[] = {
      {0x0,                "00000000"},
      {0xABCDEF,           "00ABCDEF"},
      {0xFFFFFFFF,         "FFFFFFFF"},
      {0x123456789ABCDEF0, "9ABCDEF0"},
  };
  for (const auto& row : table) {
    const auto digits = HexStr(row.value);
    EXPECT_EQ(std::string(digits.begin(), digits.end()), row.text);
  }
}

}  // namespace
