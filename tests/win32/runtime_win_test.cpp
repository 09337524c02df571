// The runtime's Windows layer, run through Wine on a console of its own (script gives Wine a
// terminal) with standard output redirected, so that the console device writes through
// "CONOUT$".
//
// File access: exclusive opens, the names that are refused before anything is read or written,
// and transfers at their offsets, also beyond 4 GiB. (A read-only file is left out: Wine
// running as root, as in CI, opens it for writing.) The rules of the sticky status are the same
// on every platform and tested with the Linux build.
//
// The console device, read back from the console's own cells: what writes, line ends, cursor
// moves, wrapping and scrolling leave in a window placed inside a larger screen buffer, where
// they leave the device cursor and the console's, and standard input's mode, taken during a
// run and given back however it ends.
#include <gtest/gtest.h>
#include <process.h>
#include <windows.h>

#include <filesystem>
#include <fstream>
#include <regex>
#include <string>
#include <tuple>
#include <vector>

#include "runtime/command_line.h"
#include "runtime/console.h"
#include "runtime/console_platform.h"
#include "runtime/file_access.h"

namespace {

namespace fs = std::filesystem;
using Bytes = std::vector<uint8_t>;
const fs::path Dir = fs::temp_directory_path() / ("tolvar-" + std::to_string(GetCurrentProcessId()));
// The folder is there while the program runs.
struct Folder {
  Folder() { fs::create_directories(Dir / "dir"); }
  ~Folder() {
    std::error_code e;
    fs::remove_all(Dir, e);
  }
} Made;

std::string Path(const char* name) { return (Dir / name).string(); }
/// A file of the ten bytes 0 to 9.
std::string Put(const char* name) {
  std::ofstream(Path(name), std::ios::binary).write("\0\1\2\3\4\5\6\7\10\11", 10);
  return Path(name);
}
/// Opens path as the program does and returns the status Reset left.
uint16_t Open(FileRec& f, const std::string& path) { return Assign(f, path), Reset(f, 1), IOResult(); }

TEST(FileAccessWin, RefusedNamesOpenNothing) {
  const HANDLE pipe = CreateNamedPipeA("\\\\.\\pipe\\tolvar-test", PIPE_ACCESS_DUPLEX,
                                       PIPE_TYPE_BYTE | PIPE_NOWAIT, 1, 64, 64, 0, nullptr);
  ASSERT_NE(pipe, INVALID_HANDLE_VALUE);
  // What a name with an unpaired surrogate would become if the open replaced what has no form.
  ASSERT_TRUE(CloseHandle(
      CreateFileW((Dir / L"\uFFFD.wav").c_str(), GENERIC_WRITE, 0, nullptr, CREATE_NEW, 0, nullptr)));
  const std::tuple<std::string, uint16_t> rows[] = {
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
      {Dir.string() + "\\" + UnpairedSurrogate + ".wav", 123},
  };
  FileRec f;
  for (const auto& [name, status] : rows)
    EXPECT_EQ((std::tuple{Open(f, name), f.Handle}), std::tuple(status, UnusedHandle)) << name.substr(0, 40);
  // Nobody ever connected to the pipe.
  EXPECT_EQ((std::tuple{ConnectNamedPipe(pipe, nullptr), GetLastError(), CloseHandle(pipe)}),
            std::tuple(FALSE, DWORD{ERROR_PIPE_LISTENING}, TRUE));
}

TEST(FileAccessWin, TheOpenIsExclusiveBothWays) {
  const std::string path = Put("a.wav");
  const auto other = [&](DWORD share) {
    return CreateFileA(path.c_str(), GENERIC_READ, share, nullptr, OPEN_EXISTING, 0, nullptr);
  };
  // Another process holding the file, even for reading with sharing, refuses us; while we
  // hold it, nobody else gets it; after Close they do.
  HANDLE h = other(FILE_SHARE_READ | FILE_SHARE_WRITE);
  FileRec f;
  EXPECT_EQ((std::tuple{Open(f, path), CloseHandle(h), Open(f, path)}), std::tuple(5, TRUE, 0));
  EXPECT_EQ((std::tuple{other(FILE_SHARE_READ | FILE_SHARE_WRITE), GetLastError()}),
            std::tuple(INVALID_HANDLE_VALUE, DWORD{ERROR_SHARING_VIOLATION}));
  Close(f);
  h = other(0);
  EXPECT_NE(h, INVALID_HANDLE_VALUE);
  CloseHandle(h);
}

// A sparse file past 4 GiB, its first ten bytes 0 to 9, opened by a name with slashes.
TEST(FileAccessWin, TransfersAtTheirOffsetsAlsoBeyond4GiB) {
  constexpr int64_t Big = (int64_t{5} << 30) + 3;
  std::string path = Put("big.wav");
  const HANDLE h = CreateFileA(path.c_str(), GENERIC_WRITE, 0, nullptr, OPEN_EXISTING, 0, nullptr);
  DWORD ignored = 0;  // sparse: a real disk is not filled with zeros
  DeviceIoControl(h, FSCTL_SET_SPARSE, nullptr, 0, nullptr, 0, &ignored, nullptr);
  ASSERT_TRUE(SetFilePointerEx(h, LARGE_INTEGER{.QuadPart = Big}, nullptr, FILE_BEGIN) && SetEndOfFile(h) &&
              CloseHandle(h));
  std::replace(path.begin(), path.end(), '\\', '/');
  FileRec f;
  ASSERT_EQ(Open(f, path), 0);
  uint8_t buf[8];
  int32_t n = -1;
  Seek(f, 2);
  BlockRead(f, buf, 8, n);
  EXPECT_EQ(std::tuple(n, Bytes(buf, buf + 8), FilePos(f)), std::tuple(8, Bytes{2, 3, 4, 5, 6, 7, 8, 9}, 10));
  Seek(f, Big - 2);
  BlockRead(f, buf, 8, n);  // 2 left: they arrive, the rest of the buffer is kept
  EXPECT_EQ(std::tuple(n, Bytes(buf, buf + 4), FilePos(f)), std::tuple(2, Bytes{0, 0, 4, 5}, Big));
  // Past the end: no error, nothing to read.
  Seek(f, Big + 100);
  BlockRead(f, buf, 8, n);
  EXPECT_EQ(std::tuple(n, InOutRes), std::tuple(0, 0));
  Seek(f, Big - 2);
  BlockWrite(f, "\x12\x34", 2);
  Seek(f, 4);
  BlockWrite(f, "\xFF", 1);
  EXPECT_EQ((std::tuple{FileSize(f), FilePos(f), IOResult()}), std::tuple(Big, 5, 0));
  // Would grow the file: nothing is written.
  Seek(f, Big - 1);
  BlockOverwrite(f, "\xFF\xFF", 2);
  EXPECT_EQ(IOResult(), io_status::WriteShort);
  Seek(f, Big - 3);
  BlockRead(f, buf, 3);
  Seek(f, 3);
  BlockRead(f, buf + 3, 3);
  Close(f);
  EXPECT_EQ(std::tuple(Bytes(buf, buf + 6), IOResult()), std::tuple(Bytes{0, 0x12, 0x34, 3, 0xFF, 5}, 0));
}

// The console device.

constexpr SHORT Width = 14, Height = 12;    // the screen buffer
constexpr SMALL_RECT Window{2, 5, 11, 8};   // 10 columns, 4 rows, with cells of the buffer all round
constexpr WORD Attr = 0x1E, Around = 0x07;  // the device's colours; those of cells it must not touch

/// The window's rows, each ended by '|': a cell the device has not written ('.' in Around) as
/// '.', left out at the end of a row, a space as '_', a cell in other colours than Attr as '?';
/// how many cells outside the window changed; the console's cursor, 1-based in the window.
std::tuple<std::wstring, int, int, int> Screen(HANDLE console) {
  CHAR_INFO cells[Width * Height];
  SMALL_RECT all{0, 0, Width - 1, Height - 1};
  CONSOLE_SCREEN_BUFFER_INFO info{};
  ReadConsoleOutputW(console, cells, {Width, Height}, {0, 0}, &all);
  GetConsoleScreenBufferInfo(console, &info);
  std::wstring text;
  int outside = 0;
  for (int i = 0, x = 0, y = 0; i < Width * Height; ++i, x = i % Width, y = i / Width) {
    const WCHAR c = cells[i].Char.UnicodeChar;
    const bool untouched = c == L'.' && cells[i].Attributes == Around;
    if (x < Window.Left || x > Window.Right || y < Window.Top || y > Window.Bottom)
      outside += !untouched;
    else
      text += untouched ? L'.' : cells[i].Attributes != Attr ? L'?' : c == L' ' ? L'_' : c;
    if (x == Window.Right && y >= Window.Top && y <= Window.Bottom) text += L'|';
  }
  const COORD at = info.dwCursorPosition;
  return {std::regex_replace(text, std::wregex(L"\\.+\\|"), L"|"), outside, at.X - Window.Left + 1,
          at.Y - Window.Top + 1};
}

// Text written through Output, "@X,Y" for GotoXY, "@r" for GotoXY(1, WhereY); the window; where
// both cursors end, 1-based in the window. The first row starts where the cursor stood at start-up.
// clang-format off
const std::tuple<std::vector<std::string>, std::wstring, int, int> Rows[] = {
    {{"A", "B"}, L"|...AB|||", 6, 2},              // from where the console's cursor stood at start-up
    {{"@1,1", "XY\r\nZ\nW"}, L"XY|Z|.W||", 3, 3},  // a line feed keeps the column
    // a bell takes no cell, a tab one
    {{"@1,1", "ABC\r\x81\x84\a\x94\t\x8E\x99\x9A\xE1\x01"}, L"üäö○ÄÖÜß☺||||", 10, 1},
    {{"@9,1", "abcd"}, L"........ab|cd|||", 3, 2},
    {{"@1,4", "1\n2\n3"}, L"|1|_2________|__3_______|", 4, 4},
    {{"@10,4", "Z"}, L"||.........Z|__________|", 1, 4},
    {{"@1,1", "AB", "@0,3", "@3,0", "@11,1", "@1,5", "C", "@2,4"}, L"ABC||||", 2, 4},
    {{"@1,1", "abcdefghijkl", "@r", "ABCDEFGHIJKL"}, L"abcdefghij|ABCDEFGHIJ|KL||", 3, 3},
};
// clang-format on

TEST(ConsoleWin, CellsCursorsAndTheInputMode) {
  const HANDLE console = CreateFileA("CONOUT$", GENERIC_READ | GENERIC_WRITE, FILE_SHARE_WRITE, nullptr,
                                     OPEN_EXISTING, 0, nullptr);
  const SMALL_RECT corner{0, 0, 9, 3};  // the buffer cannot shrink below the window
  ASSERT_TRUE(SetConsoleWindowInfo(console, TRUE, &corner) &&
              SetConsoleScreenBufferSize(console, {Width, Height}) &&
              SetConsoleWindowInfo(console, TRUE, &Window) && SetConsoleTextAttribute(console, Attr));
  const auto mode = [] {
    DWORD m = 0;
    return GetConsoleMode(GetStdHandle(STD_INPUT_HANDLE), &m) ? m : ~DWORD{0};
  };
  const DWORD before = mode();
  ASSERT_NE(before & ENABLE_PROCESSED_INPUT, 0u);
  ASSERT_TRUE(SetConsoleCursorPosition(console, {Window.Left + 3, Window.Top + 1}));
  InitCrt();
  // Ctrl+C is a key during the run and no mouse events are queued; every other bit is kept.
  EXPECT_EQ(mode(), before & ~DWORD{ENABLE_PROCESSED_INPUT | ENABLE_MOUSE_INPUT});
  for (const auto& [ops, window, x, y] : Rows) {
    DWORD n = 0;
    FillConsoleOutputCharacterW(console, L'.', Width * Height, {0, 0}, &n);
    FillConsoleOutputAttribute(console, Around, Width * Height, {0, 0}, &n);
    for (const std::string& op : ops) {
      if (op == "@r") {
        GotoXY(1, WhereY());
      } else if (op[0] == '@') {
        GotoXY(uint8_t(std::stoi(op.substr(1))), uint8_t(std::stoi(op.substr(op.find(',') + 1))));
      } else {
        Write_Str(0, Output, op);
        Write_End(Output);
      }
    }
    EXPECT_EQ(std::tuple_cat(Screen(console), std::tuple(CursorSaveX + 1, CursorSaveY + 1)),
              std::tuple(window, 0, x, y, x, y))
        << ops[1];
  }
  // Given back at the device's end (the program without a body ends before it touches the
  // console), and by whole programs on this console at a normal end, a runtime error and a
  // processor fault. ctest runs this program in their folder.
  RestoreTerminal();
  const std::tuple<const char*, int> ends[] = {
      {"", 127}, {"return", 0}, {"raise-258", 2}, {"divide-in-nested-routine", 200}};
  for (const auto& [body, status] : ends)
    EXPECT_EQ((std::tuple{_putenv_s("TOLVAR_FRAME_BODY", body),
                          _spawnl(_P_WAIT, "frame_bodies_win.exe", "frame_bodies_win.exe", nullptr), mode()}),
              std::tuple(0, status, before))
        << body;
}

}  // namespace
