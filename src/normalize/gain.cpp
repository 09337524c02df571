#include "normalize/gain.h"

#include <immintrin.h>

#include <cstdint>

#include "normalize/buffers.h"

int32_t MUL = 0;

namespace {

/// The rule for one slot, in the form every other path must match byte for byte.
void ScaleSlots(int16_t* samples, int32_t from, int32_t to, int32_t mul, int32_t step) {
  for (int32_t i = from; i < to; ++i) {
    const int32_t x = samples[i] * ((mul + i * step) >> 10);
    samples[i] = static_cast<int16_t>((x + ((x >> 31) & 16383)) >> 14);
  }
}

/// Whether the gain a = mul + i * step stays within 0 .. 2^31 - 1 over every slot, where
/// the vector path's split of the gain holds. The ramp is linear, so its two ends decide.
bool RampFitsVectorPath(int32_t slots, int32_t mul, int32_t step) {
  const int64_t first = mul;
  const int64_t last = static_cast<int64_t>(mul) + static_cast<int64_t>(slots - 1) * step;
  return first >= 0 && last >= 0 && last <= INT32_MAX;
}

// Sixteen slots at a time in 16-bit lanes. With the gain a = mul + i * step, g = a >> 10
// splits into g = coarse * 2^14 + fine, coarse = a >> 24 and fine = (a >> 10) & 0x3FFF. For
// u = |s| (at most 32768, so unsigned), the truncated quotient is
//   trunc(s * g / 2^14) = sign(s) * (u * coarse + floor(u * fine * 4 / 2^16)),
// where the first product is taken modulo 2^16 (only the low 16 bits are stored anyway) and
// the second is the high half of an unsigned 16 x 16 product.
//
// coarse changes only where the ramp crosses a multiple of 2^24, at most a few times per
// block, so the ramp is cut into stretches of one coarse value each. Within a stretch only
// fine * 4 moves, and fine * 4 = (g << 2) mod 2^16.
//
// g itself repeats with an offset every 1024 slots: 1024 * step is a whole multiple of 2^10,
// so for slot i = 1024 * r + t, g(i) = ((mul + t * step) >> 10) + r * step exactly. The
// fine * 4 of the first 1024 slots (64 groups) is worked out once per block into a table;
// every group after that is its table entry plus the offset (r * step * 4) mod 2^16 of its
// row: one load and one 16-bit add per group instead of the 32-bit ramp.

/// Groups of sixteen slots in one period of the ramp's fine part.
constexpr int32_t PeriodGroups = 1024 / 16;

/// fine * 4 of the first PeriodGroups groups of a ramp, in slot order.
struct FineTable {
  __m256i group[PeriodGroups];
};

/// Fills the table for the ramp mul + i * step, as far as `groups` groups reach.
__attribute__((target("avx2"))) void FillFineTable(FineTable& table, int32_t mul, int32_t step,
                                                   int32_t groups) {
  // a << 8 in 32-bit lanes, modulo 2^32 throughout: only bits 10..23 of a are read back. The
  // even slots in one vector and the odd ones in the other, so that the upper halves
  // interleave in slot order.
  const __m256i start = _mm256_set1_epi32(mul);
  const __m256i stepLanes = _mm256_set1_epi32(step);
  __m256i even = _mm256_slli_epi32(
      _mm256_add_epi32(start, _mm256_mullo_epi32(_mm256_setr_epi32(0, 2, 4, 6, 8, 10, 12, 14), stepLanes)),
      8);
  __m256i odd = _mm256_slli_epi32(
      _mm256_add_epi32(start, _mm256_mullo_epi32(_mm256_setr_epi32(1, 3, 5, 7, 9, 11, 13, 15), stepLanes)),
      8);
  const __m256i advance = _mm256_set1_epi32(static_cast<int32_t>(static_cast<uint32_t>(step) << 12));
  // Bits 8 and 9 of a lie below the gain's upper 22 bits and must not act.
  const __m256i fineBits = _mm256_set1_epi16(static_cast<int16_t>(0xFFFC));
  const int32_t filled = groups < PeriodGroups ? groups : PeriodGroups;
  for (int32_t k = 0; k < filled; ++k) {
    table.group[k] = _mm256_and_si256(_mm256_blend_epi16(_mm256_srli_epi32(even, 16), odd, 0xAA), fineBits);
    even = _mm256_add_epi32(even, advance);
    odd = _mm256_add_epi32(odd, advance);
  }
}

/// Scales sixteen slots; with a coarse part of 0 (a gain below x1.0) its product is left out.
template <bool kHasCoarse>
__attribute__((target("avx2"), always_inline)) inline void ScaleSixteen(int16_t* at, __m256i fine4,
                                                                        __m256i coarse) {
  auto* lanes = reinterpret_cast<__m256i*>(at);
  __m256i s = _mm256_loadu_si256(lanes);
  // One load of the samples for both of their uses: left to itself the compiler folds a load
  // into each, and loads, not arithmetic, then set the pace of the loop.
  __asm__("" : "+x"(s));
  const __m256i u = _mm256_abs_epi16(s);
  __m256i q = _mm256_mulhi_epu16(u, fine4);
  if constexpr (kHasCoarse) q = _mm256_add_epi16(q, _mm256_mullo_epi16(u, coarse));
  _mm256_storeu_si256(lanes, _mm256_sign_epi16(q, s));
}

/// Whole groups from `from` while they end at or before `end`, all of coarse part `coarse`.
/// `from` is a multiple of 16. Returns where it stopped.
template <bool kHasCoarse>
__attribute__((target("avx2"))) int32_t ScaleStretch(int16_t* samples, int32_t from, int32_t end,
                                                     const FineTable& table, int32_t step, int32_t coarse) {
  const __m256i coarseLanes = _mm256_set1_epi16(static_cast<int16_t>(coarse));
  int32_t k = from / 16;
  const int32_t groups = end / 16;
  if (step == 0) {
    // A steady gain, as on a file that is loud throughout: every group has the same lanes.
    for (; k < groups; ++k) ScaleSixteen<kHasCoarse>(samples + 16 * k, table.group[0], coarseLanes);
    return 16 * k;
  }
  while (k < groups) {
    const int32_t row = k / PeriodGroups;
    const int32_t rowEnd = (row + 1) * PeriodGroups < groups ? (row + 1) * PeriodGroups : groups;
    const __m256i offset = _mm256_set1_epi16(
        static_cast<int16_t>(static_cast<uint32_t>(row) * static_cast<uint32_t>(step) * 4U));
    const __m256i* fine = &table.group[k - row * PeriodGroups];
    for (int16_t* at = samples + 16 * k; k < rowEnd; ++k, ++fine, at += 16) {
      ScaleSixteen<kHasCoarse>(at, _mm256_add_epi16(*fine, offset), coarseLanes);
    }
  }
  return 16 * k;
}

/// The first slot from which the ramp's coarse part differs from the one at slot i, or
/// `slots` when it stays. The gain is linear and within 0 .. 2^31 - 1 here.
int32_t StretchEnd(int32_t slots, int32_t mul, int32_t step, int32_t i) {
  const int64_t coarse = (mul + static_cast<int64_t>(i) * step) >> 24;
  int64_t end = slots;
  if (step > 0) {
    const int64_t rise = ((coarse + 1) << 24) - mul;  // first slot at or above the next multiple
    end = (rise + step - 1) / step;
  } else if (step < 0) {
    const int64_t fall = mul - (coarse << 24) + 1;  // first slot below this multiple
    end = (fall - step - 1) / -step;
  }
  return static_cast<int32_t>(end < slots ? end : slots);
}

__attribute__((target("avx2"))) void ScaleRampAvx2(int16_t* samples, int32_t slots, int32_t mul,
                                                   int32_t step) {
  FineTable table;
  FillFineTable(table, mul, step, step == 0 ? 1 : slots / 16);
  int32_t i = 0;
  while (i + 16 <= slots) {
    const int32_t end = StretchEnd(slots, mul, step, i);
    const int32_t coarse = (mul + i * step) >> 24;
    i = coarse == 0 ? ScaleStretch<false>(samples, i, end, table, step, coarse)
                    : ScaleStretch<true>(samples, i, end, table, step, coarse);
    if (i + 16 <= slots && i + 16 > end) {
      // A group across the change of coarse part goes slot by slot.
      ScaleSlots(samples, i, i + 16, mul, step);
      i += 16;
    }
  }
  ScaleSlots(samples, i, slots, mul, step);
}

}  // namespace

