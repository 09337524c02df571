// The whole normalization of a file held in memory, written from the rules rather than from
// the tool's steps: the chunks as the file's length bounds them, positions that cannot wrap,
// RF64/BW64 "data" sizes taken from "ds64", and the pass as one loop over the samples. Tests
// compare the tool's bytes with it.
#pragma once

#include "support/files.h"

namespace testing_support {

struct ModelResult {
  Bytes file;            ///< the file after the run
  bool refused = false;  ///< not a WAVE file, or a "data" chunk announced as other than 16-bit PCM
  std::vector<std::pair<int64_t, int32_t>> writes;  ///< (position, bytes) of every block write
};

ModelResult NormalizeModel(const Bytes& file);

}  // namespace testing_support
