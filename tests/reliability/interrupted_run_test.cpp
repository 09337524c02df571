// The real tool on a large file, disturbed while it works: a second run on the same file is
// refused and touches nothing, and a run ended by SIGTERM or SIGHUP gives the terminal back
// and leaves every block either wholly normalized or wholly as it was, in that order; a run
// started again on such a file finishes the job.
#include <gtest/gtest.h>
#include <signal.h>

#include <algorithm>

#include "normalize/reference_model.h"
#include "support/tool_run.h"

using namespace testing_support;

namespace {

constexpr int64_t BlockBytes = 96000;
constexpr int64_t DataStart = 44;             // the generator's canonical header
constexpr int64_t DataBytes = 200'000'000;    // about 2100 blocks: long enough to interrupt

class LargeFile : public ::testing::Test {
 protected:
  static void SetUpTestSuite() {
    source_ = new TempDir;
    const std::string path = source_->file("large.wav");
    GenerateWave(path, DataBytes);
    original_ = new Bytes(ReadFile(path));
    normalized_ = new Bytes(NormalizeModel(*original_).file);
  }
  static void TearDownTestSuite() {
    delete normalized_;
    delete original_;
    delete source_;
  }

  /// A fresh copy of the original in this test's own directory.
  std::string Copy() {
    const std::string path = dir_.file("take.wav");
    WriteFile(path, *original_);
    return path;
  }

  /// One letter per block of the data chunk: N normalized, O original, = both alike,
  /// X neither (a torn block).
  static std::string BlockStates(const Bytes& file) {
    std::string states;
    for (int64_t at = DataStart; at < DataStart + DataBytes; at += BlockBytes) {
      const auto n = static_cast<long>(std::min(BlockBytes, DataStart + DataBytes - at));
      const bool isOriginal = std::equal(file.begin() + at, file.begin() + at + n, original_->begin() + at);
      const bool isNormalized = std::equal(file.begin() + at, file.begin() + at + n, normalized_->begin() + at);
      states += isOriginal && isNormalized ? '=' : isNormalized ? 'N' : isOriginal ? 'O' : 'X';
    }
    return states;
  }

  static TempDir* source_;
  static Bytes* original_;
  static Bytes* normalized_;
  TempDir dir_;
};

TempDir* LargeFile::source_ = nullptr;
Bytes* LargeFile::original_ = nullptr;
Bytes* LargeFile::normalized_ = nullptr;

}  // namespace

TEST_F(LargeFile, ASecondRunOnTheSameFileIsRefusedAndTouchesNothing) {
  const std::string path = Copy();
  // The first run is held still right after its first progress text, so it certainly holds
  // the file while the second one tries.
  Bytes before;
  PtyResult second;
  Bytes after;
  PtyRun first;
  first.steps = {{.when = " Normalisiere Wave...", .signal = SIGSTOP}};
  first.whileStopped = [&] {
    before = ReadFile(path);
    second = RunTool({path});
    after = ReadFile(path);
  };
  first.timeoutSeconds = 120;
  const PtyResult firstResult = RunTool({path}, first);
  ASSERT_TRUE(second.exited) << "the first run was never seen stopped";
  EXPECT_EQ(second.exitStatus, 3);
  EXPECT_EQ(second.LastRow(), " Kann Datei nicht öffnen!");
  EXPECT_TRUE(after == before) << "the refused run changed the file";

  EXPECT_TRUE(firstResult.exited);
  EXPECT_EQ(firstResult.exitStatus, 0);
  EXPECT_EQ(firstResult.LastRow(), " Normalisiere Wave...100.0%, fertig!");
  EXPECT_TRUE(ReadFile(path) == *normalized_) << "the file differs from a single run's result";
}

TEST_F(LargeFile, ATerminatingSignalLeavesWholeBlocksAndGivesTheTerminalBack) {
  for (int signal : {SIGTERM, SIGHUP}) {
    SCOPED_TRACE(strsignal(signal));
    const std::string path = Copy();
    PtyRun run;
    run.steps = {{.when = "Wave... 3", .signal = signal}};  // between 30.0% and 39.9%
    run.timeoutSeconds = 120;
    const PtyResult r = RunTool({path}, run);
    ASSERT_EQ(r.modesAtStep.size(), 1u) << "no signal sent";
    EXPECT_EQ(r.termSignal, signal);
    EXPECT_TRUE(r.ModesGivenBack());

    const Bytes file = ReadFile(path);
    ASSERT_EQ(file.size(), original_->size());
    EXPECT_TRUE(std::equal(file.begin(), file.begin() + DataStart, original_->begin()));
    const std::string states = BlockStates(file);
    EXPECT_EQ(states.find('X'), std::string::npos) << "a block was torn: " << states.find('X');
    // Normalized blocks first, then original ones; blocks alike either way may stand anywhere.
    const std::size_t firstOriginal = states.find('O');
    ASSERT_NE(firstOriginal, std::string::npos) << "the run was not interrupted";
    EXPECT_EQ(states.find('N', firstOriginal), std::string::npos);
    // The screen had shown 30.0% done, that is at least 29.95% of the file: 624 blocks.
    EXPECT_GE(firstOriginal, 624u);
    if (signal != SIGTERM) continue;

    // A second run finishes the job: the whole file normalized by the same rules. Blocks the
    // first run brought to full level stay within two sample steps; quiet passages, which the
    // first run raised only part of the way, are raised further.
    const PtyResult again = RunTool({path});
    EXPECT_EQ(again.exitStatus, 0);
    const Bytes finished = ReadFile(path);
    EXPECT_TRUE(finished == NormalizeModel(file).file);
    int loudBlocks = 0;
    for (int64_t at = DataStart; at + BlockBytes <= DataStart + static_cast<int64_t>(firstOriginal) * BlockBytes; at += BlockBytes) {
      int peak = 0, moved = 0;
      for (int64_t i = at; i < at + BlockBytes; i += 2) {
        const int before = static_cast<int16_t>(file[i] | file[i + 1] << 8);
        peak = std::max(peak, std::abs(before));
        moved = std::max(moved, std::abs(static_cast<int16_t>(finished[i] | finished[i + 1] << 8) - before));
      }
      if (peak < 32500) continue;
      ++loudBlocks;
      ASSERT_LE(moved, 2) << "block at " << at;
    }
    EXPECT_GT(loudBlocks, 100);
  }
}
