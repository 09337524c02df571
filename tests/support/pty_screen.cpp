#include "support/pty_screen.h"

#include <fcntl.h>
#include <poll.h>
#include <pty.h>
#include <signal.h>
#include <sys/ioctl.h>
#include <sys/resource.h>
#include <sys/syscall.h>
#include <sys/wait.h>
#include <unistd.h>
#include <vterm.h>

#include <algorithm>
#include <cctype>
#include <cerrno>
#include <chrono>
#include <cstring>
#include <fstream>
#include <string_view>
#include <utility>

namespace testing_support {
namespace {

/// In a forked child: signals as an interactive shell leaves them (none ignored or blocked), a
/// session of its own, with slave as its controlling terminal and standard handles when
/// onTerminal; master closed.
void BecomeSession(int master, int slave, bool onTerminal) {
  // Every run starts as from an interactive shell, whatever the test runner ignores or blocks
  // (nohup, for one, ignores SIGHUP, which the tool would then keep ignoring).
  for (int s = 1; s < NSIG; ++s) signal(s, SIG_DFL);
  sigset_t none;
  sigemptyset(&none);
  sigprocmask(SIG_SETMASK, &none, nullptr);
  setsid();
  if (onTerminal) {
    ioctl(slave, TIOCSCTTY, 0);
    for (int fd : {0, 1, 2}) dup2(slave, fd);
  }
  close(master);
}

/// The input, output, control and local modes of a and b are the same.
bool SameModes(const termios& a, const termios& b) {
  return a.c_iflag == b.c_iflag && a.c_oflag == b.c_oflag && a.c_cflag == b.c_cflag && a.c_lflag == b.c_lflag;
}

/// What the next program would read from the terminal whose slave side is slave: everything
/// typed and not yet read, a line begun included.
std::string InputLeft(int slave) {
  termios drain{};
  tcgetattr(slave, &drain);
  drain.c_lflag &= ~static_cast<tcflag_t>(ICANON);
  drain.c_cc[VMIN] = drain.c_cc[VTIME] = 0;
  std::string left;
  char buf[4096];
  for (ssize_t n; tcsetattr(slave, TCSANOW, &drain) == 0 && (n = read(slave, buf, sizeof buf)) > 0;) {
    left.append(buf, static_cast<std::size_t>(n));
  }
  return left;
}

/// The emulator: a libvterm screen that counts the rows scrolled off its top.
struct Emulator {
  VTerm* vt;
  VTermScreen* screen;
  VTermScreenCallbacks callbacks{};
  int scrolledOff = 0;
  Emulator(int rows, int cols) : vt(vterm_new(rows, cols)), screen(vterm_obtain_screen(vt)) {
    vterm_set_utf8(vt, 1);
    callbacks.sb_pushline = [](int, const VTermScreenCell*, void* self) {
      return ++static_cast<Emulator*>(self)->scrolledOff, 1;
    };
    vterm_screen_set_callbacks(screen, &callbacks, this);
    vterm_screen_reset(screen, 1);
  }
  ~Emulator() { vterm_free(vt); }
  void Feed(std::string_view bytes) { vterm_input_write(vt, bytes.data(), bytes.size()); }
  std::vector<std::string> Rows() const {
    int rows = 0, cols = 0;
    vterm_get_size(vt, &rows, &cols);
    std::vector<std::string> text;
    char line[4096];
    for (int row = 0; row < rows; ++row) {
      text.emplace_back(line,
                        vterm_screen_get_text(screen, line, sizeof line, VTermRect{row, row + 1, 0, cols}));
      text.back().erase(text.back().find_last_not_of(' ') + 1);
    }
    return text;
  }
};

/// A pipe from the child to the test, closed on exec; both ends -1 when not wanted.
struct Pipe {
  int read = -1, write = -1;
  explicit Pipe(bool wanted) {
    int fds[2];
    if (!wanted || pipe2(fds, O_CLOEXEC) != 0) return;
    read = fds[0];
    write = fds[1];
  }
};

[[noreturn]] void Exec(const PtyRun& run) {
  std::vector<char*> argv{const_cast<char*>(run.program.c_str())};
  for (const std::string& arg : run.args) argv.push_back(const_cast<char*>(arg.c_str()));
  argv.push_back(nullptr);
  execv(argv[0], argv.data());
  _exit(127);
}

/// A job of a small shell: tells the test the job's pid, and again after each continuation.
[[noreturn]] void RunAsJob(const PtyRun& run, int tell) {
  const char shell = static_cast<char>(std::tolower(run.job));  // 'F'/'B': as 'f'/'b', and it says so
  const bool foreground = shell == 'f' || shell == 'b';
  termios shellModes{};
  tcgetattr(0, &shellModes);
  signal(SIGTTOU, SIG_IGN);  // the shell hands the terminal over and takes it back
  const pid_t job = fork();
  if (job == 0) {
    if (run.job == 's')
      setsid();
    else
      setpgid(0, 0);
    if (foreground) tcsetpgrp(0, getpid());
    signal(SIGTTOU, SIG_DFL);
    Exec(run);
  }
  if (run.job != 's') setpgid(job, job);
  if (foreground) tcsetpgrp(0, job);
  int status = 0;
  for (bool resumed = false; write(tell, &job, sizeof job) == sizeof job; resumed = true) {
    while (waitpid(job, &status, WUNTRACED) < 0 && errno == EINTR) {
    }
    if (!WIFSTOPPED(status)) break;
    if (!foreground || resumed) {
      kill(job, SIGKILL);
      _exit(125);  // stopped for good
    }
    tcsetpgrp(0, getpgrp());
    tcsetattr(0, TCSANOW, &shellModes);
    if (shell != run.job && write(1, "\n[1]+  Stopped\n", 15) != 15) _exit(126);
    if (shell == 'f') tcsetpgrp(0, job);
    kill(-job, SIGCONT);
  }
  _exit(WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status));
}

/// In the forked child: the pty becomes the controlling terminal and the standard handles.
[[noreturn]] void BecomeProgram(const PtyRun& run, int master, int slave, int out, int err, int tell) {
  BecomeSession(master, slave, !run.withoutTerminal);
  if (slave > 2) close(slave);
  // Without a terminal the new session has none to open: input comes from /dev/null.
  const std::string input = run.withoutTerminal ? "/dev/null" : run.stdinFile;
  if (!input.empty() && dup2(open(input.c_str(), O_RDONLY | O_CLOEXEC), 0) != 0) _exit(127);
  if (out >= 0) dup2(out, 1);
  if (err >= 0) dup2(err, 2);
  // No core limit: signals that dump core leave no files behind.
  std::pair<int, long> limits[] = {
      {RLIMIT_STACK, run.stackLimit}, {RLIMIT_FSIZE, run.fileSizeLimit}, {RLIMIT_CORE, 0}};
  for (const auto& [resource, bytes] : limits) {
    const rlimit limit{static_cast<rlim_t>(bytes), static_cast<rlim_t>(bytes)};
    if (bytes >= 0) setrlimit(resource, &limit);
  }
  // The test runs one thread, so the child may change its own environment; glibc's putenv
  // removes a variable given without '='.
  setenv("LC_ALL", "C.UTF-8", 1);
  setenv("TERM", "xterm", 1);
  for (const std::string& e : run.env) putenv(const_cast<char*>(e.c_str()));
  if (run.job != 0) RunAsJob(run, tell);
  Exec(run);
}

/// The program sleeps in a write: to the terminal, as nothing else here blocks.
bool WaitsInWrite(pid_t pid) {
  std::ifstream in("/proc/" + std::to_string(pid) + "/syscall");
  std::string number;
  return pid > 0 && in >> number && number == std::to_string(SYS_write);
}

}  // namespace

