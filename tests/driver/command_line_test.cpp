// The built tool's command line and the exit status of each way a run ends before or
// without normalizing, on a real pseudo-terminal.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "support/files.h"
#include "support/pty_screen.h"

using namespace testing_support;

namespace {

const std::string kTitle = "Tolvar v1.0\n\n Syntax: Tolvar [Name.wav]";

PtyResult RunTool(const std::vector<std::string>& args) {
  PtyRun run;
  run.program = TOLVAR_BIN;
  run.args = args;
  PtyResult r = RunOnPty(run);
  EXPECT_FALSE(r.timedOut);
  EXPECT_TRUE(r.exited);
  return r;
}

Bytes SomeWave() {
  std::vector<int16_t> s(3000);
  for (size_t i = 0; i < s.size(); ++i) s[i] = static_cast<int16_t>(i % 600);
  return CanonicalWave(s);
}

}  // namespace

TEST(CommandLine, NoArgumentShowsTheUsageAndSucceeds) {
  PtyResult r = RunTool({});
  EXPECT_EQ(r.exitStatus, 0);
  EXPECT_EQ(r.Screen(), kTitle);
  EXPECT_EQ(r.cursorRow, 4);
}

TEST(CommandLine, TwoArgumentsShowTheUsageTouchNothingAndFail) {
  TempDir dir;
  WriteFile(dir.file("a.wav"), SomeWave());
  PtyResult r = RunTool({dir.file("a.wav"), dir.file("a.wav")});
  EXPECT_EQ(r.exitStatus, 2);
  EXPECT_EQ(r.Screen(), kTitle);
  EXPECT_EQ(ReadFile(dir.file("a.wav")), SomeWave());
}

TEST(CommandLine, NameWithBlanksReachesTheWalkWhole) {
  TempDir dir;
  WriteFile(dir.file("my file.wav"), SomeWave());
  PtyResult r = RunTool({dir.file("my file.wav")});
  EXPECT_EQ(r.exitStatus, 0);
  EXPECT_EQ(r.Screen(), kTitle + "\n\n Normalisiere Wave...100.0%, fertig!");
  EXPECT_NE(ReadFile(dir.file("my file.wav")), SomeWave());
}

TEST(CommandLine, EmptyNameCannotBeOpened) {
  PtyResult r = RunTool({""});
  EXPECT_EQ(r.exitStatus, 3);
  EXPECT_EQ(r.Screen(), kTitle + "\n\n Kann Datei nicht öffnen!");
}

TEST(CommandLine, FileWithoutDataChunkCompletesAlone) {
  TempDir dir;
  Bytes wave = RiffHeader(4);
  PutChunk(wave, "fmt ", FmtBody(1, 2, 44100, 16));
  FixRiffSize(wave);
  WriteFile(dir.file("a.wav"), wave);
  PtyResult r = RunTool({dir.file("a.wav")});
  EXPECT_EQ(r.exitStatus, 0);
  EXPECT_EQ(r.Screen(), kTitle + "\n\n, fertig!");
  EXPECT_EQ(ReadFile(dir.file("a.wav")), wave);
}

TEST(CommandLine, OtherThan16BitPcmIsRefusedAndLeftUnchanged) {
  TempDir dir;
  Bytes wave = RiffHeader(4);
  PutChunk(wave, "fmt ", FmtBody(1, 2, 44100, 24));
  PutChunk(wave, "data", Bytes(6000, 0x40));
  FixRiffSize(wave);
  WriteFile(dir.file("a.wav"), wave);
  PtyResult r = RunTool({dir.file("a.wav")});
  EXPECT_EQ(r.exitStatus, 4);
  EXPECT_EQ(r.Screen(), kTitle + "\n\n Nur 16-Bit-PCM wird unterstützt, Datei unverändert!");
  EXPECT_EQ(ReadFile(dir.file("a.wav")), wave);
}
