#include "normalize/buffers.h"

#include "driver/chunk_walk.h"
#include "runtime/file_access.h"

BlockBuffer BUF[2];
int32_t BUFN = 0;
int64_t POSR = 0;
int64_t POSW = 0;

int32_t PeakOf(const int16_t* samples, int32_t slots) {
  // Branch-free so that the compiler turns it into a vector max of absolute values.
  int32_t peak = PeakFloor;
  for (int32_t i = 0; i < slots; ++i) {
    const int32_t s = samples[i];
    const int32_t magnitude = s < 0 ? -s : s;
    peak = magnitude > peak ? magnitude : peak;
  }
  return peak;
}

void BUFREAD() {
  BlockBuffer& b = BUF[BUFN];
  Seek(F, POSR);
  b.count = DATA.ckSize >= static_cast<uint32_t>(BlockSize) ? BlockSize
                                                             : static_cast<int32_t>(DATA.ckSize);
  // Both advance by the requested count, before the transfer, even if fewer bytes arrive.
  DATA.ckSize -= static_cast<uint32_t>(b.count);
  POSR += b.count;
  BlockRead(F, b.samples, b.count);
  b.peak = PeakOf(b.samples, FilledSlots);
  BUFN = (BUFN + 1) % 2;
}
