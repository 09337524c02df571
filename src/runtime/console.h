// The console device: the terminal that Output writes to. It places text cell by cell at a
// cursor it keeps itself, wraps at the right edge and scrolls at the bottom of its window,
// and rewrites rows in place through WhereX, WhereY and GotoXY. What each byte looks like is in
// glyphs.h, what a platform supplies in console_platform.h; on a terminal, the picture of the
// window is kept in screen_picture.h and sent when held_output.h says, and which terminal may
// be steered, with its modes, is terminal_modes.h's.
#pragma once

#include <cstdint>

#include "runtime/text_output.h"

/// Window coordinates are 8-bit: a larger console gets a window of this many columns or rows.
constexpr int32_t LargestWindow = 255;

extern int32_t OutHandle;  ///< the terminal that receives the text
extern uint16_t WindMin;   ///< upper-left corner of the window, 0-based, row in the high byte
extern uint16_t WindMax;   ///< lower-right corner of the window, 0-based, row in the high byte
extern int32_t ScreenWidth;
extern int32_t ScreenHeight;
extern int32_t CursorSaveX;  ///< the device cursor, 0-based
extern int32_t CursorSaveY;
extern int32_t CurrX;  ///< the working cursor of one write, 1-based
extern int32_t CurrY;

/// The window's corners, 1-based.
uint8_t WinMinX();
uint8_t WinMinY();
uint8_t WinMaxX();
uint8_t WinMaxY();

/// The device cursor's column, 1-based, counted from the window's left column.
uint8_t WhereX();
/// The device cursor's row, 1-based, counted from the window's top row.
uint8_t WhereY();
/// Moves the device cursor (and the visible one) to column x, row y of the window, both
/// 1-based; outside the window nothing happens.
void GotoXY(uint8_t x, uint8_t y);

/// Binds t for output to the device: every transfer and flush is a CrtWrite.
void AssignCrt(TextRec& t);
/// Writes t's pending characters at the device cursor and empties the buffer.
int CrtWrite(TextRec& t);

/// Finds the terminal, reads its size and the cursor's place (a console is asked; a terminal
/// driven by control sequences is not, and the cursor is taken to stand in column 1 of its
/// last row), switches off signal keys and echo on standard input, and binds Output to the
/// device. Without a terminal it writes the reason to StdErr and halts with status 1. Only a
/// terminal of our own session with us in its foreground is changed; any other gets the text
/// only. A dumb terminal (TERM unset or "dumb") gets no escape sequence. The platform gives
/// the terminal back (console_platform.h) on every way out.
void InitCrt();
