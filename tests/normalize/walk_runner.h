// Runs the real chunk walk and normalizer in this process on a file built by a test, the way
// the tool does after opening it, with the screen text sent nowhere.
#pragma once

#include <functional>

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

}  // namespace testing_support
