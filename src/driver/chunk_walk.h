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

/// Walks the chunks of the open file F from byte 12, each visited once in file order. With
/// normalize false it only answers whether every "data" chunk may be rewritten as 16-bit
/// samples (the last "fmt " before it declares 16-bit PCM, or there is none); with normalize
/// true it normalizes them and returns true. Every step moves forward: it ends on every input.
bool WALK(bool normalize);

/// Normalizes the file named by ParamStr(1). Halts with CannotOpen, NotPcm16 or IoFailure.
void MAIN();
