// The WAVE file and the chunk header that the chunk walk and the normalization pass share:
// the walk positions the file at a "data" body and leaves its size in DATA, the pass counts
// that size down as it reads.
#pragma once

#include <cstdint>

#include "runtime/file_access.h"

/// A chunk header as last read.
struct ChunkHeader {
  char ckID[4];  ///< identifier, compared as bytes
  /// Body length: the 32-bit field, or for an RF64/BW64 "data" chunk the 64-bit size from
  /// "ds64". The pass counts it down as it reads.
  uint64_t ckSize;
};

/// The WAVE file, opened with records of one byte.
extern FileRec F;
/// The header last read. A header cut short by the end of the file keeps the bytes of the
/// previous one where nothing arrived.
extern ChunkHeader DATA;
