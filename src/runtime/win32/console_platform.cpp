// The console device on Windows: cells are written into the console's screen buffer with
// their code page 437 pictures (so every byte looks the same whatever the console's code
// page), a run of cells on one row in one call; the window scrolls inside the buffer, and
// the console's cursor follows the device cursor. Ctrl+C is ordinary input during the run:
// processed input (and mouse input, which nothing reads) is switched off and the mode given
// back on every way out.
#include "runtime/console_platform.h"

#include <windows.h>

#include "runtime/console.h"
#include "runtime/glyphs.h"

namespace {

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

void FlushRun() {
  if (RunLength == 0) return;
  SMALL_RECT target{static_cast<SHORT>(WindowLeft + RunX), static_cast<SHORT>(WindowTop + RunY),
                    static_cast<SHORT>(WindowLeft + RunX + RunLength - 1),
                    static_cast<SHORT>(WindowTop + RunY)};
  WriteConsoleOutputW(Console, Run, COORD{static_cast<SHORT>(RunLength), 1}, COORD{0, 0}, &target);
  RunLength = 0;
}

}  // namespace

// Adjoining cells of a row join the run.
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

void ShowCursorAt(int32_t x, int32_t y) {
  SetConsoleCursorPosition(Console,
                           COORD{static_cast<SHORT>(WindowLeft + x), static_cast<SHORT>(WindowTop + y)});
}

void BeginDeviceOperation() {}

void EndDeviceOperation() { FlushRun(); }

namespace {

void GiveInputModeBack() {
  if (InterlockedExchange(&InputModeTaken, 0) != 0) SetConsoleMode(InputHandle, SavedInputMode);
}

/// A closed console window, a logoff or a shutdown end the process from another thread:
/// the input mode goes back first.
BOOL WINAPI OnConsoleEvent(DWORD) {
  GiveInputModeBack();
  return FALSE;
}

}  // namespace

const char* FindConsole(ConsoleFound& found) {
  CONSOLE_SCREEN_BUFFER_INFO info{};
  Console = GetStdHandle(STD_OUTPUT_HANDLE);
  if (Console == INVALID_HANDLE_VALUE || Console == nullptr || !GetConsoleScreenBufferInfo(Console, &info)) {
    // Standard output is redirected: the console itself, if the process has one.
    Console = CreateFileA("CONOUT$", GENERIC_READ | GENERIC_WRITE, FILE_SHARE_READ | FILE_SHARE_WRITE,
                          nullptr, OPEN_EXISTING, 0, nullptr);
    if (Console == INVALID_HANDLE_VALUE) return "No way to get the console handle";
    if (!GetConsoleScreenBufferInfo(Console, &info)) return "No way to get console screen buffer info";
  }
  WindowLeft = info.srWindow.Left;
  WindowTop = info.srWindow.Top;
  Attributes = info.wAttributes;
  // The cursor is read once, here.
  found = {HandleToLong(Console), info.srWindow.Right - WindowLeft + 1, info.srWindow.Bottom - WindowTop + 1,
           info.dwCursorPosition.X - WindowLeft, info.dwCursorPosition.Y - WindowTop};
  return nullptr;
}

void TakeConsole() {
  InputHandle = GetStdHandle(STD_INPUT_HANDLE);
  if (GetConsoleMode(InputHandle, &SavedInputMode)) {
    SetConsoleCtrlHandler(OnConsoleEvent, TRUE);
    InputModeTaken = 1;
    SetConsoleMode(InputHandle,
                   SavedInputMode & ~static_cast<DWORD>(ENABLE_PROCESSED_INPUT | ENABLE_MOUSE_INPUT));
  }
}

void RestoreTerminal() { GiveInputModeBack(); }

void RestoreTerminalInHandler() { GiveInputModeBack(); }
