// What the console device asks of the platform: a cell shown, the window's top row removed,
// the visible cursor placed, and the bracket around one device operation. One
// implementation per platform (posix/console_platform.cpp, win32/console_platform.cpp); the
// device's cursor rules, line ends, wrapping and scrolling are shared in console.cpp.
#pragma once

#include <cstdint>
#include <string_view>

/// Cell x, y (0-based, in the window) shows ch.
void PutCell(int32_t x, int32_t y, uint8_t ch);
/// Moves the window's rows up by one; the last row comes in blank.
void RemoveLine();
/// The visible cursor stands on cell x, y (0-based).
void ShowCursorAt(int32_t x, int32_t y);
/// Around every operation of the device: what it changed reaches the screen at the end.
void BeginDeviceOperation();
void EndDeviceOperation();

/// The window's corners, 1-based.
uint8_t WinMinX();
uint8_t WinMinY();
uint8_t WinMaxX();
uint8_t WinMaxY();

/// Start-up cannot go on: the reason on standard error, and the program ends.
[[noreturn]] void FailStart(std::string_view reason);
