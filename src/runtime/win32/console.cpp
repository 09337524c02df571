// The console device on Windows: cells are written into the console's screen buffer with
// their code page 437 pictures (so every byte looks the same whatever the console's code
// page), a run of cells on one row in one call; the window scrolls inside the buffer, and
// the console's cursor follows the device cursor. Ctrl+C is ordinary input during the run:
// processed input is switched off and given back on every way out.
#include "runtime/console.h"

#include <windows.h>

#include <string_view>

#include "runtime/exit_status.h"
#include "runtime/file_access.h"
#include "runtime/glyphs.h"
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

namespace {

/// Window coordinates are 8-bit.
constexpr int32_t LargestWindow = 255;

HANDLE Console = INVALID_HANDLE_VALUE;
/// The window's upper-left cell in the screen buffer; device row 0 is buffer row WindowTop.
SHORT WindowLeft = 0;
SHORT WindowTop = 0;
WORD Attributes = FOREGROUND_RED | FOREGROUND_GREEN | FOREGROUND_BLUE;

/// Standard input's console mode at start-up, given back at the end.
HANDLE InputHandle = INVALID_HANDLE_VALUE;
DWORD SavedInputMode = 0;
volatile LONG InputModeTaken = 0;

/// Cells waiting to be written: one run on one row, from RunX on.
CHAR_INFO Run[LargestWindow];
int32_t RunLength = 0;
int32_t RunX = 0;
int32_t RunY = 0;

uint8_t WinMinX() { return static_cast<uint8_t>((WindMin & 0xFF) + 1); }
uint8_t WinMinY() { return static_cast<uint8_t>((WindMin >> 8) + 1); }
uint8_t WinMaxX() { return static_cast<uint8_t>((WindMax & 0xFF) + 1); }
uint8_t WinMaxY() { return static_cast<uint8_t>((WindMax >> 8) + 1); }

void FlushRun() {
  if (RunLength == 0) return;
  SMALL_RECT target{static_cast<SHORT>(WindowLeft + RunX), static_cast<SHORT>(WindowTop + RunY),
                    static_cast<SHORT>(WindowLeft + RunX + RunLength - 1),
                    static_cast<SHORT>(WindowTop + RunY)};
  WriteConsoleOutputW(Console, Run, COORD{static_cast<SHORT>(RunLength), 1}, COORD{0, 0}, &target);
  RunLength = 0;
}

/// Cell x, y (0-based, in the window) shows ch; adjoining cells of a row join the run.
void PutCell(int32_t x, int32_t y, uint8_t ch) {
  if (RunLength > 0 && (y != RunY || x != RunX + RunLength)) FlushRun();
  if (RunLength == 0) {
    RunX = x;
    RunY = y;
  }
  Run[RunLength].Char.UnicodeChar = static_cast<WCHAR>(CodePage437[ch]);
  Run[RunLength].Attributes = Attributes;
  ++RunLength;
}

/// Moves the window's rows up by one; the last row comes in blank.
void RemoveLine() {
  FlushRun();
  const SMALL_RECT window{WindowLeft, WindowTop, static_cast<SHORT>(WindowLeft + WinMaxX() - 1),
                          static_cast<SHORT>(WindowTop + WinMaxY() - 1)};
  const SMALL_RECT moved{window.Left, static_cast<SHORT>(window.Top + 1), window.Right, window.Bottom};
  CHAR_INFO blank{};
  blank.Char.UnicodeChar = L' ';
  blank.Attributes = Attributes;
  ScrollConsoleScreenBufferW(Console, &moved, &window, COORD{window.Left, window.Top}, &blank);
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

void PlaceScreenCursor(int32_t x, int32_t y) {
  CursorSaveX = x - 1;
  CursorSaveY = y - 1;
  SetConsoleCursorPosition(Console, COORD{static_cast<SHORT>(WindowLeft + CursorSaveX),
                                          static_cast<SHORT>(WindowTop + CursorSaveY)});
}

void GiveInputModeBack() {
  if (InterlockedExchange(&InputModeTaken, 0) != 0) SetConsoleMode(InputHandle, SavedInputMode);
}

/// A closed console window, a logoff or a shutdown end the process from another thread:
/// the input mode goes back first.
BOOL WINAPI OnConsoleEvent(DWORD) {
  GiveInputModeBack();
  return FALSE;
}

[[noreturn]] void FailStart(std::string_view reason) {
  Write_Str(0, StdErr, reason);
  Writeln_End(StdErr);
  if (InOutRes != 0) {
    const uint16_t status = InOutRes;
    InOutRes = 0;
    HandleError(status);
  }
  Halt(ExitStatus::NoTerminal);
}

int32_t Clamp(int32_t value, int32_t low, int32_t high) {
  return value < low ? low : value > high ? high : value;
}

}  // namespace

uint8_t WhereY() { return static_cast<uint8_t>((CursorSaveY + 1) - WinMinY() + 1); }

void GotoXY(uint8_t x, uint8_t y) {
  const int width = WinMaxX() - WinMinX() + 1;
  const int height = WinMaxY() - WinMinY() + 1;
  if (x < 1 || x > width || y < 1 || y > height) return;
  PlaceScreenCursor(x + WinMinX() - 1, y + WinMinY() - 1);
}

void AssignCrt(TextRec& t) { OpenTextOutput(t, OutHandle, CrtWrite, "\r\n"); }

int CrtWrite(TextRec& t) {
  CurrX = CursorSaveX + 1;
  CurrY = CursorSaveY + 1;
  for (int32_t i = 0; i < t.Pending; ++i) WriteChar(static_cast<uint8_t>(t.Buffer[i]));
  FlushRun();
  PlaceScreenCursor(CurrX, CurrY);
  t.Pending = 0;
  return 0;
}

void InitCrt() {
  CONSOLE_SCREEN_BUFFER_INFO info{};
  Console = GetStdHandle(STD_OUTPUT_HANDLE);
  if (Console == INVALID_HANDLE_VALUE || Console == nullptr ||
      !GetConsoleScreenBufferInfo(Console, &info)) {
    // Standard output is redirected: the console itself, if the process has one.
    Console = CreateFileA("CONOUT$", GENERIC_READ | GENERIC_WRITE, FILE_SHARE_READ | FILE_SHARE_WRITE,
                          nullptr, OPEN_EXISTING, 0, nullptr);
    if (Console == INVALID_HANDLE_VALUE) FailStart("No way to get the console handle");
    if (!GetConsoleScreenBufferInfo(Console, &info)) FailStart("No way to get console screen buffer info");
  }
  OutHandle = HandleToLong(Console);
  WindowLeft = info.srWindow.Left;
  WindowTop = info.srWindow.Top;
  Attributes = info.wAttributes;
  ScreenWidth = Clamp(info.srWindow.Right - info.srWindow.Left + 1, 1, LargestWindow);
  ScreenHeight = Clamp(info.srWindow.Bottom - info.srWindow.Top + 1, 1, LargestWindow);
  WindMin = 0;
  WindMax = static_cast<uint16_t>((ScreenHeight - 1) * 256 + (ScreenWidth - 1));
  // The cursor is read once; outside the window it is taken to the window's nearest cell.
  CursorSaveX = Clamp(info.dwCursorPosition.X - WindowLeft, 0, ScreenWidth - 1);
  CursorSaveY = Clamp(info.dwCursorPosition.Y - WindowTop, 0, ScreenHeight - 1);

  InputHandle = GetStdHandle(STD_INPUT_HANDLE);
  if (GetConsoleMode(InputHandle, &SavedInputMode)) {
    SetConsoleCtrlHandler(OnConsoleEvent, TRUE);
    InputModeTaken = 1;
    SetConsoleMode(InputHandle, SavedInputMode & ~static_cast<DWORD>(ENABLE_PROCESSED_INPUT));
  }
  AssignCrt(Output);
}

void RestoreTerminal() { GiveInputModeBack(); }

void RestoreTerminalInHandler() { GiveInputModeBack(); }
