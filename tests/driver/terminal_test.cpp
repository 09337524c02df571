// The built tool on a real pseudo-terminal, one row per way of running it: the command line,
// the file, the terminal's size and start, what a user or shell does meanwhile, and the screen,
// modes, file and exit status afterwards.
#include <gtest/gtest.h>

#include <signal.h>

#include <algorithm>
#include <tuple>

#include "support/files.h"
#include "support/tool_run.h"

using namespace testing_support;

namespace {

const std::string kFile = "<file>";  // stands for the generated file's path in args
const std::string kTool = "<tool>";  // and the tool's
const std::string kTitle = "Tolvar v1.0\n\n Syntax: Tolvar [Name.wav]";
const std::string kFinish = " Normalisiere Wave...100.0%, fertig!";
const std::string kDone = kTitle + "\n\n" + kFinish;
const std::string kRow5(5, '\n');
// The same 20 columns wide.
const std::string kNarrowTitle = "Tolvar v1.0\n\n Syntax: Tolvar [Nam\ne.wav]";
const std::string kNarrowFinish = " Normalisiere Wave..\n.100.0%, fertig!";

Bytes Tone(std::size_t count) {
  std::vector<int16_t> s(count);
  for (std::size_t i = 0; i < count; ++i) s[i] = static_cast<int16_t>((i % 200) * 40 - 4000);
  return CanonicalWave(s);
}

Bytes Wave() { return Tone(150000); }  // five progress texts

/// The wave with a chunk after its "data" chunk, or with only a "fmt " chunk (and a "data"
/// chunk when data) when bits are given.
Bytes WithChunk(const char* id, const Bytes& body, uint16_t bits = 0) {
  Bytes wave = bits == 0 ? Wave() : RiffHeader(4);
  if (bits != 0) PutChunk(wave, "fmt ", FmtBody(1, 2, 44100, bits));
  if (!body.empty()) PutChunk(wave, id, body);
  FixRiffSize(wave);
  return wave;
}

struct Row {
  std::string name;
  std::vector<std::string> args = {kFile};
  Bytes (*file)() = Wave;
  PtyRun run = {};             // the start; steps: what happens during the run
  std::string screen = kDone;  // "?": not checked
  int status = 0;              // the exit status, or minus the signal that ended the run
  std::string modes = "";      // one letter per step: 'x' signal keys off (the tool's), 'o' on, '.' either
  bool changes = true;         // the file is normalized
  std::string absent = "";     // bytes the output must not hold
  std::string inputLeft = "";  // what the next program reads
  int cursorRow = -1;          // with column 0; -1: not checked
  std::string stderrText = "";
  // With screen "?": the last rows show finish, and at most stray rows lie between them and
  // the title's four, those scrolled off the top included.
  std::string finish = "";
  int stray = 0;
};

const Step kHeld{.type = "\x13"};                        // Ctrl+S before the start: the first write waits
const Step kReleased{.when = kBlocked, .type = "\x11"};  // Ctrl+Q once the tool waits to write
const Step kHeldAgain{.type = "\x13", .afterMs = 5};     // Ctrl+S after a moment's output
/// The signal sent once the tool waits to write.
Step Sent(int sig) { return {.when = kBlocked, .signal = sig}; }
const std::string kQuestion = "\x1b[6n";  // where is the cursor? Never asked: it costs typed keys

/// The window resized to each width in turn while the tool writes, after the title is out.
/// Output is held after each send, so the next one waits: per width, one send lands at the
/// width it was made for, the next after the resize that followed it, and the one after that
/// is made for the new width.
std::vector<Step> Resized(const std::vector<int>& widths) {
  std::vector<Step> steps = {kHeld, kReleased, kHeldAgain};
  for (int cols : widths) {
    Step resized = kReleased;
    resized.cols = cols;
    steps.insert(steps.end(), {kReleased, kHeldAgain, resized, kHeldAgain});
  }
  steps.push_back(kReleased);
  return steps;
}

/// A "data" chunk of 16 bytes, count times: a run that takes its time (each chunk costs the
/// tool a few system calls; 300000 take about a second), so that holding its output paces it.
Bytes TinyChunks(int count) {
  Bytes wave = RiffHeader(4), body = SampleBytes({-1000, 2000, -3000, 4000, -5000, 6000, -7000, 8000});
  PutChunk(wave, "fmt ", FmtBody(1, 2, 44100, 16));
  for (int i = 0; i < count; ++i) PutChunk(wave, "data", body);
  FixRiffSize(wave);
  return wave;
}

std::vector<int> TenTimesNarrowedAndWidened() {
  std::vector<int> widths;
  for (int i = 0; i < 10; ++i) widths.insert(widths.end(), {20, 80});
  return widths;
}

/// Narrowed once, then sent sig four times while the tool writes: a resize that changed nothing,
/// or a continue without a stop.
std::vector<Step> NarrowedThenSignalled(int sig) {
  std::vector<Step> steps = Resized({20});
  Step signalled = kReleased;
  signalled.signal = sig;
  for (int i = 0; i < 4; ++i) steps.insert(steps.end() - 1, {signalled, kHeldAgain});
  return steps;
}

/// Narrowed and widened again while the terminal holds the output: no send comes between.
std::vector<Step> NarrowedAndWidenedUnseen() {
  return {kHeld,
          kReleased,
          {.when = " Normalisiere", .type = "\x13"},
          {.when = kBlocked, .cols = 20},
          {.cols = 80, .afterMs = 20},
          kReleased};
}

std::vector<Row> Rows() {
  // One row a line or two, as a table reads best.
  // clang-format off
  std::vector<Row> rows = {
      {.name = "NoArgument", .args = {}, .screen = kTitle, .changes = false, .cursorRow = 4},
      {.name = "TwoArguments", .args = {kFile, kFile}, .screen = kTitle, .status = 2, .changes = false},
      {.name = "NameWithBlanks", .absent = kQuestion, .cursorRow = 5},
      {.name = "EmptyName", .args = {""}, .screen = kTitle + "\n\n Kann Datei nicht öffnen!", .status = 3,
       .changes = false},
      {.name = "NoDataChunk", .file = [] { return WithChunk("data", {}, 16); },
       .screen = kTitle + "\n\n, fertig!", .changes = false},
      {.name = "Not16Bit", .file = [] { return WithChunk("data", Bytes(6000, 0x40), 24); },
       .screen = kTitle + "\n\n Nur 16-Bit-PCM wird unterstützt, Datei unverändert!", .status = 4,
       .changes = false},
      {.name = "StdoutRedirected", .run = {.pipes = true}, .cursorRow = 5},
      // 300044 of 360052 bytes lie before the end of the "data" chunk: 83.3 %.
      {.name = "ChunkAfterData", .file = [] { return WithChunk("LIST", Bytes(60000, 'x')); },
       .screen = kTitle + "\n\n Normalisiere Wave... 83.3%, fertig!"},
      {.name = "SecondDataChunk", .file = [] { return WithChunk("data", Bytes(100000, 1)); }},
      {.name = "StartOnLastRow", .run = {.prefill = "$ tolvar a.wav\r" + std::string(23, '\n')},
       .screen = std::string(18, '\n') + kDone, .absent = kQuestion, .cursorRow = 23},
      {.name = "StartMidRow", .run = {.prefill = "$ "}, .screen = "$ " + kDone, .absent = kQuestion},
      {.name = "NarrowWindowWraps", .file = [] { return Tone(1000); }, .run = {.cols = 20},
       .screen = kNarrowTitle + "\n\n Normalisiere Wave..\n" + kNarrowFinish},
      // Narrowed before the first line: each rewrite goes back up over the two lines it took.
      {.name = "NarrowedDuringRun", .run = {.steps = {kHeld, {.when = kBlocked, .type = "\x11", .cols = 20}}},
       .screen = kNarrowTitle + "\n\n" + kNarrowFinish, .modes = ".."},
      // libvterm cuts lines when narrowed and does not join them when widened: the row's
      // first line, cut, stays above it once it is rewritten in place.
      {.name = "ResizedTenTimes", .file = [] { return TinyChunks(500000); },
       .run = {.steps = Resized(TenTimesNarrowedAndWidened())}, .screen = "?", .modes = std::string(84, '.'),
       .finish = kFinish, .stray = 40},
      {.name = "ResizedEndingNarrow", .file = [] { return TinyChunks(200000); },
       .run = {.steps = Resized({30, 20, 60, 25})}, .screen = "?", .modes = std::string(20, '.'),
       .finish = " Normalisiere Wave...100.\n0%, fertig!", .stray = 8},
      {.name = "NarrowedAndWidenedUnseen", .file = [] { return TinyChunks(200000); },
       .run = {.steps = NarrowedAndWidenedUnseen()}, .screen = "?", .modes = std::string(6, '.'),
       .finish = kFinish, .stray = 2},
      {.name = "DumbTerminal", .run = {.env = {"TERM=dumb"}}, .absent = "\x1b"},
      {.name = "NoTerm", .run = {.env = {"TERM"}}, .absent = "\x1b"},
      {.name = "WithoutTerminal", .run = {.withoutTerminal = true}, .screen = "", .status = 1,
       .changes = false, .stderrText = "No way to get the console handle\n"},
      {.name = "CtrlCIsOrdinaryInput", .run = {.steps = {kHeld, {.when = kBlocked, .type = "\x03\x11"}}},
       .modes = ".x", .inputLeft = "\x03"},
      {.name = "RedirectedInputCtrlCStops",
       .run = {.stdinFile = "/dev/null", .steps = {kHeld, {.when = kBlocked, .type = "\x03"}}},
       .screen = "?", .status = -SIGINT, .modes = ".o", .changes = false},
      // The shell takes the terminal back with its modes while the job is stopped. In the
      // foreground again Ctrl+C is still ordinary input; in the background the run ends
      // without being stopped for touching the terminal.
      {.name = "StoppedThenForeground",
       .run = {.job = 'f', .steps = {kHeld, Sent(SIGTSTP), {.when = kBlocked, .type = "\x03\x11"}}},
       .modes = ".xx", .inputLeft = "\x03"},
      {.name = "StoppedThenBackground",
       .run = {.job = 'b', .steps = {kHeld, Sent(SIGTSTP), kReleased}}, .modes = ".xo"},
      {.name = "HardStopThenBackground",
       .run = {.job = 'b', .steps = {kHeld, Sent(SIGSTOP), kReleased}}, .modes = ".xo"},
      {.name = "Background", .run = {.job = '&', .steps = {kHeld, kReleased}}, .modes = "oo"},
      {.name = "NewSession", .run = {.job = 's', .steps = {kHeld, kReleased}}, .modes = "oo"},
      // A second run starts while the first holds the terminal, and ends after it: it finds the
      // first one's modes, which are not the terminal's to keep. The first has only its usage
      // lines left to write once output flows again; the second's file takes far longer, so
      // that the first has ended when the modes are read after the second.
      {.name = "TwoRunsOnOneTerminal",
       .args = {"-c", "\"$0\" </dev/tty & sleep 0.3; exec \"$0\" \"$1\"", kTool, kFile},
       .file = [] { return Tone(10'000'000); }, .run = {.program = "/bin/sh", .steps = {kHeld, kReleased}},
       .screen = "?", .modes = ".."},
      // Keys typed ahead stay for the shell.
      {.name = "TypeAhead", .run = {.prefill = kRow5, .steps = {{.type = "echo hello\n"}}},
       .screen = kRow5 + "echo hello\n" + kDone, .modes = ".", .absent = kQuestion,
       .inputLeft = "echo hello\n"},
  };
  // A shell that reports the stop leaves the terminal's cursor on a line of its own: the row
  // is sent whole there, continued in the foreground ('F') or in the background ('B').
  for (char job : {'F', 'B'}) {
    rows.push_back({.name = std::string("StoppedReportedThen") + (job == 'F' ? "Foreground" : "Background"),
                    .file = [] { return TinyChunks(300000); },
                    .run = {.job = job, .steps = {{.when = " Normalisiere", .signal = SIGTSTP}}},
                    .screen = "?", .modes = ".", .finish = "[1]+  Stopped\n" + kFinish, .stray = 1});
  }
  for (int sig : {SIGWINCH, SIGCONT}) {
    rows.push_back({.name = std::string("NarrowedThenSignalled") + sigabbrev_np(sig),
                    .file = [] { return TinyChunks(200000); }, .run = {.steps = NarrowedThenSignalled(sig)},
                    .screen = "?", .modes = std::string(16, '.'),
                    .finish = kNarrowFinish, .stray = 2});
  }
  // Every signal that ends the process by default and that the tool does not use itself, and
  // the fault signals when another process sends them, while the terminal holds the tool's
  // output (Ctrl+S): the run ends at once by that signal, not only after Ctrl+Q (nobody types it).
  for (int sig : {SIGTERM, SIGHUP, SIGQUIT, SIGINT, SIGUSR1, SIGUSR2, SIGXCPU, SIGABRT, SIGPROF, SIGVTALRM,
                  SIGSYS, SIGPWR, SIGSTKFLT, SIGIO, SIGRTMIN, SIGRTMAX, SIGSEGV, SIGBUS, SIGFPE, SIGILL}) {
    const std::string name = sig >= SIGRTMIN ? "RT" + std::to_string(sig) : sigabbrev_np(sig);
    rows.push_back({.name = "Killed" + name, .run = {.timeoutSeconds = 10, .steps = {kHeld, Sent(sig)}},
                    .screen = "?", .status = -sig, .modes = ".x", .changes = false});
  }
  // clang-format on
  return rows;
}

class WholeRun : public testing::TestWithParam<Row> {};

TEST_P(WholeRun, OnATerminal) {
  const Row& row = GetParam();
  TempDir dir;
  const std::string path = dir.file("my file.wav");
  const Bytes before = row.file();
  WriteFile(path, before);
  std::vector<std::string> args = row.args;
  for (std::string& arg : args) arg = arg == kFile ? path : arg == kTool ? ToolPath() : arg;
  const PtyResult r = RunTool(args, row.run);
  std::string modes;  // one letter per step carried out, '.' where the row does not care
  for (std::size_t i = 0; i < r.modesAtStep.size(); ++i) {
    modes += i < row.modes.size() && row.modes[i] == '.' ? '.'
             : (r.modesAtStep[i].c_lflag & ISIG) != 0    ? 'o'
                                                         : 'x';
  }
  if (!row.finish.empty()) {
    // The rows of the title, the finish and those in between, scrolled off or on the screen.
    const std::string screen = r.Screen();
    const auto stray =
        r.scrolledOff + std::ranges::count(screen, '\n') - std::ranges::count(row.finish, '\n') - 4;
    EXPECT_TRUE(screen.ends_with("\n" + row.finish) && stray <= row.stray) << stray << " rows between:\n"
                                                                           << screen;
  }
  // Status, screen, cursor, modes at each step and after, file changed, output, input left, error, standard
  // output.
  EXPECT_EQ(std::tuple(r.exited ? r.exitStatus : -r.termSignal, row.screen == "?" ? "?" : r.Screen(),
                       row.cursorRow < 0 ? -100 : r.cursorRow * 100 + r.cursorCol, modes, r.ModesGivenBack(),
                       ReadFile(path) != before,
                       row.absent.empty() || r.output.find(row.absent) == std::string::npos, r.inputLeft,
                       r.stderrText, r.stdoutText),
            std::tuple(row.status, row.screen, row.cursorRow * 100, row.modes, true, row.changes, true,
                       row.inputLeft, row.stderrText, std::string()));
}

INSTANTIATE_TEST_SUITE_P(Tool, WholeRun, testing::ValuesIn(Rows()),
                         [](const auto& info) { return info.param.name; });

}  // namespace
