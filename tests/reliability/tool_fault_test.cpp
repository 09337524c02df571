// The real tool on a terminal, with a read, write or size query of its WAVE file made to fail
// by a preloaded shim: it says so on its last row, ends with status 5, gives the terminal its
// modes back, and leaves the file as the in-process runs of the same failure do.
#include <gtest/gtest.h>
#include <stdlib.h>

#include <cerrno>

#include "reliability/fault_plan.h"
#include "support/tool_run.h"

using namespace testing_support;

namespace {

const char* const FailureText = " Fehler beim Lesen oder Schreiben der Datei!";

struct ToolRun {
  PtyResult screen;
  Bytes file;
};

std::string Preload() {
  const std::string before = TOLVAR_PRELOAD_BEFORE_SHIM;
  return before.empty() ? TOLVAR_FAULT_SHIM : before + ":" + TOLVAR_FAULT_SHIM;
}

/// The shim counts lseek calls, and only the size query makes them: size query k is call k.
std::vector<std::string> ShimSettings(const std::string& path, const std::optional<Fault>& fault) {
  std::vector<std::string> env = {"LD_PRELOAD=" + Preload(), "TOLVAR_FAULT_PATH=" + path};
  if (!fault) return env;
  switch (fault->call) {
    case FileCall::Read:
      env.push_back("TOLVAR_FAULT_CALL=pread");
      env.push_back("TOLVAR_FAULT_NTH=" + std::to_string(fault->nth));
      break;
    case FileCall::Write:
      env.push_back("TOLVAR_FAULT_CALL=pwrite");
      env.push_back("TOLVAR_FAULT_NTH=" + std::to_string(fault->nth));
      break;
    case FileCall::SizeQuery:
      env.push_back("TOLVAR_FAULT_CALL=lseek");
      env.push_back("TOLVAR_FAULT_NTH=" + std::to_string(fault->nth));
      break;
  }
  env.push_back("TOLVAR_FAULT_ERRNO=" + std::to_string(fault->error));
  return env;
}

ToolRun RunWithFault(const std::optional<Fault>& fault) {
  TempDir dir;
  const std::string written = dir.file("take.wav");
  WriteFile(written, MultiBlockWave());
  char resolved[PATH_MAX];
  const std::string path = realpath(written.c_str(), resolved) != nullptr ? resolved : written;
  PtyRun run;
  run.env = ShimSettings(path, fault);
  ToolRun result;
  result.screen = RunTool({path}, run);
  result.file = ReadFile(path);
  return result;
}

class ToolUnderFaults : public ::testing::Test {
 protected:
  void SetUp() override {
    // Without a fault the shim must change nothing; a sanitizer that refuses to share the
    // process with it shows here.
    const ToolRun plain = RunWithFault(std::nullopt);
    if (plain.screen.output.find("AddressSanitizer") != std::string::npos) {
      GTEST_SKIP() << "the sanitizer runtime refuses the preloaded shim: "
                   << plain.screen.output.substr(0, 200);
    }
    ASSERT_TRUE(plain.screen.exited);
    ASSERT_EQ(plain.screen.exitStatus, 0) << plain.screen.Screen();
    ASSERT_TRUE(plain.screen.LastRow().ends_with("100.0%, fertig!")) << plain.screen.Screen();
    ASSERT_TRUE(plain.file == NormalizeModel(MultiBlockWave()).file);
    undisturbed_ = RunWalkWithFault(MultiBlockWave(), std::nullopt).calls;
  }

  void ExpectReported(const Fault& fault) {
    const ToolRun r = RunWithFault(fault);
    EXPECT_TRUE(r.screen.exited) << "signal " << r.screen.termSignal;
    EXPECT_EQ(r.screen.exitStatus, 5);
    EXPECT_TRUE(r.screen.LastRow().ends_with(FailureText)) << r.screen.Screen();
    EXPECT_EQ(r.screen.Screen().find("fertig"), std::string::npos);
    EXPECT_TRUE(r.screen.ModesGivenBack());
    const Bytes expected = ExpectedAfterFault(MultiBlockWave(), model_, undisturbed_, fault);
    EXPECT_TRUE(r.file == expected) << "the tool left other bytes than the in-process run";
  }

  std::vector<CallRecord> undisturbed_;
  ModelResult model_ = NormalizeModel(MultiBlockWave());
};

}  // namespace

TEST_F(ToolUnderFaults, EachFailingCallIsReported) {
  const int reads = CountCalls(undisturbed_, FileCall::Read);
  const int writes = CountCalls(undisturbed_, FileCall::Write);
  // Reads: the RIFF header, the first chunk header, the format check's last read (the end of
  // the chunks), the pass's priming read, a read in the middle of the pass, the walk's last
  // header read.
  std::vector<Fault> faults;
  for (int k : {1, 2, 7, 13, 15, reads}) faults.push_back({FileCall::Read, k, EIO});
  for (int k = 1; k <= writes; ++k) faults.push_back({FileCall::Write, k, EIO});
  for (int k : {1, 4}) faults.push_back({FileCall::Write, k, ENOSPC});
  for (int k : {1, 2, 7}) faults.push_back({FileCall::SizeQuery, k, EIO});
  for (const Fault& fault : faults) {
    SCOPED_TRACE("call kind " + std::to_string(static_cast<int>(fault.call)) + ", number " +
                 std::to_string(fault.nth) + ", errno " + std::to_string(fault.error));
    ExpectReported(fault);
  }
}

TEST_F(ToolUnderFaults, AShortWriteIsFinishedAndAFileSizeLimitEndsInTheFailureMessage) {
  for (int k : {1, 3, 5}) {  // cut short: the rest follows and the run succeeds
    const ToolRun r = RunWithFault(Fault{FileCall::Write, k, 0});
    EXPECT_EQ(r.screen.exitStatus, 0) << "write " << k;
    EXPECT_TRUE(r.file == model_.file) << "write " << k;
  }
  // ulimit -f 0: the first write fails with EFBIG instead of killing the tool.
  TempDir dir;
  const std::string path = dir.file("take.wav");
  WriteFile(path, MultiBlockWave());
  PtyRun run;
  run.fileSizeLimit = 0;
  const PtyResult r = RunTool({path}, run);
  EXPECT_TRUE(r.exited) << "signal " << r.termSignal;
  EXPECT_EQ(r.exitStatus, 5);
  EXPECT_TRUE(r.LastRow().ends_with(FailureText)) << r.Screen();
  EXPECT_TRUE(r.ModesGivenBack());
  EXPECT_TRUE(ReadFile(path) == MultiBlockWave());
}
