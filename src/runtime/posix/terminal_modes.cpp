#include "runtime/posix/terminal_modes.h"

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <sys/ioctl.h>
#include <termios.h>
#include <time.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <cstddef>
#include <cstdlib>
#include <cstring>

#include "runtime/console.h"

namespace {

/// A terminal behind a slow link (ssh across the world) takes a few hundred milliseconds.
constexpr int CursorReplyTimeoutMs = 1200;

// Signals that end the process by default and that nothing else here uses. Not among them:
// SIGALRM (the device's held output), SIGPIPE and SIGXFSZ (ignored, so that the write fails
// instead), the fault signals (the fault handler gives the terminal back itself), and SIGKILL
// and SIGSTOP, which cannot be caught. The real-time signals are added when installing.
constexpr int FatalSignals[] = {SIGHUP,  SIGINT,  SIGQUIT,   SIGTERM, SIGUSR1,
                                 SIGUSR2, SIGABRT, SIGXCPU,   SIGPROF, SIGVTALRM,
                                 SIGSYS,  SIGPWR,  SIGSTKFLT, SIGIO};

// State shared with the signal handlers. Each termios is complete before the flag that says
// it is in force is set, and a handler reads it only after it has seen the flag.
termios SavedModes;  ///< standard input's modes before the run took it
termios RunModes;    ///< the same with signal keys and echo off
std::atomic<int> ModesSaved{0};
std::atomic<int> ModesTaken{0};     ///< the terminal may hold RunModes
std::atomic<int> ModesReleased{0};  ///< given back on the way out: never taken again
termios QueryModes;                 ///< the modes around the cursor question
int QueryFd = -1;
std::atomic<int> QueryActive{0};
volatile sig_atomic_t Resized = 0;
static_assert(std::atomic<int>::is_always_lock_free);

/// The signals of job control that have handlers here: neither comes while the handler of
/// the other runs or while the modes are being taken.
sigset_t StopAndContinue() {
  sigset_t set;
  sigemptyset(&set);
  sigaddset(&set, SIGTSTP);
  sigaddset(&set, SIGCONT);
  return set;
}

int64_t NowMs() {
  timespec ts{};
  clock_gettime(CLOCK_MONOTONIC, &ts);
  return static_cast<int64_t>(ts.tv_sec) * 1000 + ts.tv_nsec / 1000000;
}

/// tcgetpgrp answers only for the caller's controlling terminal, so this also says that fd
/// belongs to our session.
bool InForeground(int fd) { return tcgetpgrp(fd) == getpgrp(); }

/// Sets modes only while we are in the foreground. SIGTTOU stays blocked meanwhile: should
/// the terminal change hands between the check and the change, we must not be stopped.
void SetModesInForeground(int fd, const termios& modes) {
  sigset_t ttou;
  sigemptyset(&ttou);
  sigaddset(&ttou, SIGTTOU);
  sigset_t previous;
  sigprocmask(SIG_BLOCK, &ttou, &previous);
  if (InForeground(fd)) tcsetattr(fd, TCSANOW, &modes);
  sigprocmask(SIG_SETMASK, &previous, nullptr);
}

}  // namespace

bool ParseCursorReply(const char* text, std::size_t length, int32_t& row, int32_t& col) {
  bool found = false;
  for (std::size_t start = 0; start + 1 < length; ++start) {
    if (text[start] != '\x1b' || text[start + 1] != '[') continue;
    std::size_t i = start + 2;
    int32_t numbers[2] = {0, 0};
    bool shaped = true;
    for (int k = 0; k < 2 && shaped; ++k) {
      std::size_t digits = 0;
      while (i < length && text[i] >= '0' && text[i] <= '9' && digits < 6) {
        numbers[k] = numbers[k] * 10 + (text[i] - '0');
        ++i;
        ++digits;
      }
      char expected = k == 0 ? ';' : 'R';
      shaped = digits > 0 && i < length && text[i] == expected;
      ++i;
    }
    if (shaped && numbers[0] > 0 && numbers[1] > 0) {
      row = numbers[0];
      col = numbers[1];
      found = true;
    }
  }
  return found;
}

