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
  explicit Blocks(std::initializer_list<std::string> paths) : data(paths.size(), std::vector<char>(Block)) {
    for (const auto& p : paths) files.emplace_back(p, std::ios::binary).seekg(DataStart);
  }
  bool Next() {
    for (std::size_t i = 0; i < files.size(); ++i) files[i].read(data[i].data(), Block);
    return files[0].gcount() == Block;
  }
  int Sample(std::size_t f, int64_t i) const {
    return static_cast<int16_t>(static_cast<uint8_t>(data[f][i]) | data[f][i + 1] << 8);
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
  for (const auto& copy : {original, normalized}) std::filesystem::copy_file(path, copy);
  ASSERT_EQ(RunTool({normalized}).exitStatus, 0);
  PtyRun run;
  // Ctrl+S as soon as the progress shows, and SIGTERM once the tool waits to write: wherever
  // the pass then stands, the signal comes part way through.
  run.steps = {{.when = "Wave...", .type = "\x13"}, {.when = kBlocked, .signal = SIGTERM}};
  const PtyResult r = RunTool({path}, run);
  ASSERT_EQ(r.modesAtStep.size(), 2u) << "no signal sent: " << r.exitStatus << r.Screen();
  EXPECT_EQ(std::pair(r.termSignal, r.ModesGivenBack()), std::pair(SIGTERM, true)) << "killed, modes given back";
  ASSERT_EQ(std::filesystem::file_size(path), std::filesystem::file_size(original));
  std::filesystem::copy_file(path, interrupted);

  // One letter per block: N normalized, O original, = both alike, X neither (a torn block).
  std::string states;
  for (Blocks b{path, original, normalized}; b.Next();) {
    const bool isOriginal = b.data[0] == b.data[1], isNormalized = b.data[0] == b.data[2];
    states += isOriginal && isNormalized ? '=' : isNormalized ? 'N' : isOriginal ? 'O' : 'X';
  }
  const std::size_t firstOriginal = states.find('O');
  ASSERT_TRUE(firstOriginal != 0 && firstOriginal != std::string::npos) << "the run was not cut part way: " << states;
  EXPECT_EQ(std::pair(states.find_first_not_of("N="), states.find_first_not_of("O=", firstOriginal)),
            std::pair(firstOriginal, std::string::npos))
      << "a block torn or out of order: " << states;
  // The screen never shows more done than was written.
  const std::string row = r.LastRow();
  const double shown = std::atof(row.c_str() + row.rfind("...") + 3);
  EXPECT_GE((DataStart + static_cast<double>(firstOriginal) * Block) / (DataStart + DataBytes) * 100 + 0.05, shown)
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
    loudBlocks += peak >= 32500;
    ASSERT_TRUE(peak < 32500 || moved <= 2) << "loud block " << block << " moved by " << moved;
  }
  EXPECT_GT(loudBlocks, 20);
}
