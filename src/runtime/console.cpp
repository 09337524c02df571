// The console device's own rules, the same on every platform: its window, the working cursor
// of a write, what the control bytes do, wrapping at the window's right edge and scrolling at
// its bottom.
#include "runtime/console.h"

#include <algorithm>
#include <string_view>

#include "runtime/console_platform.h"
#include "runtime/exit_status.h"
#include "runtime/file_access.h"
#include "runtime/system.h"

int32_t OutHandle = UnusedHandle;
uint16_t WindMin = 0;
uint16_t WindMax = 0;
int32_t ScreenWidth = 0;
int32_t ScreenHeight = 0;
int32_t CursorSaveX = 0;
int32_t CursorSaveY = 0;
int32_t CurrX = 1;
int32_t CurrY = 1;

uint8_t WinMinX() { return static_cast<uint8_t>((WindMin & 0xFF) + 1); }
uint8_t WinMinY() { return static_cast<uint8_t>((WindMin >> 8) + 1); }
uint8_t WinMaxX() { return static_cast<uint8_t>((WindMax & 0xFF) + 1); }
uint8_t WinMaxY() { return static_cast<uint8_t>((WindMax >> 8) + 1); }

namespace {

constexpr int32_t DefaultWidth = 80;
constexpr int32_t DefaultHeight = 25;

/// Start-up cannot go on: the reason on standard error, and the program ends.
[[noreturn]] void FailStart(std::string_view reason) {
  Write_Str(0, StdErr, reason);
  Writeln_End(StdErr);
  // A latched output failure after the message becomes a runtime error.
  if (InOutRes != 0) {
    const uint16_t status = InOutRes;
    InOutRes = 0;
    HandleError(status);
  }
  Halt(ExitStatus::NoTerminal);
}

/// The window's columns or rows from what the console reports.
int32_t WindowExtent(int32_t reported, int32_t fallback) {
  if (reported <= 0) return fallback;
  return std::min(reported, LargestWindow);
}

void WriteChar(uint8_t ch) {
  switch (ch) {
    case 7:
      break;
    case 8:
      if (CurrX > WinMinX()) --CurrX;
      break;
    case 10:
      ++CurrY;
      break;
    case 13:
      CurrX = WinMinX();
      break;
    default:
      PutCell(CurrX - 1, CurrY - 1, ch);
      ++CurrX;
  }
  if (CurrX > WinMaxX()) {
    CurrX = WinMinX();
    ++CurrY;
  }
  while (CurrY > WinMaxY()) {
    RemoveLine();
    --CurrY;
  }
}

/// Records the device cursor and shows it there.
void PlaceScreenCursor(int32_t x, int32_t y) {
  CursorSaveX = x - 1;
  CursorSaveY = y - 1;
  ShowCursorAt(CursorSaveX, CursorSaveY);
}

}  // namespace

uint8_t WhereX() { return static_cast<uint8_t>((CursorSaveX + 1) - WinMinX() + 1); }
uint8_t WhereY() { return static_cast<uint8_t>((CursorSaveY + 1) - WinMinY() + 1); }

void GotoXY(uint8_t x, uint8_t y) {
  const int width = WinMaxX() - WinMinX() + 1;
  const int height = WinMaxY() - WinMinY() + 1;
  if (x < 1 || x > width || y < 1 || y > height) return;
  BeginDeviceOperation();
  PlaceScreenCursor(x + WinMinX() - 1, y + WinMinY() - 1);
  EndDeviceOperation();
}

void InitCrt() {
  ConsoleFound found{};
  if (const char* failure = FindConsole(found)) FailStart(failure);
  OutHandle = found.handle;
  ScreenWidth = WindowExtent(found.width, DefaultWidth);
  ScreenHeight = WindowExtent(found.height, DefaultHeight);
  WindMax = static_cast<uint16_t>((ScreenHeight - 1) * 256 + (ScreenWidth - 1));
  CursorSaveX = std::clamp(found.cursorX, 0, ScreenWidth - 1);
  CursorSaveY = std::clamp(found.cursorY, 0, ScreenHeight - 1);
  TakeConsole();
  AssignCrt(Output);
}

void AssignCrt(TextRec& t) { OpenTextOutput(t, OutHandle, CrtWrite, "\r\n"); }

int CrtWrite(TextRec& t) {
  BeginDeviceOperation();
  CurrX = CursorSaveX + 1;
  CurrY = CursorSaveY + 1;
  for (int32_t i = 0; i < t.Pending; ++i) WriteChar(static_cast<uint8_t>(t.Buffer[i]));
  PlaceScreenCursor(CurrX, CurrY);
  EndDeviceOperation();
  t.Pending = 0;
  return 0;
}
