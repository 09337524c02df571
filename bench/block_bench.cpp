// The work done on one block of 96000 bytes: the peak scan and the ramped scaling, with a
// steady and with a moving gain, beside a memcpy of the same bytes as the yardstick.
#include <benchmark/benchmark.h>

#include <cstring>
#include <random>
#include <vector>

#include "normalize/buffers.h"
#include "normalize/gain.h"

namespace {

std::vector<int16_t> NoiseBlock() {
  std::mt19937 rng(42);
  std::uniform_int_distribution<int> d(-20000, 20000);
  std::vector<int16_t> block(BlockSize, 0);
  for (int32_t i = 0; i < FilledSlots; ++i) block[i] = static_cast<int16_t>(d(rng));
  return block;
}

void BM_Memcpy96000(benchmark::State& state) {
  const std::vector<int16_t> from = NoiseBlock();
  std::vector<int16_t> to(BlockSize);
  for (auto _ : state) {
    std::memcpy(to.data(), from.data(), BlockSize);
    benchmark::DoNotOptimize(to.data());
    benchmark::ClobberMemory();
  }
  state.SetBytesProcessed(state.iterations() * BlockSize);
}
BENCHMARK(BM_Memcpy96000);

void BM_PeakScan(benchmark::State& state) {
  const std::vector<int16_t> block = NoiseBlock();
  for (auto _ : state) {
    benchmark::DoNotOptimize(PeakOf(block.data(), FilledSlots));
  }
  state.SetBytesProcessed(state.iterations() * BlockSize);
}
BENCHMARK(BM_PeakScan);

void BM_ScaleRamp(benchmark::State& state) {
  const std::vector<int16_t> fresh = NoiseBlock();
  std::vector<int16_t> block = fresh;
  for (auto _ : state) {
    // A gain of x1.0 rising slightly keeps the samples from shrinking to nothing over the run.
    ScaleRamp(block.data(), FilledSlots, 1 << 24, 1);
    benchmark::ClobberMemory();
  }
  state.SetBytesProcessed(state.iterations() * BlockSize);
}
BENCHMARK(BM_ScaleRamp);

/// Scan of the next block, then the older block scaled from `gainBelowTarget` under its
/// target up to the target. The older block is declared at full scale, so every gain stays
/// below x1.0 and no product can overflow however often the block is scaled again. The gain
/// engine takes a cheaper path when the gain holds steady, so both kinds are measured.
void BlockWork(benchmark::State& state, int32_t gainBelowTarget) {
  const std::vector<int16_t> fresh = NoiseBlock();
  std::memcpy(BUF[0].samples, fresh.data(), BlockSize);
  std::memcpy(BUF[1].samples, fresh.data(), BlockSize);
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
