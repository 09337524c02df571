// What the console device asks of the platform: the console found and taken at start-up and
// given back at the end, a cell shown, the window's top row removed, the visible cursor
// placed, and the bracket around one device operation. One implementation per platform
// (posix/console_platform.cpp, win32/console_platform.cpp); the window, the device's cursor
// rules, line ends, wrapping and scrolling are shared in console.cpp.
#pragma once

#include <cstdint>

/// What the platform finds of its console at start-up.
struct ConsoleFound {
  int32_t handle;  ///< where the text goes: OutHandle
  int32_t width;   ///< the window's columns and rows as the console reports them; 0 unknown
  int32_t height;
  int32_t cursorX;  ///< the console's cursor, 0-based in the window; outside it, it is taken
  int32_t cursorY;  ///< to the window's nearest cell
};

/// Finds the console that receives the text. Returns null, or the reason why there is none
/// ("No way to get the console handle", "No way to get console screen buffer info"), which
/// ends the start-up.
const char* FindConsole(ConsoleFound& found);
/// Once the window and the device cursor are set: takes the console for the run (Ctrl+C
/// becomes a key) and readies it to show the device's cells.
void TakeConsole();
/// Sends whatever the console has not shown yet and gives it back as it was at start-up, for
/// good. Idempotent; from the program's own flow.
void RestoreTerminal();
/// The same from a signal handler: async-signal-safe, and it never waits for the terminal
/// nor changes the flags of a descriptor shared with other programs.
void RestoreTerminalInHandler();

/// Cell x, y (0-based, in the window) shows ch.
void PutCell(int32_t x, int32_t y, uint8_t ch);
/// Moves the window's rows up by one; the last row comes in blank.
void RemoveLine();
/// The visible cursor stands on cell x, y (0-based).
void ShowCursorAt(int32_t x, int32_t y);
/// Around every operation of the device: what it changed reaches the screen at the end.
void BeginDeviceOperation();
void EndDeviceOperation();
