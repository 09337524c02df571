#include "normalize/buffers.h"

#include <immintrin.h>

#include "normalize/wave_file.h"

BlockBuffer BUF[2];
int32_t BUFN = 0;
int64_t POSR = 0;
int64_t POSW = 0;

namespace {

// The peak is the larger of the largest sample and the magnitude of the smallest, taken in
// 32 bits so that -32768 counts as 32768. Tracking both extremes in 16-bit lanes is two
// instructions per vector and needs no absolute value, which would wrap for -32768.

int32_t PeakOfExtremes(int32_t largest, int32_t smallest) {
  int32_t peak = PeakFloor;
  if (largest > peak) peak = largest;
  if (-smallest > peak) peak = -smallest;
  return peak;
}

/// The slots from `from` on, one by one.
void WidenExtremes(const int16_t* samples, int32_t from, int32_t slots, int32_t& largest, int32_t& smallest) {
  for (int32_t i = from; i < slots; ++i) {
    largest = samples[i] > largest ? samples[i] : largest;
    smallest = samples[i] < smallest ? samples[i] : smallest;
  }
}

/// The peak from the vector lanes' largest and smallest values and the slots from `from` on.
int32_t FinishPeak(const int16_t* high, const int16_t* low, int32_t lanes, const int16_t* samples,
                   int32_t from, int32_t slots) {
  int32_t top = 0;
  int32_t bottom = 0;
  WidenExtremes(high, 0, lanes, top, bottom);
  WidenExtremes(low, 0, lanes, top, bottom);
  WidenExtremes(samples, from, slots, top, bottom);
  return PeakOfExtremes(top, bottom);
}

/// Eight slots at a time; SSE2 is part of every x86-64.
int32_t PeakOfSse2(const int16_t* samples, int32_t slots) {
  __m128i largest = _mm_setzero_si128();
  __m128i smallest = _mm_setzero_si128();
  int32_t i = 0;
  for (; i + 8 <= slots; i += 8) {
    const __m128i s = _mm_loadu_si128(reinterpret_cast<const __m128i*>(samples + i));
    largest = _mm_max_epi16(largest, s);
    smallest = _mm_min_epi16(smallest, s);
  }
  alignas(16) int16_t high[8];
  alignas(16) int16_t low[8];
  _mm_store_si128(reinterpret_cast<__m128i*>(high), largest);
  _mm_store_si128(reinterpret_cast<__m128i*>(low), smallest);
  return FinishPeak(high, low, 8, samples, i, slots);
}

/// Thirty-two slots at a time, in two independent chains so that loads and compares overlap.
__attribute__((target("avx2"))) int32_t PeakOfAvx2(const int16_t* samples, int32_t slots) {
  __m256i largest0 = _mm256_setzero_si256();
  __m256i largest1 = _mm256_setzero_si256();
  __m256i smallest0 = _mm256_setzero_si256();
  __m256i smallest1 = _mm256_setzero_si256();
  int32_t i = 0;
  for (; i + 32 <= slots; i += 32) {
    const __m256i s0 = _mm256_loadu_si256(reinterpret_cast<const __m256i*>(samples + i));
    const __m256i s1 = _mm256_loadu_si256(reinterpret_cast<const __m256i*>(samples + i + 16));
    largest0 = _mm256_max_epi16(largest0, s0);
    smallest0 = _mm256_min_epi16(smallest0, s0);
    largest1 = _mm256_max_epi16(largest1, s1);
    smallest1 = _mm256_min_epi16(smallest1, s1);
  }
  alignas(32) int16_t high[16];
  alignas(32) int16_t low[16];
  _mm256_store_si256(reinterpret_cast<__m256i*>(high), _mm256_max_epi16(largest0, largest1));
  _mm256_store_si256(reinterpret_cast<__m256i*>(low), _mm256_min_epi16(smallest0, smallest1));
  return FinishPeak(high, low, 16, samples, i, slots);
}

}  // namespace

const bool CpuHasAvx2 = [] {
  __builtin_cpu_init();
  return __builtin_cpu_supports("avx2") != 0;
}();

int32_t PeakOf(const int16_t* samples, int32_t slots) {
  return CpuHasAvx2 ? PeakOfAvx2(samples, slots) : PeakOfSse2(samples, slots);
}

void BUFREAD() {
  BlockBuffer& b = BUF[BUFN];
  Seek(F, POSR);
  b.count = DATA.ckSize >= static_cast<uint64_t>(BlockSize) ? BlockSize : static_cast<int32_t>(DATA.ckSize);
  // Both advance by the requested count, before the transfer, even if fewer bytes arrive.
  DATA.ckSize -= static_cast<uint64_t>(b.count);
  POSR += b.count;
  BlockRead(F, b.samples, b.count);
  // Only the whole samples this read brought: the slots beyond hold an older block, already
  // scaled, whose peak is not this block's. An empty read gives the floor.
  b.peak = PeakOf(b.samples, b.count / 2);
  BUFN = (BUFN + 1) % 2;
}
