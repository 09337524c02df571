// The work done on one block of 96000 bytes: the peak scan of the block just read and the
// ramped scaling of the older one, beside a memcpy of the same bytes as the yardstick.
//
// The block work is timed by hand around the scan and the scaling, with both buffers copied
// fresh before each round, so that every round scales real samples with the gain it would
// have in a file, above x1.0 as well as below, without the samples drifting from round to
// round.
#include <benchmark/benchmark.h>

#include <algorithm>
#include <chrono>
#include <cmath>
#include <cstring>
#include <random>
#include <vector>

#include "normalize/buffers.h"
#include "normalize/gain.h"

namespace {

/// The least of the repetitions: on a shared machine the noise only ever adds time.
double Least(const std::vector<double>& v) { return *std::min_element(v.begin(), v.end()); }

/// A block of noise whose peak is `peak`: the filled slots, the rest zero as in the tool.
std::vector<int16_t> NoiseBlock(int32_t peak, uint32_t seed) {
  std::mt19937 rng(seed);
  std::uniform_int_distribution<int> d(-peak, peak);
  std::vector<int16_t> block(BlockSize, 0);
  for (int32_t i = 0; i < FilledSlots; ++i) block[i] = static_cast<int16_t>(d(rng));
  block[FilledSlots / 2] = static_cast<int16_t>(peak);
  return block;
}

/// Times one round of `work` by hand, after `prepare`, which is not timed. Besides the usual
/// mean, the counter least_ns keeps the quickest single round: on a machine shared with other
/// work a round is only ever slowed down, so the least one is the steadiest figure.
template <typename Prepare, typename Work>
void TimeRounds(benchmark::State& state, Prepare prepare, Work work) {
  double least = 1e9;
  for (auto _ : state) {
    prepare();
    const auto start = std::chrono::steady_clock::now();
    work();
    benchmark::ClobberMemory();
    const double seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
    state.SetIterationTime(seconds);
    least = std::min(least, seconds);
  }
  state.counters["least_ns"] = least * 1e9;
  state.SetBytesProcessed(state.iterations() * BlockSize);
}

void BM_Memcpy96000(benchmark::State& state) {
  const std::vector<int16_t> from = NoiseBlock(20000, 1);
  std::vector<int16_t> to(BlockSize);
  TimeRounds(
      state, [] {},
      [&] {
        std::memcpy(to.data(), from.data(), BlockSize);
        benchmark::DoNotOptimize(to.data());
      });
}
BENCHMARK(BM_Memcpy96000)->UseManualTime()->ComputeStatistics("min", Least);

/// The scan alone; it reads the block and changes nothing.
void BM_PeakScan(benchmark::State& state) {
  const std::vector<int16_t> block = NoiseBlock(20000, 1);
  TimeRounds(
      state, [] {}, [&] { benchmark::DoNotOptimize(PeakOf(block.data(), FilledSlots)); });
}
BENCHMARK(BM_PeakScan)->UseManualTime()->ComputeStatistics("min", Least);

/// One pass's arithmetic: the scan of the newer buffer, then BUFCALC on the older one,
/// which starts at gain `mul`. The peaks of the two blocks decide where the gain goes.
void BlockWork(benchmark::State& state, int32_t olderPeak, int32_t newerPeak, int32_t mul) {
  const std::vector<int16_t> older = NoiseBlock(olderPeak, 2);
  const std::vector<int16_t> newer = NoiseBlock(newerPeak, 3);
  TimeRounds(
      state,
      [&] {
        std::memcpy(BUF[0].samples, older.data(), BlockSize);
        std::memcpy(BUF[1].samples, newer.data(), BlockSize);
        BUF[0].peak = olderPeak;
        BUF[0].count = BlockSize;
        BUFN = 0;
        MUL = mul;
      },
      [] {
        BUF[1].peak = PeakOf(BUF[1].samples, FilledSlots);
        BUFCALC();
      });
  const int32_t step = (MUL - mul) / RampDivisor;
  state.counters["gain_from"] = mul / 16777216.0;
  state.counters["gain_to"] = MUL / 16777216.0;
  state.counters["step"] = step;
}

/// A file loud throughout: the gain holds at the block gain, x1.41.
void BM_BlockWorkSteadyGain(benchmark::State& state) { BlockWork(state, 23000, 23000, BlockGain(23000)); }
BENCHMARK(BM_BlockWorkSteadyGain)->UseManualTime()->ComputeStatistics("min", Least);

/// A quiet passage: the gain rises by the most it may, x0.125 per block, from x4.
void BM_BlockWorkRisingGain(benchmark::State& state) { BlockWork(state, 2000, 2000, 4 << 24); }
BENCHMARK(BM_BlockWorkRisingGain)->UseManualTime()->ComputeStatistics("min", Least);

/// A loud block after a quiet one: the gain falls from x31.75 to x1.41, crossing many
/// whole multiples of x1.0 on the way.
void BM_BlockWorkFallingGain(benchmark::State& state) { BlockWork(state, 1000, 23000, BlockGain(1024)); }
BENCHMARK(BM_BlockWorkFallingGain)->UseManualTime()->ComputeStatistics("min", Least);

}  // namespace

BENCHMARK_MAIN();
