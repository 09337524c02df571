// A literal, unoptimized model of the whole normalization of a file held in memory: every
// block scanned and scaled over all 96000 slots, the gain stepped slot by slot. Tests
// compare the tool's bytes with it.
#pragma once

#include "support/files.h"

namespace testing_support {

struct ModelResult {
  Bytes file;                ///< the file after the run
  bool refused = false;      ///< a "data" chunk was announced as something other than 16-bit PCM
  std::vector<std::pair<int64_t, int32_t>> writes;  ///< (position, bytes) of every block write
};

ModelResult NormalizeModel(const Bytes& file);

}  // namespace testing_support