namespace {

/// Standard input's modes as found, and the run's, read the first time they are taken.
bool ReadModesOnce() {
  if (ModesSaved.load(std::memory_order_acquire) != 0) return true;
  if (tcgetattr(STDIN_FILENO, &SavedModes) != 0) return false;
  RunModes = SavedModes;
  RunModes.c_lflag &= ~static_cast<tcflag_t>(ISIG | ECHO);
  ModesSaved.store(1, std::memory_order_release);
  return true;
}

void OnFatalSignal(int sig) {
  const int savedErrno = errno;
  RestoreTerminalInHandler();
  // The handler was one-shot: the default action is back, and it runs once this returns.
  raise(sig);
  errno = savedErrno;
}

/// Ctrl+Z is off during a run, but a stop can still be sent: the terminal goes back to the
/// shell as it was, and the process stops by the default action of the same signal.
void OnStop(int sig) {
  const int savedErrno = errno;
  GiveTerminalModesBack();
  struct sigaction standard {};
  standard.sa_handler = SIG_DFL;
  sigemptyset(&standard.sa_mask);
  struct sigaction own {};
  sigaction(sig, &standard, &own);
  raise(sig);  // pending while this handler runs; it stops the process once unblocked
  sigset_t stop;
  sigemptyset(&stop);
  sigaddset(&stop, sig);
  sigprocmask(SIG_UNBLOCK, &stop, nullptr);
  // Continued: SIGCONT's handler takes the terminal again, if it is ours, once this returns.
  sigaction(sig, &own, nullptr);
  errno = savedErrno;
}

/// Continued in the foreground, the run takes the terminal's modes again (the shell set its
/// own while we were stopped); continued in the background, it leaves them alone.
void OnContinue(int) {
  const int savedErrno = errno;
  TakeTerminalModes();
  errno = savedErrno;
}

void OnResize(int) { Resized = 1; }

void Install(int sig, void (*handler)(int), int flags, const sigset_t& mask) {
  struct sigaction previous {};
  if (sigaction(sig, nullptr, &previous) != 0) return;
  if (previous.sa_handler == SIG_IGN) return;  // whoever started us wants it ignored
  struct sigaction action {};
  action.sa_handler = handler;
  action.sa_flags = flags;
  action.sa_mask = mask;
  sigaction(sig, &action, nullptr);
}

}  // namespace

bool TerminalIsOurs(int fd) { return isatty(fd) == 1 && InForeground(fd); }

bool TerminalIsDumb() {
  const char* term = std::getenv("TERM");
  return term == nullptr || term[0] == '\0' || std::strcmp(term, "dumb") == 0;
}

bool AskCursorPosition(int fd, int32_t& row, int32_t& col) {
  if ((fcntl(fd, F_GETFL) & O_ACCMODE) != O_RDWR) return false;
  termios modes{};
  if (tcgetattr(fd, &modes) != 0) return false;
  QueryModes = modes;
  QueryFd = fd;
  QueryActive.store(1, std::memory_order_release);
  // Echo and line editing are off only while waiting for the answer. The change does not
  // flush input, and without line editing every byte typed ahead counts as waiting.
  termios quiet = modes;
  quiet.c_lflag &= ~static_cast<tcflag_t>(ECHO | ICANON);
  quiet.c_cc[VMIN] = 1;
  quiet.c_cc[VTIME] = 0;
  int waiting = 0;
  bool found = false;
  if (tcsetattr(fd, TCSANOW, &quiet) == 0 && ioctl(fd, FIONREAD, &waiting) == 0 &&
      waiting == 0 && ::write(fd, "\x1b[6n", 4) == 4) {
    char reply[32];
    std::size_t length = 0;
    const int64_t deadline = NowMs() + CursorReplyTimeoutMs;
    while (length < sizeof reply) {
      const int64_t left = deadline - NowMs();
      if (left <= 0) break;
      pollfd p{fd, POLLIN, 0};
      const int ready = poll(&p, 1, static_cast<int>(left));
      if (ready < 0 && errno == EINTR) continue;
      if (ready <= 0) break;
      // One byte at a time, so that keys typed after the answer stay for the next reader.
      const ssize_t n = ::read(fd, reply + length, 1);
      if (n < 0 && errno == EINTR) continue;
      if (n <= 0) break;
      ++length;
      if (reply[length - 1] == 'R' && ParseCursorReply(reply, length, row, col)) {
        found = true;
        break;
      }
    }
  }
  tcsetattr(fd, TCSANOW, &modes);
  QueryActive.store(0, std::memory_order_release);
  return found;
}

