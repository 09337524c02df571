// How a run ends when another process cuts its file short at a random moment: the real chunk
// walk and normalizer, in this process, on a file of five blocks, cut to a random length at a
// random moment of the pass. A timer, armed by the walk's size query before the pass, signals
// this thread, whose handler cuts the file through a descriptor of its own, as another
// process would, and notes how many of the pass's calls had been made by then. Prints how the
// runs ended; exits with 1 if one broke a rule: a block torn, out of order, at another place
// or two past the cut, success reported for a part, or a cut before the last write unseen.
//
//   build/bench/truncation [RUNS]     (default 1000)
#include <signal.h>
#include <time.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <random>

#include "normalize/reference_model.h"
#include "normalize/walk_runner.h"

using namespace testing_support;

namespace {

struct Race {
  timer_t timer;
  int64_t delay, length, passStart, walkEnd;
  int fd, lastWriteCall;  ///< the first call after the chunk's empty read: the last block's write begins
  bool emptyReadMade;
  volatile sig_atomic_t calls, callsBeforeCut, cutFailed;
} race;

int64_t Now() {
  return std::chrono::duration_cast<std::chrono::nanoseconds>(
             std::chrono::steady_clock::now().time_since_epoch())
      .count();
}

void Cut(int) {
  race.cutFailed = ftruncate(race.fd, race.length) != 0;
  race.callsBeforeCut = race.calls;
}

void Count() {
  race.calls = race.calls + 1;
  if (race.emptyReadMade && race.lastWriteCall == 0) race.lastWriteCall = race.calls;
}

const FileCalls Racing = {
    SystemFileCalls.open,
    [](int fd) {
      Count();
      const int64_t size = SystemFileCalls.size(fd);
      if (race.fd < 0 && race.delay >= 0) {
        race.fd = dup(fd), race.passStart = Now();
        const int64_t ns = std::max<int64_t>(race.delay, 1);  // 0 would disarm it
        const itimerspec at{{0, 0}, {ns / 1'000'000'000, ns % 1'000'000'000}};
        timer_settime(race.timer, 0, &at, nullptr);
      }
      return size;
    },
    [](int fd, void* b, std::size_t n, int64_t o) {
      Count();
      race.emptyReadMade = race.emptyReadMade || n == 0;
      return SystemFileCalls.pread(fd, b, n, o);
    },
    [](int fd, const void* b, std::size_t n, int64_t o) {
      return Count(), SystemFileCalls.pwrite(fd, b, n, o);
    },
};

/// Runs the walk with the file cut to length delay ns into the pass, or after it if the walk is
/// over by then.
WalkRun RaceOnce(const Bytes& input, int64_t delay, int64_t length) {
  race.delay = delay, race.length = length, race.fd = -1, race.lastWriteCall = 0, race.emptyReadMade = false;
  race.calls = 0;
  race.callsBeforeCut = -1;
  return RunWalk(input, Racing, [] {
    race.walkEnd = Now();
    while (race.callsBeforeCut < 0) {
    }
    close(race.fd);
  });
}

}  // namespace

int main(int argc, char** argv) {
  const int runs = argc > 1 ? std::atoi(argv[1]) : 1000;
  struct sigaction cut {};
  cut.sa_handler = Cut;
  cut.sa_flags = SA_RESTART;
  sigevent toThisThread{};
  toThisThread.sigev_notify = SIGEV_THREAD_ID;
  toThisThread.sigev_signo = SIGUSR1;
  toThisThread._sigev_un._tid = gettid();
  if ((sigaction(SIGUSR1, &cut, nullptr) | timer_create(CLOCK_MONOTONIC, &toThisThread, &race.timer)) != 0) {
    std::perror("timer");
    return 2;
  }
  const Bytes input = FiveBlockWave();
  const ModelResult model = NormalizeModel(input);
  const int blocks = static_cast<int>(model.writes.size());
  const int64_t end = model.writes.back().first + model.writes.back().second;
  // How long the pass takes here, from the size query before it to the end of the walk.
  std::vector<int64_t> spans;
  for (int i = 0; i < 9; ++i)
    RaceOnce(input, 0, input.size()), spans.push_back(race.walkEnd - race.passStart);
  std::sort(spans.begin(), spans.end());
  std::mt19937_64 rng(23);
  int stopped = 0, onePast = 0, finished = 0, lastPast = 0, broken = 0;
  int64_t mostGrown = 0;
  for (int r = 0; r < runs; ++r) {
    const int64_t delay = std::uniform_int_distribution<int64_t>(0, spans[4] * 3 / 2)(rng);
    const int64_t length = std::uniform_int_distribution<int64_t>(0, end - 1)(rng);
    const WalkRun run = RaceOnce(input, delay, length);
    // The blocks written, in order, whole; past: the last of them beyond the cut. Where the cut
    // takes away whole blocks, the file fits several counts: the highest is taken.
    const bool past = static_cast<int64_t>(run.file.size()) > length;
    int written = blocks;
    while (written >= past && run.file != AfterCut(input, model, written, length, past)) --written;
    const char* fault = race.cutFailed   ? "the cut failed"
                        : written < past ? "a block torn, out of order, at another place or two past the cut"
                        : !run.failed && written != blocks ? "success reported for a part"
                        : !run.failed && (race.lastWriteCall == 0 || race.callsBeforeCut < race.lastWriteCall)
                            ? "a cut before the last write went unseen"
                            : nullptr;
    if (fault != nullptr) {
      std::printf("cut to %lld after %lld ns: %s\n", static_cast<long long>(length),
                  static_cast<long long>(delay), fault);
      ++broken;
      continue;
    }
    ++(run.failed ? (past ? onePast : stopped) : (past ? lastPast : finished));
    mostGrown = std::max(mostGrown, static_cast<int64_t>(run.file.size()) - length);
  }
  timer_delete(race.timer);
  std::printf(
      "%d runs cut at a random moment: %d stopped at the cut and %d wrote one block past it, with status set;"
      " %d had written every block before the cut and %d wrote the last one past a cut that came between"
      " its size query and its write, with no status; a file grew by at most %lld bytes; %d broke a rule\n",
      runs, stopped, onePast, finished, lastPast, static_cast<long long>(mostGrown), broken);
  return broken == 0 ? 0 : 1;
}
