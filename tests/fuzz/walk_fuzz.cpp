// Fuzzes the chunk walk and the normalizer on arbitrary bytes, through the real file layer:
// each input becomes an in-memory file that the walk opens by its /proc name, exactly as the
// tool opens a WAVE file. The result is held against the promises of the tool: the bytes
// equal the reference model's, only the blocks the model writes back change, none of their
// samples exceeds the ceiling, a refused file stays as it was, nothing is reported as failed,
// and each walk over a file of n bytes reads at most n / 8 + 1 headers: a walk that comes back
// on itself aborts at its first header too many, and one that hangs elsewhere is caught by
// libFuzzer's time limit. Any violation aborts.
#include <sys/mman.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>

#include "driver/chunk_walk.h"
#include "normalize/reference_model.h"
#include "normalize/walk_runner.h"

namespace {

[[noreturn]] void Violation(const char* what) {
  std::fprintf(stderr, "tolvar fuzz: %s\n", what);
  std::abort();
}

/// Moves the whole of a buffer to or from the in-memory file.
template <typename Move, typename Byte>
void Whole(Move move, int fd, Byte* data, size_t size) {
  for (size_t done = 0; done < size;) {
    const ssize_t n = move(fd, data + done, size - done, static_cast<off_t>(done));
    if (n <= 0) Violation("the in-memory file cannot be filled or read back");
    done += static_cast<size_t>(n);
  }
}

/// Header reads of the walk under way, told from its other reads by where they go: every
/// header lands in the buffer that the first one, at byte 12, went to.
struct {
  const void* buffer;
  int64_t reads, limit;
} headers;

int64_t CountingPread(int fd, void* buf, size_t count, int64_t offset) {
  if (headers.buffer == nullptr && offset == 12 && count == 8) headers.buffer = buf;
  const bool header = buf == headers.buffer && count == 8;
  if (header && ++headers.reads > headers.limit) Violation("a walk read more than n / 8 + 1 headers");
  return SystemFileCalls.pread(fd, buf, count, offset);
}

const FileCalls Counting = {SystemFileCalls.open, SystemFileCalls.size, CountingPread,
                            SystemFileCalls.pwrite};

/// One walk, its header reads counted against the bound for a file of size bytes.
bool CountedWalk(Walk walk, size_t size) {
  headers = {nullptr, 0, static_cast<int64_t>(size / 8 + 1)};
  ActiveFileCalls = &Counting;
  const bool accepted = WalkChunks(walk);
  ActiveFileCalls = &SystemFileCalls;
  return accepted;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  static const int fd = memfd_create("tolvar-fuzz.wav", MFD_CLOEXEC);
  if (fd < 0 || ftruncate(fd, 0) != 0) Violation("no in-memory file");
  Whole(pwrite, fd, data, size);
  const testing_support::Bytes before(data, data + size);

  testing_support::ResetProgramState();
  Assign(F, "/proc/self/fd/" + std::to_string(fd));
  Reset(F, 1);
  if (IOResult() != 0) Violation("the in-memory file cannot be opened");
  const bool accepted = CountedWalk(Walk::CheckFormat, size);
  if (accepted) CountedWalk(Walk::Normalize, size);
  Close(F);
  if (IOResult() != 0) Violation("an I/O failure was reported on a sound in-memory file");
  testing_support::Bytes after(size);
  if (lseek(fd, 0, SEEK_END) != static_cast<off_t>(size)) Violation("the file's length changed");
  Whole(pread, fd, after.data(), size);

  const testing_support::ModelResult model = testing_support::NormalizeModel(before);
  if (model.refused == accepted) Violation("refusal differs from the model");
  if (model.file != after) Violation("the bytes differ from the reference model");
  // The model against the promises themselves: outside its block writes nothing changed, and
  // within them no sample exceeds the ceiling.
  testing_support::Bytes outside = after;
  for (auto [at, count] : model.writes) {
    for (int64_t i = at; i + 1 < at + count; i += 2) {
      const int16_t sample = static_cast<int16_t>(after[i] | after[i + 1] << 8);
      if (std::abs(sample) > 32512) Violation("a sample exceeds the ceiling");
    }
    std::memcpy(outside.data() + at, before.data() + at, static_cast<size_t>(count));
  }
  if (outside != before) Violation("a byte outside the data bodies changed");
  return 0;
}
