// The built tool on a pseudo-terminal, and large WAVE files made by the generator, for the
// tests of the whole tool. Uses TOLVAR_BIN and TOLVAR_WAVGEN, which every test target defines.
#pragma once

#include <gtest/gtest.h>

#include <cstdlib>

#include "support/pty_screen.h"

namespace testing_support {

/// The tool under test: TOLVAR_TOOL in the environment names another build of it, e.g. an
/// installed one.
inline std::string ToolPath() {
  return std::getenv("TOLVAR_TOOL") != nullptr ? std::getenv("TOLVAR_TOOL") : TOLVAR_BIN;
}

/// The tool (or run.program, when set) run with args on a pseudo-terminal set up as run says;
/// the run must end in time.
inline PtyResult RunTool(std::vector<std::string> args, PtyRun run = {}) {
  if (run.program.empty()) run.program = ToolPath();
  run.args = std::move(args);
  PtyResult r = RunOnPty(run);
  EXPECT_FALSE(r.timedOut);
  return r;
}

/// A canonical WAVE file at path whose "data" chunk holds dataBytes bytes of generated sound.
inline void GenerateWave(const std::string& path, int64_t dataBytes) {
  ASSERT_EQ(std::system(("'" TOLVAR_WAVGEN "' sized '" + path + "' " + std::to_string(dataBytes)).c_str()), 0)
      << path;
}

}  // namespace testing_support