void ScaleRamp(int16_t* samples, int32_t slots, int32_t mul, int32_t step) {
  // No product overflows: every slot's magnitude is at most its buffer's peak, and the gain
  // never exceeds that peak's block gain, so |s * (gain >> 10)| <= 2^29 * 1016 / 1024.
  if (slots >= 16 && CpuHasAvx2 && RampFitsVectorPath(slots, mul, step)) {
    ScaleRampAvx2(samples, slots, mul, step);
  } else {
    ScaleSlots(samples, 0, slots, mul, step);
  }
}

void BUFCALC() {
  const int32_t a = BUFN;
  const int32_t gainThis = BlockGain(BUF[a].peak);
  const int32_t gainNext = BlockGain(BUF[1 - a].peak);
  int32_t target = gainThis < gainNext ? gainThis : gainNext;
  if (target - MUL > RiseLimit) target = MUL + RiseLimit;
  const int32_t step = (target - MUL) / RampDivisor;
  // The ramp steps as if over every slot of the buffer, but only the whole samples of the
  // last read are scaled: they are the slots its peak was taken from (the rest hold an older
  // block and are never written), and an odd last byte is written back as it was read.
  ScaleRamp(BUF[a].samples, BUF[a].count / 2, MUL, step);
  MUL = target;
}
