// The file layer's failure points, which a whole run of the tool does not reach cheaply: short
// and positioned transfers, the open's refusals and its lock, and writes that the system cuts
// short or fails.
#include "runtime/file_access.h"

#include <gtest/gtest.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <filesystem>
#include <utility>

#include "support/files.h"

using namespace testing_support;

namespace {

const Bytes Ten = {'0', '1', '2', '3', '4', '5', '6', '7', '8', '9'};

// The system's calls: opens counted, writes cut to a limit, and the failAt-th read or write failing.
int opens, calls, failAt, failErrno;
std::size_t writeLimit;

bool Fails() { return ++calls == failAt ? (errno = failErrno, true) : false; }

const FileCalls Scripted = {
    [](const char* path, int flags) { return ++opens, SystemFileCalls.open(path, flags); },
    SystemFileCalls.size,
    [](int fd, void* buf, std::size_t n, int64_t at) {
      return Fails() ? -1 : SystemFileCalls.pread(fd, buf, n, at);
    },
    [](int fd, const void* buf, std::size_t n, int64_t at) {
      return Fails() ? -1 : SystemFileCalls.pwrite(fd, buf, std::min(n, writeLimit), at);
    },
};

class FileAccess : public ::testing::Test {
 protected:
  void SetUp() override {
    InOutRes = opens = calls = failAt = 0;
    writeLimit = SIZE_MAX;
    ActiveFileCalls = &Scripted;
    Assign(f, path);
  }
  void TearDown() override {
    InOutRes = 0;
    Close(f);
    ActiveFileCalls = &SystemFileCalls;
  }
  /// Writes the ten digits and opens them, closing an earlier open first.
  void Open() {
    WriteFile(path, Ten);
    Reset(f, 1);
    ASSERT_EQ(IOResult(), 0);
  }
  uint16_t OpenStatus(const std::string& name) { return Assign(f, name), Reset(f, 1), IOResult(); }
  /// The status of an open of path in another process, as another program would try it.
  int StatusOfOpenInChild(bool dropRoot) {
    if (const pid_t pid = fork(); pid != 0) {
      int status = 0;
      waitpid(pid, &status, 0);
      return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
    }
    if (dropRoot && (setgid(65534) != 0 || setuid(65534) != 0)) _exit(200);
    _exit(OpenStatus(path));
  }
  /// The bytes read, "|", then what the rest of the buffer (filled with dots) holds afterwards.
  std::string Read(int32_t count) {
    std::string b(static_cast<std::size_t>(count), '.');
    int32_t n = -1;
    BlockRead(f, b.data(), count, n);
    return b.insert(static_cast<std::size_t>(n), 1, '|');
  }

  TempDir dir;
  std::string path = dir.file("a.wav");
  FileRec f{};
};

TEST_F(FileAccess, AnInterruptedReadIsMadeAgainAndPositionsReachBeyond4GiB) {
  Open();
  Seek(f, 3);
  EXPECT_EQ(Read(2), "34|");
  failAt = calls + 1;
  failErrno = EINTR;
  EXPECT_EQ(Read(2), "56|");  // neither the size query nor the interrupted call moved it
  // Braced: position, size and status asked in that order (asking for the status clears it).
  EXPECT_EQ((std::tuple{FilePos(f), FileSize(f), IOResult()}),
            std::tuple(int64_t{7}, int64_t{10}, uint16_t{0}));
  const int64_t size = (int64_t{1} << 32) + 6;  // sparse
  std::filesystem::resize_file(path, size);
  EXPECT_EQ(FileSize(f), size);
  Seek(f, size - 2);
  BlockOverwrite(f, "hi", 2);
  Seek(f, size - 2);
  EXPECT_EQ(Read(4), "hi|..");  // the end of the file is no error here
}

TEST_F(FileAccess, RefusedOpensNeverTouchTheFile) {
  WriteFile(path, Ten);
  std::filesystem::create_directory(dir.file("sub"));
  ASSERT_EQ(mkfifo(dir.file("fifo").c_str(), 0600), 0);
  // Cut to the capacity, this name would open "target"; whole, it names "target.wav".
  WriteFile(dir.file("target"), Ten);
  const std::string cutName =
      dir.path() + std::string(FileNameCapacity - dir.path().size() - 6, '/') + "target";
  const struct {
    std::string name;
    uint16_t status;
  } rows[] = {
      {dir.file("missing.wav"), 2},
      {dir.file("missing.wav/"), 2},
      {"/tolvar-missing.wav", 2},  // in the root directory
      {dir.file("nodir/a.wav"), 3},
      {path + "/a.wav", 3},
      {dir.file("sub"), 5},
      {dir.file("fifo"), 5},
      {"/dev/null", 5},
      {"", 2},
      {cutName + ".wav", 36},
  };
  for (const auto& row : rows)  // braced: the status is asked before the handle is read
    EXPECT_EQ((std::pair{OpenStatus(row.name), f.Handle}), (std::pair{row.status, UnusedHandle})) << row.name;
  EXPECT_EQ(opens, 0) << "a device, FIFO or directory must not even be opened";
  EXPECT_FALSE(std::filesystem::exists(dir.file("missing.wav")));
}

TEST_F(FileAccess, TheOpenFileIsOursAloneAndAReadOnlyOneIsRefused) {
  Open();
  Open();  // our own lock must not stand in the way of opening it again
  EXPECT_EQ(StatusOfOpenInChild(false), 5);
  Close(f);
  EXPECT_EQ(StatusOfOpenInChild(false), 0);
  ASSERT_EQ(chmod(dir.path().c_str(), 0755), 0);
  ASSERT_EQ(chmod(path.c_str(), 0444), 0);
  // Permission bits do not stop root, so as root the open is tried by an unprivileged child.
  const int status = StatusOfOpenInChild(geteuid() == 0);
  if (status == 200) GTEST_SKIP() << "running as root and cannot switch to an unprivileged user";
  EXPECT_EQ(status, 5);
}

TEST_F(FileAccess, AShortWriteIsContinuedUntilDoneOrStuck) {
  const struct {
    std::size_t limit;
    int failAt;
    uint16_t status;
    int calls;
    const char* file;
  } rows[] = {
      {5, 0, 0, 3, "ABCDEFGH89"},    // the rest follows from where the first call stopped, to the last byte
      {4, 2, 101, 2, "ABCD456789"},  // the continuation fails: the part written stays
      {0, 0, 101, 1, "0123456789"},  // nothing moves: no endless retry
      {9, 1, 101, 1, "0123456789"},  // the file is full
  };
  for (const auto& row : rows) {
    Open();
    calls = 0;
    failErrno = ENOSPC;
    writeLimit = row.limit;
    failAt = row.failAt;
    BlockOverwrite(f, "ABCDEF", 6);
    BlockOverwrite(f, "GH", 2);  // after a failure nothing more is written
    EXPECT_EQ(std::tuple(IOResult(), calls, ReadFile(path)),
              std::tuple(row.status, row.calls, Bytes(row.file, row.file + 10)));
  }
}

}  // namespace
