#include "normalize/gain.h"

#include "normalize/buffers.h"

int32_t MUL = 0;

void ScaleRamp(int16_t* samples, int32_t slots, int32_t mul, int32_t step) {
  // No product overflows: every slot's magnitude is at most its buffer's peak, and the gain
  // never exceeds that peak's block gain, so |s * (gain >> 10)| <= 2^29 * 1016 / 1024.
  for (int32_t i = 0; i < slots; ++i) {
    const int32_t x = samples[i] * ((mul + i * step) >> 10);
    samples[i] = static_cast<int16_t>((x + ((x >> 31) & 16383)) >> 14);
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
