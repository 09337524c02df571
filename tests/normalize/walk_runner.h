// Runs the real chunk walk and normalizer in this process on a file built by a test, the way
// the tool does after opening it, with the screen text sent nowhere; and the file of five blocks
// that the fault test and the truncation benchmark cut short, with what it holds after a cut.
#pragma once

#include <functional>

#include "normalize/reference_model.h"
#include "runtime/file_access.h"
#include "support/files.h"

namespace testing_support {

struct WalkRun {
  Bytes file;           ///< the file afterwards
  bool failed = false;  ///< the tool would report a failure
};

/// Starts from the state of a fresh process: zeroed buffers, gain and status.
void ResetProgramState();
/// Writes input to a scratch file and walks it as the tool does once it is open, with the file
/// layer's calls going through calls; then afterWalk.
WalkRun RunWalk(const Bytes& input, const FileCalls& calls, const std::function<void()>& afterWalk = {});

/// LIST, "fmt ", four full blocks and a short one of 30000 bytes, each at another loudness,
/// and a LIST after them.
Bytes FiveBlockWave();
/// input with model's bytes in its first `written` block writes, cut to `length`; `past`: the
/// last of them was written after the cut, at its own place, and the file reaches to its end,
/// with zeros between the cut and the block.
Bytes AfterCut(const Bytes& input, const ModelResult& model, int written, int64_t length, bool past);

}  // namespace testing_support
