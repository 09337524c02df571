// The file-level driver: opens the WAVE file named on the command line, walks its RIFF
// chunks from byte 12, hands every "data" chunk to the normalization pass and steps over
// the rest, then closes the file and completes the screen with ", fertig!".
#pragma once

#include <cstdint>

#include "runtime/file_access.h"

/// A chunk header as last read.
struct ChunkHeader {
  char ckID[4];     ///< identifier, compared as bytes
  uint32_t ckSize;  ///< body length; the pass counts it down as it reads
};

/// The WAVE file, opened with records of one byte.
extern FileRec F;
/// The header last read. A header cut short by the end of the file keeps the bytes of the
/// previous one where nothing arrived.
extern ChunkHeader DATA;

/// Normalizes the file named by ParamStr(1). Halts with CannotOpen, NotPcm16 or IoFailure.
void MAIN();
