// Runs one command on a pseudo-terminal of 80 x 24 cells, reads everything it writes to the
// terminal and throws it away, answers the cursor-position query as a terminal would, and
// reports the command's wall time and how much reached the terminal. The benchmark runs both
// the tool and its yardstick through it, so both pay the same start-up.
//
//   pty_run PROGRAM [ARGS...]
//
// Standard error gets one line, "seconds=S terminal_bytes=B terminal_reads=R"; the exit
// status is the command's (128 + N when it died of signal N).
#include <pty.h>
#include <sys/wait.h>
#include <termios.h>
#include <time.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstring>

namespace {

double Now() {
  timespec ts{};
  clock_gettime(CLOCK_MONOTONIC, &ts);
  return static_cast<double>(ts.tv_sec) + static_cast<double>(ts.tv_nsec) * 1e-9;
}

/// Watches the stream for ESC [ 6 n across read boundaries.
struct QueryScanner {
  int matched = 0;
  bool Feed(char c) {
    static constexpr char kQuery[] = "\x1b[6n";
    if (c == kQuery[matched]) {
      if (++matched == 4) {
        matched = 0;
        return true;
      }
    } else {
      matched = c == kQuery[0] ? 1 : 0;
    }
    return false;
  }
};

}  // namespace

int main(int argc, char** argv) {
  if (argc < 2) {
    std::fprintf(stderr, "usage: pty_run PROGRAM [ARGS...]\n");
    return 2;
  }
  winsize size{};
  size.ws_row = 24;
  size.ws_col = 80;
  int master = -1;
  const double start = Now();
  const pid_t child = forkpty(&master, nullptr, nullptr, &size);
  if (child < 0) {
    std::perror("forkpty");
    return 2;
  }
  if (child == 0) {
    execvp(argv[1], argv + 1);
    std::perror(argv[1]);
    _exit(127);
  }
  static char buffer[1 << 16];
  QueryScanner scanner;
  unsigned long long bytes = 0;
  unsigned long long reads = 0;
  for (;;) {
    const ssize_t n = read(master, buffer, sizeof buffer);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) break;  // EIO once the child and its descendants have closed the terminal
    bytes += static_cast<unsigned long long>(n);
    ++reads;
    for (ssize_t i = 0; i < n; ++i) {
      if (scanner.Feed(buffer[i])) {
        // A terminal whose cursor stands at the start of its last row.
        static constexpr char kReply[] = "\x1b[24;1R";
        if (write(master, kReply, sizeof kReply - 1) < 0) break;
      }
    }
  }
  int status = 0;
  while (waitpid(child, &status, 0) < 0 && errno == EINTR) {
  }
  const double seconds = Now() - start;
  close(master);
  std::fprintf(stderr, "seconds=%.6f terminal_bytes=%llu terminal_reads=%llu\n", seconds, bytes,
               reads);
  if (WIFEXITED(status)) return WEXITSTATUS(status);
  if (WIFSIGNALED(status)) return 128 + WTERMSIG(status);
  return 2;
}
