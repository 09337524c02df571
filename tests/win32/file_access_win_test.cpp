// File access on Windows: exclusive opens, the names that are refused before anything is read
// or written, and the transfers with the sticky status. Run through Wine. (A read-only file
// is left out: Wine running as root, as in CI, opens it for writing.)
#include "runtime/file_access.h"

#include <gtest/gtest.h>
#include <windows.h>

#include <filesystem>
#include <fstream>
#include <string>
#include <vector>

namespace {

namespace fs = std::filesystem;
using Bytes = std::vector<uint8_t>;

class FileAccessWin : public ::testing::Test {
 protected:
  void SetUp() override {
    dir_ = fs::temp_directory_path() /
           ("tolvar-" + std::to_string(GetCurrentProcessId()) + "-" +
            ::testing::UnitTest::GetInstance()->current_test_info()->name());
    fs::create_directories(dir_);
    IOResult();
  }
  void TearDown() override {
    IOResult();
    std::error_code ec;
    fs::remove_all(dir_, ec);
  }
  std::string Path(const std::string& name) const { return (dir_ / name).string(); }
  std::string Put(const std::string& name, const Bytes& bytes) const {
    std::ofstream(Path(name), std::ios::binary)
        .write(reinterpret_cast<const char*>(bytes.data()), std::streamsize(bytes.size()));
    return Path(name);
  }
  static Bytes Get(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    return Bytes(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
  }
  /// Opens path as the program does and returns the status Reset left.
  static uint16_t Open(FileRec& f, const std::string& path) {
    Assign(f, path);
    Reset(f, 1);
    return IOResult();
  }
  fs::path dir_;
};

const Bytes kTen = {0, 1, 2, 3, 4, 5, 6, 7, 8, 9};

TEST_F(FileAccessWin, RefusedNamesLeaveTheStatusAndTouchNothing) {
  const std::string kept = Put("kept.wav", kTen);
  fs::create_directory(Path("dir"));
  const HANDLE pipe = CreateNamedPipeA("\\\\.\\pipe\\tolvar-test", PIPE_ACCESS_DUPLEX,
                                       PIPE_TYPE_BYTE | PIPE_NOWAIT, 1, 64, 64, 0, nullptr);
  ASSERT_NE(pipe, INVALID_HANDLE_VALUE);
  const struct {
    std::string name;
    uint16_t status;
  } rows[] = {
      {Path("missing.wav"), 2},
      {Path("no-dir\\x.wav"), 3},
      {Path("dir"), 5},
      {"NUL", 5},
      {"CON", 5},
      {"COM1", 5},
      {"\\\\.\\NUL", 5},
      {"\\\\.\\pipe\\tolvar-test", 5},
      {"//./pipe/tolvar-test", 5},
      {Path("bad<name.wav"), 123},
      {"", 2},
      {std::string(5000, 'a'), ERROR_FILENAME_EXCED_RANGE},
  };
  for (const auto& row : rows) {
    FileRec f;
    EXPECT_EQ(Open(f, row.name), row.status) << row.name.substr(0, 40);
    EXPECT_EQ(f.Handle, UnusedHandle) << row.name.substr(0, 40);
  }
  // Nobody ever connected to the pipe.
  EXPECT_FALSE(ConnectNamedPipe(pipe, nullptr));
  EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_PIPE_LISTENING));
  CloseHandle(pipe);
  EXPECT_EQ(Get(kept), kTen);
}

TEST_F(FileAccessWin, TheOpenIsExclusiveBothWays) {
  const std::string path = Put("a.wav", kTen);
  const auto openOther = [&](DWORD share) {
    return CreateFileA(path.c_str(), GENERIC_READ, share, nullptr, OPEN_EXISTING, 0, nullptr);
  };
  // Another process holding the file, even for reading with sharing, refuses us.
  HANDLE other = openOther(FILE_SHARE_READ | FILE_SHARE_WRITE);
  ASSERT_NE(other, INVALID_HANDLE_VALUE);
  FileRec f;
  EXPECT_EQ(Open(f, path), 5);
  CloseHandle(other);
  // While we hold it, nobody else gets it; after Close they do.
  ASSERT_EQ(Open(f, path), 0);
  EXPECT_EQ(openOther(FILE_SHARE_READ | FILE_SHARE_WRITE), INVALID_HANDLE_VALUE);
  EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_SHARING_VIOLATION));
  Close(f);
  other = openOther(0);
  EXPECT_NE(other, INVALID_HANDLE_VALUE);
  CloseHandle(other);
}

