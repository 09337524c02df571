// The normalizing walk, in this process, meets a failing or short read, write or size query
// at every point of a file of several blocks, or a file cut short by another process at a
// chosen point. After a failure nothing more reaches the file: the blocks written before it
// hold the model's bytes, the rest its own, and the failure is kept for the tool to report. A
// short transfer is continued and changes nothing.
#include <gtest/gtest.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <optional>

#include "normalize/reference_model.h"
#include "normalize/walk_runner.h"

using namespace testing_support;

namespace {

enum Kind { Read, Write, Size };

struct Call {
  Kind kind;
  int64_t offset, count;
  bool operator==(const Call&) const = default;
};

struct Plan {
  Kind kind;
  int nth, error;           ///< which call of that kind fails (0: none), and its errno (0: it moves a third)
  std::optional<Call> cut;  ///< the call at which the file is cut to cutLength bytes, once
  bool cutAfter;            ///< after that call rather than before it
  int64_t cutLength;
  std::vector<Call> calls;
  int seen[3];
} plan;

/// Records the call; true when it is the one to fail or cut short.
bool Strikes(Kind kind, int64_t offset, int64_t count) {
  plan.calls.push_back({kind, offset, count});
  return ++plan.seen[kind] == plan.nth && plan.kind == kind;
}

void CutIfDue(const Call& call, bool after, int fd) {
  if (plan.cut != call || plan.cutAfter != after) return;
  plan.cut.reset();
  if (ftruncate(fd, plan.cutLength) != 0) ADD_FAILURE() << "ftruncate";
}

/// A read or write, the file cut before or after it if the plan says so: done whole, or failed
/// with the plan's errno, or moving a third of its bytes.
template <typename Buffer, typename Move>
int64_t Transfer(Kind kind, Move move, int fd, Buffer buf, std::size_t count, int64_t offset) {
  const Call call{kind, offset, static_cast<int64_t>(count)};
  CutIfDue(call, false, fd);
  const bool strikes = Strikes(kind, offset, call.count);
  if (strikes && plan.error != 0) return errno = plan.error, -1;
  const int64_t moved = move(fd, buf, strikes ? (count < 2 ? 0 : (count / 3) | 1) : count, offset);
  CutIfDue(call, true, fd);
  return moved;
}

const FileCalls Injecting = {
    SystemFileCalls.open,
    [](int fd) { return Strikes(Size, 0, 0) ? (errno = EIO, -1) : SystemFileCalls.size(fd); },
    [](int f, void* b, std::size_t n, int64_t o) {
      return Transfer(Read, SystemFileCalls.pread, f, b, n, o);
    },
    [](int f, const void* b, std::size_t n, int64_t o) {
      return Transfer(Write, SystemFileCalls.pwrite, f, b, n, o);
    },
};

const Bytes input = FiveBlockWave();
const ModelResult model = NormalizeModel(input);

WalkRun RunWith(Kind kind, int nth, int error, std::optional<Call> cut = {}, bool cutAfter = false,
                int64_t cutLength = 0) {
  plan = Plan{kind, nth, error, cut, cutAfter, cutLength, {}, {}};
  return RunWalk(input, Injecting);
}

}  // namespace

TEST(Faults, AFailingCallStopsThePassAtEveryPoint) {
  ASSERT_TRUE(RunWith(Read, 0, 0).file == model.file);
  const std::vector<Call> undisturbed = plan.calls;
  EXPECT_EQ(
      std::count_if(undisturbed.begin(), undisturbed.end(), [](const Call& c) { return c.kind == Size; }), 2)
      << "the size is asked at the chunk's start and before its last block is written, no more";
  for (auto [kind, error] :
       {std::pair{Read, EIO}, {Write, EIO}, {Write, ENOSPC}, {Size, EIO}, {Read, 0}, {Write, 0}}) {
    int nth = 0;
    Bytes expected = input;
    for (std::size_t i = 0; i < undisturbed.size(); ++i) {
      const Call& c = undisturbed[i];
      if (c.kind == kind) {
        SCOPED_TRACE("call " + std::to_string(i) + ", kind " + std::to_string(kind) + ", errno " +
                     std::to_string(error));
        const WalkRun run = RunWith(kind, ++nth, error);
        const bool fails = error != 0;  // a short transfer is continued and changes nothing
        const bool fileOk = run.file == (fails ? expected : model.file);  // a failure is the last call made:
        EXPECT_EQ(std::tuple(run.failed, fileOk, fails ? plan.calls.size() : i + 1),
                  std::tuple(fails, true, i + 1))
            << "status set, file as expected, calls up to the failure";
      }
      if (c.kind == Write) std::copy_n(model.file.begin() + c.offset, c.count, expected.begin() + c.offset);
    }
  }
}

TEST(Faults, AFileCutShortIsWrittenPastTheCutByOneBlockAtMost) {
  const int64_t data = 12 + 12 + 24 + 8, block = 96000, end = data + 4 * block + 30000;
  const Call third{Read, data + 2 * block, block};  // read before the second block is written
  const struct {
    Call at;
    bool after;
    int64_t length;
    int written;
    bool past;
  } rows[] = {
      // The cut comes before that read, which finds the file short: nothing more is written.
      {third, false, data + block + 501, 1, false},
      {third, false, data + block, 1, false},
      {third, false, data + 3, 1, false},
      {third, false, 0, 1, false},
      // After it brought its full count: the second block is written all the same, then the
      // next read finds the file short.
      {third, true, data + block + 501, 2, true},
      {third, true, data + 3, 2, true},
      // Before the chunk's last block is written, which no read follows: its size is asked.
      {{Read, end, 0}, false, end - 1, 4, false},
      // Between the format check (its last header read finds the end) and the pass, which
      // holds the chunk to the file as checked: its first read finds the file short.
      {{Read, end + 22, 8}, true, data + block + 501, 0, false},
      {{Read, end + 22, 8}, true, 0, 0, false},
  };
  for (const auto& row : rows) {
    const WalkRun run = RunWith(Read, 0, 0, row.at, row.after, row.length);
    EXPECT_EQ(std::tuple(run.failed, run.file == AfterCut(input, model, row.written, row.length, row.past)),
              std::tuple(true, true))
        << "cut to " << row.length << (row.after ? " after" : " before") << " the read at " << row.at.offset;
  }
}
