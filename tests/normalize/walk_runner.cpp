#include "normalize/walk_runner.h"

#include <fcntl.h>
#include <gtest/gtest.h>

#include <algorithm>
#include <cstring>
#include <random>

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

Bytes FiveBlockWave() {
  std::mt19937 rng(7);
  std::vector<int16_t> samples;
  for (int peak : {3000, 20000, 700, 12000, 5000}) {
    std::uniform_int_distribution<int> noise(-peak, peak);
    for (int i = 0; i < (peak == 5000 ? 15000 : 48000); ++i)
      samples.push_back(static_cast<int16_t>(noise(rng)));
  }
  Bytes b = RiffHeader(0);
  PutChunk(b, "LIST", Bytes{'I', 'N', 'F', 'O'});
  PutChunk(b, "fmt ", FmtBody(1, 2, 44100, 16));
  PutChunk(b, "data", SampleBytes(samples));
  PutChunk(b, "LIST", Bytes{'I', 'N', 'F', 'O', 'I', 'C', 'M', 'T', 1, 0, 0, 0, 'x', 0});
  FixRiffSize(b);
  return b;
}

Bytes AfterCut(const Bytes& input, const ModelResult& model, int written, int64_t length, bool past) {
  Bytes b = input;
  const auto copy = [&](int i) {
    const auto [at, n] = model.writes[static_cast<std::size_t>(i)];
    if (static_cast<int64_t>(b.size()) < at + n) b.resize(static_cast<std::size_t>(at + n));
    std::copy_n(model.file.begin() + at, n, b.begin() + at);
  };
  for (int i = 0; i < written - past; ++i) copy(i);
  b.resize(static_cast<std::size_t>(length));
  if (past) copy(written - 1);
  return b;
}

}  // namespace testing_support
