// The console device on a real pseudo-terminal: a probe program writes through Output and
// GotoXY, a terminal emulator shows what reached the screen and when.
#include <gtest/gtest.h>

#include <signal.h>
#include <termios.h>

#include <cstdlib>
#include <string>
#include <vector>

#include "support/files.h"
#include "support/pty_screen.h"

using namespace testing_support;

namespace {

constexpr int kRows = 24;
constexpr int kCols = 80;

/// Line ends that leave the emulator's cursor in column 1 of the given row.
std::string CursorOnRow(int row) {
  std::string s;
  for (int i = 0; i < row; ++i) s += "\r\n";
  return s;
}

PtyResult Probe(const std::vector<std::string>& ops, PtyRun run = {}) {
  run.program = CRT_PROBE;
  run.args = ops;
  PtyResult r = RunOnPty(run);
  EXPECT_FALSE(r.timedOut);
  return r;
}

/// A probe run that starts with the cursor in column 1 of row 3 (index 2).
PtyResult ProbeFromRow2(const std::vector<std::string>& ops) {
  PtyRun run;
  run.prefill = CursorOnRow(2);
  return Probe(ops, run);
}

bool SignalKeysOn(const termios& t) { return (t.c_lflag & ISIG) != 0; }
bool EchoOn(const termios& t) { return (t.c_lflag & ECHO) != 0; }

// --- Placing characters -------------------------------------------------------------------

struct Placement {
  const char* name;
  const char* text;        // written from column 1 of row index 2
  const char* row2;        // what row index 2 shows afterwards
  const char* row3;        // and row index 3
  int cursorRow, cursorCol;  // 0-based
};

const Placement kPlacements[] = {
    // name                    text                row2      row3     cursor
    {"CrLfStartsNextRow",      "XY\\r\\nZ",        "XY",     "Z",     3, 1},
    {"LfKeepsTheColumn",       "XY\\nZ",           "XY",     "  Z",   3, 3},
    {"BackspaceDoesNotErase",  "XYZ\\b\\bW",       "XWZ",    "",      2, 2},
    {"BackspaceStopsInCol1",   "\\bA",             "A",      "",      2, 1},
    {"BackspaceStaysOnRow",    "AB\\r\\n\\b\\bC",  "AB",     "C",     3, 1},
    {"BellChangesNothing",     "A\\aB",            "AB",     "",      2, 2},
    {"TabIsOneCell",           "A\\tB",            "A○B",    "",      2, 3},
    {"CrReturnsToCol1",        "ABC\\rX",          "XBC",    "",      2, 1},
};

class Placing : public testing::TestWithParam<Placement> {};

TEST_P(Placing, ShowsTextAndCursor) {
  const Placement& p = GetParam();
  PtyResult r = ProbeFromRow2({std::string("w:") + p.text});
  ASSERT_TRUE(r.exited);
  EXPECT_EQ(r.exitStatus, 0);
  EXPECT_EQ(r.rows[2], p.row2);
  EXPECT_EQ(r.rows[3], p.row3);
  EXPECT_EQ(r.cursorRow, p.cursorRow);
  EXPECT_EQ(r.cursorCol, p.cursorCol);
  EXPECT_EQ(r.output.find('\a'), std::string::npos) << "the bell makes no sound";
}

INSTANTIATE_TEST_SUITE_P(Device, Placing, testing::ValuesIn(kPlacements),
                         [](const auto& info) { return std::string(info.param.name); });

TEST(Placing, LineAsWideAsTheWindowThenLineEndGoesTwoRowsDown) {
  PtyResult r = ProbeFromRow2({"l:" + std::string(kCols, 'a'), "w:B"});
  EXPECT_EQ(r.rows[2], std::string(kCols, 'a'));
  EXPECT_EQ(r.rows[3], "");
  EXPECT_EQ(r.rows[4], "B");
  EXPECT_EQ(r.cursorRow, 4);
  EXPECT_EQ(r.cursorCol, 1);
}

// --- Scrolling ------------------------------------------------------------------------------

TEST(Scrolling, LineFeedOnTheLastRowScrollsAndKeepsTheRowInScrollback) {
  PtyRun run;
  run.prefill = "top" + CursorOnRow(kRows - 1);
  PtyResult r = Probe({"w:AB\\nC"}, run);
  EXPECT_EQ(r.rows[kRows - 2], "AB");
  EXPECT_EQ(r.rows[kRows - 1], "  C");
  EXPECT_EQ(r.cursorRow, kRows - 1);
  EXPECT_EQ(r.cursorCol, 3);
  EXPECT_EQ(r.scrollback, std::vector<std::string>{"top"});
}

TEST(Scrolling, CharacterInTheLastCellScrollsAtOnce) {
  PtyRun run;
  run.prefill = "top";
  PtyResult r = Probe({"g:80,24", "w:Z"}, run);
  EXPECT_EQ(r.rows[kRows - 2], std::string(kCols - 1, ' ') + "Z");
  EXPECT_EQ(r.rows[kRows - 1], "");
  EXPECT_EQ(r.cursorRow, kRows - 1);
  EXPECT_EQ(r.cursorCol, 0);
  EXPECT_EQ(r.scrollback, std::vector<std::string>{"top"});
}

// --- Cursor operations ----------------------------------------------------------------------

struct Move {
  const char* name;
  const char* gotoXY;
  std::string row2;
};

const Move kMoves[] = {
    // name          GotoXY      row 2 after "AB", the move, "C"
    {"XZero",        "g:0,3",    "ABC"},
    {"YZero",        "g:3,0",    "ABC"},
    {"BothZero",     "g:0,0",    "ABC"},
    {"XPastWidth",   "g:81,3",   "ABC"},
    {"YPastHeight",  "g:1,25",   "ABC"},
    {"InsideWindow", "g:1,3",    "CB"},
    {"LastColumn",   "g:80,3",   "AB" + std::string(77, ' ') + "C"},
};

class Moving : public testing::TestWithParam<Move> {};

TEST_P(Moving, GotoXYMovesOnlyInsideTheWindow) {
  const Move& m = GetParam();
  PtyResult r = ProbeFromRow2({"w:AB", m.gotoXY, "w:C"});
  EXPECT_EQ(r.rows[2], m.row2);
}

INSTANTIATE_TEST_SUITE_P(Device, Moving, testing::ValuesIn(kMoves),
                         [](const auto& info) { return std::string(info.param.name); });

TEST(Moving, GotoXYMovesTheVisibleCursorAtOnce) {
  PtyResult r = ProbeFromRow2({"w:AB", "g:10,5"});
  EXPECT_EQ(r.cursorRow, 4);
  EXPECT_EQ(r.cursorCol, 9);
}

TEST(Moving, ReturningToTheRowRewritesItInPlace) {
  PtyResult r = ProbeFromRow2({"w:first text", "r", "w:again", "r", "w:third"});
  EXPECT_EQ(r.rows[2], "third text");
  EXPECT_EQ(r.rows[3], "");
}

TEST(Moving, ReturningAfterAWrapStartsOnTheRowWhereTheTextEnded) {
  PtyRun run;
  run.cols = 20;
  run.prefill = CursorOnRow(2);
  const std::string text = "abcdefghijklmnopqrstuvwxyz0";  // 27 characters
  PtyResult r = Probe({"w:" + text, "r", "w:" + text}, run);
  EXPECT_EQ(r.rows[2], text.substr(0, 20));
  EXPECT_EQ(r.rows[3], text.substr(0, 20));
  EXPECT_EQ(r.rows[4], text.substr(20));
}

TEST(Moving, SilentTerminalStartsOnTheRowWhereItsCursorIs) {
  // Without an answer the device takes the last row; relative moves keep the text together.
  PtyRun run;
  run.answerCursorQuery = false;
  run.prefill = CursorOnRow(5);
  PtyResult r = Probe({"l:A", "l:B", "w:C", "r", "w:D"}, run);
  EXPECT_EQ(r.rows[5], "A");
  EXPECT_EQ(r.rows[6], "B");
  EXPECT_EQ(r.rows[7], "D");
  EXPECT_EQ(r.exitStatus, 0);
}

// --- Glyphs ---------------------------------------------------------------------------------

struct GlyphCase {
  const char* byte;
  const char* shown;
};

const GlyphCase kGlyphs[] = {
    {"\\x00", " "}, {"\\x01", "☺"}, {"\\x02", "☻"}, {"\\x03", "♥"}, {"\\x09", "○"},
    {"\\x0b", "♂"}, {"\\x0c", "♀"}, {"\\x1b", "←"}, {"\\x7f", "⌂"}, {"\\x81", "ü"},
    {"\\x84", "ä"}, {"\\x94", "ö"}, {"\\x9b", "¢"}, {"\\xb0", "░"}, {"\\xc4", "─"},
    {"\\xc9", "╔"}, {"\\xdb", "█"}, {"\\xe1", "ß"}, {"\\xf8", "°"},
};

TEST(Glyphs, EveryByteIsShownAsItsCodePage437Picture) {
  std::string text;
  std::string expected;
  for (const GlyphCase& g : kGlyphs) {
    text += std::string("[") + g.byte;
    expected += std::string("[") + g.shown;
  }
  PtyResult r = ProbeFromRow2({"w:" + text + "]"});
  EXPECT_EQ(r.rows[2], expected + "]");
}

TEST(Glyphs, EscapeSequencesInTextDoNotReachTheTerminal) {
  PtyRun run;
  run.prefill = "keep me" + CursorOnRow(2);
  PtyResult r = Probe({"w:\\e[2J\\e[1;1Hx"}, run);
  EXPECT_EQ(r.rows[0], "keep me");
  EXPECT_EQ(r.rows[2], "←[2J←[1;1Hx");
}

TEST(Glyphs, OtherCodesetsGetTheirOwnBytesOrAQuestionMark) {
  TempDir dir;
  const std::string command = "localedef -i de_DE -f ISO-8859-1 " + dir.file("de_DE.ISO-8859-1") +
                              " >/dev/null 2>&1";
  if (std::system(command.c_str()) != 0) GTEST_SKIP() << "cannot build an ISO-8859-1 locale";
  PtyRun run;
  run.env = {"LOCPATH=" + dir.path(), "LC_ALL=de_DE.ISO-8859-1"};
  PtyResult r = Probe({"w:[\\x94\\x01\\xc4]"}, run);
  EXPECT_NE(r.output.find("[\xF6??]"), std::string::npos);
}

// --- Where the text goes --------------------------------------------------------------------

TEST(Destination, RedirectedStandardOutputGetsNothing) {
  TempDir dir;
  PtyRun run;
  run.stdoutFile = dir.file("out.txt");
  PtyResult r = Probe({"l:on the screen"}, run);
  EXPECT_EQ(r.rows[0], "on the screen");
  EXPECT_TRUE(ReadFile(dir.file("out.txt")).empty());
  EXPECT_EQ(r.exitStatus, 0);
}

// --- Terminal modes -------------------------------------------------------------------------

TEST(Modes, SignalKeysAndEchoAreOffDuringTheRunSoCtrlCIsOrdinaryInput) {
  PtyRun run;
  run.modesTrigger = "READY";
  run.inputTrigger = "READY";
  run.inputBytes = "\x03\x1c\x1a\n";  // Ctrl+C, Ctrl+\, Ctrl+Z, and a line end for the probe
  PtyResult r = Probe({"l:READY", "key", "l:DONE"}, run);
  ASSERT_TRUE(r.modesRecorded);
  EXPECT_FALSE(SignalKeysOn(r.modesDuring));
  EXPECT_FALSE(EchoOn(r.modesDuring));
  ASSERT_TRUE(r.inputSent);
  EXPECT_TRUE(r.inputWhileRunning);
  ASSERT_TRUE(r.exited);
  EXPECT_EQ(r.exitStatus, 0);
  EXPECT_EQ(r.rows[1], "DONE");
  EXPECT_TRUE(r.ModesGivenBack());
}

TEST(Modes, RuntimeErrorGivesTheModesBack) {
  // Halt's way out is checked with the start-up frame's bodies and the tool's file failures.
  PtyResult failed = Probe({"l:x", "error:201"});
  EXPECT_EQ(failed.exitStatus, 201);
  EXPECT_TRUE(failed.ModesGivenBack());
}

class FatalSignal : public testing::TestWithParam<int> {};

TEST_P(FatalSignal, ModesAreGivenBackAndTheRunDiesOfTheSignal) {
  PtyRun run;
  run.signalTrigger = "READY";
  run.signalNumber = GetParam();
  TempDir dir;  // where a SIGQUIT core would land
  run.cwd = dir.path();
  PtyResult r = Probe({"l:READY", "wait"}, run);
  ASSERT_TRUE(r.signalSent);
  EXPECT_FALSE(r.exited);
  EXPECT_EQ(r.termSignal, GetParam());
  EXPECT_TRUE(r.ModesGivenBack());
}

// Every signal that ends the process by default and that the device does not use itself.
INSTANTIATE_TEST_SUITE_P(Device, FatalSignal,
                         testing::Values(SIGTERM, SIGHUP, SIGQUIT, SIGINT, SIGUSR1, SIGUSR2, SIGXCPU,
                                         SIGABRT, SIGPROF, SIGVTALRM, SIGSYS, SIGPWR, SIGSTKFLT,
                                         SIGIO, SIGRTMIN, SIGRTMAX),
                         [](const auto& info) {
                           if (info.param >= SIGRTMIN) return "RT" + std::to_string(info.param);
                           return std::string(sigabbrev_np(info.param));
                         });

TEST(Modes, TerminationSignalEndsARunWhoseWriteWaitsForCtrlQ) {
  // Ctrl+S holds the terminal's output; the probe's next statement then waits in its write.
  PtyRun run;
  run.inputTrigger = "READY";
  run.inputBytes = "\x13";
  run.signalTrigger = "READY";
  run.signalNumber = SIGTERM;
  run.signalDelayMs = 1000;
  run.timeoutSeconds = 20;
  PtyResult r = Probe({"l:READY", "sleep:300", "l:held by Ctrl+S", "wait"}, run);
  EXPECT_EQ(r.termSignal, SIGTERM);
  EXPECT_LT(r.secondsAfterSignal, 5.0) << "ends within a second; never without Ctrl+Q before";
  EXPECT_TRUE(r.ModesGivenBack());
}

struct JobControl {
  const char* name;
  int signal;       // sent when READY shows
  char resumeIn;    // 'f': the shell continues it in the foreground, 'b': in the background
};

const JobControl kJobControl[] = {
    {"StoppedThenForeground", SIGTSTP, 'f'},
    {"StoppedThenBackground", SIGTSTP, 'b'},
    {"HardStopThenBackground", SIGSTOP, 'b'},
};

class Jobs : public testing::TestWithParam<JobControl> {};

TEST_P(Jobs, ForegroundTakesTheModesAgainBackgroundLeavesThemAndExits) {
  // The shell takes the terminal back with its own modes while the job is stopped. In the
  // foreground again, Ctrl+C must still be ordinary input; in the background, the run ends
  // without being stopped for touching the terminal.
  const JobControl& job = GetParam();
  const bool foreground = job.resumeIn == 'f';
  PtyRun run;
  run.resumeIn = job.resumeIn;
  run.signalTrigger = "READY";
  run.signalNumber = job.signal;
  run.modesTrigger = "AGAIN";
  if (foreground) {
    run.inputTrigger = "AGAIN";
    run.inputBytes = "\x03\n";
  }
  std::vector<std::string> ops = {"l:READY", "sleep:1500", "l:AGAIN"};
  if (foreground) ops.push_back("key");
  PtyResult r = Probe(ops, run);
  ASSERT_TRUE(r.signalSent);
  EXPECT_FALSE(r.stoppedInBackground);
  EXPECT_TRUE(r.exited) << "signal " << r.termSignal;
  EXPECT_EQ(r.exitStatus, 0);
  ASSERT_TRUE(r.modesRecorded);
  EXPECT_EQ(SignalKeysOn(r.modesDuring), !foreground);
  EXPECT_TRUE(r.ModesGivenBack());
}

INSTANTIATE_TEST_SUITE_P(Device, Jobs, testing::ValuesIn(kJobControl),
                         [](const auto& info) { return std::string(info.param.name); });

TEST(Modes, RedirectedInputIsLeftAloneAndCtrlCStopsTheRun) {
  PtyRun run;
  run.stdinFile = "/dev/null";
  run.modesTrigger = "READY";
  run.inputTrigger = "READY";
  run.inputBytes = "\x03";
  PtyResult r = Probe({"l:READY", "wait"}, run);
  ASSERT_TRUE(r.modesRecorded);
  EXPECT_TRUE(SignalKeysOn(r.modesDuring));
  EXPECT_TRUE(EchoOn(r.modesDuring));
  EXPECT_EQ(r.termSignal, SIGINT);
  EXPECT_TRUE(r.ModesGivenBack());
}

class NotOurs : public testing::TestWithParam<bool> {};

TEST_P(NotOurs, RunInTheBackgroundOrAnotherSessionLeavesTheTerminalAlone) {
  PtyRun run;
  run.background = !GetParam();
  run.newSession = GetParam();
  run.modesTrigger = "READY";
  PtyResult r = Probe({"l:READY", "sleep:300"}, run);
  EXPECT_FALSE(r.stoppedInBackground);
  ASSERT_TRUE(r.exited);
  EXPECT_EQ(r.exitStatus, 0);
  ASSERT_TRUE(r.modesRecorded);
  EXPECT_EQ(r.modesDuring.c_lflag, r.modesBefore.c_lflag);
  EXPECT_EQ(r.output.find("\x1b[6n"), std::string::npos);
  EXPECT_EQ(r.rows[0], "READY");
}

INSTANTIATE_TEST_SUITE_P(Device, NotOurs, testing::Bool(), [](const auto& info) {
  return std::string(info.param ? "NewSession" : "Background");
});

// --- The cursor question ---------------------------------------------------------------------

struct Question {
  const char* name;
  const char* typeAhead;  // typed before the run, with the terminal's echo
  int replyDelayMs;
  int rowOfText;          // where "A" lands, the cursor being on row 5 before the run
};

const Question kQuestions[] = {
    // Keys waiting: nothing is asked, the row is guessed, and the keys stay for the shell.
    {"TypedAheadLineReachesTheNextProgram",  "echo hello\n", 0,   6},
    {"LateAnswerIsTakenAndNotLeftToTheShell", "",             500, 5},
};

class Asking : public testing::TestWithParam<Question> {};

TEST_P(Asking, NothingTypedOrAnsweredLeaksAndTheTextLandsRight) {
  const Question& q = GetParam();
  PtyRun run;
  run.prefill = CursorOnRow(5);
  run.typeAhead = q.typeAhead;
  run.cursorReplyDelayMs = q.replyDelayMs;
  PtyResult r = Probe({"l:A"}, run);
  EXPECT_EQ(r.exitStatus, 0);
  EXPECT_EQ(r.inputLeft, q.typeAhead);
  EXPECT_EQ(r.rows[static_cast<std::size_t>(q.rowOfText)], "A") << r.Screen();
  EXPECT_EQ(r.Screen().find("R"), std::string::npos) << "an answer was echoed";
}

INSTANTIATE_TEST_SUITE_P(Device, Asking, testing::ValuesIn(kQuestions),
                         [](const auto& info) { return std::string(info.param.name); });

TEST(Moving, RowIsRewrittenInPlaceAfterTheWindowNarrows) {
  // 80 columns at the start, 20 while the probe waits: the terminal wraps the 27 characters
  // onto two lines, and each rewrite goes back up over both.
  const std::string text = "abcdefghijklmnopqrstuvwxyz0";
  PtyRun run;
  run.resizeTrigger = run.inputTrigger = text.substr(0, 20);
  run.resizeCols = 20;
  run.inputBytes = "\n";
  std::vector<std::string> ops = {"l:TOP", "w:" + text, "key"};
  for (int i = 0; i < 4; ++i) ops.insert(ops.end(), {"r", "w:" + text});
  ops.push_back("l:");
  PtyResult r = Probe(ops, run);
  const std::vector<std::string> top(r.rows.begin(), r.rows.begin() + 4);
  EXPECT_EQ(top, (std::vector<std::string>{"TOP", text.substr(0, 20), text.substr(20), ""}));
  EXPECT_EQ(r.cursorRow, 3);
}

// --- Held-back output ------------------------------------------------------------------------
// The probe's first statement goes out at once; text written right after it is held back,
// since less than 1/60 s has passed since that send. It must still reach the screen while the
// program waits, and before anything else writes to the same terminal.

TEST(HeldOutput, ShowsWhileTheProgramWaits) {
  // The probe then sleeps for up to 30 s; the text must appear long before, or the signal
  // that ends the run is never sent and the run ends by itself.
  PtyRun run;
  run.signalTrigger = "HELD";
  run.signalNumber = SIGTERM;
  PtyResult r = Probe({"l:READY", "w:HELD", "wait"}, run);
  EXPECT_TRUE(r.signalSent);
  EXPECT_EQ(r.termSignal, SIGTERM);
  EXPECT_EQ(r.rows[1], "HELD");
}

TEST(HeldOutput, ReachesTheTerminalBeforeTheRuntimeErrorReport) {
  PtyResult r = Probe({"l:READY", "w:HELD", "error:201"});
  ASSERT_TRUE(r.exited);
  EXPECT_EQ(r.exitStatus, 201);
  const std::string screen = r.Screen();
  const std::size_t held = screen.find("READY\nHELD");
  const std::size_t report = screen.find("Runtime error 201");
  ASSERT_NE(held, std::string::npos) << screen;
  ASSERT_NE(report, std::string::npos) << screen;
  EXPECT_LT(held, report) << screen;
}

TEST(HeldOutput, RewrittenRowEndsAsWrittenWhenTheRunEnds) {
  // Many rewrites of one row in quick succession, as the progress row does, then the end.
  std::vector<std::string> ops = {"l:TOP"};
  for (int i = 0; i < 200; ++i) {
    ops.push_back("r");
    ops.push_back("w: step " + std::to_string(i));
  }
  ops.push_back("w:, done");
  PtyResult r = Probe(ops);
  ASSERT_TRUE(r.exited);
  EXPECT_EQ(r.exitStatus, 0);
  EXPECT_EQ(r.rows[1], " step 199, done");
  EXPECT_EQ(r.cursorRow, 1);
  EXPECT_EQ(r.cursorCol, 15);
}

}  // namespace