std::string PtyResult::Screen() const {
  std::string text;
  for (const std::string& row : rows) text += row + '\n';
  return text.erase(text.find_last_not_of('\n') + 1);
}

bool PtyResult::ModesGivenBack() const {
  return SameModes(modesAfter, modesBefore) && flagsAfter == flagsBefore;
}

PtyResult RunOnPty(const PtyRun& run) {
  PtyResult result;
  Emulator emulator(run.rows, run.cols);
  emulator.Feed(run.prefill);
  winsize size{static_cast<unsigned short>(run.rows), static_cast<unsigned short>(run.cols), 0, 0};
  int master = -1, slave = -1;
  if (openpty(&master, &slave, nullptr, nullptr, &size) != 0) return result;
  tcgetattr(slave, &result.modesBefore);
  result.flagsBefore = fcntl(slave, F_GETFL);
  const Pipe out(run.pipes || run.withoutTerminal), err(run.pipes || run.withoutTerminal), tell(run.job != 0);
  const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(run.timeoutSeconds);
  pid_t pid = 0, program = 0;
  std::size_t next = 0;
  bool reading = true;
  auto lastStep = std::chrono::steady_clock::now();
  auto ready = [&](const Step& s) {
    if (std::chrono::steady_clock::now() < lastStep + std::chrono::milliseconds(s.afterMs)) return false;
    const std::string& when = s.when;
    if (when.empty()) return true;
    if (when == kBlocked) return WaitsInWrite(program);
    return std::ranges::any_of(emulator.Rows(),
                               [&](const auto& row) { return row.find(when) != std::string::npos; });
  };
  auto act = [&] {
    for (; next < run.steps.size() && ready(run.steps[next]); ++next) {
      const Step& s = run.steps[next];
      lastStep = std::chrono::steady_clock::now();
      tcgetattr(slave, &result.modesAtStep.emplace_back());
      if (s.stopReading || s.resumeReading) reading = s.resumeReading;
      if (s.cols > 0) {
        size.ws_col = static_cast<unsigned short>(s.cols);
        ioctl(master, TIOCSWINSZ, &size);
        vterm_set_size(emulator.vt, run.rows, s.cols);
      }
      // The line discipline takes typed keys in its own time: wait until Ctrl+S holds the
      // output, and before the start until the keys are in.
      pollfd slaveOut{slave, POLLOUT, 0}, typed{slave, POLLIN, 0}, continued{tell.read, POLLIN, 0};
      if (!s.type.empty() && write(master, s.type.data(), s.type.size()) > 0 && s.type.ends_with('\x13')) {
        while (poll(&slaveOut, 1, 0) == 1 && std::chrono::steady_clock::now() < deadline) usleep(1000);
      } else if (!s.type.empty() && program == 0) {
        poll(&typed, 1, 5000);
      }
      // A stopped 'f'/'b' job is continued by the shell, which then tells its pid again.
      if (s.signal == 0 || program == 0 || kill(program, s.signal) != 0) continue;
      if ((s.signal == SIGTSTP || s.signal == SIGSTOP) && std::strchr("fbFB", run.job) != nullptr &&
          poll(&continued, 1, 30000) == 1 && read(tell.read, &program, sizeof program) != sizeof program) {
        program = pid;
      }
    }
  };
  act();
  pid = fork();
  if (pid == 0) BecomeProgram(run, master, slave, out.write, err.write, tell.write);
  for (int fd : {out.write, err.write, tell.write}) close(fd);
  program = pid;  // signals go to the program itself, also when a shell stands between
  if (tell.read >= 0 && read(tell.read, &program, sizeof program) != sizeof program) program = pid;
  if (run.closeStdoutReader) close(out.read);
  pollfd watched[] = {
      {master, POLLIN, 0}, {run.closeStdoutReader ? -1 : out.read, POLLIN, 0}, {err.read, POLLIN, 0}};
  std::string* sinks[] = {&result.output, &result.stdoutText, &result.stderrText};
  char buf[65536];
  auto pump = [&](int waitMs) {  // whether anything came or a pipe ended
    watched[0].fd = reading ? master : -1;
    if (poll(watched, 3, waitMs) <= 0) return false;
    for (int i = 0; i < 3; ++i) {
      const ssize_t n =
          watched[i].fd < 0 || watched[i].revents == 0 ? 0 : read(watched[i].fd, buf, sizeof buf);
      if (n > 0) sinks[i]->append(buf, static_cast<std::size_t>(n));
      if (n > 0 && i == 0) emulator.Feed({buf, static_cast<std::size_t>(n)});
      if (n <= 0 && i > 0 && watched[i].revents != 0) close(std::exchange(watched[i].fd, -1));
    }
    return true;
  };
  int status = 0;
  for (; waitpid(pid, &status, WNOHANG) != pid; act()) {
    pump(20);
    if (std::chrono::steady_clock::now() > deadline) {
      result.timedOut = true;
      kill(-pid, SIGKILL);
      waitpid(pid, &status, 0);
      break;
    }
  }
  // What the program wrote before its end may still be in the pty; the slave stays open
  // here, so reading stops when nothing more comes.
  reading = true;
  while (pump(50)) {
  }
  tcgetattr(slave, &result.modesAfter);
  result.flagsAfter = fcntl(slave, F_GETFL);
  result.inputLeft = InputLeft(slave);
  for (int fd : {watched[1].fd, watched[2].fd, tell.read, slave, master}) close(fd);
  result.exited = WIFEXITED(status);
  result.exitStatus = result.exited ? WEXITSTATUS(status) : -1;
  result.termSignal = WIFSIGNALED(status) ? WTERMSIG(status) : 0;
  result.rows = emulator.Rows();
  result.scrolledOff = emulator.scrolledOff;
  VTermPos cursor{};
  vterm_state_get_cursorpos(vterm_obtain_state(emulator.vt), &cursor);
  result.cursorRow = cursor.row, result.cursorCol = cursor.col;
  return result;
}

}  // namespace testing_support
