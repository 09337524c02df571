// The built tool's command line and the exit status of each way a run ends before or
// without normalizing, on a real pseudo-terminal.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "support/files.h"
#include "support/tool_run.h"

using namespace testing_support;

namespace {

const std::string kTitle = "Tolvar v1.0\n\n Syntax: Tolvar [Name.wav]";

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

TEST(CommandLine, EachWayARunEndsShowsItsMessageAndStatus) {
  Bytes noData = RiffHeader(4);
  PutChunk(noData, "fmt ", FmtBody(1, 2, 44100, 16));
  FixRiffSize(noData);
  Bytes pcm24 = RiffHeader(4);
  PutChunk(pcm24, "fmt ", FmtBody(1, 2, 44100, 24));
  PutChunk(pcm24, "data", Bytes(6000, 0x40));
  FixRiffSize(pcm24);
  const std::string kFile = "<file>";  // stands for the file's path in args
  const struct {
    const char* what;
    std::vector<std::string> args;
    Bytes file;
    int status;
    std::string below;  ///< the screen after the title and usage lines
    bool fileChanges;
  } table[] = {
      {"two arguments",      {kFile, kFile}, SomeWave(), 2, "",                                     false},
      {"name with blanks",   {kFile},        SomeWave(), 0, "\n\n Normalisiere Wave...100.0%, fertig!", true},
      {"empty name",         {""},           SomeWave(), 3, "\n\n Kann Datei nicht öffnen!",         false},
      {"no data chunk",      {kFile},        noData,     0, "\n\n, fertig!",                         false},
      {"other than 16-bit",  {kFile},        pcm24,      4,
       "\n\n Nur 16-Bit-PCM wird unterstützt, Datei unverändert!",                               false},
  };
  for (const auto& row : table) {
    TempDir dir;
    const std::string path = dir.file("my file.wav");
    WriteFile(path, row.file);
    std::vector<std::string> args = row.args;
    for (std::string& arg : args) arg = arg == kFile ? path : arg;
    PtyResult r = RunTool(args);
    EXPECT_EQ(r.exitStatus, row.status) << row.what;
    EXPECT_EQ(r.Screen(), kTitle + row.below) << row.what;
    EXPECT_EQ(ReadFile(path) != row.file, row.fileChanges) << row.what;
  }
}
