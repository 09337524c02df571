// The real tool ended by SIGTERM part way through a file: it gives the terminal back and
// leaves every block either wholly normalized or wholly as it was, in that order; a run
// started again on such a file finishes the job.
#include <gtest/gtest.h>
#include <signal.h>

#include <algorithm>

#include "normalize/reference_model.h"
#include "support/tool_run.h"

using namespace testing_support;

TEST(InterruptedRun, LeavesWholeBlocksAndASecondRunFinishesTheJob) {
  constexpr int64_t Block = 96000, DataStart = 44, DataBytes = 96'000'000;  // 1000 blocks: long enough to cut
  TempDir dir;
  const std::string path = dir.file("take.wav");
  GenerateWave(path, DataBytes);
  const Bytes original = ReadFile(path);
  PtyRun run;
  run.steps = {{.when = "Wave... 3", .signal = SIGTERM}};  // between 30.0% and 39.9%
  const PtyResult r = RunTool({path}, run);
  ASSERT_EQ(r.modesAtStep.size(), 1u) << "no signal sent: " << r.exitStatus << r.Screen();
  EXPECT_EQ(r.termSignal, SIGTERM);
  EXPECT_TRUE(r.ModesGivenBack());

  // One letter per block: N normalized, O original, = both alike, X neither (a torn block).
  const Bytes file = ReadFile(path);
  ASSERT_EQ(file.size(), original.size());
  std::string states;
  {
    const Bytes normalized = NormalizeModel(original).file;
    for (int64_t at = DataStart; at < DataStart + DataBytes; at += Block) {
      const auto end = file.begin() + std::min(at + Block, DataStart + DataBytes);
      const bool isOriginal = std::equal(file.begin() + at, end, original.begin() + at);
      const bool isNormalized = std::equal(file.begin() + at, end, normalized.begin() + at);
      states += isOriginal && isNormalized ? '=' : isNormalized ? 'N' : isOriginal ? 'O' : 'X';
    }
  }
  EXPECT_TRUE(std::equal(file.begin(), file.begin() + DataStart, original.begin()));
  EXPECT_EQ(states.find('X'), std::string::npos) << "a block was torn: " << states;
  const std::size_t firstOriginal = states.find('O');
  ASSERT_NE(firstOriginal, std::string::npos) << "the run was not interrupted";
  EXPECT_EQ(states.find('N', firstOriginal), std::string::npos) << states;
  EXPECT_GE(firstOriginal, 299u) << "the screen had shown 30.0% done";

  // Blocks the first run brought to full level stay within two sample steps; quiet passages,
  // which it raised only part of the way, are raised further by the same rules.
  EXPECT_EQ(RunTool({path}).exitStatus, 0);
  const Bytes finished = ReadFile(path);
  EXPECT_TRUE(finished == NormalizeModel(file).file);
  int loudBlocks = 0;
  for (int64_t at = DataStart; at + Block <= DataStart + static_cast<int64_t>(firstOriginal) * Block; at += Block) {
    int peak = 0, moved = 0;
    for (int64_t i = at; i < at + Block; i += 2) {
      const int before = static_cast<int16_t>(file[i] | file[i + 1] << 8);
      peak = std::max(peak, std::abs(before));
      moved = std::max(moved, std::abs(static_cast<int16_t>(finished[i] | finished[i + 1] << 8) - before));
    }
    if (peak < 32500) continue;
    ++loudBlocks;
    ASSERT_LE(moved, 2) << "block at " << at;
  }
  EXPECT_GT(loudBlocks, 20);
}
