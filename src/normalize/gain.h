// The gain engine: chooses the gain a block ends on, with one block of look-ahead and a
// limit on how fast the gain may rise, and scales the block in place while the gain moves
// linearly towards it. The gain is fixed point: 2^24 is x1.0.
#pragma once

#include <cstdint>

/// The current gain; only its upper 22 bits act on samples.
extern int32_t MUL;

/// Largest rise of the gain from one block to the next (x0.125).
constexpr int32_t RiseLimit = 0x200000;
/// The ramp moves the gain by (target - MUL) / RampDivisor per sample slot.
constexpr int32_t RampDivisor = 96000;

/// The gain that brings a block of peak p (1024 .. 32768) to 32512.
constexpr int32_t BlockGain(int32_t peak) { return ((1 << 29) / peak) * 1016; }

/// Scales slots samples in place: slot i by (mul + i * step) with the fixed-point rule
/// (s * (gain >> 10)) / 16384, truncating toward zero.
void ScaleRamp(int16_t* samples, int32_t slots, int32_t mul, int32_t step);

/// Scales the older buffer BUF[BUFN] towards the smaller of its own gain and the next
/// block's, rising by at most RiseLimit, and leaves MUL at that target.
void BUFCALC();
