#include "support/pty_screen.h"

#include <fcntl.h>
#include <poll.h>
#include <pty.h>
#include <signal.h>
#include <sys/ioctl.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <time.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>

extern "C" {
#include <vterm.h>
}

extern char** environ;

namespace testing_support {
namespace {

// The background runner's own status for "the program was stopped by the terminal".
constexpr int kStoppedStatus = 125;

void AppendUtf8(std::string& out, uint32_t c) {
  if (c < 0x80) {
    out += static_cast<char>(c);
  } else if (c < 0x800) {
    out += static_cast<char>(0xC0 | (c >> 6));
    out += static_cast<char>(0x80 | (c & 0x3F));
  } else if (c < 0x10000) {
    out += static_cast<char>(0xE0 | (c >> 12));
    out += static_cast<char>(0x80 | ((c >> 6) & 0x3F));
    out += static_cast<char>(0x80 | (c & 0x3F));
  } else {
    out += static_cast<char>(0xF0 | (c >> 18));
    out += static_cast<char>(0x80 | ((c >> 12) & 0x3F));
    out += static_cast<char>(0x80 | ((c >> 6) & 0x3F));
    out += static_cast<char>(0x80 | (c & 0x3F));
  }
}

std::string CellsToText(const VTermScreenCell* cells, int count) {
  std::string text;
  for (int col = 0; col < count; ++col) {
    const VTermScreenCell& cell = cells[col];
    if (cell.chars[0] == 0) {
      text += ' ';
      continue;
    }
    for (int k = 0; k < VTERM_MAX_CHARS_PER_CELL && cell.chars[k] != 0; ++k) AppendUtf8(text, cell.chars[k]);
    if (cell.width == 2) ++col;
  }
  while (!text.empty() && text.back() == ' ') text.pop_back();
  return text;
}

int64_t NowMs() {
  timespec ts{};
  clock_gettime(CLOCK_MONOTONIC, &ts);
  return static_cast<int64_t>(ts.tv_sec) * 1000 + ts.tv_nsec / 1000000;
}

/// The emulator: a libvterm screen with its scrollback and its replies to the program.
class Emulator {
 public:
  Emulator(int rows, int cols) : rows_(rows), cols_(cols), vt_(vterm_new(rows, cols)) {
    vterm_set_utf8(vt_, 1);
    vterm_output_set_callback(vt_, &Emulator::OnOutput, this);
    screen_ = vterm_obtain_screen(vt_);
    callbacks_.sb_pushline = &Emulator::OnPushLine;
    vterm_screen_set_callbacks(screen_, &callbacks_, this);
    vterm_screen_reset(screen_, 1);
  }
  ~Emulator() { vterm_free(vt_); }
  void Resize(int rows, int cols) {
    rows_ = rows;
    cols_ = cols;
    vterm_set_size(vt_, rows, cols);
  }
  Emulator(const Emulator&) = delete;
  Emulator& operator=(const Emulator&) = delete;

  void Feed(const std::string& bytes) {
    if (!bytes.empty()) vterm_input_write(vt_, bytes.data(), bytes.size());
  }
  /// What the emulator wants to say back (the cursor-position reply), handed over once.
  std::string TakeReplies() {
    std::string r;
    r.swap(replies_);
    return r;
  }
  std::vector<std::string> Rows() const {
    std::vector<std::string> rows;
    std::vector<VTermScreenCell> cells(static_cast<std::size_t>(cols_));
    for (int row = 0; row < rows_; ++row) {
      for (int col = 0; col < cols_; ++col) {
        vterm_screen_get_cell(screen_, VTermPos{row, col}, &cells[static_cast<std::size_t>(col)]);
      }
      rows.push_back(CellsToText(cells.data(), cols_));
    }
    return rows;
  }
  bool Shows(const std::string& text) const {
    for (const std::string& row : Rows()) {
      if (row.find(text) != std::string::npos) return true;
    }
    return false;
  }
  void Cursor(int& row, int& col) const {
    VTermPos pos{};
    vterm_state_get_cursorpos(vterm_obtain_state(vt_), &pos);
    row = pos.row;
    col = pos.col;
  }
  std::vector<std::string>& scrollback() { return scrollback_; }

 private:
  static void OnOutput(const char* s, size_t len, void* user) {
    static_cast<Emulator*>(user)->replies_.append(s, len);
  }
  static int OnPushLine(int cols, const VTermScreenCell* cells, void* user) {
    static_cast<Emulator*>(user)->scrollback_.push_back(CellsToText(cells, cols));
    return 1;
  }

