#include "reliability/fault_plan.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <random>

#include "normalize/walk_runner.h"
#include "runtime/file_access.h"

namespace testing_support {
namespace {

std::optional<Fault> g_fault;
std::vector<CallRecord>* g_trace = nullptr;
int g_seen[3] = {};

/// Records the call and says whether it is the one to fail.
bool RecordAndDecide(FileCall call, int64_t offset, int64_t count) {
  g_trace->push_back({call, offset, count});
  const int nth = ++g_seen[static_cast<int>(call)];
  return g_fault && g_fault->call == call && g_fault->nth == nth;
}

int64_t InjectingPread(int fd, void* buf, std::size_t count, int64_t offset) {
  if (RecordAndDecide(FileCall::Read, offset, static_cast<int64_t>(count))) {
    if (g_fault->error == 0) {
      const int64_t part = ShortTransfer(static_cast<int64_t>(count));
      return SystemFileCalls.pread(fd, buf, static_cast<std::size_t>(part), offset);
    }
    errno = g_fault->error;
    return -1;
  }
  return SystemFileCalls.pread(fd, buf, count, offset);
}

int64_t InjectingPwrite(int fd, const void* buf, std::size_t count, int64_t offset) {
  if (RecordAndDecide(FileCall::Write, offset, static_cast<int64_t>(count))) {
    if (g_fault->error == 0) {
      const int64_t part = ShortTransfer(static_cast<int64_t>(count));
      return SystemFileCalls.pwrite(fd, buf, static_cast<std::size_t>(part), offset);
    }
    errno = g_fault->error;
    return -1;
  }
  return SystemFileCalls.pwrite(fd, buf, count, offset);
}

int64_t InjectingSize(int fd) {
  if (RecordAndDecide(FileCall::SizeQuery, 0, 0)) {
    errno = g_fault->error != 0 ? g_fault->error : EIO;
    return -1;
  }
  return SystemFileCalls.size(fd);
}

const FileCalls InjectingCalls = {
    SystemFileCalls.path_kind, SystemFileCalls.open, SystemFileCalls.close, SystemFileCalls.flock,
    SystemFileCalls.is_regular, InjectingSize, InjectingPread, InjectingPwrite,
};

void CopyRange(Bytes& to, const Bytes& from, int64_t offset, int64_t count) {
  std::copy_n(from.begin() + offset, count, to.begin() + offset);
}

}  // namespace

const Bytes& MultiBlockWave() {
  static const Bytes wave = [] {
    const int peaks[] = {3000, 20000, 700, 12000, 5000};
    const int samplesPerBlock[] = {48000, 48000, 48000, 48000, 15000};
    std::mt19937 rng(7);
    std::vector<int16_t> samples;
    for (int block = 0; block < 5; ++block) {
      std::uniform_int_distribution<int> noise(-peaks[block], peaks[block]);
      for (int i = 0; i < samplesPerBlock[block]; ++i) samples.push_back(static_cast<int16_t>(noise(rng)));
    }
    Bytes b = RiffHeader(0);
    PutChunk(b, "LIST", Bytes{'I', 'N', 'F', 'O'});
    PutChunk(b, "fmt ", FmtBody(1, 2, 44100, 16));
    PutChunk(b, "data", SampleBytes(samples));
    PutChunk(b, "LIST", Bytes{'I', 'N', 'F', 'O', 'I', 'C', 'M', 'T', 1, 0, 0, 0, 'x', 0});
    FixRiffSize(b);
    return b;
  }();
  return wave;
}

int64_t ShortTransfer(int64_t count) { return count < 2 ? 0 : (count / 3) | 1; }

FaultRun RunWalkWithFault(const Bytes& input, const std::optional<Fault>& fault) {
  FaultRun run;
  g_fault = fault;
  g_trace = &run.calls;
  std::fill(std::begin(g_seen), std::end(g_seen), 0);
  WalkRun walk = RunWalk(input, InjectingCalls);
  g_trace = nullptr;
  run.status = walk.status;
  run.file = std::move(walk.file);
  return run;
}

int CountCalls(const std::vector<CallRecord>& calls, FileCall kind) {
  return static_cast<int>(std::count_if(calls.begin(), calls.end(),
                                        [kind](const CallRecord& c) { return c.call == kind; }));
}

std::size_t CallsUpToFault(const std::vector<CallRecord>& undisturbed, const Fault& fault) {
  int seen = 0;
  for (std::size_t i = 0; i < undisturbed.size(); ++i) {
    if (undisturbed[i].call == fault.call && ++seen == fault.nth) return i + 1;
  }
  ADD_FAILURE() << "the undisturbed run made no call number " << fault.nth << " of that kind";
  return undisturbed.size();
}

Bytes ExpectedAfterFault(const Bytes& input, const ModelResult& model,
                         const std::vector<CallRecord>& undisturbed, const Fault& fault) {
  Bytes expected = input;
  const std::size_t upTo = CallsUpToFault(undisturbed, fault);
  for (std::size_t i = 0; i + 1 < upTo; ++i) {
    const CallRecord& c = undisturbed[i];
    if (c.call == FileCall::Write) CopyRange(expected, model.file, c.offset, c.count);
  }
  return expected;
}

}  // namespace testing_support
