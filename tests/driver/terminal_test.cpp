// The built tool on a real pseudo-terminal: what a user sees from start to end of a run, and
// that the terminal is given back as it was.
#include <gtest/gtest.h>

#include <termios.h>

#include <string>
#include <vector>

#include "support/files.h"
#include "support/tool_run.h"

using namespace testing_support;

namespace {

const std::string kTitle = "Tolvar v1.0\n\n Syntax: Tolvar [Name.wav]\n\n";
const std::string kDone = " Normalisiere Wave...100.0%, fertig!";

std::vector<int16_t> Tone(std::size_t count) {
  std::vector<int16_t> s(count);
  for (std::size_t i = 0; i < count; ++i) s[i] = static_cast<int16_t>((i % 200) * 40 - 4000);
  return s;
}

TEST(WholeRun, ShowsTheFourLinesAndOneProgressRowAlsoWithStandardOutputRedirected) {
  TempDir dir;
  WriteFile(dir.file("a.wav"), CanonicalWave(Tone(150000)));
  PtyRun run;
  run.stdoutFile = dir.file("out.txt");
  PtyResult r = RunTool({dir.file("a.wav")}, run);
  ASSERT_TRUE(r.exited);
  EXPECT_EQ(r.exitStatus, 0);
  EXPECT_EQ(r.Screen(), kTitle + kDone);
  EXPECT_EQ(r.cursorRow, 5);
  EXPECT_EQ(r.cursorCol, 0);
  EXPECT_TRUE(r.scrollback.empty());
  EXPECT_TRUE(ReadFile(dir.file("out.txt")).empty());
}

TEST(WholeRun, ChunkAfterTheDataEndsBelowOneHundred) {
  TempDir dir;
  Bytes wave = CanonicalWave(Tone(150000));
  PutChunk(wave, "LIST", Bytes(60000, 'x'));
  FixRiffSize(wave);
  WriteFile(dir.file("a.wav"), wave);
  PtyResult r = RunTool({dir.file("a.wav")});
  EXPECT_EQ(r.exitStatus, 0);
  // 300044 of 360052 bytes lie before the end of the "data" chunk: 83.3 %.
  EXPECT_EQ(r.Screen(), kTitle + " Normalisiere Wave... 83.3%, fertig!");
}

TEST(WholeRun, SecondDataChunkOverwritesTheSameRow) {
  TempDir dir;
  Bytes wave = CanonicalWave(Tone(150000));
  PutChunk(wave, "data", SampleBytes(Tone(50000)));
  FixRiffSize(wave);
  WriteFile(dir.file("a.wav"), wave);
  PtyResult r = RunTool({dir.file("a.wav")});
  EXPECT_EQ(r.exitStatus, 0);
  EXPECT_EQ(r.Screen(), kTitle + kDone);
}

TEST(WholeRun, StartingOnTheLastRowScrollsAndKeepsTheTextWhole) {
  TempDir dir;
  WriteFile(dir.file("a.wav"), CanonicalWave(Tone(150000)));
  PtyRun run;
  run.prefill = "$ tolvar a.wav";
  for (int i = 0; i < 23; ++i) run.prefill += "\r\n";
  PtyResult r = RunTool({dir.file("a.wav")}, run);
  EXPECT_EQ(r.exitStatus, 0);
  const std::vector<std::string> tail(r.rows.begin() + 18, r.rows.end());
  EXPECT_EQ(tail, (std::vector<std::string>{"Tolvar v1.0", "", " Syntax: Tolvar [Name.wav]", "",
                                            kDone, ""}));
  EXPECT_EQ(r.scrollback.front(), "$ tolvar a.wav");
  EXPECT_EQ(r.cursorRow, 23);
}

TEST(WholeRun, NarrowWindowWrapsAndEachRewriteStartsWhereTheLastEnded) {
  TempDir dir;
  WriteFile(dir.file("a.wav"), CanonicalWave(Tone(1000)));  // one block: two progress texts
  PtyRun run;
  run.cols = 20;
  PtyResult r = RunTool({dir.file("a.wav")}, run);
  EXPECT_EQ(r.exitStatus, 0);
  EXPECT_EQ(r.Screen(), "Tolvar v1.0\n"
                        "\n"
                        " Syntax: Tolvar [Nam\n"
                        "e.wav]\n"
                        "\n"
                        " Normalisiere Wave..\n"
                        " Normalisiere Wave..\n"
                        ".100.0%, fertig!");
}

TEST(WholeRun, DumbOrUnknownTerminalGetsCarriageReturnsAndNoEscapeSequence) {
  TempDir dir;
  WriteFile(dir.file("a.wav"), CanonicalWave(Tone(150000)));
  for (const char* term : {"TERM=dumb", "TERM"}) {  // the bare name unsets it
    PtyRun run;
    run.env = {term};
    PtyResult r = RunTool({dir.file("a.wav")}, run);
    EXPECT_EQ(r.exitStatus, 0) << term;
    EXPECT_EQ(r.Screen(), kTitle + kDone) << term;
    EXPECT_EQ(r.output.find('\x1b'), std::string::npos) << term;
  }
}

TEST(Failures, WithoutATerminalOnlyTheReasonIsWritten) {
  TempDir dir;
  WriteFile(dir.file("a.wav"), CanonicalWave(Tone(1000)));
  const Bytes before = ReadFile(dir.file("a.wav"));
  PtyRun run;
  run.withoutTerminal = true;
  PtyResult r = RunTool({dir.file("a.wav")}, run);
  EXPECT_EQ(r.stderrText, "No way to get the console handle\n");
  EXPECT_EQ(r.stdoutText, "");
  ASSERT_TRUE(r.exited);
  EXPECT_EQ(r.exitStatus, 1);
  EXPECT_EQ(ReadFile(dir.file("a.wav")), before);
}

TEST(Interrupts, CtrlCDoesNotStopARun) {
  TempDir dir;
  PtyRun run;
  run.inputTrigger = "Normalisiere";
  run.inputBytes = "\x03";
  // About 300 MB, so that the run is still going when its first progress text shows.
  GenerateWave(dir.file("large.wav"), 300000000);
  PtyResult r = RunTool({dir.file("large.wav")}, run);
  ASSERT_TRUE(r.inputSent);
  EXPECT_TRUE(r.inputWhileRunning);
  ASSERT_TRUE(r.exited);
  EXPECT_EQ(r.exitStatus, 0);
  EXPECT_EQ(r.Screen(), kTitle + kDone);
  EXPECT_NE(r.modesAfter.c_lflag & ISIG, 0u);
  EXPECT_TRUE(r.ModesGivenBack());
}

}  // namespace
