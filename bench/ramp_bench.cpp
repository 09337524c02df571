// The work on one block of 96000 bytes, ramp by ramp: the gain engine takes a cheaper path
// when the gain holds steady, so the per-block cost is measured both with a steady gain and
// with a moving one, next to a memcpy of the same bytes in the same run.
#include <benchmark/benchmark.h>

#include <cstring>
#include <random>
#include <vector>

#include "normalize/buffers.h"
#include "normalize/gain.h"

namespace {

void FillNoise(int16_t* samples) {
  std::mt19937 rng(42);
  std::uniform_int_distribution<int> d(-20000, 20000);
  for (int32_t i = 0; i < FilledSlots; ++i) samples[i] = static_cast<int16_t>(d(rng));
}

void BM_Memcpy96000(benchmark::State& state) {
  std::vector<int16_t> from(BlockSize);
  std::vector<int16_t> to(BlockSize);
  FillNoise(from.data());
  for (auto _ : state) {
    std::memcpy(to.data(), from.data(), BlockSize);
    benchmark::DoNotOptimize(to.data());
    benchmark::ClobberMemory();
  }
  state.SetBytesProcessed(state.iterations() * BlockSize);
}
BENCHMARK(BM_Memcpy96000);

/// Scan of the next block, then the older block scaled from `gainBelowTarget` under its
/// target up to the target. The older block is declared at full scale, so every gain stays
/// below x1.0 and no product can overflow however often the block is scaled again.
void BlockWork(benchmark::State& state, int32_t gainBelowTarget) {
  FillNoise(BUF[0].samples);
  FillNoise(BUF[1].samples);
  BUF[0].peak = 32768;
  for (auto _ : state) {
    BUF[1].peak = PeakOf(BUF[1].samples, FilledSlots);
    BUFN = 0;
    MUL = BlockGain(32768) - gainBelowTarget;
    BUFCALC();
    benchmark::ClobberMemory();
  }
  state.SetBytesProcessed(state.iterations() * BlockSize);
}

void BM_BlockWorkSteadyGain(benchmark::State& state) { BlockWork(state, 0); }
BENCHMARK(BM_BlockWorkSteadyGain);

/// A rise of 2^20 over the block: a step of 10 per slot.
void BM_BlockWorkRisingGain(benchmark::State& state) { BlockWork(state, 1 << 20); }
BENCHMARK(BM_BlockWorkRisingGain);

}  // namespace

BENCHMARK_MAIN();
