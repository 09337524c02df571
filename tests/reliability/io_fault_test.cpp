// The normalizing walk meets a failing read, write or size query at every point of a file of
// several blocks: after the failure nothing more reaches the file, the blocks written before
// it hold exactly the normalized bytes, everything else its original bytes, and the failure
// is kept for the tool to report.
#include <gtest/gtest.h>

#include <unistd.h>

#include <algorithm>
#include <cerrno>

#include "normalize/walk_runner.h"
#include "reliability/fault_plan.h"

using namespace testing_support;

namespace {

const ModelResult& Model() {
  static const ModelResult model = NormalizeModel(MultiBlockWave());
  return model;
}

const FaultRun& Undisturbed() {
  static const FaultRun run = RunWalkWithFault(MultiBlockWave(), std::nullopt);
  return run;
}

/// Where two files first differ, for a readable failure.
std::string FirstDifference(const Bytes& actual, const Bytes& expected) {
  if (actual.size() != expected.size()) {
    return "length " + std::to_string(actual.size()) + ", expected " + std::to_string(expected.size());
  }
  for (std::size_t i = 0; i < actual.size(); ++i) {
    if (actual[i] != expected[i]) return "first difference at byte " + std::to_string(i);
  }
  return "none";
}

FaultRun ExpectStoppedCleanly(const Fault& fault) {
  const FaultRun run = RunWalkWithFault(MultiBlockWave(), fault);
  const std::vector<CallRecord>& undisturbed = Undisturbed().calls;
  const std::size_t upTo = CallsUpToFault(undisturbed, fault);
  EXPECT_EQ(run.calls.size(), upTo) << "calls reached the file after the failure";
  EXPECT_TRUE(std::equal(run.calls.begin(), run.calls.begin() + std::min(upTo, run.calls.size()),
                         undisturbed.begin()));
  EXPECT_NE(run.status, 0) << "the failure would go unreported";
  const Bytes expected = ExpectedAfterFault(MultiBlockWave(), Model(), undisturbed, fault);
  EXPECT_TRUE(run.file == expected) << FirstDifference(run.file, expected);
  return run;
}

}  // namespace

TEST(UndisturbedRun, WritesEveryBlockBackAsTheModelDoesOneReadBehind) {
  const FaultRun& run = Undisturbed();
  EXPECT_EQ(run.status, 0);
  EXPECT_TRUE(run.file == Model().file) << FirstDifference(run.file, Model().file);
  std::vector<std::pair<int64_t, int32_t>> writes;
  for (std::size_t i = 0; i < run.calls.size(); ++i) {
    const CallRecord& w = run.calls[i];
    if (w.call != FileCall::Write) continue;
    writes.emplace_back(w.offset, static_cast<int32_t>(w.count));
    // The block after this one is already in memory: a write never overtakes a read.
    const bool nextBlockRead = std::any_of(run.calls.begin(), run.calls.begin() + static_cast<long>(i),
        [&w](const CallRecord& r) { return r.call == FileCall::Read && r.offset == w.offset + w.count; });
    EXPECT_TRUE(nextBlockRead) << "write at " << w.offset;
  }
  EXPECT_EQ(writes, Model().writes);
  ASSERT_EQ(writes.size(), 6u) << "four full blocks, a short one and the empty last write";
  EXPECT_EQ(writes[4].second, 30000);
}

TEST(InjectedFaults, AFailingCallStopsThePassAtEveryPoint) {
  // The format check reads the RIFF header, four chunk headers, the "fmt " body and the end of
  // the chunks; the normalizing walk the same, plus seven blocks: five with samples and two
  // empty ones.
  // There is no seek call: positions live in the file object, and the size query is the one
  // positioning-like call that can fail. The first one is the walk's own, before the pass;
  // then one before each write of a block with samples, and the progress row's after it.
  const struct {
    FileCall call;
    const char* name;
    int error;
    int calls;
  } table[] = {
      {FileCall::Read,      "read",       EIO,    21},
      {FileCall::Write,     "write",      EIO,    6},
      {FileCall::Write,     "write",      ENOSPC, 6},
      {FileCall::SizeQuery, "size query", EIO,    12},
  };
  for (const auto& row : table) {
    ASSERT_EQ(CountCalls(Undisturbed().calls, row.call), row.calls) << row.name;
    for (int k = 1; k <= row.calls; ++k) {
      SCOPED_TRACE(std::string(row.name) + " " + std::to_string(k) + " fails with errno " +
                   std::to_string(row.error));
      ExpectStoppedCleanly({row.call, k, row.error});
    }
  }
}

TEST(InjectedFaults, AShortReadOrWriteIsContinuedToTheEnd) {
  // A call cut short by a signal moved a part: the rest follows at once, from where it stopped.
  const std::vector<CallRecord>& undisturbed = Undisturbed().calls;
  for (FileCall kind : {FileCall::Read, FileCall::Write}) {
    int nth = 0;
    for (const CallRecord& c : undisturbed) {
      if (c.call != kind) continue;
      ++nth;
      if (c.count < 2) continue;
      SCOPED_TRACE((kind == FileCall::Read ? "read " : "write ") + std::to_string(nth) + " is short");
      const FaultRun run = RunWalkWithFault(MultiBlockWave(), Fault{kind, nth, 0});
      EXPECT_EQ(run.status, 0);
      EXPECT_TRUE(run.file == Model().file) << FirstDifference(run.file, Model().file);
      const int64_t part = ShortTransfer(c.count);
      const CallRecord rest{kind, c.offset + part, c.count - part};
      if (c.offset + c.count > static_cast<int64_t>(MultiBlockWave().size())) continue;  // meets the end
      EXPECT_NE(std::find(run.calls.begin(), run.calls.end(), rest), run.calls.end());
    }
  }
}

namespace {

/// Another process cuts the file to a length when the read at an offset is made.
struct Truncation {
  int64_t atRead;
  int64_t length;
};
Truncation g_truncation;

int64_t TruncatingPread(int fd, void* buf, std::size_t count, int64_t offset) {
  if (offset == g_truncation.atRead && ftruncate(fd, g_truncation.length) != 0) ADD_FAILURE() << "ftruncate";
  return SystemFileCalls.pread(fd, buf, count, offset);
}

}  // namespace

TEST(InjectedFaults, AFileCutShortDuringTheRunIsNeverGrownBack) {
  // The cut comes while the block after the next one to be written is read.
  const int64_t data = Model().writes.front().first;
  const int64_t block = 96000;
  FileCalls calls = SystemFileCalls;
  calls.pread = TruncatingPread;
  for (int64_t length : {data + block + 501, data + block, data + 3, int64_t{0}}) {
    SCOPED_TRACE("cut to " + std::to_string(length));
    g_truncation = {data + 2 * block, length};
    const WalkRun run = RunWalk(MultiBlockWave(), calls);
    EXPECT_NE(run.status, 0);
    Bytes expected = MultiBlockWave();
    std::copy_n(Model().file.begin() + data, block, expected.begin() + data);  // the first block only
    expected.resize(static_cast<std::size_t>(length));
    EXPECT_TRUE(run.file == expected) << FirstDifference(run.file, expected);
  }
}
