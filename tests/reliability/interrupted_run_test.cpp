// The real tool ended by SIGTERM part way through a file: it gives the terminal back and
// leaves every block either wholly normalized or wholly as it was, in that order; a run
// started again on such a file finishes the job. The files are compared block by block from
// disk, so that a file long enough to be cut whatever the machine's speed stays cheap.
#include <gtest/gtest.h>
#include <signal.h>

#include <algorithm>
#include <cstdlib>
#include <filesystem>
#include <fstream>

#include "support/files.h"
#include "support/tool_run.h"

using namespace testing_support;

namespace {

constexpr int64_t Block = 96000, DataStart = 44, DataBytes = 480'000'000;  // 5000 blocks

/// The files side by side, one data block at a time.
struct Blocks {
  explicit Blocks(std::initializer_list<std::string> paths) {
    for (const auto& p : paths) {
      files.emplace_back(p, std::ios::binary);
      files.back().seekg(DataStart);
      data.emplace_back(Block);
    }
  }
  bool Next() {
    for (std::size_t i = 0; i < files.size(); ++i) files[i].read(data[i].data(), Block);
    return files[0].gcount() == Block;
  }
  int Sample(std::size_t file, int64_t i) const {
    return static_cast<int16_t>(static_cast<uint8_t>(data[file][i]) | data[file][i + 1] << 8);
  }
  std::vector<std::ifstream> files;
  std::vector<std::vector<char>> data;
};

}  // namespace

TEST(InterruptedRun, LeavesWholeBlocksAndASecondRunFinishesTheJob) {
  TempDir dir;
  const std::string path = dir.file("take.wav"), original = dir.file("original.wav"),
                    normalized = dir.file("normalized.wav"), interrupted = dir.file("interrupted.wav");
  GenerateWave(path, DataBytes);
  std::filesystem::copy_file(path, original);
  std::filesystem::copy_file(path, normalized);
  ASSERT_EQ(RunTool({normalized}).exitStatus, 0);
  PtyRun run;
  // Ctrl+S as soon as the progress shows, and SIGTERM once the tool waits to write: wherever
  // the pass then stands, the signal comes part way through.
  run.steps = {{.when = "Wave...", .type = "\x13"}, {.when = kBlocked, .signal = SIGTERM}};
  const PtyResult r = RunTool({path}, run);
  ASSERT_EQ(r.modesAtStep.size(), 2u) << "no signal sent: " << r.exitStatus << r.Screen();
  EXPECT_EQ(r.termSignal, SIGTERM);
  EXPECT_TRUE(r.ModesGivenBack());
  ASSERT_EQ(std::filesystem::file_size(path), std::filesystem::file_size(original));
  std::filesystem::copy_file(path, interrupted);

  // One letter per block: N normalized, O original, = both alike, X neither (a torn block).
  std::string states;
  for (Blocks b{path, original, normalized}; b.Next();) {
    const bool isOriginal = b.data[0] == b.data[1], isNormalized = b.data[0] == b.data[2];
    states += isOriginal && isNormalized ? '=' : isNormalized ? 'N' : isOriginal ? 'O' : 'X';
  }
  EXPECT_EQ(states.find('X'), std::string::npos) << "a block was torn: " << states;
  const std::size_t firstOriginal = states.find('O');
  ASSERT_NE(firstOriginal, std::string::npos) << "the run was not interrupted";
  ASSERT_NE(firstOriginal, 0u) << "the run was cut before its first block";
  EXPECT_EQ(states.find('N', firstOriginal), std::string::npos) << states;
  // The screen never shows more done than was written.
  const std::string row = r.LastRow();
  const double shown = std::atof(row.c_str() + row.rfind("...") + 3);
  EXPECT_GE(static_cast<double>(DataStart + static_cast<int64_t>(firstOriginal) * Block),
            (shown - 0.05) / 100 * static_cast<double>(DataStart + DataBytes))
      << row;

  // Blocks the first run brought to full level stay within two sample steps; quiet passages,
  // which it raised only part of the way, are raised further by the same rules.
  EXPECT_EQ(RunTool({path}).exitStatus, 0);
  int loudBlocks = 0;
  Blocks b{interrupted, path};
  for (std::size_t block = 0; block < firstOriginal && b.Next(); ++block) {
    int peak = 0, moved = 0;
    for (int64_t i = 0; i < Block; i += 2) {
      peak = std::max(peak, std::abs(b.Sample(0, i)));
      moved = std::max(moved, std::abs(b.Sample(1, i) - b.Sample(0, i)));
    }
    if (peak < 32500) continue;
    ++loudBlocks;
    ASSERT_LE(moved, 2) << "block " << block;
  }
  EXPECT_GT(loudBlocks, 20);
}
