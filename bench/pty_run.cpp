// Runs one command on a pseudo-terminal of 80 x 24 cells, reads everything it writes to the
// terminal and throws it away, and reports the command's wall time and how much reached the
// terminal. The benchmark runs both the tool and its yardstick through it, so both pay the
// same start-up. With --drain the terminal is a slow one: it takes at most RATE bytes a
// second, as a serial console or a congested remote link does, and the command's writes wait
// once the pseudo-terminal's buffer is full.
//
//   pty_run [--drain RATE] PROGRAM [ARGS...]
//
// Standard error gets one line, "seconds=S terminal_bytes=B terminal_reads=R exit_seconds=E":
// S until the terminal has taken the last byte, E until the command ended. The exit status is
// the command's (128 + N when it died of signal N).
#include <pty.h>
#include <sys/wait.h>
#include <termios.h>
#include <time.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>

namespace {

double Now() {
  timespec ts{};
  clock_gettime(CLOCK_MONOTONIC, &ts);
  return static_cast<double>(ts.tv_sec) + static_cast<double>(ts.tv_nsec) * 1e-9;
}

pid_t Child = 0;
int Status = 0;
double Start = 0;
double ExitSeconds = -1;  ///< when the command was seen to end, from the start

/// Notes the command's end if it has come.
void LookForExit() {
  if (ExitSeconds < 0 && waitpid(Child, &Status, WNOHANG) == Child) ExitSeconds = Now() - Start;
}

/// Sleeps until `when`, looking for the command's end every millisecond.
void SleepUntil(double when) {
  for (double now = Now(); now < when; now = Now()) {
    LookForExit();
    const double step = when - now < 0.001 ? when - now : 0.001;
    const timespec ts{0, static_cast<long>(step * 1e9)};
    nanosleep(&ts, nullptr);
  }
}

}  // namespace

int main(int argc, char** argv) {
  int first = 1;
  double rate = 0;  // bytes a second; 0: as fast as they come
  if (argc > 2 && std::strcmp(argv[1], "--drain") == 0) {
    rate = std::atof(argv[2]);
    first = 3;
  }
  if (argc <= first || rate < 0) {
    std::fprintf(stderr, "usage: pty_run [--drain RATE] PROGRAM [ARGS...]\n");
    return 2;
  }
  winsize size{};
  size.ws_row = 24;
  size.ws_col = 80;
  int master = -1;
  Start = Now();
  Child = forkpty(&master, nullptr, nullptr, &size);
  if (Child < 0) {
    std::perror("forkpty");
    return 2;
  }
  if (Child == 0) {
    execvp(argv[first], argv + first);
    std::perror(argv[first]);
    _exit(127);
  }
  static char buffer[1 << 16];
  // A slow terminal takes a hundredth of a second's bytes at a time.
  std::size_t chunk = sizeof buffer;
  if (rate > 0 && rate / 100 < static_cast<double>(chunk)) {
    chunk = rate >= 100 ? static_cast<std::size_t>(rate / 100) : 1;
  }
  unsigned long long bytes = 0;
  unsigned long long reads = 0;
  for (;;) {
    const ssize_t n = read(master, buffer, chunk);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) break;  // EIO once the child and its descendants have closed the terminal
    bytes += static_cast<unsigned long long>(n);
    ++reads;
    LookForExit();
    if (rate > 0) SleepUntil(Start + static_cast<double>(bytes) / rate);
  }
  const double seconds = Now() - Start;
  if (ExitSeconds < 0) {
    while (waitpid(Child, &Status, 0) < 0 && errno == EINTR) {
    }
    ExitSeconds = Now() - Start;
  }
  close(master);
  std::fprintf(stderr, "seconds=%.6f terminal_bytes=%llu terminal_reads=%llu exit_seconds=%.6f\n", seconds,
               bytes, reads, ExitSeconds);
  if (WIFEXITED(Status)) return WEXITSTATUS(Status);
  if (WIFSIGNALED(Status)) return 128 + WTERMSIG(Status);
  return 2;
}
