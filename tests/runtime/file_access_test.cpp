// The file layer's failure points, which a whole run of the tool does not reach cheaply: the
// sticky status, short and positioned transfers, the open's refusals and its lock, and
// writes that the system cuts short or fails.
#include "runtime/file_access.h"

#include <gtest/gtest.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <filesystem>

#include "support/files.h"

using namespace testing_support;

namespace {

const Bytes Ten = {'0', '1', '2', '3', '4', '5', '6', '7', '8', '9'};

// The system's calls, counted, with the write cut to a limit and one call failing.
int opens, writes, failWriteAt, reads, interruptReadAt;
std::size_t writeLimit;

const FileCalls Scripted = {
    [](const char* path, int flags) { return ++opens, SystemFileCalls.open(path, flags); },
    SystemFileCalls.size,
    [](int fd, void* buf, std::size_t count, int64_t offset) -> int64_t {
      if (++reads != interruptReadAt) return SystemFileCalls.pread(fd, buf, count, offset);
      errno = EINTR;
      return -1;
    },
    [](int fd, const void* buf, std::size_t count, int64_t offset) -> int64_t {
      if (++writes != failWriteAt) return SystemFileCalls.pwrite(fd, buf, std::min(count, writeLimit), offset);
      errno = ENOSPC;
      return -1;
    },
};

/// The status of an open of path in another process, as another program would try it.
int StatusOfOpenInChild(const std::string& path, bool dropRoot) {
  const pid_t pid = fork();
  if (pid == 0) {
    if (dropRoot && (setgid(65534) != 0 || setuid(65534) != 0)) _exit(200);
    static FileRec other;
    Assign(other, path);
    Reset(other, 1);
    _exit(IOResult());
  }
  int status = 0;
  waitpid(pid, &status, 0);
  return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
}

class FileAccess : public ::testing::Test {
 protected:
  void SetUp() override {
    InOutRes = opens = writes = reads = failWriteAt = interruptReadAt = 0;
    writeLimit = SIZE_MAX;
    ActiveFileCalls = &Scripted;
  }
  void TearDown() override {
    InOutRes = 0;
    if (f.Mode == ModeInOut && f.Handle >= 0) Close(f);
    ActiveFileCalls = &SystemFileCalls;
  }
  void Open(const Bytes& bytes) {
    TearDown();
    SetUp();
    WriteFile(path, bytes);
    Assign(f, path);
    Reset(f, 1);
    ASSERT_EQ(IOResult(), 0);
  }
  Bytes Read(int32_t count) {
    Bytes b(static_cast<std::size_t>(count), 0xEE);
    int32_t n = -1;
    BlockRead(f, b.data(), count, n);
    b.resize(static_cast<std::size_t>(n));
    return b;
  }

