// The file-level driver: opens the WAVE file named on the command line, checks that it is a
// RIFF, RF64 or BW64 WAVE file, walks its chunks from byte 12, hands every "data" chunk to the
// normalization pass and steps over the rest, then closes the file and completes the screen
// with ", fertig!".
#pragma once

#include <cstdint>

#include "runtime/file_access.h"

/// A chunk header as last read.
struct ChunkHeader {
  char ckID[4];     ///< identifier, compared as bytes
  /// Body length: the 32-bit field, or for an RF64/BW64 "data" chunk the 64-bit size from
  /// "ds64". The pass counts it down as it reads.
  uint64_t ckSize;
};

/// The WAVE file, opened with records of one byte.
extern FileRec F;
/// The header last read. A header cut short by the end of the file keeps the bytes of the
/// previous one where nothing arrived.
extern ChunkHeader DATA;

/// Walks the chunks of the open file F from byte 12, each visited once in file order. With
/// normalize false it only answers whether the file is a WAVE file ("RIFF", "RF64" or "BW64",
/// then "WAVE") whose every "data" chunk may be rewritten as 16-bit samples: the last "fmt "
/// before it, or else the first one after it, declares 16-bit PCM, or there is none at all.
/// With normalize true it normalizes them and returns true. Every step moves forward: it
/// ends on every input.
bool WALK(bool normalize);

/// Normalizes the file named by ParamStr(1). Halts with CannotOpen, NotPcm16 or IoFailure.
void MAIN();
