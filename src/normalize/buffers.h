// The normalizer's two block buffers and the read side: BUFREAD fills the buffer that BUFN
// names with the next block of the current "data" chunk, finds its peak and flips BUFN.
// Scaling and writing back belong to the gain engine and the pass.
#pragma once

#include <cstdint>

/// Bytes per block read, and sample slots per buffer.
constexpr int32_t BlockSize = 96000;
/// Slots a read can reach: a block of BlockSize bytes fills BlockSize / 2 samples. The slots
/// above stay zero for the whole run.
constexpr int32_t FilledSlots = BlockSize / 2;
/// Smallest peak a block can have; it caps the gain of a quiet block.
constexpr int32_t PeakFloor = 1024;

struct BlockBuffer {
  /// Sample slots, little-endian as in the file; a read overwrites only what it transfers.
  alignas(64) int16_t samples[BlockSize];
  int32_t count;  ///< bytes the last read of this buffer requested, 0 .. BlockSize
  /// Largest magnitude among the count / 2 whole samples of the last read, PeakFloor .. 32768;
  /// the scaling covers the same slots, so none of them exceeds it.
  int32_t peak;
};

extern BlockBuffer BUF[2];
/// Index of the buffer the next BUFREAD fills; after a read, the older buffer.
extern int32_t BUFN;
/// Byte position of the next block to read.
extern int64_t POSR;
/// Byte position of the next block to write.
extern int64_t POSW;

/// Reads the next block of the chunk (counting DATA.ckSize down) into BUF[BUFN] at POSR,
/// scans its peak and flips BUFN.
void BUFREAD();

/// Whether the processor runs AVX2, asked once before main; the per-block work takes its
/// vector paths then and a baseline path otherwise, with the same results.
extern const bool CpuHasAvx2;

/// Largest magnitude among the first slots of samples, never below PeakFloor.
int32_t PeakOf(const int16_t* samples, int32_t slots);
