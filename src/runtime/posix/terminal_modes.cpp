#include "runtime/posix/terminal_modes.h"

#include <fcntl.h>
#include <signal.h>
#include <sys/ioctl.h>
#include <termios.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <cstdlib>
#include <cstring>

namespace {

// State shared with the signal handlers. Each termios is complete before the flag that says
// it is in force is set, and a handler reads it only after it has seen the flag.
termios SavedModes;  ///< standard input's modes before the run took it
termios RunModes;    ///< the same with signal keys and echo off
std::atomic<int> ModesSaved{0};
std::atomic<int> ModesTaken{0};     ///< the terminal may hold RunModes
std::atomic<int> ModesReleased{0};  ///< given back on the way out: never taken again
volatile sig_atomic_t Continued = 0;
// The width of the terminal's window as the resize handler last saw it, and whether it has
// changed since TerminalChangeSinceLastCall last asked.
volatile sig_atomic_t WatchedTerminal = -1;
volatile sig_atomic_t SeenColumns = 0;
volatile sig_atomic_t WidthChanged = 0;
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

/// tcgetpgrp answers only for the caller's controlling terminal, so this also says that fd
/// belongs to our session.
bool InForeground(int fd) { return tcgetpgrp(fd) == getpgrp(); }

/// fd is a terminal, the controlling terminal of this process's session, and this process's
/// group is its foreground group. Async-signal-safe.
bool TerminalIsOurs(int fd) { return isatty(fd) == 1 && InForeground(fd); }

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

/// The terminal still shows the run's change: signal keys and echo as the run set them. When
/// someone else has set them since (another run that started before us and has ended, a shell
/// that took the terminal back), the modes we found are not the terminal's to get back.
bool StillRunModes(int fd) {
  constexpr tcflag_t Changed = ISIG | ECHO;
  termios now{};
  return tcgetattr(fd, &now) == 0 && (now.c_lflag & Changed) == (RunModes.c_lflag & Changed);
}

/// Standard input's modes as found, and the run's, read the first time they are taken.
bool ReadModesOnce() {
  if (ModesSaved.load(std::memory_order_acquire) != 0) return true;
  if (tcgetattr(STDIN_FILENO, &SavedModes) != 0) return false;
  RunModes = SavedModes;
  RunModes.c_lflag &= ~static_cast<tcflag_t>(ISIG | ECHO);
  ModesSaved.store(1, std::memory_order_release);
  return true;
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
  Continued = 1;
  TakeTerminalModes();
  errno = savedErrno;
}

/// A window narrowed and widened again between two sends has cut the lines it showed: each
/// change of width counts, and a SIGWINCH that changed nothing does not.
void OnResize(int) {
  const int savedErrno = errno;
  winsize size{};
  if (ioctl(WatchedTerminal, TIOCGWINSZ, &size) == 0 && size.ws_col > 0 && size.ws_col != SeenColumns) {
    SeenColumns = size.ws_col;
    WidthChanged = 1;
  }
  errno = savedErrno;
}

}  // namespace

void InstallUnlessIgnored(int sig, void (*handler)(int), int flags, const sigset_t& mask) {
  struct sigaction previous {};
  if (sigaction(sig, nullptr, &previous) != 0) return;
  if (previous.sa_handler == SIG_IGN) return;  // whoever started us wants it ignored
  struct sigaction action {};
  action.sa_handler = handler;
  action.sa_flags = flags;
  action.sa_mask = mask;
  sigaction(sig, &action, nullptr);
}

bool TerminalIsDumb() {
  const char* term = std::getenv("TERM");
  return term == nullptr || term[0] == '\0' || std::strcmp(term, "dumb") == 0;
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
  if (ModesReleased.load(std::memory_order_acquire) == 0 && TerminalIsOurs(STDIN_FILENO) && ReadModesOnce()) {
    // Marked before the change: a signal that comes right after it must give the modes back.
    ModesTaken.store(1, std::memory_order_release);
    // TCSANOW neither waits for output nor discards typed-ahead input.
    if (tcsetattr(STDIN_FILENO, TCSANOW, &RunModes) != 0) ModesTaken.store(0);
  }
  sigprocmask(SIG_SETMASK, &previous, nullptr);
}

void GiveTerminalModesBack() {
  // Marked as given back only once they are: a stop or a signal that ends the process, coming
  // in between, gives them back itself (twice does no harm) instead of finding nothing to do.
  if (ModesTaken.load(std::memory_order_acquire) != 0) {
    if (StillRunModes(STDIN_FILENO)) SetModesInForeground(STDIN_FILENO, SavedModes);
    ModesTaken.store(0, std::memory_order_release);
  }
}

void ReleaseTerminalModes() {
  ModesReleased.store(1, std::memory_order_release);
  GiveTerminalModesBack();
}

void InstallJobControlHandlers(int terminal, int32_t columns) {
  WatchedTerminal = terminal;
  SeenColumns = columns;
  sigset_t none;
  sigemptyset(&none);
  InstallUnlessIgnored(SIGWINCH, OnResize, SA_RESTART, none);
  const sigset_t jobControl = StopAndContinue();
  InstallUnlessIgnored(SIGCONT, OnContinue, SA_RESTART, jobControl);
  if (isatty(STDIN_FILENO) != 1) return;
  InstallUnlessIgnored(SIGTSTP, OnStop, SA_RESTART, jobControl);
}

TerminalChange TerminalChangeSinceLastCall() {
  // Each flag is cleared before what it guards is read: a signal in between sets it again.
  TerminalChange change;
  if (Continued != 0) {
    Continued = 0;
    change.continued = true;
  }
  if (WidthChanged != 0) {
    WidthChanged = 0;
    change.columns = SeenColumns;
  }
  return change;
}