TEST_F(FileAccessWin, TransfersAndTheStickyStatus) {
  const std::string path = Put("t.wav", kTen);
  FileRec f;
  // A name with slashes opens the same file.
  std::string slashed = path;
  for (char& c : slashed) c = c == '\\' ? '/' : c;
  ASSERT_EQ(Open(f, slashed), 0);
  uint8_t buf[8];
  int32_t n = -1;
  BlockRead(f, buf, 8, n);
  EXPECT_EQ(n, 8);
  std::fill(std::begin(buf), std::end(buf), 0xEE);
  BlockRead(f, buf, 8, n);  // 2 left: they arrive, the rest of the buffer is kept
  EXPECT_EQ(n, 2);
  EXPECT_EQ(Bytes(buf, buf + 8), (Bytes{8, 9, 0xEE, 0xEE, 0xEE, 0xEE, 0xEE, 0xEE}));
  EXPECT_EQ(FilePos(f), 10);
  BlockRead(f, buf, 0);  // a count of 0 at the end sets nothing
  EXPECT_EQ(InOutRes, 0);
  Seek(f, 100);  // past the end: no error, nothing to read
  BlockRead(f, buf, 8, n);
  EXPECT_EQ(n, 0);
  EXPECT_EQ(InOutRes, 0);
  BlockRead(f, buf, 8);
  EXPECT_EQ(InOutRes, io_status::ReadShort);
  // Pending: everything is inert, positions and sizes read 0, Close keeps the file open.
  EXPECT_EQ(FileSize(f), 0);
  Seek(f, 0);
  const uint8_t ff[2] = {0xFF, 0xFF};
  BlockWrite(f, ff, 2);
  EXPECT_EQ(InOutRes, io_status::WriteShort);
  Close(f);
  EXPECT_EQ(f.Mode, ModeInOut);
  EXPECT_EQ(IOResult(), io_status::WriteShort);
  EXPECT_EQ(IOResult(), 0);
  Seek(f, -1);
  EXPECT_EQ(IOResult(), io_status::NegativeSeek);
  Seek(f, 4);
  BlockWrite(f, ff, 2);
  EXPECT_EQ(FileSize(f), 10);
  EXPECT_EQ(FilePos(f), 6);
  Seek(f, 9);
  BlockOverwrite(f, ff, 2);  // would grow the file: nothing is written
  EXPECT_EQ(IOResult(), io_status::WriteShort);
  Close(f);
  EXPECT_EQ(IOResult(), 0);
  EXPECT_EQ(Get(path), (Bytes{0, 1, 2, 3, 0xFF, 0xFF, 6, 7, 8, 9}));
  BlockRead(f, buf, 1);  // closed now
  EXPECT_EQ(IOResult(), io_status::ReadShort);
  BlockRead(f, buf, 1, n);
  EXPECT_EQ(IOResult(), io_status::NotOpen);
}

TEST_F(FileAccessWin, PositionsAndSizesBeyond4GiB) {
  const std::string path = Put("big.wav", {});
  constexpr int64_t kBig = (int64_t{5} << 30) + 3;
  const HANDLE h = CreateFileA(path.c_str(), GENERIC_WRITE, 0, nullptr, OPEN_EXISTING, 0, nullptr);
  DWORD ignored = 0;
  DeviceIoControl(h, FSCTL_SET_SPARSE, nullptr, 0, nullptr, 0, &ignored, nullptr);
  LARGE_INTEGER size{};
  size.QuadPart = kBig;
  ASSERT_TRUE(SetFilePointerEx(h, size, nullptr, FILE_BEGIN) && SetEndOfFile(h));
  CloseHandle(h);
  FileRec f;
  ASSERT_EQ(Open(f, path), 0);
  EXPECT_EQ(FileSize(f), kBig);
  const uint8_t two[2] = {0x12, 0x34};
  Seek(f, kBig - 2);
  BlockWrite(f, two, 2);
  uint8_t back[4] = {};
  Seek(f, kBig - 3);
  int32_t n = 0;
  BlockRead(f, back, 4, n);
  EXPECT_EQ(n, 3);
  EXPECT_EQ(Bytes(back, back + 3), (Bytes{0, 0x12, 0x34}));
  EXPECT_EQ(FilePos(f), kBig);
  Close(f);
  EXPECT_EQ(IOResult(), 0);
}

}  // namespace
