// The file layer against real files: the sticky status, short and positioned transfers, the
// open's refusals and its lock, and platform failures injected through the call table.
#include "runtime/file_access.h"

#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdint>
#include <filesystem>
#include <string>

#include "support/files.h"

namespace {

using testing_support::Bytes;
using testing_support::ReadFile;
using testing_support::TempDir;
using testing_support::WriteFile;

const Bytes kTen = {'0', '1', '2', '3', '4', '5', '6', '7', '8', '9'};

// Scripted platform: counts calls and fails or shortens the chosen one.
int g_opens, g_pwrites, g_preads, g_failPwriteAt, g_failErrno, g_interruptPreadAt;
std::size_t g_pwriteLimit;

int CountingOpen(const char* path, int flags) {
  ++g_opens;
  return SystemFileCalls.open(path, flags);
}
int64_t ScriptedPwrite(int fd, const void* buf, std::size_t count, int64_t offset) {
  if (++g_pwrites == g_failPwriteAt) {
    errno = g_failErrno;
    return -1;
  }
  return SystemFileCalls.pwrite(fd, buf, std::min(count, g_pwriteLimit), offset);
}
int64_t ScriptedPread(int fd, void* buf, std::size_t count, int64_t offset) {
  if (++g_preads == g_interruptPreadAt) {
    errno = EINTR;
    return -1;
  }
  return SystemFileCalls.pread(fd, buf, count, offset);
}
const FileCalls kScripted = [] {
  FileCalls t = SystemFileCalls;
  t.open = CountingOpen;
  t.pwrite = ScriptedPwrite;
  t.pread = ScriptedPread;
  return t;
}();

// Runs an open of path in a child process, as another program would; returns its status.
int StatusOfOpenInChild(const std::string& path, bool dropRoot) {
  const pid_t pid = fork();
  if (pid == 0) {
    if (dropRoot && (setgid(65534) != 0 || setuid(65534) != 0)) _exit(200);
    InOutRes = 0;
    static FileRec other;
    Assign(other, path);
    Reset(other, 1);
    _exit(IOResult());
  }
  int wstatus = 0;
  waitpid(pid, &wstatus, 0);
  return WIFEXITED(wstatus) ? WEXITSTATUS(wstatus) : -1;
}

class FileAccess : public ::testing::Test {
 protected:
  void SetUp() override {
    InOutRes = 0;
    g_opens = g_pwrites = g_preads = g_failPwriteAt = g_interruptPreadAt = 0;
    g_pwriteLimit = SIZE_MAX;
    ActiveFileCalls = &kScripted;
  }
  void TearDown() override {
    InOutRes = 0;
    CloseIfOpen();
    ActiveFileCalls = &SystemFileCalls;
    FileMode = 2;
  }
  void CloseIfOpen() {
    const bool open = f.Mode == ModeInput || f.Mode == ModeOutput || f.Mode == ModeInOut;
    if (open && f.Handle >= 0) Close(f);
  }
  void Open(const Bytes& bytes) {
    CloseIfOpen();
    WriteFile(path, bytes);
    Assign(f, path);
    Reset(f, 1);
    ASSERT_EQ(IOResult(), 0);
  }
  Bytes Read(int32_t count) {
    Bytes b(count);
    int32_t n;
    BlockRead(f, b.data(), count, n);
    b.resize(n);
    return b;
  }

