#include "normalize/walk_runner.h"

#include <fcntl.h>
#include <gtest/gtest.h>

#include <cstring>

#include "driver/chunk_walk.h"
#include "normalize/buffers.h"
#include "normalize/gain.h"
#include "runtime/console.h"
#include "runtime/text_output.h"

namespace testing_support {

void ResetProgramState() {
  std::memset(BUF, 0, sizeof BUF);
  BUFN = 0;
  POSR = POSW = 0;
  MUL = 0;
  std::memset(&DATA, 0, sizeof DATA);
  InOutRes = 0;
  static const int devNull = open("/dev/null", O_WRONLY | O_CLOEXEC);
  BindOutputHandle(Output, devNull);
  OutHandle = devNull;
}

WalkRun RunWalk(const Bytes& input, const FileCalls& calls, const std::function<void()>& afterWalk) {
  TempDir dir;
  const std::string path = dir.file("in.wav");
  WriteFile(path, input);
  ResetProgramState();
  WalkRun run;
  Assign(F, path);
  Reset(F, 1);
  EXPECT_EQ(IOResult(), 0) << path;
  ActiveFileCalls = &calls;
  run.failed = WalkFile() != WalkOutcome::Done;
  if (afterWalk) afterWalk();
  ActiveFileCalls = &SystemFileCalls;
  if (F.Mode == ModeInOut) Close(F);  // left open by a failure
  run.file = ReadFile(path);
  return run;
}

}  // namespace testing_support
