// File access on Windows: exclusive opens, the names that are refused before anything is read
// or written, and the transfers with the sticky status. Run through Wine. (A read-only file
// is left out: Wine running as root, as in CI, opens it for writing.)
#include "runtime/file_access.h"

#include <gtest/gtest.h>
#include <windows.h>

#include <filesystem>
#include <fstream>
#include <string>
#include <tuple>
#include <vector>

namespace {

namespace fs = std::filesystem;
using Bytes = std::vector<uint8_t>;
const Bytes Ten = {0, 1, 2, 3, 4, 5, 6, 7, 8, 9};

std::string Path(const std::string& name) {
  const fs::path dir = fs::temp_directory_path() / ("tolvar-" + std::to_string(GetCurrentProcessId()));
  fs::create_directories(dir);
  return (dir / name).string();
}
std::string Put(const std::string& name, const Bytes& bytes) {
  std::ofstream(Path(name), std::ios::binary).write(reinterpret_cast<const char*>(bytes.data()), std::streamsize(bytes.size()));
  return Path(name);
}
Bytes Get(const std::string& path) { std::ifstream in(path, std::ios::binary); return {std::istreambuf_iterator<char>(in), {}}; }
// The folder goes when the program ends.
struct RemovedAtExit { ~RemovedAtExit() { std::error_code e; fs::remove_all(Path(""), e); } } Removed;
/// Opens path as the program does and returns the status Reset left.
uint16_t Open(FileRec& f, const std::string& path) { return Assign(f, path), Reset(f, 1), IOResult(); }

TEST(FileAccessWin, RefusedNamesLeaveTheStatusAndTouchNothing) {
  const std::string kept = Put("kept.wav", Ten);
  fs::create_directory(Path("dir"));
  const HANDLE pipe = CreateNamedPipeA("\\\\.\\pipe\\tolvar-test", PIPE_ACCESS_DUPLEX,
                                       PIPE_TYPE_BYTE | PIPE_NOWAIT, 1, 64, 64, 0, nullptr);
  ASSERT_NE(pipe, INVALID_HANDLE_VALUE);
  const std::tuple<std::string, uint16_t> rows[] = {
      {Path("missing.wav"), 2}, {Path("no-dir\\x.wav"), 3}, {Path("dir"), 5}, {"NUL", 5}, {"CON", 5},
      {"COM1", 5}, {"\\\\.\\NUL", 5}, {"\\\\.\\pipe\\tolvar-test", 5}, {"//./pipe/tolvar-test", 5},
      {Path("bad<name.wav"), 123}, {"", 2}, {std::string(5000, 'a'), ERROR_FILENAME_EXCED_RANGE},
  };
  for (const auto& [name, status] : rows) {
    FileRec f;
    EXPECT_EQ(std::tuple(Open(f, name), f.Handle), std::tuple(status, UnusedHandle)) << name.substr(0, 40);
  }
  // Nobody ever connected to the pipe.
  EXPECT_FALSE(ConnectNamedPipe(pipe, nullptr));
  EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_PIPE_LISTENING));
  CloseHandle(pipe);
  EXPECT_EQ(Get(kept), Ten);
}

TEST(FileAccessWin, TheOpenIsExclusiveBothWays) {
  const std::string path = Put("a.wav", Ten);
  const auto openOther = [&](DWORD share) {
    return CreateFileA(path.c_str(), GENERIC_READ, share, nullptr, OPEN_EXISTING, 0, nullptr);
  };
  // Another process holding the file, even for reading with sharing, refuses us; while we
  // hold it, nobody else gets it; after Close they do.
  HANDLE other = openOther(FILE_SHARE_READ | FILE_SHARE_WRITE);
  FileRec f;
  EXPECT_EQ(Open(f, path), 5);
  CloseHandle(other);
  ASSERT_EQ(Open(f, path), 0);
  EXPECT_EQ(openOther(FILE_SHARE_READ | FILE_SHARE_WRITE), INVALID_HANDLE_VALUE);
  EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_SHARING_VIOLATION));
  Close(f);
  EXPECT_NE(other = openOther(0), INVALID_HANDLE_VALUE);
  CloseHandle(other);
}