  int rows_;
  int cols_;
  VTerm* vt_;
  VTermScreen* screen_ = nullptr;
  VTermScreenCallbacks callbacks_{};
  std::string replies_;
  std::vector<std::string> scrollback_;
};

/// argv/envp as C arrays, built before fork so that the child only calls exec.
struct CommandLine {
  std::vector<std::string> argStore;
  std::vector<std::string> envStore;
  std::vector<char*> argv;
  std::vector<char*> envp;

  CommandLine(const std::string& program, const std::vector<std::string>& args,
              const std::vector<std::string>& env) {
    argStore.push_back(program);
    argStore.insert(argStore.end(), args.begin(), args.end());
    std::vector<std::string> overrides = env;
    for (const char* fallback : {"LC_ALL=C.UTF-8", "TERM=xterm"}) {
      const std::string name(fallback, std::strchr(fallback, '=') + 1);
      bool given = false;
      for (const std::string& e : overrides) given |= e.rfind(name, 0) == 0 || e + "=" == name;
      if (!given) overrides.push_back(fallback);
    }
    for (char** e = environ; *e != nullptr; ++e) {
      std::string entry = *e;
      std::string name = entry.substr(0, entry.find('='));
      bool replaced = false;
      for (const std::string& o : overrides) replaced |= o.substr(0, o.find('=')) == name;
      if (!replaced) envStore.push_back(entry);
    }
    for (const std::string& o : overrides) {
      if (o.find('=') != std::string::npos) envStore.push_back(o);
    }
    for (std::string& s : argStore) argv.push_back(s.data());
    argv.push_back(nullptr);
    for (std::string& s : envStore) envp.push_back(s.data());
    envp.push_back(nullptr);
  }
};

void RedirectOrDie(const std::string& path, int flags, int target) {
  if (path.empty()) return;
  int fd = open(path.c_str(), flags, 0644);
  if (fd < 0 || dup2(fd, target) < 0) _exit(127);
  close(fd);
}

/// A pipe from the program to the test, closed on exec; both ends -1 when not asked for.
struct Pipe {
  int read = -1;
  int write = -1;
  explicit Pipe(bool wanted) {
    int fds[2];
    if (wanted && pipe2(fds, O_CLOEXEC) == 0) {
      read = fds[0];
      write = fds[1];
    }
  }
};

/// In the forked child: the pty becomes the controlling terminal and the standard handles.
[[noreturn]] void BecomeProgram(const PtyRun& run, int master, int slave, const Pipe& out,
                                const Pipe& err, const Pipe& jobPid, CommandLine& cmd) {
  setsid();
  if (run.withoutTerminal) {
    // A new session takes no controlling terminal of itself, so /dev/tty cannot be opened.
    const int devNull = open("/dev/null", O_RDONLY);
    dup2(devNull, 0);
    close(devNull);
  } else {
    ioctl(slave, TIOCSCTTY, 0);
    dup2(slave, 0);
    dup2(slave, 1);
    dup2(slave, 2);
  }
  close(master);
  if (slave > 2) close(slave);
  RedirectOrDie(run.stdinFile, O_RDONLY, 0);
  RedirectOrDie(run.stdoutFile, O_WRONLY | O_CREAT | O_TRUNC, 1);
  if (out.write >= 0) dup2(out.write, 1);
  if (err.write >= 0) dup2(err.write, 2);
  if (run.stackLimit != 0) {
    const rlimit limit{run.stackLimit, run.stackLimit};
    setrlimit(RLIMIT_STACK, &limit);
  }
  if (run.fileSizeLimit >= 0) {
    const rlimit limit{static_cast<rlim_t>(run.fileSizeLimit), static_cast<rlim_t>(run.fileSizeLimit)};
    setrlimit(RLIMIT_FSIZE, &limit);
  }
  if (!run.cwd.empty() && chdir(run.cwd.c_str()) != 0) _exit(127);
  if (run.background || run.newSession || run.resumeIn != 0) {
    // A job of a small shell: its own process group (or session), the shell's modes kept.
    termios shellModes{};
    tcgetattr(0, &shellModes);
    signal(SIGTTOU, SIG_IGN);  // the shell hands the terminal over and takes it back
    pid_t job = fork();
    if (job == 0) {
      if (run.newSession) setsid();
      else setpgid(0, 0);
      if (run.resumeIn != 0) tcsetpgrp(0, getpid());
      signal(SIGTTOU, SIG_DFL);
      execve(cmd.argv[0], cmd.argv.data(), cmd.envp.data());
      _exit(127);
    }
    if (!run.newSession) setpgid(job, job);
    if (run.resumeIn != 0) tcsetpgrp(0, job);
    ssize_t told = write(jobPid.write, &job, sizeof job);
    (void)told;
    int status = 0;
    for (bool resumed = false;; resumed = true) {
      while (waitpid(job, &status, WUNTRACED) < 0 && errno == EINTR) {
      }
      if (!WIFSTOPPED(status)) break;
      if (run.resumeIn == 0 || resumed) {
        kill(job, SIGKILL);
        waitpid(job, &status, 0);
        _exit(kStoppedStatus);
      }
      tcsetpgrp(0, getpgrp());
      tcsetattr(0, TCSANOW, &shellModes);
      if (run.resumeIn == 'f') tcsetpgrp(0, job);
      kill(-job, SIGCONT);
    }
    if (WIFSIGNALED(status)) {
      signal(WTERMSIG(status), SIG_DFL);
      kill(getpid(), WTERMSIG(status));
    }
    _exit(WIFEXITED(status) ? WEXITSTATUS(status) : 126);
  }
  execve(cmd.argv[0], cmd.argv.data(), cmd.envp.data());
  _exit(127);
}

void RecordStatus(int status, bool& exited, int& exitStatus, int& termSignal) {
  if (WIFEXITED(status)) {
    exited = true;
    exitStatus = WEXITSTATUS(status);
  } else if (WIFSIGNALED(status)) {
    termSignal = WTERMSIG(status);
  }
}

}  // namespace

std::string PtyResult::LastRow() const {
  const std::string screen = Screen();
  return screen.substr(screen.rfind('\n') + 1);
}

bool PtyResult::ModesGivenBack() const {
  return modesAfter.c_iflag == modesBefore.c_iflag && modesAfter.c_oflag == modesBefore.c_oflag &&
         modesAfter.c_cflag == modesBefore.c_cflag && modesAfter.c_lflag == modesBefore.c_lflag;
}

std::string PtyResult::Screen() const {
  std::size_t used = rows.size();
  while (used > 0 && rows[used - 1].empty()) --used;
  std::string text;
  for (std::size_t i = 0; i < used; ++i) {
    if (i > 0) text += '\n';
    text += rows[i];
  }
  return text;
}

PtyResult RunOnPty(const PtyRun& run) {
  PtyResult result;
  Emulator emulator(run.rows, run.cols);
  emulator.Feed(run.prefill);
  emulator.TakeReplies();

  winsize size{};
  size.ws_row = static_cast<unsigned short>(run.rows);
  size.ws_col = static_cast<unsigned short>(run.cols);
  int master = -1;
  int slave = -1;
  if (openpty(&master, &slave, nullptr, nullptr, &size) != 0) return result;
  fcntl(master, F_SETFD, FD_CLOEXEC);
  tcgetattr(slave, &result.modesBefore);
  if (!run.typeAhead.empty() && write(master, run.typeAhead.data(), run.typeAhead.size()) < 0) {
    return result;
  }

  CommandLine cmd(run.program, run.args, run.env);
  const Pipe out(run.stdoutToPipe || run.withoutTerminal);
  const Pipe err(run.stderrToPipe || run.withoutTerminal);
  const Pipe jobPid(run.background || run.newSession || run.resumeIn != 0);
  pid_t pid = fork();
  if (pid == 0) BecomeProgram(run, master, slave, out, err, jobPid, cmd);
  for (int fd : {out.write, err.write, jobPid.write}) {
    if (fd >= 0) close(fd);
  }
  // Signals go to the program itself, also when a shell stands between.
  pid_t program = pid;
  if (jobPid.read >= 0) {
    if (read(jobPid.read, &program, sizeof program) != sizeof program) program = pid;
    close(jobPid.read);
  }
  if (run.closeStdoutReader && out.read >= 0) close(out.read);
  pollfd watched[] = {{master, POLLIN, 0},
                      {run.closeStdoutReader ? -1 : out.read, POLLIN, 0},
                      {err.read, POLLIN, 0}};
  std::string* pipeSinks[] = {nullptr, &result.stdoutText, &result.stderrText};

  const int64_t deadline = NowMs() + int64_t{run.timeoutSeconds} * 1000;
  int status = 0;
  bool ended = false;
  char buf[65536];
  std::string lateReply;
  int64_t lateReplyDue = 0;
  int64_t signalSentMs = 0;
  bool resized = false;
  int64_t signalDue = 0;
  auto answer = [&](const std::string& reply) {
    ssize_t written = write(master, reply.data(), reply.size());
    (void)written;
  };
  // Whether anything came, or a pipe ended; the pipes' bytes go to their texts.
  auto pump = [&](int waitMs) {
    if (!lateReply.empty() && NowMs() >= lateReplyDue) {
      answer(lateReply);
      lateReply.clear();
    }
    if (poll(watched, 3, waitMs) <= 0) return false;
    bool moved = false;
    for (int i = 1; i < 3; ++i) {
      if (watched[i].fd < 0 || watched[i].revents == 0) continue;
      moved = true;
      ssize_t n = read(watched[i].fd, buf, sizeof buf);
      if (n > 0) {
        pipeSinks[i]->append(buf, static_cast<std::size_t>(n));
      } else {
        close(watched[i].fd);
        watched[i].fd = -1;
      }
    }
    if (watched[0].revents == 0) return moved;
    ssize_t n = read(master, buf, sizeof buf);
    if (n <= 0) return moved;
    std::string chunk(buf, static_cast<std::size_t>(n));
    result.output += chunk;
    emulator.Feed(chunk);
    std::string replies = emulator.TakeReplies();
    if (run.answerCursorQuery && !replies.empty()) {
      if (run.cursorReplyDelayMs > 0) {
        lateReply += replies;
        lateReplyDue = NowMs() + run.cursorReplyDelayMs;
      } else {
        answer(replies);
      }
    }
    return true;
  };
  while (!ended) {
    pump(20);
    // Modes first: typed input may let the program go on to its end.
    if (!result.modesRecorded && !run.modesTrigger.empty() && emulator.Shows(run.modesTrigger)) {
      result.modesRecorded = tcgetattr(slave, &result.modesDuring) == 0;
    }
    if (!resized && run.resizeCols > 0 && emulator.Shows(run.resizeTrigger)) {
      const winsize narrower{static_cast<unsigned short>(run.rows),
                            static_cast<unsigned short>(run.resizeCols), 0, 0};
      ioctl(master, TIOCSWINSZ, &narrower);
      emulator.Resize(run.rows, run.resizeCols);
      resized = true;
    }
    if (!result.inputSent && !run.inputTrigger.empty() && emulator.Shows(run.inputTrigger)) {
      // Asked before typing: once the keys are in, the program may finish before we look.
      siginfo_t info{};
      result.inputWhileRunning =
          waitid(P_PID, static_cast<id_t>(pid), &info, WEXITED | WNOHANG | WNOWAIT) == 0 && info.si_pid == 0;
      ssize_t written = write(master, run.inputBytes.data(), run.inputBytes.size());
      result.inputSent = written == static_cast<ssize_t>(run.inputBytes.size());
    }
    if (signalDue == 0 && !run.signalTrigger.empty() && emulator.Shows(run.signalTrigger)) {
      signalDue = NowMs() + run.signalDelayMs;
    }
    if (!result.signalSent && signalDue != 0 && NowMs() >= signalDue) {
      result.signalSent = kill(program, run.signalNumber) == 0;
      signalSentMs = NowMs();
      siginfo_t info{};
      if (result.signalSent && run.signalNumber == SIGSTOP && program == pid &&
          waitid(P_PID, static_cast<id_t>(pid), &info, WSTOPPED) == 0) {
        if (run.whileStopped) run.whileStopped();
        kill(pid, SIGCONT);
      }
    }
    if (waitpid(pid, &status, WNOHANG) == pid) {
      ended = true;
      if (result.signalSent) result.secondsAfterSignal = (NowMs() - signalSentMs) / 1000.0;
    } else if (NowMs() > deadline) {
      result.timedOut = true;
      kill(-pid, SIGKILL);
      kill(pid, SIGKILL);
      waitpid(pid, &status, 0);
      ended = true;
    }
  }
  // What the program wrote before it ended is still in the pty; the slave stays open here,
  // so reading stops when nothing more comes.
  while (pump(50) || !lateReply.empty()) {
  }
  for (int i = 1; i < 3; ++i) {
    if (watched[i].fd >= 0) close(watched[i].fd);
  }

  if (tcgetattr(slave, &result.modesAfter) != 0) tcgetattr(master, &result.modesAfter);
  termios drain = result.modesAfter;
  drain.c_lflag &= ~static_cast<tcflag_t>(ICANON);
  drain.c_cc[VMIN] = 0;
  drain.c_cc[VTIME] = 0;
  if (tcsetattr(slave, TCSANOW, &drain) == 0) {
    for (ssize_t n; (n = read(slave, buf, sizeof buf)) > 0;) result.inputLeft.append(buf, static_cast<std::size_t>(n));
  }
  close(slave);
  close(master);

  RecordStatus(status, result.exited, result.exitStatus, result.termSignal);
  if (run.background && result.exited && result.exitStatus == kStoppedStatus) {
    result.stoppedInBackground = true;
  }
  result.rows = emulator.Rows();
  result.scrollback = emulator.scrollback();
  emulator.Cursor(result.cursorRow, result.cursorCol);
  return result;
}

}  // namespace testing_support
