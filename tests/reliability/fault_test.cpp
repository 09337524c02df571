// The normalizing walk, in this process, meets a failing or short read, write or size query
// at every point of a file of several blocks, or a file cut short by another process. After a
// failure nothing more reaches the file: the blocks written before it hold the model's bytes,
// the rest its own, and the failure is kept for the tool to report. A short transfer is
// continued and changes nothing.
#include <gtest/gtest.h>
#include <unistd.h>

#include <cerrno>
#include <random>

#include "normalize/reference_model.h"
#include "normalize/walk_runner.h"

using namespace testing_support;

namespace {

enum Kind { Read, Write, Size };

struct Call {
  Kind kind;
  int64_t offset, count;
};

struct Plan {
  Kind kind = Read;
  int nth = 0;          ///< which call of that kind fails; 0: none
  int error = 0;        ///< its errno; 0 makes a read or write move a third of its bytes
  int64_t cutAt = -1;   ///< the read at this offset first cuts the file to cutLength bytes
  int64_t cutLength = 0;
  std::vector<Call> calls;
  int seen[3] = {};
};
Plan plan;

/// Records the call; true when it is the one to fail or cut short.
bool Strikes(Kind kind, int64_t offset, int64_t count) {
  plan.calls.push_back({kind, offset, count});
  return ++plan.seen[kind] == plan.nth && plan.kind == kind;
}

/// A read or write: done whole, or failed with the plan's errno, or moving a third of its bytes.
template <typename Buffer, typename Move>
int64_t Transfer(Kind kind, Move move, int fd, Buffer buf, std::size_t count, int64_t offset) {
  if (!Strikes(kind, offset, static_cast<int64_t>(count))) return move(fd, buf, count, offset);
  if (plan.error == 0) return move(fd, buf, count < 2 ? 0 : (count / 3) | 1, offset);
  errno = plan.error;
  return -1;
}

const FileCalls Injecting = {
    SystemFileCalls.open,
    [](int fd) -> int64_t {
      if (!Strikes(Size, 0, 0)) return SystemFileCalls.size(fd);
      errno = EIO;
      return -1;
    },
    [](int fd, void* buf, std::size_t count, int64_t offset) -> int64_t {
      if (offset == plan.cutAt && ftruncate(fd, plan.cutLength) != 0) ADD_FAILURE() << "ftruncate";
      return Transfer(Read, SystemFileCalls.pread, fd, buf, count, offset);
    },
    [](int fd, const void* buf, std::size_t count, int64_t offset) -> int64_t {
      return Transfer(Write, SystemFileCalls.pwrite, fd, buf, count, offset);
    },
};

/// LIST, "fmt ", four full blocks and a short one of 30000 bytes, each at another loudness,
/// and a LIST after them.
const Bytes& Input() {
  static const Bytes wave = [] {
    std::mt19937 rng(7);
    std::vector<int16_t> samples;
    for (int peak : {3000, 20000, 700, 12000, 5000}) {
      std::uniform_int_distribution<int> noise(-peak, peak);
      for (int i = 0; i < (peak == 5000 ? 15000 : 48000); ++i) samples.push_back(static_cast<int16_t>(noise(rng)));
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

WalkRun RunWith(Kind kind, int nth, int error, int64_t cutAt = -1, int64_t cutLength = 0) {
  plan = Plan{kind, nth, error, cutAt, cutLength, {}, {}};
  return RunWalk(Input(), Injecting);
}

}  // namespace

TEST(Faults, AFailingCallStopsThePassAtEveryPoint) {
  const Bytes model = NormalizeModel(Input()).file;
  ASSERT_TRUE(RunWith(Read, 0, 0).file == model);
  const std::vector<Call> undisturbed = plan.calls;
  for (auto [kind, error] : {std::pair{Read, EIO}, {Write, EIO}, {Write, ENOSPC}, {Size, EIO}, {Read, 0}, {Write, 0}}) {
    int nth = 0;
    Bytes expected = Input();
    for (std::size_t i = 0; i < undisturbed.size(); ++i) {
      const Call& c = undisturbed[i];
      if (c.kind == kind) {
        SCOPED_TRACE("call " + std::to_string(i) + " of kind " + std::to_string(kind) + " errno " + std::to_string(error));
        const WalkRun run = RunWith(kind, ++nth, error);
        if (error == 0) {
          EXPECT_EQ(run.status, 0);
          EXPECT_TRUE(run.file == model);
          continue;
        }
        EXPECT_NE(run.status, 0);
        EXPECT_EQ(plan.calls.size(), i + 1) << "calls reached the file after the failure";
        EXPECT_TRUE(run.file == expected);
      }
      if (c.kind == Write) std::copy_n(model.begin() + c.offset, c.count, expected.begin() + c.offset);
    }
  }
}

TEST(Faults, AFileCutShortDuringTheRunIsNeverGrownBack) {
  // The cut comes while the block after the next one to be written is read.
  const int64_t data = 12 + 12 + 24 + 8, block = 96000;
  const Bytes model = NormalizeModel(Input()).file;
  for (int64_t length : {data + block + 501, data + block, data + 3, int64_t{0}}) {
    SCOPED_TRACE("cut to " + std::to_string(length));
    const WalkRun run = RunWith(Read, 0, 0, data + 2 * block, length);
    EXPECT_NE(run.status, 0);
    Bytes expected = Input();
    std::copy_n(model.begin() + data, block, expected.begin() + data);  // the first block only
    expected.resize(static_cast<std::size_t>(length));
    EXPECT_TRUE(run.file == expected);
  }
}