TEST(FileAccessWin, TransfersAndTheStickyStatus) {
  const std::string path = Put("t.wav", Ten);
  std::string slashed = path;  // a name with slashes opens the same file
  for (char& c : slashed) c = c == '\\' ? '/' : c;
  FileRec f;
  ASSERT_EQ(Open(f, slashed), 0);
  uint8_t buf[8];
  int32_t n = -1;
  EXPECT_EQ((BlockRead(f, buf, 8, n), n), 8);
  std::fill(std::begin(buf), std::end(buf), 0xEE);
  BlockRead(f, buf, 8, n);  // 2 left: they arrive, the rest of the buffer is kept
  EXPECT_EQ(std::tuple(n, Bytes(buf, buf + 4), FilePos(f)), std::tuple(2, Bytes{8, 9, 0xEE, 0xEE}, 10));
  EXPECT_EQ((BlockRead(f, buf, 0), InOutRes), 0);  // a count of 0 at the end sets nothing
  Seek(f, 100);  // past the end: no error, nothing to read
  BlockRead(f, buf, 8, n);
  EXPECT_EQ(std::tuple(n, InOutRes), std::tuple(0, 0));
  EXPECT_EQ((BlockRead(f, buf, 8), InOutRes), io_status::ReadShort);
  // Pending: everything is inert, positions and sizes read 0, Close keeps the file open.
  EXPECT_EQ(FileSize(f), 0);
  const uint8_t ff[2] = {0xFF, 0xFF};
  EXPECT_EQ((Seek(f, 0), BlockWrite(f, ff, 2), InOutRes), io_status::WriteShort);
  Close(f);
  EXPECT_EQ((std::tuple{f.Mode, IOResult(), IOResult()}), std::tuple(ModeInOut, io_status::WriteShort, 0));
  EXPECT_EQ((Seek(f, -1), IOResult()), io_status::NegativeSeek);
  Seek(f, 4), BlockWrite(f, ff, 2);
  EXPECT_EQ(std::tuple(FileSize(f), FilePos(f)), std::tuple(10, 6));
  // Would grow the file: nothing is written.
  EXPECT_EQ((Seek(f, 9), BlockOverwrite(f, ff, 2), IOResult()), io_status::WriteShort);
  EXPECT_EQ((Close(f), IOResult()), 0);
  EXPECT_EQ(Get(path), (Bytes{0, 1, 2, 3, 0xFF, 0xFF, 6, 7, 8, 9}));
  EXPECT_EQ((BlockRead(f, buf, 1), IOResult()), io_status::ReadShort);  // closed now
  EXPECT_EQ((BlockRead(f, buf, 1, n), IOResult()), io_status::NotOpen);
}

TEST(FileAccessWin, PositionsAndSizesBeyond4GiB) {
  const std::string path = Put("big.wav", {});
  constexpr int64_t Big = (int64_t{5} << 30) + 3;
  const HANDLE h = CreateFileA(path.c_str(), GENERIC_WRITE, 0, nullptr, OPEN_EXISTING, 0, nullptr);
  DWORD ignored = 0;
  DeviceIoControl(h, FSCTL_SET_SPARSE, nullptr, 0, nullptr, 0, &ignored, nullptr);
  ASSERT_TRUE(SetFilePointerEx(h, LARGE_INTEGER{.QuadPart = Big}, nullptr, FILE_BEGIN) && SetEndOfFile(h));
  CloseHandle(h);
  FileRec f;
  ASSERT_EQ(Open(f, path), 0);
  EXPECT_EQ(FileSize(f), Big);
  const uint8_t two[2] = {0x12, 0x34};
  uint8_t back[4] = {};
  int32_t n = 0;
  Seek(f, Big - 2), BlockWrite(f, two, 2), Seek(f, Big - 3), BlockRead(f, back, 4, n);
  EXPECT_EQ(std::tuple(n, Bytes(back, back + 3), FilePos(f)), std::tuple(3, Bytes{0, 0x12, 0x34}, Big));
  EXPECT_EQ((Close(f), IOResult()), 0);
}

}  // namespace
