// Runs one command on a pseudo-terminal of 80 x 24 cells, reads everything it writes to the
// terminal and throws it away, and reports the command's wall time and how much reached the
// terminal. The benchmark runs both the tool and its yardstick through it, so both pay the
// same start-up.
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

namespace {

double Now() {
  timespec ts{};
  clock_gettime(CLOCK_MONOTONIC, &ts);
  return static_cast<double>(ts.tv_sec) + static_cast<double>(ts.tv_nsec) * 1e-9;
}

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
  unsigned long long bytes = 0;
  unsigned long long reads = 0;
  for (;;) {
    const ssize_t n = read(master, buffer, sizeof buffer);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) break;  // EIO once the child and its descendants have closed the terminal
    bytes += static_cast<unsigned long long>(n);
    ++reads;
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
