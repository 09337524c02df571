// The start-up and termination frame, seen from outside: the body program runs as a child on
// a pseudo-terminal of its own (the console device needs one), with standard output on a
// pipe or on the terminal, and the test reads its report, its exit status and what its
// bodies told on standard error about the addresses the report must show.
#include <poll.h>
#include <pty.h>
#include <signal.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <termios.h>
#include <unistd.h>

#include <cstdio>
#include <cstring>
#include <filesystem>
#include <map>
#include <sstream>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "runtime/system.h"

namespace {

enum class Destination { Pipe, Terminal, ClosedPipe };

struct BodyRun {
  explicit BodyRun(std::string name) : body(std::move(name)) {}
  BodyRun& To(Destination d) { return stdoutTo = d, *this; }
  BodyRun& Args(std::vector<std::string> a) { return args = std::move(a), *this; }
  BodyRun& Depth(std::string d) { return depth = std::move(d), *this; }
  BodyRun& StackLimit(rlim_t bytes) { return stackLimit = bytes, *this; }

  std::string body;
  Destination stdoutTo = Destination::Pipe;
  std::vector<std::string> args;
  std::string depth;      ///< recursion depth of the deep bodies; empty: theirs
  rlim_t stackLimit = 0;  ///< 0: inherited
};

struct Outcome {
  int waitStatus = -1;
  std::string out;       ///< standard output: the pipe, or everything the terminal received
  std::string told;      ///< standard error
  std::string terminal;  ///< everything the terminal received
  termios modesBefore{};
  termios modesAfter{};
};

// The sanitizers' own fault handlers would catch the faults before the runtime does.
constexpr char SanitizerOptions[] =
    "ASAN_OPTIONS=handle_segv=0:handle_sigfpe=0:handle_sigbus=0:handle_sigill=0:"
    "use_sigaltstack=0:detect_stack_use_after_return=0";

Outcome RunBody(const BodyRun& run) {
  std::vector<std::string> environment;
  for (char** entry = environ; *entry != nullptr; ++entry) environment.emplace_back(*entry);
  environment.push_back(SanitizerOptions);
  environment.push_back("TOLVAR_FRAME_BODY=" + run.body);
  if (!run.depth.empty()) environment.push_back("TOLVAR_FRAME_DEPTH=" + run.depth);
  std::vector<std::string> args = {TOLVAR_FRAME_BODIES};
  args.insert(args.end(), run.args.begin(), run.args.end());
  std::vector<char*> argv, envp;
  for (auto& a : args) argv.push_back(a.data());
  for (auto& e : environment) envp.push_back(e.data());
  argv.push_back(nullptr);
  envp.push_back(nullptr);

  Outcome outcome;
  int probe = -1, probeSlave = -1;  // the modes a fresh terminal starts with
  if (openpty(&probe, &probeSlave, nullptr, nullptr, nullptr) != 0) ADD_FAILURE() << "openpty";
  tcgetattr(probeSlave, &outcome.modesBefore);
  close(probe);
  close(probeSlave);

  int outPipe[2], errPipe[2];
  if (pipe(outPipe) != 0 || pipe(errPipe) != 0) ADD_FAILURE() << "pipe";
  winsize size{24, 80, 0, 0};
  int master = -1;
  const pid_t child = forkpty(&master, nullptr, &outcome.modesBefore, &size);
  if (child == 0) {
    if (run.stdoutTo != Destination::Terminal) dup2(outPipe[1], STDOUT_FILENO);
    dup2(errPipe[1], STDERR_FILENO);
    for (const int fd : {outPipe[0], outPipe[1], errPipe[0], errPipe[1]}) close(fd);
    if (run.stackLimit != 0) {
      const rlimit limit{run.stackLimit, run.stackLimit};
      setrlimit(RLIMIT_STACK, &limit);
    }
    execve(argv[0], argv.data(), envp.data());
    _exit(127);
  }
  close(outPipe[1]);
  close(errPipe[1]);
  if (run.stdoutTo == Destination::ClosedPipe) close(outPipe[0]);
  std::string& terminal = outcome.terminal;
  std::size_t answered = 0;
  pollfd watched[] = {{master, POLLIN, 0},
                      {run.stdoutTo == Destination::ClosedPipe ? -1 : outPipe[0], POLLIN, 0},
                      {errPipe[0], POLLIN, 0}};
  std::string* sinks[] = {&terminal, &outcome.out, &outcome.told};
  // A safety net against a hung child, not a measurement.
  int idleRounds = 0;
  while (idleRounds < 600 && (watched[0].fd >= 0 || watched[1].fd >= 0 || watched[2].fd >= 0)) {
    if (poll(watched, 3, 100) == 0) {
      ++idleRounds;
      continue;
    }
    for (int i = 0; i < 3; ++i) {
      if (watched[i].fd < 0 || watched[i].revents == 0) continue;
      char chunk[4096];
      const ssize_t n = read(watched[i].fd, chunk, sizeof chunk);
      if (n > 0) {
        sinks[i]->append(chunk, static_cast<std::size_t>(n));
        continue;
      }
      if (i != 0) close(watched[i].fd);  // the terminal reads EIO once the child has gone
      watched[i].fd = -1;
    }
    // Answer the console device's cursor-position queries as a terminal would.
    for (std::size_t at; (at = terminal.find("\x1b[6n", answered)) != std::string::npos;) {
      answered = at + 4;
      if (write(master, "\x1b[1;1R", 6) != 6) ADD_FAILURE() << "cursor answer";
    }
  }
  if (idleRounds == 600) {
    kill(child, SIGKILL);
    ADD_FAILURE() << run.body << " did not end";
  }
  waitpid(child, &outcome.waitStatus, 0);
  tcgetattr(master, &outcome.modesAfter);
  close(master);
  if (run.stdoutTo == Destination::Terminal) outcome.out = terminal;
  return outcome;
}

int ExitStatusOf(const Outcome& o) {
  return WIFEXITED(o.waitStatus) ? WEXITSTATUS(o.waitStatus) : -1;
}

/// Standard output as lines, carriage returns of the terminal dropped, from the header on.
std::vector<std::string> ReportLines(const Outcome& o) {
  std::string text = o.out.substr(std::min(o.out.find("Runtime error"), o.out.size()));
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
std::map<std::string, std::string> ToldAddresses(const Outcome& o) {
  std::map<std::string, std::string> told;
  std::istringstream in(o.told);
  std::string name;
  for (unsigned long long address = 0; in >> name >> std::hex >> address;) {
    char digits[9];
    std::snprintf(digits, sizeof digits, "%08llX", address & 0xFFFFFFFFull);
    told[name] = digits;
  }
  return told;
}

TEST(RuntimeErrorReport, DivisionInNestedRoutineShowsFaultTwiceThenTheCallingFrames) {
  const Outcome o = RunBody(BodyRun("divide-in-nested-routine"));
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
  EXPECT_EQ(FrameLineCount(lines) + 3, static_cast<int>(lines.size())) << o.out;
  EXPECT_EQ(lines.back(), "");
  EXPECT_TRUE(o.out.starts_with("Runtime error ") && o.out.ends_with("\n\n")) << o.out;
  EXPECT_EQ(ExitStatusOf(o), 200);
}

TEST(RuntimeErrorReport, GoesToRedirectedStandardOutputWhileTheBodysTextStaysOnTheTerminal) {
  const Outcome o = RunBody(BodyRun("write-then-divide"));
  EXPECT_TRUE(o.out.starts_with("Runtime error 200 at 0x")) << o.out;
  EXPECT_EQ(o.out.find("text of the body"), std::string::npos);
  EXPECT_NE(o.terminal.find("text of the body"), std::string::npos) << o.terminal;
  EXPECT_EQ(o.terminal.find("Runtime error"), std::string::npos);
}

TEST(RuntimeErrorReport, NumberAbove255IsShownWholeAndExitsWithItsLowByte) {
  const Outcome o = RunBody(BodyRun("raise-258"));
  const std::vector<std::string> lines = ReportLines(o);
  ASSERT_GE(lines.size(), 4u) << o.out;
  EXPECT_TRUE(lines[0].starts_with("Runtime error 258 at 0x")) << lines[0];
  EXPECT_EQ(lines[1], "  0x" + lines[0].substr(lines[0].size() - 8));
  EXPECT_EQ(lines[2], "  0x" + ToldAddresses(o)["into-body"]);  // raised in the caller's frame
  EXPECT_EQ(ExitStatusOf(o), 2);
}

TEST(RuntimeErrorReport, PendingIoStatusSilencesTheReportButNotTheStatus) {
  const Outcome o = RunBody(BodyRun("divide-with-status-pending"));
  EXPECT_EQ(o.out, "");
  EXPECT_EQ(ExitStatusOf(o), 200);
}

TEST(RuntimeErrorReport, ClosedPipeOnStandardOutputDoesNotKillTheProcess) {
  const Outcome o = RunBody(BodyRun("divide-in-nested-routine").To(Destination::ClosedPipe));
  EXPECT_TRUE(WIFEXITED(o.waitStatus)) << "ended by signal " << WTERMSIG(o.waitStatus);
  EXPECT_EQ(ExitStatusOf(o), 200);
}

TEST(StackListing, OnATerminalStopsAfterNineFrames) {
  const Outcome o = RunBody(BodyRun("divide-after-deep-recursion").To(Destination::Terminal));
  EXPECT_EQ(FrameLineCount(ReportLines(o)), Max_Frame_Dump + 1) << o.out;
  EXPECT_EQ(ExitStatusOf(o), 200);
}

TEST(StackListing, RedirectedShowsEveryFrameUpTo257) {
  const Outcome shallow = RunBody(BodyRun("divide-after-deep-recursion").Depth("40"));
  EXPECT_GT(FrameLineCount(ReportLines(shallow)), 40);
  const Outcome deep = RunBody(BodyRun("divide-after-deep-recursion").Depth("300"));
  EXPECT_EQ(FrameLineCount(ReportLines(deep)), 257);
}

TEST(StackOverflow, UnboundedRecursionIsReportedAs202) {
  const Outcome o = RunBody(BodyRun("recurse-without-end").StackLimit(4u << 20));
  const std::vector<std::string> lines = ReportLines(o);
  ASSERT_FALSE(lines.empty()) << "no report; wait status " << o.waitStatus;
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
    const Outcome o = RunBody(BodyRun(row.body));
    EXPECT_TRUE(o.out.starts_with("Runtime error " + std::to_string(row.number) + " at 0x"))
        << row.body << ": " << o.out;
    EXPECT_EQ(ExitStatusOf(o), row.number) << row.body;
  }
}

TEST(Faults, BreakpointIsLeftToThePlatformAndTheTerminalIsGivenBack) {
  const Outcome o = RunBody(BodyRun("breakpoint").To(Destination::Terminal));
  ASSERT_TRUE(WIFSIGNALED(o.waitStatus)) << o.waitStatus;
  EXPECT_EQ(WTERMSIG(o.waitStatus), SIGTRAP);
  EXPECT_EQ(o.out.find("Runtime error"), std::string::npos);
  EXPECT_EQ(o.modesAfter.c_lflag, o.modesBefore.c_lflag);
  EXPECT_EQ(o.modesAfter.c_iflag, o.modesBefore.c_iflag);
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
    const Outcome o = RunBody(BodyRun(row.body).To(Destination::Terminal));
    EXPECT_EQ(ExitStatusOf(o), row.status) << row.body;
    EXPECT_EQ(o.out.find("Runtime error"), std::string::npos) << row.body;
    EXPECT_EQ(o.modesAfter.c_lflag, o.modesBefore.c_lflag) << row.body;
  }
}

TEST(ArgumentList, ArgumentsArriveWholeAndEntryZeroIsTheProgramPath) {
  const std::string longName(300, 'x');
  const Outcome o =
      RunBody(BodyRun("tell-arguments").Args({"my file.wav", "", longName, "a\"b'c"}));
  const std::string program = std::filesystem::canonical(TOLVAR_FRAME_BODIES).string();
  auto param = [](int i, const std::string& text) {
    return "param " + std::to_string(i) + " " + std::to_string(text.size()) + " " + text + "\n";
  };
  EXPECT_EQ(o.told, "count 4\n" + param(0, program) + param(1, "my file.wav") + param(2, "") +
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
