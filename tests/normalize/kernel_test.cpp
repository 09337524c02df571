// The vector path of the ramped scaling against the rule itself, slot by slot: every scaled
// byte must come out as the one-slot-at-a-time rule gives it, whatever the length and the
// direction of the ramp. (The peak scan is checked by the whole runs against the model.)
#include <gtest/gtest.h>

#include <random>
#include <vector>

#include "normalize/buffers.h"
#include "normalize/gain.h"

namespace {

/// Noise of magnitude up to peak (-32768 included when peak is 32768).
std::vector<int16_t> Noise(std::size_t n, int32_t peak, uint32_t seed) {
  std::mt19937 rng(seed);
  std::uniform_int_distribution<int32_t> d(-peak, peak < 32767 ? peak : 32767);
  std::vector<int16_t> v(n);
  for (auto& s : v) s = static_cast<int16_t>(d(rng));
  return v;
}

/// ScaleRamp's result must equal the rule's, applied one slot at a time.
void ExpectRuleScale(std::vector<int16_t> s, int32_t mul, int32_t step) {
  std::vector<int16_t> want = s;
  for (std::size_t i = 0; i < want.size(); ++i) {
    const int32_t x = want[i] * ((mul + static_cast<int32_t>(i) * step) >> 10);
    want[i] = static_cast<int16_t>(x < 0 ? -(-x / 16384) : x / 16384);
  }
  ScaleRamp(s.data(), static_cast<int32_t>(s.size()), mul, step);
  ASSERT_EQ(s, want) << "mul " << mul << ", step " << step << ", " << s.size() << " slots";
}

}  // namespace

TEST(ScaleRamp, RisingFallingAndFlatRampsMatchTheRuleByteForByte) {
  // A block's peak and a ramp the gain engine could run over it: mul never exceeds the block
  // gain of the block's peak, which keeps every product within 32 bits.
  const struct {
    int32_t peak, mul, target;
  } ramps[] = {
      {1024, BlockGain(2048), BlockGain(1024)},             // quiet, rising at the limit
      {1024, BlockGain(1024), BlockGain(1024)},             // the largest gain, flat
      {32768, BlockGain(32768), BlockGain(32768)},          // full scale, flat
      {1024, BlockGain(1024), BlockGain(32768)},            // the steepest fall there is
      {20000, BlockGain(20000), BlockGain(20000) - 95999},  // a fall too small for a step
      {16384, 1 << 24, (1 << 24) + RiseLimit},              // x1.0 rising
      {4000, BlockGain(30000), BlockGain(4000)},
      {8192, (1 << 25) - RiseLimit / 2, (1 << 25) + RiseLimit / 2},  // rising across 2^25
      {8192, (1 << 25) + 700000, (1 << 25) - 300000},                // falling across 2^25
  };
  uint32_t seed = 1;
  for (const auto& r : ramps) {
    const int32_t step = (std::min(r.target, r.mul + RiseLimit) - r.mul) / RampDivisor;
    // Lengths across the vector width and across the ramp's 1024-slot rows.
    for (int32_t slots : {FilledSlots, 1, 15, 16, 17, 31, 33, 1000, 1024, 1041, 2101, FilledSlots - 5}) {
      ExpectRuleScale(Noise(static_cast<std::size_t>(slots), r.peak, seed++), r.mul, step);
    }
  }
}
