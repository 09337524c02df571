// The real tool on a small file, hit at random moments by signals, typed keys and resizes, many
// runs per row, each on a fresh pseudo-terminal as the foreground job of a small shell (so that
// a stop by SIGTSTP is not discarded as in an orphaned group). Whatever the moment, the
// terminal's file status flags are as found at every stop and after the run; after the run
// its modes are too (unless SIGKILL came first), the keys typed are still there for the next
// program, and the file is as it was, normalized, or normalized from its start up to some
// byte and as it was after it (the block being written may be cut), compared with the result
// of a clean run. A row fails when any of its runs does.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <pty.h>
#include <signal.h>
#include <sys/ioctl.h>
#include <sys/wait.h>
#include <termios.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstring>
#include <map>
#include <random>
#include <set>
#include <stdexcept>

#include "support/files.h"
#include "support/tool_run.h"

#ifndef RUNS_SHARE
#define RUNS_SHARE 1  // the share of each row's runs made (one in RUNS_SHARE)
#endif

using namespace testing_support;
using Clock = std::chrono::steady_clock;
using std::chrono::microseconds;

namespace {

struct Row {
  const char* name;
  int runs;
  int first = 0;              ///< a signal at a random moment after the title
  int then = 0;               ///< a second one 0-50 µs after it
  int repeat = 0;             ///< if not 0: the first again 0 to this many µs later (after the stop it
                              ///< caused), and again, until the run ends
  int keys = 1, resizes = 0;  ///< typed, and window width changes, at random moments from the start
  const char* term = "dumb";
  int blocks = 5;  ///< of the file's "data" chunk, the last one short
};

// Every stop is continued once seen.
const Row kRows[] = {
    {.name = "Term", .runs = 30, .first = SIGTERM},
    {.name = "Hup", .runs = 30, .first = SIGHUP},
    // A longer pass: more of the moments fall while output is held.
    {.name = "TermThenKill", .runs = 250, .first = SIGTERM, .then = SIGKILL, .blocks = 20},
    {.name = "TermThenStop", .runs = 250, .first = SIGTERM, .then = SIGSTOP, .blocks = 20},
    {.name = "StoppedByTstpUntilTheEnd", .runs = 30, .first = SIGTSTP, .repeat = 50},
    {.name = "StoppedUntilTheEnd", .runs = 90, .first = SIGSTOP, .repeat = 50},
    {.name = "ContinuedUntilTheEnd", .runs = 300, .first = SIGCONT, .repeat = 10},
    {.name = "Resized", .runs = 10, .resizes = 4, .term = "xterm"},
    {.name = "TypedKeys", .runs = 10, .keys = 6, .term = "xterm"},
};

/// The shell: a session of its own on the terminal, the tool as its foreground job. It tells
/// the tool's pid and ends with the tool's exit status, or 128 + the signal that ended it.
[[noreturn]] void Shell(int master, int slave, int tell, const char* path, const char* term) {
  BecomeSession(master, slave, true);
  signal(SIGTTOU, SIG_IGN);  // to hand the terminal over
  const pid_t tool = fork();
  if (tool == 0) {
    setpgid(0, 0);
    tcsetpgrp(0, getpid());
    signal(SIGTTOU, SIG_DFL);
    setenv("TERM", term, 1);
    execl(ToolPath().c_str(), "tolvar", path, nullptr);
    _exit(127);
  }
  setpgid(tool, tool);
  tcsetpgrp(0, tool);
  int status = 0;
  if (write(tell, &tool, sizeof tool) != sizeof tool) kill(tool, SIGKILL);
  while (waitpid(tool, &status, 0) < 0 && errno == EINTR) {
  }
  _exit(WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status));
}

/// Something done to a run: at a moment from its start, or from its title on the terminal.
struct Shot {
  Clock::duration at;
  bool fromText = false;
  int signal = 0, cols = 0;
  char key = 0;
};

