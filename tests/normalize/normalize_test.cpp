#include <gtest/gtest.h>

#include <algorithm>
#include <cstring>
#include <random>

#include "normalize/buffers.h"
#include "normalize/gain.h"
#include "normalize/progress.h"
#include "normalize/reference_model.h"
#include "normalize/walk_runner.h"
#include "runtime/file_access.h"
#include "runtime/text_output.h"

using namespace testing_support;

namespace {

int16_t ScaleOne(int16_t s, int32_t mul) {
  ScaleRamp(&s, 1, mul, 0);
  return s;
}

/// Samples in passages of the given lengths and loudness, a deterministic noise.
std::vector<int16_t> Passages(std::initializer_list<std::pair<int, int>> lengthAndPeak, uint32_t seed = 1) {
  std::mt19937 rng(seed);
  std::vector<int16_t> out;
  for (auto [length, peak] : lengthAndPeak) {
    std::uniform_int_distribution<int> d(-peak, peak);
    for (int i = 0; i < length; ++i) out.push_back(static_cast<int16_t>(std::clamp(d(rng), -32768, 32767)));
  }
  return out;
}

/// The samples of the first "data" chunk of a canonical file.
std::vector<int16_t> DataSamples(const Bytes& file) {
  std::vector<int16_t> s((file.size() - 44) / 2);
  if (!s.empty()) std::memcpy(s.data(), file.data() + 44, s.size() * 2);
  return s;
}

int MaxMagnitude(const std::vector<int16_t>& s) {
  int m = 0;
  for (int16_t v : s) m = std::max(m, std::abs(static_cast<int>(v)));
  return m;
}

}  // namespace

TEST(BlockGain, BringsThePeakTo32512) {
  EXPECT_EQ(BlockGain(1024), 532676608);
  EXPECT_EQ(BlockGain(16384), 33292288);
  EXPECT_EQ(BlockGain(32768), 16646144);
  EXPECT_EQ(ScaleOne(16384, BlockGain(16384)), 32512);
}

TEST(ScaleRamp, WorkedValues) {
  struct Case { int32_t mul; int16_t in, out; } cases[] = {
      {16646144, 32767, 32511},   {16646144, -32768, -32512},  // full scale lowered slightly
      {532676608, 1024, 32512},   {532676608, -1, -31},        // the largest gain
      {1 << 24, 12345, 12345},    {1 << 24, -1, -1},           // x1.0 changes nothing
      {16646144, -1, 0},          {16646144, 1, 0},            // truncation toward zero
      {532676608, 0, 0},
  };
  for (const Case& c : cases) EXPECT_EQ(ScaleOne(c.in, c.mul), c.out) << c.in << " at " << c.mul;
}

class GainEngine : public ::testing::Test {
 protected:
  void SetUp() override {
    ResetProgramState();
    BUF[0].count = BUF[1].count = BlockSize;
  }
};

TEST_F(GainEngine, RiseIsLimitedAndTheRampMovesSlotBySlot) {
  BUF[0].peak = BUF[1].peak = 1024;
  BUFN = 0;
  MUL = 16646144;
  BUF[0].samples[0] = 1024;
  BUF[0].samples[FilledSlots - 1] = 1024;
  BUFCALC();
  EXPECT_EQ(MUL, 18743296);               // 16646144 + 0x200000
  EXPECT_EQ(BUF[0].samples[0], 1016);     // the first slot at the old gain
  // Slot 47999 at 16646144 + 47999 * 21, the step being 0x200000 / 96000.
  EXPECT_EQ(BUF[0].samples[FilledSlots - 1], (1024 * ((16646144 + 47999 * 21) >> 10)) / 16384);
}

TEST_F(GainEngine, LoudNextBlockPullsTheTargetDown) {
  BUF[0].peak = 1024;
  BUF[1].peak = 32768;
  BUFN = 0;
  MUL = 16646144;
  BUFCALC();
  EXPECT_EQ(MUL, 16646144);
}

TEST_F(GainEngine, SmallFallKeepsTheOldGainForTheWholeBlock) {
  BUF[0].peak = BUF[1].peak = 16384;
  BUFN = 1;
  MUL = 33292288 + 95999;  // (target - MUL) / 96000 truncates to 0
  BUF[1].samples[0] = BUF[1].samples[40000] = 16384;
  BUFCALC();
  EXPECT_EQ(MUL, 33292288);
  EXPECT_EQ(BUF[1].samples[0], ScaleOne(16384, 33292288 + 95999));
  EXPECT_EQ(BUF[1].samples[40000], BUF[1].samples[0]);
}

// Whole chunks through the real file layer, compared with the literal model and with what
// must hold whatever the model says.
class NormalizeFile : public ::testing::TestWithParam<int> {};

TEST_P(NormalizeFile, MatchesTheModelAndTouchesOnlyTheData) {
  const int dataBytes = GetParam();
  std::vector<int16_t> samples = Passages({{dataBytes / 4, 20000}, {dataBytes / 2 - dataBytes / 4, 700}});
  const Bytes input = CanonicalWave(samples);
  const WalkRun run = RunWalk(input);
  ASSERT_TRUE(run.accepted);
  EXPECT_EQ(run.status, 0);
  ASSERT_EQ(run.file.size(), input.size());
  EXPECT_TRUE(std::equal(input.begin(), input.begin() + 44, run.file.begin())) << "header changed";
  EXPECT_EQ(run.file, NormalizeModel(input).file);
  EXPECT_LE(MaxMagnitude(DataSamples(run.file)), 32512);
}

INSTANTIATE_TEST_SUITE_P(ChunkSizes, NormalizeFile, ::testing::Values(0, 2, 96000, 96002, 100000, 300000, 1000000));

