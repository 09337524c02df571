// The console device's cells, where the tool alone cannot reach cheaply: a probe program
// writes through Output and GotoXY on a real pseudo-terminal, played into an emulator.
#include <gtest/gtest.h>

#include <signal.h>

#include <cstdlib>
#include <filesystem>
#include <tuple>

#include "support/files.h"
#include "support/pty_screen.h"

using namespace testing_support;

namespace {

PtyResult Probe(std::vector<std::string> ops, PtyRun run = {}, int startRow = 2) {
  run.program = CRT_PROBE;
  run.args = std::move(ops);
  for (int i = 0; i < startRow; ++i) run.prefill += "\r\n";
  PtyResult r = RunOnPty(run);
  EXPECT_FALSE(r.timedOut);
  return r;
}

struct Case {
  const char* name;
  // From column 1 of row 2, or of the last row with startRow 23. The device takes its start
  // to be the last row, so GotoXY to a row of its choosing meets the screen only from there.
  std::vector<std::string> ops;
  std::string screen;        // from the first row: rows above are blank
  int cursorRow, cursorCol;  // 0-based
  int startRow = 2, cols = 80;
  std::vector<std::string> env = {};
};

const std::string kAz = "abcdefghijklmnopqrstuvwxyz0";  // 27 characters, as a progress text
const std::string kTopBlank(2, '\n');

// clang-format off
const Case kCases[] = {
    {"CrLfStartsNextRow", {"w:XY\r\nZ"}, kTopBlank + "XY\nZ", 3, 1},
    {"LfKeepsTheColumn", {"w:XY\nZ"}, kTopBlank + "XY\n  Z", 3, 3},
    // Backspace neither erases nor leaves column 1 (for the row above).
    {"BackspaceMovesLeftInTheRow", {"w:\bXYZ\b\bW\r\n\b\bC"}, kTopBlank + "XWZ\nC", 3, 1},
    // The bell takes no cell, a tab takes one.
    {"CrBellAndTab", {"w:ABC\rX\aY\tZ"}, kTopBlank + "XY○Z", 2, 4},
    {"EscapeIsShownNotObeyed", {"w:\x1b[2J\x1b[1;1Hx"}, kTopBlank + "←[2J←[1;1Hx", 2, 11},
    // The wrap after the last column comes at once: the line end then goes one row further.
    {"FullRowThenLineEnd", {"l:" + std::string(80, 'a'), "w:B"}, kTopBlank + std::string(80, 'a') + "\n\nB",
     4, 1},
    {"LineFeedOnLastRowScrolls", {"w:AB\nC"}, std::string(22, '\n') + "AB\n  C", 23, 3, 23},
    {"LastCellScrollsAtOnce", {"w:AB", "g:80,24", "w:Z"},
     std::string(22, '\n') + "AB" + std::string(77, ' ') + "Z", 23, 0, 23},
    {"GotoOutsideIgnored", {"w:AB", "g:0,3", "g:3,0", "g:81,3", "g:1,25", "w:C"}, kTopBlank + "ABC", 2, 3},
    {"GotoInside", {"w:AB", "g:1,24", "w:C", "g:10,22"}, std::string(23, '\n') + "CB", 21, 9, 23},
    // The row a scroll brings in is blank on the terminal, whatever the row that left held:
    // the same text written there goes out again.
    {"ScrolledInRowIsSentAfresh", {"g:1,1", "w:AB", "g:1,24", "w:\nAB", "r"}, std::string(23, '\n') + "AB",
     23, 0, 23},
    {"RowRewrittenInPlace", {"w:first text", "r", "w:again", "r", "w:third"}, kTopBlank + "third text", 2, 5},
    {"RewriteAfterWrapStartsWhereTextEnded", {"w:" + kAz, "r", "w:" + kAz},
     kTopBlank + kAz.substr(0, 20) + "\n" + kAz.substr(0, 20) + "\n" + kAz.substr(20), 4, 7, 2, 20},
    // Taken to start on the last row; blanks move right, backspaces left.
    {"DumbTerminal", {"w:AB", "g:6,24", "w:C", "g:2,24", "w:x"}, std::string(23, '\n') + "Ax   C",
     23, 2, 23, 80, {"TERM=dumb"}},
};
// clang-format on

class Device : public testing::TestWithParam<Case> {};

TEST_P(Device, ShowsCellsAndCursor) {
  const Case& c = GetParam();
  const PtyResult r = Probe(c.ops, {.env = c.env, .cols = c.cols}, c.startRow);
  // Status, cells, cursor, no bell sounded, and no escape sequence sent to a dumb terminal.
  const bool dumb = c.env == std::vector<std::string>{"TERM=dumb"};
  EXPECT_EQ(std::tuple(r.exitStatus, r.Screen(), r.cursorRow, r.cursorCol,
                       r.output.find_first_of(dumb ? "\a\x1b" : "\a") == std::string::npos),
            std::tuple(0, c.screen, c.cursorRow, c.cursorCol, true));
}

INSTANTIATE_TEST_SUITE_P(Probe, Device, testing::ValuesIn(kCases),
                         [](const auto& info) { return std::string(info.param.name); });

TEST(Glyphs, EveryByteShowsItsCodePage437Picture) {
  // Bytes 7, 8, 10 and 13 move the cursor instead; a blank stands in for them.
  const std::string kRows[] = {" ☺☻♥♦♣♠  ○ ♂♀ ♫☼►◄↕‼¶§▬↨↑↓→←∟↔▲▼",  R"( !"#$%&'()*+,-./0123456789:;<=>?)",
                               "@ABCDEFGHIJKLMNOPQRSTUVWXYZ[\\]^_", "`abcdefghijklmnopqrstuvwxyz{|}~⌂",
                               "ÇüéâäàåçêëèïîìÄÅÉæÆôöòûùÿÖÜ¢£¥₧ƒ",  "áíóúñÑªº¿⌐¬½¼¡«»░▒▓│┤╡╢╖╕╣║╗╝╜╛┐",
                               "└┴┬├─┼╞╟╚╔╩╦╠═╬╧╨╤╥╙╘╒╓╫╪┘┌█▄▌▐▀",  "αßΓπΣσµτΦΘΩδ∞φε∩≡±≥≤⌠⌡÷≈°∙·√ⁿ²■\u00A0"};
  std::vector<std::string> ops;
  std::string expected;
  for (int row = 0; row < 8; ++row) {
    ops.push_back("x:" + std::to_string(row));
    expected += kRows[row] + (row < 7 ? "\n" : "");
  }
  EXPECT_EQ(Probe(ops, {}, 0).Screen(), expected);
}

TEST(Glyphs, OtherCodesetsGetTheirOwnBytesOrAQuestionMark) {
  TempDir dir;
  const std::string command = "localedef -i de_DE -f ISO-8859-1 " + dir.file("de") + " >/dev/null 2>&1";
  if (std::system(command.c_str()) != 0) GTEST_SKIP() << "cannot build an ISO-8859-1 locale";
  EXPECT_NE(
      Probe({"w:[\x94\x01\xc4]"}, {.env = {"LOCPATH=" + dir.path(), "LC_ALL=de"}}).output.find("[\xF6??]"),
      std::string::npos);
}

// Text held back must still show while the program waits (else the signal that ends the run
// is never sent). A run where the probe could not hold it back (status 3) is repeated.
TEST(HeldOutput, ShowsWhileTheProgramWaits) {
  PtyResult r;
  for (int run = 0; run < 5 && (run == 0 || r.exitStatus == 3); ++run)
    r = Probe({"l:READY", "h:HELD", "wait"}, {.steps = {{.when = "HELD", .signal = SIGTERM}}}, 0);
  EXPECT_EQ(std::tuple(r.termSignal, r.Screen()), std::tuple(SIGTERM, "READY\nHELD"));
}

// A row rewritten 200 times in far less than 1/60 s: what goes out is the row as it stands at
// each send, not every text it held.
TEST(HeldOutput, ReachesTheTerminalAsItStandsBeforeTheRuntimeErrorReportAndModesComeBack) {
  std::vector<std::string> ops = {"l:READY"};
  for (int i = 0; i < 200; ++i) ops.insert(ops.end(), {"r", "w:HELD " + std::to_string(i)});
  ops.push_back("e:201");
  const PtyResult r = Probe(ops, {}, 0);
  int texts = 0;
  for (std::size_t at = 0; (at = r.output.find("HELD", at)) != std::string::npos; ++at) ++texts;
  EXPECT_EQ(std::tuple(r.exitStatus, r.ModesGivenBack(), texts < 20), std::tuple(201, true, true)) << texts;
  const std::string screen = r.Screen();
  EXPECT_NE(screen.find("Runtime error 201", screen.find("READY\nHELD 199")), std::string::npos) << screen;
}

// A send larger than the terminal takes at once, and a signal while it waits (SIGWINCH, the
// width kept): the write comes back part way and the rest follows, nothing else.
TEST(HeldOutput, AWriteCutShortByASignalIsContinuedWhereItStopped) {
  std::string text;
  for (int i = 0; i < 100000; ++i) text += static_cast<char>('A' + i % 37 % 26);
  const PtyResult clean = Probe({"l:" + text}, {}, 0);
  const PtyResult cut = Probe({"l:" + text},
                              {.steps = {{.stopReading = true},
                                         {.when = kBlocked, .signal = SIGWINCH},
                                         {.afterMs = 20, .resumeReading = true}}},
                              0);
  EXPECT_EQ(std::tuple(cut.modesAtStep.size(), cut.output.size(), cut.Screen()),
            std::tuple(3u, clean.output.size(), clean.Screen()));
}

// Entry 0 of the argument list is the program file's full path, not the name it was run by.
TEST(Arguments, EntryZeroIsTheProgramFilesFullPath) {
  TempDir dir;
  std::filesystem::create_symlink(CRT_PROBE, dir.file("probe"));
  const PtyResult r = RunOnPty({.program = dir.file("probe"), .args = {"p"}, .pipes = true});
  EXPECT_EQ(r.stdoutText, std::filesystem::canonical(CRT_PROBE).string() + "\n");
}

}  // namespace
