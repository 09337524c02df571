// The progress step alone, as a pass over a 1 GiB "data" chunk runs it: after every block of
// 96000 bytes, the position and size of a real file, the percentage's text and the console
// device's rewrite of the row. Run it on a terminal, e.g. under bench/pty_run:
//
//   pty_run build/bench/progress_bench RESULT_FILE [ROUNDS]
//
// It writes to RESULT_FILE the least and the median over the rounds of one whole pass's
// progress steps, divided by its blocks. The step asks no size: it takes the one the pass
// asked at the chunk's start.
#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <vector>

#include <unistd.h>

#include "driver/chunk_walk.h"
#include "normalize/progress.h"
#include "runtime/console.h"
#include "runtime/file_access.h"
#include "runtime/system.h"

namespace {

constexpr int64_t Header = 44;
constexpr int64_t DataBytes = int64_t{1} << 30;
constexpr int64_t Block = 96000;
const char* g_result = nullptr;
int g_rounds = 9;

struct PerBlock {
  double least;
  double median;
};

/// Runs `step` after every block of one pass, `g_rounds` times.
template <typename Step>
PerBlock Time(Step step) {
  std::vector<double> perBlock;
  for (int round = 0; round < g_rounds; ++round) {
    int64_t blocks = 0;
    const auto start = std::chrono::steady_clock::now();
    for (int64_t at = Header; at < Header + DataBytes + Block; at += Block) {
      Seek(F, std::min(at + Block, Header + DataBytes));  // where the block's write ends
      step();
      ++blocks;
    }
    const std::chrono::duration<double, std::nano> ns = std::chrono::steady_clock::now() - start;
    perBlock.push_back(ns.count() / static_cast<double>(blocks));
  }
  std::sort(perBlock.begin(), perBlock.end());
  return {perBlock.front(), perBlock[perBlock.size() / 2]};
}

void Body() {
  char path[] = "/tmp/tolvar-progress-XXXXXX";
  const int fd = mkstemp(path);
  if (fd < 0 || ftruncate(fd, Header + DataBytes) != 0) Halt(2);
  close(fd);
  Assign(F, path);
  Reset(F, 1);
  FileSize(F);  // as the chunk walk asks it before the pass
  const PerBlock progress = Time(PROGRESS);
  Close(F);
  unlink(path);
  if (FILE* out = std::fopen(g_result, "w")) {
    std::fprintf(out, "progress step ns/block: least %.1f median %.1f\n", progress.least, progress.median);
    std::fclose(out);
  }
}

}  // namespace

int main(int argc, char** argv) {
  if (argc < 2) return 2;
  g_result = argv[1];
  if (argc > 2) g_rounds = std::max(1, std::atoi(argv[2]));
  System_Start(argc, argv, Body);
}