/// One run, carried out shot by shot, and the faults seen in it.
struct Job {
  int master = -1, slave = -1, flags = 0, status = -1;
  pid_t shell = 0, tool = 0;
  termios modes{};
  std::string typed, output;
  Clock::time_point start, text, done, end;  ///< text, done: the title, ", fertig!" seen
  const Row& row;
  std::mt19937& rng;
  std::set<std::string> faults;

  Job(const Row& row, const std::string& path, std::mt19937& rng) : row(row), rng(rng) {
    const winsize size{24, 80, 0, 0};
    int tell[2];
    if (openpty(&master, &slave, nullptr, nullptr, &size) != 0 || pipe2(tell, O_CLOEXEC) != 0) {
      throw std::runtime_error("pty");
    }
    fcntl(master, F_SETFL, O_NONBLOCK);
    tcgetattr(slave, &modes);
    flags = fcntl(slave, F_GETFL);
    start = Clock::now();
    shell = fork();
    if (shell == 0) Shell(master, slave, tell[1], path.c_str(), row.term);
    close(tell[1]);
    const bool told = read(tell[0], &tool, sizeof tool) == sizeof tool && tool > 0;
    close(tell[0]);
    if (!told) throw std::runtime_error("no tool started");
  }
  ~Job() {
    if (!Ended()) {
      for (pid_t p : {tool, shell}) kill(p, SIGKILL);
      waitpid(shell, nullptr, 0);
    }
    for (int fd : {master, slave}) close(fd);
  }
  void Fault(const std::string& what) { faults.insert(what); }
  Clock::duration Moment(Clock::duration upTo) {
    return Clock::duration(std::uniform_int_distribution<Clock::rep>(0, upTo.count())(rng));
  }
  bool Ended() {
    int s = 0;
    if (status >= 0 || waitpid(shell, &s, WNOHANG) != shell) return status >= 0;
    status = WEXITSTATUS(s);
    end = Clock::now();
    return true;
  }
  bool Stopped() const {
    char stat[512] = {};
    const int fd = open(("/proc/" + std::to_string(tool) + "/stat").c_str(), O_RDONLY | O_CLOEXEC);
    const ssize_t n = fd < 0 ? 0 : read(fd, stat, sizeof stat - 1);
    if (fd >= 0) close(fd);
    const char* state = n > 0 ? std::strrchr(stat, ')') : nullptr;  // "pid (name) state ..."
    return state != nullptr && state[1] == ' ' && state[2] == 'T';
  }
  void CheckFlags(const char* when) {
    if (fcntl(slave, F_GETFL) != flags) Fault(std::string("file status flags changed ") + when);
  }
  /// Until the end: keeps the output flowing, fires each shot when due (the row's repeated
  /// signal again later), and continues every stop after checking the terminal there.
  void Drive(std::vector<Shot> shots) {
    const auto deadline = Clock::now() + std::chrono::seconds(10);
    bool stopSent = false;
    for (bool ended = false; !ended && Clock::now() < deadline;) {
      ended = Ended();
      char buf[4096];
      for (ssize_t n; (n = read(master, buf, sizeof buf)) > 0;) output.append(buf, n);
      if (text == Clock::time_point{} && output.find("Tolvar") != std::string::npos) text = Clock::now();
      if (done == Clock::time_point{} && output.find("fertig") != std::string::npos) done = Clock::now();
      if (!ended && (stopSent || shots.empty()) && Stopped()) {
        CheckFlags("at a stop");
        termios stopped{};
        tcgetattr(slave, &stopped);
        if (row.first == SIGTSTP && stopped.c_lflag != modes.c_lflag) Fault("modes kept at a stop");
        kill(tool, SIGCONT);
        stopSent = false;
      }
      const auto now = Clock::now();
      for (auto shot = shots.begin(); !ended && !stopSent && shot != shots.end();) {
        if (shot->fromText ? text == Clock::time_point{} || now < text + shot->at : now < start + shot->at) {
          ++shot;
          continue;
        }
        if (shot->signal != 0) kill(tool, shot->signal);
        stopSent = shot->signal == SIGTSTP || shot->signal == SIGSTOP;
        if (shot->key != 0 && write(master, &shot->key, 1) == 1) typed += shot->key;
        const winsize size{24, static_cast<unsigned short>(shot->cols), 0, 0};
        if (shot->cols != 0) ioctl(master, TIOCSWINSZ, &size);
        if (row.repeat != 0 && shot->signal != 0) {
          *shot = {Clock::now() - start + Moment(microseconds(row.repeat)), false, shot->signal};
        } else {
          shot = shots.erase(shot);
        }
      }
    }
    if (!Ended()) Fault("hung");
  }
};

