// Terminal output that the device holds back to save writes: it must still reach the screen
// while the program waits, and before anything else writes to the same terminal.
#include <gtest/gtest.h>

#include <signal.h>

#include <string>
#include <vector>

#include "support/pty_screen.h"

using namespace testing_support;

namespace {

// The probe's first statement goes out at once; text written right after it is held back,
// since less than 1/60 s has passed since that send.
PtyResult Probe(const std::vector<std::string>& ops, PtyRun run = {}) {
  run.program = CRT_PROBE;
  run.args = ops;
  run.timeoutSeconds = 15;
  return RunOnPty(run);
}

TEST(HeldOutput, ShowsWhileTheProgramWaits) {
  // The probe then sleeps for up to 30 s; the text must appear long before, or the signal
  // that ends the run is never sent.
  PtyRun run;
  run.signalTrigger = "HELD";
  run.signalNumber = SIGTERM;
  PtyResult r = Probe({"l:READY", "w:HELD", "wait"}, run);
  EXPECT_FALSE(r.timedOut);
  EXPECT_TRUE(r.signalSent);
  EXPECT_EQ(r.termSignal, SIGTERM);
  ASSERT_GE(r.rows.size(), 2u);
  EXPECT_EQ(r.rows[1], "HELD");
}

TEST(HeldOutput, ReachesTheTerminalBeforeTheRuntimeErrorReport) {
  PtyResult r = Probe({"l:READY", "w:HELD", "error:201"});
  ASSERT_TRUE(r.exited);
  EXPECT_EQ(r.exitStatus, 201);
  const std::string screen = r.Screen();
  const std::size_t held = screen.find("READY\nHELD");
  const std::size_t report = screen.find("Runtime error 201");
  ASSERT_NE(held, std::string::npos) << screen;
  ASSERT_NE(report, std::string::npos) << screen;
  EXPECT_LT(held, report) << screen;
}

TEST(HeldOutput, RewrittenRowEndsAsWrittenWhenTheRunEnds) {
  // Many rewrites of one row in quick succession, as the progress row does, then the end.
  std::vector<std::string> ops = {"l:TOP"};
  for (int i = 0; i < 200; ++i) {
    ops.push_back("r");
    ops.push_back("w: step " + std::to_string(i));
  }
  ops.push_back("w:, done");
  PtyResult r = Probe(ops);
  ASSERT_TRUE(r.exited);
  EXPECT_EQ(r.exitStatus, 0);
  ASSERT_GE(r.rows.size(), 2u);
  EXPECT_EQ(r.rows[1], " step 199, done");
  EXPECT_EQ(r.cursorRow, 1);
  EXPECT_EQ(r.cursorCol, 15);
}

}  // namespace