TEST(NormalizeProfiles, QuietToLoudAndLoudToQuietMatchTheModel) {
  const std::vector<std::vector<int16_t>> profiles = {
      Passages({{200000, 300}, {150000, 32767}, {200000, 300}}, 7),       // rise limit, then look-ahead
      Passages({{100000, 32767}, {300000, 50}, {48000, 16000}}, 8),        // slow rise from full scale
      Passages({{48000, 1000}, {48000, 2000}, {48000, 4000}, {48000, 8000}}, 9),
  };
  for (const auto& samples : profiles) {
    const Bytes input = CanonicalWave(samples);
    const WalkRun run = RunWalk(input);
    EXPECT_EQ(run.file, NormalizeModel(input).file);
    const std::vector<int16_t> out = DataSamples(run.file);
    EXPECT_LE(MaxMagnitude(out), 32512);
  }
}

TEST(NormalizeProfiles, LoudBlockStartsAtAGainThatFitsIt) {
  // A quiet block before a full-scale one: the quiet block ends on the loud block's gain, so
  // the loud block's first sample is already within range and reaches 32511.
  std::vector<int16_t> samples(48000, 100);
  samples.resize(96000, 32767);
  const std::vector<int16_t> out = DataSamples(RunWalk(CanonicalWave(samples)).file);
  EXPECT_EQ(out[48000], 32511);
  EXPECT_EQ(MaxMagnitude(out), 32511);
}

TEST(NormalizeProfiles, FullScaleIsLoweredSlightly) {
  std::vector<int16_t> samples;
  for (int i = 0; i < 150000; ++i) samples.push_back(i % 2 ? 32767 : -32768);
  const std::vector<int16_t> out = DataSamples(RunWalk(CanonicalWave(samples)).file);
  for (size_t i = 0; i < out.size(); ++i) {
    ASSERT_EQ(out[i], i % 2 ? 32511 : -32512) << "sample " << i;
  }
}

TEST(NormalizeProfiles, QuietPassageRisesByAtMostAnEighthPerBlock) {
  // Blocks that all peak at 1024 start at x31.75 (the first block's own gain) and stay there;
  // after a full-scale start the gain climbs by 0.125 per block.
  std::vector<int16_t> samples(48000, 32767);
  samples.resize(48000 * 6, 1024);
  const std::vector<int16_t> out = DataSamples(RunWalk(CanonicalWave(samples)).file);
  // The last sample of each quiet block: the gain is below 1 + 0.125 * blocks.
  for (int block = 1; block < 6; ++block) {
    const int last = out[static_cast<size_t>(48000 * (block + 1) - 1)];
    EXPECT_LE(last, 1024 * (1.0 + 0.125 * block)) << "block " << block;
    EXPECT_GT(last, 1024) << "block " << block;
  }
}

TEST(NormalizeProfiles, EveryBlockIsJudgedByItsOwnSamples) {
  // Quiet throughout (peaks below 1024): every sample at x31.75 up to the very end, also in a
  // short last block and in a short quiet chunk after a loud one, whose buffers still hold
  // older, already scaled samples beyond what their last reads brought.
  const std::vector<int16_t> quiet = Passages({{130001, 1000}}, 10);
  Bytes twoChunks = CanonicalWave(Passages({{150000, 30000}}, 11));
  PutChunk(twoChunks, "data", SampleBytes(Passages({{20000, 1000}}, 12)));
  FixRiffSize(twoChunks);
  const struct { Bytes file; size_t quietFrom; } rows[] = {
      {CanonicalWave(quiet), 44},
      {twoChunks, twoChunks.size() - 40000},
  };
  for (const auto& row : rows) {
    const WalkRun run = RunWalk(row.file);
    EXPECT_EQ(run.file, NormalizeModel(row.file).file);
    for (size_t at = row.quietFrom; at + 1 < row.file.size(); at += 2) {
      const auto in = static_cast<int16_t>(row.file[at] | row.file[at + 1] << 8);
      const auto out = static_cast<int16_t>(run.file[at] | run.file[at + 1] << 8);
      ASSERT_EQ(out, ScaleOne(in, BlockGain(1024))) << "byte " << at << " of " << row.file.size();
    }
  }
}

TEST(ProgressText, EveryBlockShowsWhatTheFull80BitComputationGives) {
  // Positions from `start` in steps of `step` up to the size, in the order a pass takes them.
  const struct { int64_t start, size, step; } files[] = {
      {0, 192'000'000, BlockSize},  // every odd block lies exactly halfway between two texts
      {0, 192'000'001, BlockSize},  // one byte off those halfway points, either way
      {0, 191'999'999, BlockSize},
      {44, 44 + (int64_t{1} << 30), BlockSize},  // 1 GiB of data behind the canonical header
      {44, 96'044, BlockSize},
      {12345, (int64_t{1} << 36) + 12345, BlockSize},
      {0, 2000, 1},   // 1, 7 and 17 of 2000 lie a hair below a halfway point
      {0, 10000, 1},  // 9995 of 10000 too
      {0, 400, 1},    // 49 of 400 is exactly halfway
  };
  for (const auto& f : files) {
    for (int64_t p = f.start;; p = std::min(p + f.step, f.size)) {
      char full[RealTextCapacity];
      const long double percent = static_cast<long double>(p) / static_cast<long double>(f.size) * 100.0L;
      const std::string_view want(full, Str_Real(5, 1, percent, RealTypeExtended, full));
      ASSERT_EQ(ProgressText(p, f.size), want) << p << " of " << f.size;
      if (p == f.size) break;
    }
  }
}
