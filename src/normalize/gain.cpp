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
// the second is the high half of an unsigned 16 x 16 product. The gain itself advances in
// two vectors of 32-bit lanes; a byte shuffle cuts fine * 4 and coarse out of them.

/// The gains of sixteen slots, as the multiply needs them.
struct GainLanes {
  __m256i fine4;
  __m256i coarse;
};

/// Cuts the lanes out of the 32-bit gains: `low` holds slots 0-3 and 8-11 of the group,
/// `high` slots 4-7 and 12-15, so that the 64-bit interleave puts them back in order.
__attribute__((target("avx2"), always_inline)) inline GainLanes CutGains(__m256i low, __m256i high) {
  // Per 32-bit lane: bytes 1-2 (a >> 8) into the low quadword, byte 3 (a >> 24, zero-extended)
  // into the high one.
  const __m256i cut = _mm256_setr_epi8(1, 2, 5, 6, 9, 10, 13, 14, 3, -128, 7, -128, 11, -128, 15, -128,
                                       1, 2, 5, 6, 9, 10, 13, 14, 3, -128, 7, -128, 11, -128, 15, -128);
  const __m256i lowParts = _mm256_shuffle_epi8(low, cut);
  const __m256i highParts = _mm256_shuffle_epi8(high, cut);
  // Bits 8 and 9 of a lie below the gain's upper 22 bits and must not act.
  const __m256i fineMask = _mm256_set1_epi16(static_cast<int16_t>(0xFFFC));
  return {_mm256_and_si256(_mm256_unpacklo_epi64(lowParts, highParts), fineMask),
          _mm256_unpackhi_epi64(lowParts, highParts)};
}

__attribute__((target("avx2"), always_inline)) inline void ScaleSixteen(int16_t* at, GainLanes gain) {
  auto* lanes = reinterpret_cast<__m256i*>(at);
  const __m256i s = _mm256_loadu_si256(lanes);
  const __m256i u = _mm256_abs_epi16(s);
  const __m256i q = _mm256_add_epi16(_mm256_mullo_epi16(u, gain.coarse), _mm256_mulhi_epu16(u, gain.fine4));
  _mm256_storeu_si256(lanes, _mm256_sign_epi16(q, s));
}

__attribute__((target("avx2"))) void ScaleRampAvx2(int16_t* samples, int32_t slots, int32_t mul,
                                                   int32_t step) {
  const __m256i stepLanes = _mm256_set1_epi32(step);
  __m256i low = _mm256_add_epi32(
      _mm256_set1_epi32(mul),
      _mm256_mullo_epi32(_mm256_setr_epi32(0, 1, 2, 3, 8, 9, 10, 11), stepLanes));
  __m256i high = _mm256_add_epi32(
      _mm256_set1_epi32(mul),
      _mm256_mullo_epi32(_mm256_setr_epi32(4, 5, 6, 7, 12, 13, 14, 15), stepLanes));
  int32_t i = 0;
  if (step == 0) {
    // A steady gain, as on a file that is loud throughout: the lanes are cut once.
    const GainLanes gain = CutGains(low, high);
    for (; i + 16 <= slots; i += 16) ScaleSixteen(samples + i, gain);
  } else {
    // Modulo 2^32: an advance that wraps is only ever applied past the last whole group.
    const __m256i advance = _mm256_set1_epi32(static_cast<int32_t>(static_cast<uint32_t>(step) * 16u));
    for (; i + 16 <= slots; i += 16) {
      ScaleSixteen(samples + i, CutGains(low, high));
      low = _mm256_add_epi32(low, advance);
      high = _mm256_add_epi32(high, advance);
    }
  }
  ScaleSlots(samples, i, slots, mul, step);
}

/// Asked once, before main: the answer cannot change while the process runs.
const bool CpuHasAvx2 = [] {
  __builtin_cpu_init();
  return __builtin_cpu_supports("avx2") != 0;
}();

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
  // The ramp runs over every slot of the buffer, but only the lower half can hold data;
  // the upper half is zero and stays zero, so it is left out.
  ScaleRamp(BUF[a].samples, FilledSlots, MUL, step);
  MUL = target;
}
