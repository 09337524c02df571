// Runs the real chunk walk and normalizer in this process on a file built by a test, the way
// the tool does after opening it, with the screen text sent nowhere.
#pragma once

#include <functional>

#include "runtime/file_access.h"
#include "support/files.h"

namespace testing_support {

struct WalkRun {
  Bytes file;           ///< the file afterwards
  uint16_t status = 0;  ///< the I/O status after the walk
};

/// Starts from the state of a fresh process: zeroed buffers, gain and status.
void ResetProgramState();
/// Writes input to a scratch file and runs the format check and, if it passes, the normalizing
/// walk on it, with the file layer's calls going through calls; then afterWalk, while the file
/// is still open.
WalkRun RunWalk(const Bytes& input, const FileCalls& calls, const std::function<void()>& afterWalk = {});

}  // namespace testing_support
