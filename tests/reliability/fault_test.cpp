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

struct Call { Kind kind; int64_t offset, count; };

struct Plan {
  Kind kind;
  int nth, error;            ///< which call of that kind fails (0: none), and its errno (0: it moves a third)
  int64_t cutAt, cutLength;  ///< the read at offset cutAt first cuts the file to cutLength bytes
  std::vector<Call> calls;
  int seen[3];
} plan;

/// Records the call; true when it is the one to fail or cut short.
bool Strikes(Kind kind, int64_t offset, int64_t count) {
  plan.calls.push_back({kind, offset, count});
  return ++plan.seen[kind] == plan.nth && plan.kind == kind;
}

/// A read or write (the read at cutAt cutting the file first): done whole, or failed with the
/// plan's errno, or moving a third of its bytes.
template <typename Buffer, typename Move>
int64_t Transfer(Kind kind, Move move, int fd, Buffer buf, std::size_t count, int64_t offset) {
  if (kind == Read && offset == plan.cutAt && ftruncate(fd, plan.cutLength) != 0) ADD_FAILURE() << "ftruncate";
  if (!Strikes(kind, offset, static_cast<int64_t>(count))) return move(fd, buf, count, offset);
  return plan.error == 0 ? move(fd, buf, count < 2 ? 0 : (count / 3) | 1, offset) : (errno = plan.error, -1);
}

const FileCalls Injecting = {
    SystemFileCalls.open,
    [](int fd) { return Strikes(Size, 0, 0) ? (errno = EIO, -1) : SystemFileCalls.size(fd); },
    [](int f, void* b, std::size_t n, int64_t o) { return Transfer(Read, SystemFileCalls.pread, f, b, n, o); },
    [](int f, const void* b, std::size_t n, int64_t o) { return Transfer(Write, SystemFileCalls.pwrite, f, b, n, o); },
};

/// LIST, "fmt ", four full blocks and a short one of 30000 bytes, each at another loudness,
/// and a LIST after them.
const Bytes input = [] {
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

WalkRun RunWith(Kind kind, int nth, int error, int64_t cutAt = -1, int64_t cutLength = 0) {
  plan = Plan{kind, nth, error, cutAt, cutLength, {}, {}};
  return RunWalk(input, Injecting);
}

}  // namespace

TEST(Faults, AFailingCallStopsThePassAtEveryPoint) {
  const Bytes model = NormalizeModel(input).file;
  ASSERT_TRUE(RunWith(Read, 0, 0).file == model);
  const std::vector<Call> undisturbed = plan.calls;
  for (auto [kind, error] : {std::pair{Read, EIO}, {Write, EIO}, {Write, ENOSPC}, {Size, EIO}, {Read, 0}, {Write, 0}}) {
    int nth = 0;
    Bytes expected = input;
    for (std::size_t i = 0; i < undisturbed.size(); ++i) {
      const Call& c = undisturbed[i];
      if (c.kind == kind) {
        SCOPED_TRACE("call " + std::to_string(i) + ", kind " + std::to_string(kind) + ", errno " + std::to_string(error));
        const WalkRun run = RunWith(kind, ++nth, error);
        const bool fails = error != 0;  // a short transfer is continued and changes nothing
        const bool fileOk = run.file == (fails ? expected : model);  // a failure is the last call made:
        EXPECT_EQ(std::tuple(run.status > 0, fileOk, fails ? plan.calls.size() : i + 1), std::tuple(fails, true, i + 1))
            << "status set, file as expected, calls up to the failure";
      }
      if (c.kind == Write) std::copy_n(model.begin() + c.offset, c.count, expected.begin() + c.offset);
    }
  }
}

TEST(Faults, AFileCutShortDuringTheRunIsNeverGrownBack) {
  // The cut comes while the block after the next one to be written is read.
  const int64_t data = 12 + 12 + 24 + 8, block = 96000;
  const Bytes model = NormalizeModel(input).file;
  for (int64_t length : {data + block + 501, data + block, data + 3, int64_t{0}}) {
    Bytes expected = input;
    std::copy_n(model.begin() + data, block, expected.begin() + data);  // the first block only
    expected.resize(static_cast<std::size_t>(length));
    const WalkRun run = RunWith(Read, 0, 0, data + 2 * block, length);
    EXPECT_EQ(std::tuple(run.status != 0, run.file == expected), std::tuple(true, true)) << "cut to " << length;
  }
}