  TempDir dir;
  std::string path = dir.file("a.wav");
  FileRec f{};
};

TEST_F(FileAccess, PendingStatusMakesEverythingInertUntilCleared) {
  Open(kTen);
  Seek(f, 2);
  InOutRes = 7;
  Seek(f, 6);
  EXPECT_EQ(FilePos(f), 0);
  EXPECT_EQ(FileSize(f), 0);
  EXPECT_TRUE(Read(4).empty());
  BlockRead(f, nullptr, 0);
  EXPECT_EQ(InOutRes, 7);  // a count of 0 leaves a pending code alone
  BlockWrite(f, "XY", 2);
  EXPECT_EQ(InOutRes, 101);
  Close(f);
  EXPECT_EQ(f.Mode, ModeInOut);
  FileRec other;
  Assign(other, "other");
  EXPECT_EQ(other.Mode, ModeClosed);
  EXPECT_STREQ(other.Name, "other");

  EXPECT_EQ(IOResult(), 101);
  EXPECT_EQ(IOResult(), 0);
  EXPECT_EQ(Read(2), (Bytes{'2', '3'}));  // still open, still at 2
  EXPECT_EQ(ReadFile(path), kTen);
}

TEST_F(FileAccess, ShortReadsDeliverWhatArrivedAndKeepTheRestOfTheBuffer) {
  Open(kTen);
  Seek(f, 7);
  Bytes buf(8, 0xEE);
  int32_t n = -1;
  BlockRead(f, buf.data(), 8, n);
  EXPECT_EQ(n, 3);
  EXPECT_EQ(buf, (Bytes{'7', '8', '9', 0xEE, 0xEE, 0xEE, 0xEE, 0xEE}));
  EXPECT_EQ(InOutRes, 0);
  EXPECT_EQ(FilePos(f), 10);

  Bytes big(96000, 0xEE), body(1000);
  for (std::size_t i = 0; i < body.size(); ++i) body[i] = static_cast<uint8_t>(i * 7);
  Open(body);
  BlockRead(f, big.data(), 96000);
  EXPECT_EQ(IOResult(), 100);
  EXPECT_EQ(Bytes(big.begin(), big.begin() + 1000), body);
  EXPECT_EQ(big[1000], 0xEE);
  EXPECT_EQ(big[95999], 0xEE);
}

TEST_F(FileAccess, ZeroAndNegativeCountsTransferNothingAndSetNothing) {
  Open(kTen);
  Seek(f, 10);
  char buf[4] = {'k', 'k', 'k', 'k'};
  BlockRead(f, buf, 0);
  BlockWrite(f, buf, 0);
  BlockRead(f, buf, -5);
  BlockWrite(f, buf, -5);
  EXPECT_EQ(InOutRes, 0);
  EXPECT_EQ(std::string(buf, 4), "kkkk");
  EXPECT_EQ(ReadFile(path), kTen);
}

TEST_F(FileAccess, PositionsAreTheFileObjectsOwn) {
  Open(kTen);
  Seek(f, 100);  // past the end: taken, nothing grows
  EXPECT_EQ(InOutRes, 0);
  EXPECT_EQ(FilePos(f), 100);
  EXPECT_TRUE(Read(4).empty());
  EXPECT_EQ(FileSize(f), 10);
  char byte;
  BlockRead(f, &byte, 1);
  EXPECT_EQ(IOResult(), 100);

  Seek(f, 3);
  Seek(f, -1);
  EXPECT_EQ(IOResult(), 131);
  EXPECT_EQ(FilePos(f), 3);

  EXPECT_EQ(Read(2), (Bytes{'3', '4'}));
  EXPECT_EQ(FileSize(f), 10);
  EXPECT_EQ(Read(2), (Bytes{'5', '6'}));  // the size query did not move it
}

TEST_F(FileAccess, PositionsAndSizesBeyond2GiBWork) {
  WriteFile(path, {});
  const int64_t size = int64_t{3} << 30;
  std::filesystem::resize_file(path, size);  // sparse
  Assign(f, path);
  Reset(f, 1);
  EXPECT_EQ(FileSize(f), size);
  Seek(f, size - 2);
  BlockWrite(f, "hi", 2);
  Seek(f, size - 2);
  EXPECT_EQ(Read(4), (Bytes{'h', 'i'}));
  EXPECT_EQ(FilePos(f), size);
  EXPECT_EQ(IOResult(), 0);
}

TEST_F(FileAccess, ObjectsThatAreNotOpenOrNotOpenForTheTransferAreRefused) {
  FileRec zero{};
  Reset(zero, 1);
  EXPECT_EQ(IOResult(), 102);
  Assign(f, path);
  int64_t ignored = FilePos(f);
  EXPECT_EQ(ignored, 0);
  EXPECT_EQ(IOResult(), 103);
  Close(f);
  EXPECT_EQ(IOResult(), 103);

  FileMode = 0;
  Open(kTen);
  int32_t n;
  BlockWrite(f, "X", 1, n);
  EXPECT_EQ(IOResult(), 105);
  FileMode = 1;
  Reset(f, 1);
  char byte;
  BlockRead(f, &byte, 1, n);
  EXPECT_EQ(IOResult(), 104);
  EXPECT_EQ(ReadFile(path), kTen);
}

struct OpenRefusal {
  const char* what;
  std::string name;
  uint16_t status;
};

TEST_F(FileAccess, RefusedOpensNeverTouchTheFile) {
  WriteFile(path, kTen);
  std::filesystem::create_directory(dir.file("sub"));
  ASSERT_EQ(mkfifo(dir.file("fifo").c_str(), 0600), 0);
  // Cut to the capacity, this name would open "target"; whole, it names "target.wav".
  WriteFile(dir.file("target"), kTen);
  const std::string cutName =
      dir.path() + std::string(FileNameCapacity - dir.path().size() - 6, '/') + "target";
  const OpenRefusal cases[] = {
      {"missing file", dir.file("missing.wav"), 2},
      {"missing directory", dir.file("nodir/a.wav"), 3},
      {"file used as directory", path + "/a.wav", 3},
      {"directory", dir.file("sub"), 5},
      {"fifo", dir.file("fifo"), 5},
      {"character device", "/dev/null", 5},
      {"empty name", "", 2},
      {"name beyond capacity", cutName + ".wav", 36},
      {"name with a zero byte", path + std::string(1, '\0') + "x", 22},
  };
  for (const OpenRefusal& c : cases) {
    Assign(f, c.name);
    Reset(f, 1);
    EXPECT_EQ(IOResult(), c.status) << c.what;
    EXPECT_EQ(f.Handle, UnusedHandle) << c.what;
    EXPECT_EQ(f.Mode, ModeInOut) << c.what;
  }
  EXPECT_EQ(g_opens, 0);
  EXPECT_FALSE(std::filesystem::exists(dir.file("missing.wav")));
  Assign(f, path);
  Reset(f, 0);
  EXPECT_EQ(IOResult(), 2);
  EXPECT_EQ(g_opens, 0);
}

TEST_F(FileAccess, OpeningThroughALinkOrAgainKeepsTheFileAndStartsAtZero) {
  std::filesystem::create_symlink(path, dir.file("link.wav"));
  WriteFile(path, kTen);
  Assign(f, dir.file("link.wav"));
  Reset(f, 1);
  EXPECT_EQ(IOResult(), 0);
  EXPECT_EQ(FileSize(f), 10);
  Seek(f, 5);
  Reset(f, 1);  // our own lock must not stand in the way
  EXPECT_EQ(IOResult(), 0);
  EXPECT_EQ(Read(1), Bytes{'0'});
  Close(f);
  EXPECT_EQ(ReadFile(path), kTen);
}

TEST_F(FileAccess, ReadOnlyFileIsRefused) {
  WriteFile(path, kTen);
  ASSERT_EQ(chmod(dir.path().c_str(), 0755), 0);
  ASSERT_EQ(chmod(path.c_str(), 0444), 0);
  // Permission bits do not stop root, so as root the open is tried by an unprivileged child.
  const int status = StatusOfOpenInChild(path, geteuid() == 0);
  if (status == 200) GTEST_SKIP() << "running as root and cannot switch to an unprivileged user";
  EXPECT_EQ(status, 5);
  EXPECT_EQ(ReadFile(path), kTen);
}

TEST_F(FileAccess, AnotherProcessCannotOpenTheFileUntilItIsClosed) {
  Open(kTen);
  EXPECT_EQ(StatusOfOpenInChild(path, false), 5);
  Close(f);
  EXPECT_EQ(StatusOfOpenInChild(path, false), 0);
}

struct WriteFailure {
  int error;
  uint16_t status;
};

TEST_F(FileAccess, AFailedWriteSetsTheStatusAndNothingMoreIsWritten) {
  for (const WriteFailure c : {WriteFailure{EIO, 5}, WriteFailure{ENOSPC, 28}}) {
    Open(kTen);
    g_pwrites = 0;
    g_failPwriteAt = 2;
    g_failErrno = c.error;
    int32_t n = -1;
    BlockWrite(f, "AB", 2, n);
    BlockWrite(f, "CD", 2, n);
    EXPECT_EQ(n, 0);
    EXPECT_EQ(InOutRes, c.status) << c.error;
    BlockWrite(f, "EF", 2);
    EXPECT_EQ(IOResult(), 101);
    EXPECT_EQ(g_pwrites, 2);  // the inert write never reached the platform
    EXPECT_EQ(ReadFile(path), (Bytes{'A', 'B', '2', '3', '4', '5', '6', '7', '8', '9'}));
  }
}

TEST_F(FileAccess, AShortWriteIsContinuedUntilDoneOrStuck) {
  const struct { std::size_t limit; int failAt; uint16_t status; int calls; int64_t pos; const char* file; } rows[] = {
      {4, 0, 0, 2, 6, "ABCDEF6789"},    // the rest follows from where the first call stopped
      {4, 2, 101, 2, 4, "ABCD456789"},  // the continuation fails: the part written stays
      {0, 0, 101, 1, 0, "0123456789"},  // nothing moves: no endless retry
  };
  for (const auto& row : rows) {
    SCOPED_TRACE(row.file);
    SetUp();
    Open(kTen);
    g_pwriteLimit = row.limit;
    g_failPwriteAt = row.failAt;
    g_failErrno = ENOSPC;
    BlockWrite(f, "ABCDEF", 6);
    EXPECT_EQ(IOResult(), row.status);
    EXPECT_EQ(g_pwrites, row.calls);
    EXPECT_EQ(f.Position, row.pos);
    Close(f);
    EXPECT_EQ(ReadFile(path), Bytes(row.file, row.file + 10));
  }
}

TEST_F(FileAccess, InterruptedCallsAreRetried) {
  Open(kTen);
  g_interruptPreadAt = 1;
  EXPECT_EQ(Read(3), (Bytes{'0', '1', '2'}));
  EXPECT_EQ(g_preads, 2);
  EXPECT_EQ(InOutRes, 0);
}

}  // namespace