int OpenOwnNonBlocking(int fd) {
  // tcgetpgrp answers only for the caller's controlling terminal.
  if (tcgetpgrp(fd) == -1) return -1;
  return open("/dev/tty", O_WRONLY | O_NOCTTY | O_NONBLOCK | O_CLOEXEC);
}

void TakeTerminalModes() {
  const sigset_t jobControl = StopAndContinue();
  sigset_t previous;
  sigprocmask(SIG_BLOCK, &jobControl, &previous);
  // Released on the way out, by the end of the run or by a handler that ends the process,
  // the modes stay given back.
  if (ModesReleased.load(std::memory_order_acquire) == 0 && TerminalIsOurs(STDIN_FILENO) &&
      ReadModesOnce()) {
    // Marked before the change: a signal that comes right after it must give the modes back.
    ModesTaken.store(1, std::memory_order_release);
    // TCSANOW neither waits for output nor discards typed-ahead input.
    if (tcsetattr(STDIN_FILENO, TCSANOW, &RunModes) != 0) ModesTaken.store(0);
  }
  sigprocmask(SIG_SETMASK, &previous, nullptr);
}

void GiveTerminalModesBack() {
  if (QueryActive.exchange(0, std::memory_order_acq_rel) != 0) {
    SetModesInForeground(QueryFd, QueryModes);
  }
  // Marked as given back only once they are: a stop or a signal that ends the process, coming
  // in between, gives them back itself (twice does no harm) instead of finding nothing to do.
  if (ModesTaken.load(std::memory_order_acquire) != 0) {
    SetModesInForeground(STDIN_FILENO, SavedModes);
    ModesTaken.store(0, std::memory_order_release);
  }
}

void ReleaseTerminalModes() {
  ModesReleased.store(1, std::memory_order_release);
  GiveTerminalModesBack();
}

void InstallFatalSignalHandlers() {
  sigset_t mask;
  sigemptyset(&mask);
  for (int sig : FatalSignals) sigaddset(&mask, sig);
  for (int sig = SIGRTMIN; sig <= SIGRTMAX; ++sig) sigaddset(&mask, sig);
  // One at a time: a second fatal signal waits until the first has given the terminal back.
  for (int sig : FatalSignals) Install(sig, OnFatalSignal, SA_RESETHAND, mask);
  for (int sig = SIGRTMIN; sig <= SIGRTMAX; ++sig) Install(sig, OnFatalSignal, SA_RESETHAND, mask);
}

void InstallJobControlHandlers() {
  sigset_t none;
  sigemptyset(&none);
  Install(SIGWINCH, OnResize, SA_RESTART, none);
  if (isatty(STDIN_FILENO) != 1) return;
  const sigset_t jobControl = StopAndContinue();
  Install(SIGTSTP, OnStop, SA_RESTART, jobControl);
  Install(SIGCONT, OnContinue, SA_RESTART, jobControl);
}

int32_t TerminalColumnsIfResized(int fd) {
  if (Resized == 0) return 0;
  Resized = 0;
  winsize size{};
  if (ioctl(fd, TIOCGWINSZ, &size) != 0) return 0;
  return size.ws_col;
}
