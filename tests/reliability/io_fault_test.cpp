// The normalizing walk meets a failing read, write or size query at every point of a file of
// several blocks: after the failure nothing more reaches the file, the blocks written before
// it hold exactly the normalized bytes, everything else its original bytes, and the failure
// is kept for the tool to report.
#include <gtest/gtest.h>

#include <cerrno>

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
  // The format check reads four headers, the "fmt " body and the end of the chunks; the
  // normalizing walk the same, plus seven blocks: five with samples and two empty ones.
  // There is no seek call: positions live in the file object, and the size query is the one
  // positioning-like call that can fail. The first one is the walk's own, before the pass;
  // the others are the progress row's, one after each block.
  const struct {
    FileCall call;
    const char* name;
    int error;
    int calls;
  } table[] = {
      {FileCall::Read,      "read",       EIO,    19},
      {FileCall::Write,     "write",      EIO,    6},
      {FileCall::Write,     "write",      ENOSPC, 6},
      {FileCall::SizeQuery, "size query", EIO,    7},
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

TEST(InjectedFaults, AShortWriteLeavesItsFirstPartNormalizedAndTheRestOriginal) {
  // The design writes a block once and stops at a short write: the transferred part stays
  // normalized, the rest of the block keeps its old bytes, and a sample cut by the boundary
  // holds its new low byte and its old high byte.
  const std::vector<CallRecord>& undisturbed = Undisturbed().calls;
  int nonEmptyWrites = 0;
  for (const CallRecord& c : undisturbed) {
    if (c.call != FileCall::Write || c.count == 0) continue;
    ++nonEmptyWrites;
    SCOPED_TRACE("write " + std::to_string(nonEmptyWrites) + " is short");
    const FaultRun run = ExpectStoppedCleanly({FileCall::Write, nonEmptyWrites, 0});
    EXPECT_EQ(run.status, 101);
    const int64_t cut = c.offset + ShortTransfer(c.count);
    ASSERT_EQ((cut - c.offset) % 2, 1) << "the cut should fall inside a sample";
    EXPECT_EQ(run.file[cut - 1], Model().file[cut - 1]);
    EXPECT_EQ(run.file[cut], MultiBlockWave()[cut]);
    EXPECT_NE(Model().file[cut], MultiBlockWave()[cut]) << "pick a block the gain changes";
  }
  EXPECT_EQ(nonEmptyWrites, 5);
}
