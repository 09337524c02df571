// Fuzzes the chunk walk and the normalizer on arbitrary bytes, through the real file layer:
// each input becomes an in-memory file that the walk opens by its /proc name, exactly as the
// tool opens a WAVE file. The result is held against the promises of the tool: only whole
// "data" bodies change, no sample exceeds the ceiling, the walk ends, a refused file (not a
// WAVE file, or not 16-bit PCM) stays as it was, and the bytes equal the reference model's.
// Any violation aborts.
#include <sys/mman.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>

#include "driver/chunk_walk.h"
#include "normalize/reference_model.h"
#include "normalize/walk_runner.h"
#include "runtime/file_access.h"

using testing_support::Bytes;

namespace {

constexpr int32_t SampleCeiling = 32512;

[[noreturn]] void Violation(const char* what) {
  std::fprintf(stderr, "tolvar fuzz: %s\n", what);
  std::abort();
}

// ---- The independent walk: which byte ranges the tool may rewrite.

struct Span {
  int64_t begin;
  int64_t end;
};

struct Layout {
  bool refused = false;       ///< a "data" chunk follows a "fmt " that is not 16-bit PCM
  std::vector<Span> bodies;   ///< the "data" bodies that are normalized, cut to the file
};

uint32_t Le32(const uint8_t* p) {
  return static_cast<uint32_t>(p[0]) | static_cast<uint32_t>(p[1]) << 8 |
         static_cast<uint32_t>(p[2]) << 16 | static_cast<uint32_t>(p[3]) << 24;
}

bool DeclaresPcm16(const uint8_t* fmt, int64_t length) {
  static const uint8_t PcmGuid[16] = {1, 0, 0, 0, 0, 0, 0x10, 0, 0x80, 0, 0, 0xAA, 0, 0x38, 0x9B, 0x71};
  if (length < 16 || (fmt[14] | fmt[15] << 8) != 16) return false;
  const int tag = fmt[0] | fmt[1] << 8;
  if (tag == 1) return true;
  return tag == 0xFFFE && length >= 40 && std::memcmp(fmt + 24, PcmGuid, 16) == 0;
}

/// Chunks from byte 12 of a RIFF, RF64 or BW64 WAVE file, each step forward past the body and
/// its pad byte; a header cut short by the end of the file keeps the bytes of the one before
/// where nothing arrived. In RF64/BW64 a "data" size of 0xFFFFFFFF stands in "ds64".
Layout WalkLayout(const Bytes& file) {
  const int64_t length = static_cast<int64_t>(file.size());
  const auto read = [&](uint8_t* to, int64_t at, int64_t count) -> int64_t {
    const int64_t got = std::max<int64_t>(0, std::min(count, length - at));
    if (got > 0) std::memcpy(to, file.data() + at, static_cast<size_t>(got));
    return got;
  };
  const auto starts = [&](const char* tag) { return length >= 4 && std::memcmp(file.data(), tag, 4) == 0; };
  const bool rf64 = starts("RF64") || starts("BW64");
  if (length < 12 || !(rf64 || starts("RIFF")) || std::memcmp(file.data() + 8, "WAVE", 4) != 0) {
    return Layout{true, {}};
  }
  Layout layout;
  bool pcm16 = true;
  bool fmtSeen = false;
  bool pendingData = false;  // a "data" chunk before any "fmt ": the next "fmt " judges it
  uint64_t ds64Size = 0xFFFFFFFF;
  uint8_t header[8] = {};
  int64_t at = 12;
  int64_t got = read(header, at, 8);
  while (got > 0) {
    const int64_t body = at + got;
    uint64_t size = Le32(header + 4);
    uint8_t sizes[16];
    if (rf64 && std::memcmp(header, "ds64", 4) == 0 && size >= 16 && read(sizes, body, 16) == 16) {
      ds64Size = Le32(sizes + 8) | static_cast<uint64_t>(Le32(sizes + 12)) << 32;
    }
    if (std::memcmp(header, "fmt ", 4) == 0) {
      uint8_t fmt[40];
      pcm16 = DeclaresPcm16(fmt, read(fmt, body, static_cast<int64_t>(std::min<uint64_t>(size, 40))));
      if (pendingData && !pcm16) return Layout{true, {}};
      pendingData = false;
      fmtSeen = true;
    }
    if (std::memcmp(header, "data", 4) == 0) {
      if (rf64 && size == 0xFFFFFFFF) size = ds64Size;
      if (!pcm16) return Layout{true, {}};
      pendingData = pendingData || !fmtSeen;
      layout.bodies.push_back({body, static_cast<int64_t>(std::min<uint64_t>(body + size, length))});
    }
    const uint64_t next = static_cast<uint64_t>(body) + size + (size & 1);
    if (next >= static_cast<uint64_t>(length)) break;
    at = static_cast<int64_t>(next);
    got = read(header, at, 8);
  }
  return layout;
}

// ---- Counting every call of the file layer, so that a walk that never ends is caught.

uint64_t g_calls = 0;
uint64_t g_callBudget = 0;

void CountCall() {
  if (++g_calls > g_callBudget) Violation("the walk does not end: file calls beyond the budget");
}

/// Per header at most a header read and a "fmt " or "ds64" read in each of the two walks,
/// and for a "data" header a size query, two empty reads, an empty write and its progress;
/// per block of a body a read, a size query and a write, and a progress size query. The RIFF
/// header reads, opening and closing take a few more.
uint64_t CallBudget(size_t length) {
  const uint64_t headers = length / 8 + 2;
  return 12 * headers + 4 * (length / 96000 + 1) + 16;
}

int CountedPathKind(const char* path) { CountCall(); return SystemFileCalls.path_kind(path); }
int CountedOpen(const char* path, int flags) { CountCall(); return SystemFileCalls.open(path, flags); }
int CountedClose(int fd) { CountCall(); return SystemFileCalls.close(fd); }
int CountedFlock(int fd, int op) { CountCall(); return SystemFileCalls.flock(fd, op); }
int CountedIsRegular(int fd) { CountCall(); return SystemFileCalls.is_regular(fd); }
int64_t CountedSize(int fd) { CountCall(); return SystemFileCalls.size(fd); }
int64_t CountedPread(int fd, void* buf, size_t count, int64_t offset) {
  CountCall();
  return SystemFileCalls.pread(fd, buf, count, offset);
}
int64_t CountedPwrite(int fd, const void* buf, size_t count, int64_t offset) {
  CountCall();
  return SystemFileCalls.pwrite(fd, buf, count, offset);
}

const FileCalls CountingCalls = {CountedPathKind, CountedOpen,  CountedClose, CountedFlock,
                                 CountedIsRegular, CountedSize, CountedPread, CountedPwrite};

// ---- The in-memory file.

int MemoryFile() {
  static const int fd = memfd_create("tolvar-fuzz.wav", MFD_CLOEXEC);
  if (fd < 0) Violation("memfd_create failed");
  return fd;
}

void Store(int fd, const uint8_t* data, size_t size) {
  if (ftruncate(fd, 0) != 0) Violation("ftruncate failed");
  size_t done = 0;
  while (done < size) {
    const ssize_t n = pwrite(fd, data + done, size - done, static_cast<off_t>(done));
    if (n <= 0) Violation("cannot fill the in-memory file");
    done += static_cast<size_t>(n);
  }
}

Bytes Load(int fd) {
  struct stat st {};
  if (fstat(fd, &st) != 0) Violation("fstat failed");
  Bytes bytes(static_cast<size_t>(st.st_size));
  size_t done = 0;
  while (done < bytes.size()) {
    const ssize_t n = pread(fd, bytes.data() + done, bytes.size() - done, static_cast<off_t>(done));
    if (n <= 0) Violation("cannot read the in-memory file back");
    done += static_cast<size_t>(n);
  }
  return bytes;
}

void CheckOnlyBodiesChanged(const Bytes& before, const Bytes& after, const Layout& layout) {
  // The bodies come in file order and never overlap: compare the gaps between them.
  const auto unchanged = [&](int64_t from, int64_t to) {
    return from >= to || std::memcmp(before.data() + from, after.data() + from,
                                     static_cast<size_t>(to - from)) == 0;
  };
  int64_t gapStart = 0;
  for (const Span& s : layout.bodies) {
    if (!unchanged(gapStart, s.begin)) Violation("a byte outside the data bodies changed");
    gapStart = s.end;
  }
  if (!unchanged(gapStart, static_cast<int64_t>(before.size()))) {
    Violation("a byte outside the data bodies changed");
  }
}

void CheckSampleCeiling(const Bytes& after, const Layout& layout) {
  for (const Span& s : layout.bodies) {
    for (int64_t at = s.begin; at + 1 < s.end; at += 2) {
      const auto sample = static_cast<int16_t>(after[static_cast<size_t>(at)] |
                                               after[static_cast<size_t>(at) + 1] << 8);
      if (std::abs(static_cast<int32_t>(sample)) > SampleCeiling) {
        Violation("a written sample exceeds the ceiling");
      }
    }
  }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  const int fd = MemoryFile();
  Store(fd, data, size);
  const Bytes before(data, data + size);

  testing_support::ResetProgramState();
  g_calls = 0;
  g_callBudget = CallBudget(size);
  ActiveFileCalls = &CountingCalls;
  Assign(F, "/proc/self/fd/" + std::to_string(fd));
  Reset(F, 1);
  if (IOResult() != 0) Violation("the in-memory file cannot be opened");
  const bool accepted = WALK(false);
  if (accepted) WALK(true);
  Close(F);
  const uint16_t status = IOResult();
  ActiveFileCalls = &SystemFileCalls;
  const Bytes after = Load(fd);

  if (status != 0) Violation("an I/O failure was reported on a sound in-memory file");
  if (after.size() != before.size()) Violation("the file's length changed");
  const Layout layout = WalkLayout(before);
  if (layout.refused == accepted) Violation("refusal differs from the independent walk");
  if (layout.refused && after != before) Violation("a refused file was changed");
  CheckOnlyBodiesChanged(before, after, layout);
  CheckSampleCeiling(after, layout);
  const testing_support::ModelResult model = testing_support::NormalizeModel(before);
  if (model.refused != layout.refused) Violation("refusal differs from the model");
  if (model.file != after) Violation("the bytes differ from the reference model");
  return 0;
}
