// The file-level driver: opens the WAVE file named on the command line, checks that it is a
// RIFF, RF64 or BW64 WAVE file, walks its chunks from byte 12, hands every "data" chunk to the
// normalization pass and steps over the rest, then closes the file. The program body
// reports how it ended.
#pragma once

#include "normalize/wave_file.h"

/// What a walk over the chunks does.
enum class Walk {
  /// Only answers whether the file is a WAVE file ("RIFF", "RF64" or "BW64", then "WAVE")
  /// whose every "data" chunk may be rewritten as 16-bit samples: the last "fmt " before it,
  /// or else the first one after it, declares 16-bit PCM, or there is none at all. Notes the
  /// file's size, to which the walk that normalizes holds the chunks.
  CheckFormat,
  /// Normalizes every "data" chunk of a file that passed the check.
  Normalize,
};

/// Reads the 12-byte header of the open file F, then walks its chunks from byte 12, each
/// visited once in file order; answers whether the file passes the check (a normalizing walk
/// that no longer finds a WAVE file has met a file rewritten since).
///
/// It ends on every input. A whole header moves the walk on by at least its own 8 bytes, then
/// by the body and its pad byte; a size is compared with the room left before it is added, so
/// no position wraps round, and one that reaches 2^62 bytes, past what any file can hold, ends
/// the walk. A header cut short has met the end of the file, where the next read finds nothing.
/// So each walk over a file of n bytes reads at most n / 8 + 1 headers, the read that finds the
/// end included.
bool WalkChunks(Walk walk);

/// How a run on one file ended; the program body reports it.
enum class WalkOutcome { Done, CannotOpen, NotPcm16, IoFailure };

/// Checks the open file F, normalizes it if it passes, and closes it. A read that fails, or
/// a file that another process cuts short or rewrites during the run, is an IoFailure.
WalkOutcome WalkFile();

/// Opens the file named by ParamStr(1), then WalkFile.
WalkOutcome MAIN();
