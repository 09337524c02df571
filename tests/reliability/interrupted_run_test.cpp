// The real tool ended by SIGTERM part way through a file: it gives the terminal back and
// leaves every block either wholly normalized or wholly as it was, in that order. The files
// are compared block by block from disk, against one reference file: first the original, then
// the same normalized.
#include <gtest/gtest.h>
#include <signal.h>

#include <cstdlib>
#include <filesystem>
#include <fstream>

#include "support/files.h"
#include "support/tool_run.h"

using namespace testing_support;

namespace {

constexpr int64_t Block = 96000;
constexpr int64_t DataStart = 44;
// The screen first shows the progress 1/60 s after the title, and output held then stops the
// tool at its next send: this machine normalizes over 100 MB by then. 5000 blocks leave room
// for a machine several times as fast.
constexpr int64_t DataBytes = 5000 * Block;

/// Gives each block that a and b hold alike the letter, or '=' when it has one already.
void Mark(std::string& states, char letter, const std::string& a, const std::string& b) {
  std::ifstream files[2] = {std::ifstream(a), std::ifstream(b)};
  std::vector<char> data[2] = {std::vector<char>(Block), std::vector<char>(Block)};
  for (auto& f : files) f.seekg(DataStart);
  for (std::size_t i = 0; files[0].read(data[0].data(), Block) && files[1].read(data[1].data(), Block); ++i) {
    if (data[0] == data[1]) states[i] = states[i] == 'X' ? letter : '=';
  }
}

}  // namespace

TEST(InterruptedRun, LeavesWholeBlocksInOrder) {
  TempDir dir;
  const std::string path = dir.file("take.wav");
  const std::string reference = dir.file("reference.wav");
  GenerateWave(path, DataBytes);
  std::filesystem::copy_file(path, reference);
  PtyRun run;
  // Ctrl+S as soon as the progress shows, and SIGTERM once the tool waits to write: wherever
  // the pass then stands, the signal comes part way through.
  run.steps = {{.when = "Wave...", .type = "\x13"}, {.when = kBlocked, .signal = SIGTERM}};
  const PtyResult r = RunTool({path}, run);
  ASSERT_EQ(r.modesAtStep.size(), 2u) << "no signal sent: " << r.exitStatus << r.Screen();
  EXPECT_EQ(std::pair(r.termSignal, r.ModesGivenBack()), std::pair(SIGTERM, true))
      << "killed, modes given back";
  ASSERT_EQ(std::filesystem::file_size(path), std::filesystem::file_size(reference));

  // One letter per block: N normalized, O original, = both alike, X neither (a torn block).
  std::string states(DataBytes / Block, 'X');
  Mark(states, 'O', path, reference);
  ASSERT_EQ(RunTool({reference}).exitStatus, 0);
  Mark(states, 'N', path, reference);
  const std::size_t firstOriginal = states.find('O');
  ASSERT_TRUE(firstOriginal != 0 && firstOriginal != std::string::npos)
      << "the run was not cut part way: " << states;
  EXPECT_EQ(std::pair(states.find_first_not_of("N="), states.find_first_not_of("O=", firstOriginal)),
            std::pair(firstOriginal, std::string::npos))
      << "a block torn or out of order: " << states;
  // The screen never shows more done than was written.
  const std::string row = r.LastRow();
  const double shown = std::atof(row.c_str() + row.rfind("...") + 3);
  const double written = DataStart + static_cast<double>(firstOriginal) * Block;
  EXPECT_GE(written / (DataStart + DataBytes) * 100 + 0.05, shown) << row;
}