class SignalRace : public testing::TestWithParam<Row> {};

TEST_P(SignalRace, LeavesTheTerminalTheKeysAndTheFileSound) {
  const Row& row = GetParam();
  TempDir dir;
  const std::string path = dir.file("take.wav");
  GenerateWave(path, row.blocks * 96000 + 4000);
  const Bytes original = ReadFile(path);
  std::map<std::string, int> faults;  // runs with each fault
  std::mt19937 rng(std::random_device{}());
  // Clean runs: how long a run takes, and from its title to ", fertig!" (the median of five).
  std::vector<Clock::duration> wholes, afterTitles;
  for (int i = 0; i < 5; ++i) {
    WriteFile(path, original);
    Job clean(row, path, rng);
    clean.Drive({});
    ASSERT_EQ(std::pair(clean.status, clean.faults.size()), std::pair(0, std::size_t{0}));
    wholes.push_back(clean.end - clean.start);
    afterTitles.push_back(clean.done - clean.text);
  }
  std::ranges::sort(wholes);
  std::ranges::sort(afterTitles);
  const Clock::duration whole = wholes[2], afterText = afterTitles[2];
  const Bytes normalized = ReadFile(path);
  ASSERT_NE(normalized, original);

  for (int i = 0; i < row.runs / RUNS_SHARE; ++i) {
    WriteFile(path, original);
    Job run(row, path, rng);
    std::vector<Shot> shots;
    const Clock::duration first = run.Moment(afterText);
    if (row.first != 0) shots.push_back({first, true, row.first});
    if (row.then != 0) shots.push_back({first + run.Moment(microseconds(50)), true, row.then});
    for (int k = 0; k < row.keys; ++k) shots.push_back({.at = run.Moment(whole), .key = char('a' + k)});
    for (int k = 0; k < row.resizes; ++k) shots.push_back({.at = run.Moment(whole), .cols = k % 2 ? 80 : 40});
    run.Drive(shots);

    run.CheckFlags("after the run");
    termios after{};
    tcgetattr(run.slave, &after);
    if (run.status != 128 + SIGKILL && !SameModes(after, run.modes)) run.Fault("modes kept");
    if (InputLeft(run.slave) != run.typed) run.Fault("typed keys lost");
    if (run.status != 0 && run.status != 128 + row.first && run.status != 128 + row.then) {
      run.Fault("exit status " + std::to_string(run.status));
    }
    // Ended normally, the file is normalized; ended by a signal, it is normalized up to some
    // byte and as it was after it: nothing that differs from the original comes after
    // anything that differs from the normalized file.
    const Bytes file = ReadFile(path);
    const auto unfinished = std::mismatch(file.begin(), file.end(), normalized.begin(), normalized.end());
    const auto changed = std::mismatch(file.rbegin(), file.rend(), original.rbegin(), original.rend());
    const bool torn = changed.first.base() > unfinished.first;
    if (file.size() != original.size() || torn || (run.status == 0 && file != normalized)) {
      run.Fault("file torn");
    }
    for (const std::string& what : run.faults) ++faults[what];
  }
  std::string summary;
  for (const auto& [what, count] : faults) summary += what + ": " + std::to_string(count) + " runs; ";
  EXPECT_EQ(summary, "") << "of " << row.runs / RUNS_SHARE << " runs";
}

INSTANTIATE_TEST_SUITE_P(Tool, SignalRace, testing::ValuesIn(kRows),
                         [](const auto& info) { return std::string(info.param.name); });

}  // namespace