  TempDir dir;
  std::string path = dir.file("a.wav");
  FileRec f{};
};

TEST_F(FileAccess, APendingStatusMakesEverythingInertUntilCleared) {
  Open(Ten);
  Seek(f, 2);
  InOutRes = 7;
  Seek(f, 6);
  EXPECT_EQ(FilePos(f), 0);
  EXPECT_EQ(FileSize(f), 0);
  EXPECT_TRUE(Read(4).empty());
  BlockRead(f, nullptr, 0);
  EXPECT_EQ(InOutRes, 7);  // a count of 0 leaves a pending code alone
  BlockOverwrite(f, "XY", 2);
  Close(f);
  EXPECT_EQ(IOResult(), 101);
  EXPECT_EQ(IOResult(), 0);
  EXPECT_EQ(Read(2), (Bytes{'2', '3'}));  // still open, still at 2
  EXPECT_EQ(ReadFile(path), Ten);
}

TEST_F(FileAccess, PositionsAreTheFileObjectsOwnAndReadsMayComeShort) {
  Open(Ten);
  Seek(f, 7);
  Bytes buf(8, 0xEE);
  int32_t n = -1;
  BlockRead(f, buf.data(), 8, n);  // the end of the file is no error here
  EXPECT_EQ(buf, (Bytes{'7', '8', '9', 0xEE, 0xEE, 0xEE, 0xEE, 0xEE}));
  EXPECT_EQ(FilePos(f), 10);
  char byte = 'k';
  BlockRead(f, &byte, -5);
  BlockOverwrite(f, &byte, -5);
  BlockRead(f, &byte, 0);
  EXPECT_EQ(IOResult(), 0);
  BlockRead(f, &byte, 1);
  EXPECT_EQ(IOResult(), 100);
  Seek(f, 100);  // past the end: taken, nothing grows
  EXPECT_EQ(FilePos(f), 100);
  EXPECT_EQ(FileSize(f), 10);
  Seek(f, 3);
  Seek(f, -1);
  EXPECT_EQ(IOResult(), 131);
  EXPECT_EQ(Read(2), (Bytes{'3', '4'}));
  EXPECT_EQ(FileSize(f), 10);
  EXPECT_EQ(Read(2), (Bytes{'5', '6'}));  // the size query did not move it
  interruptReadAt = reads + 1;
  EXPECT_EQ(Read(2), (Bytes{'7', '8'}));  // an interrupted call is made again
  EXPECT_EQ(byte, 'k');
  EXPECT_EQ(ReadFile(path), Ten);
  const int64_t size = (int64_t{1} << 32) + 6;  // positions and sizes beyond 4 GiB; sparse
  std::filesystem::resize_file(path, size);
  EXPECT_EQ(FileSize(f), size);
  Seek(f, size - 2);
  BlockOverwrite(f, "hi", 2);
  Seek(f, size - 2);
  EXPECT_EQ(Read(4), (Bytes{'h', 'i'}));
  EXPECT_EQ(IOResult(), 0);
}

TEST_F(FileAccess, RefusedOpensNeverTouchTheFile) {
  WriteFile(path, Ten);
  std::filesystem::create_directory(dir.file("sub"));
  ASSERT_EQ(mkfifo(dir.file("fifo").c_str(), 0600), 0);
  // Cut to the capacity, this name would open "target"; whole, it names "target.wav".
  WriteFile(dir.file("target"), Ten);
  const std::string cutName = dir.path() + std::string(FileNameCapacity - dir.path().size() - 6, '/') + "target";
  const struct { std::string name; uint16_t status; } rows[] = {
      {dir.file("missing.wav"), 2}, {dir.file("nodir/a.wav"), 3}, {path + "/a.wav", 3},
      {dir.file("sub"), 5},         {dir.file("fifo"), 5},        {"/dev/null", 5},
      {"", 2},                      {cutName + ".wav", 36},
  };
  for (const auto& row : rows) {
    Assign(f, row.name);
    Reset(f, 1);
    EXPECT_EQ(IOResult(), row.status) << row.name;
    EXPECT_EQ(f.Handle, UnusedHandle) << row.name;
  }
  EXPECT_EQ(opens, 0) << "a device, FIFO or directory must not even be opened";
  EXPECT_FALSE(std::filesystem::exists(dir.file("missing.wav")));
}

TEST_F(FileAccess, TheOpenFileIsOursAloneAndAReadOnlyOneIsRefused) {
  Open(Ten);
  Reset(f, 1);  // our own lock must not stand in the way of opening it again
  EXPECT_EQ(IOResult(), 0);
  EXPECT_EQ(StatusOfOpenInChild(path, false), 5);
  Close(f);
  EXPECT_EQ(StatusOfOpenInChild(path, false), 0);
  ASSERT_EQ(chmod(dir.path().c_str(), 0755), 0);
  ASSERT_EQ(chmod(path.c_str(), 0444), 0);
  // Permission bits do not stop root, so as root the open is tried by an unprivileged child.
  const int status = StatusOfOpenInChild(path, geteuid() == 0);
  if (status == 200) GTEST_SKIP() << "running as root and cannot switch to an unprivileged user";
  EXPECT_EQ(status, 5);
}

TEST_F(FileAccess, AShortWriteIsContinuedUntilDoneOrStuck) {
  const struct { std::size_t limit; int failAt; uint16_t status; int calls; const char* file; } rows[] = {
      {4, 0, 0, 3, "ABCDEFGH89"},    // the rest follows from where the first call stopped
      {4, 2, 101, 2, "ABCD456789"},  // the continuation fails: the part written stays
      {0, 0, 101, 1, "0123456789"},  // nothing moves: no endless retry
      {9, 1, 101, 1, "0123456789"},  // the file is full
  };
  for (const auto& row : rows) {
    SCOPED_TRACE(row.file);
    Open(Ten);
    writeLimit = row.limit;
    failWriteAt = row.failAt;
    BlockOverwrite(f, "ABCDEF", 6);
    BlockOverwrite(f, "GH", 2);  // after a failure nothing more is written
    EXPECT_EQ(IOResult(), row.status);
    EXPECT_EQ(writes, row.calls);
    EXPECT_EQ(ReadFile(path), Bytes(row.file, row.file + 10));
  }
}

}  // namespace
