// The console device: the terminal that Output writes to. It places text cell by cell at a
// cursor it keeps itself, wraps at the right edge and scrolls at the bottom of its window,
// and rewrites rows in place through WhereY and GotoXY. It also owns the terminal's modes:
// it switches off signal keys and echo for the run and gives the terminal back on every exit.
#pragma once

#include <cstdint>

#include "runtime/text_output.h"

extern int32_t OutHandle;    ///< the terminal that receives the text
extern int32_t InputHandle;  ///< standard input, as found at start-up
extern uint8_t TextAttr;     ///< the terminal's own colours; never changed
extern uint16_t WindMin;     ///< upper-left corner of the window, 0-based, row in the high byte
extern uint16_t WindMax;     ///< lower-right corner of the window, 0-based, row in the high byte
extern int32_t ScreenWidth;
extern int32_t ScreenHeight;
extern int32_t CursorSaveX;  ///< the device cursor, 0-based
extern int32_t CursorSaveY;
extern int32_t CurrX;        ///< the working cursor of one write, 1-based
extern int32_t CurrY;

/// The device cursor's row, 1-based, counted from the window's top row.
uint8_t WhereY();
/// Moves the device cursor (and the visible one) to column x, row y of the window, both
/// 1-based; outside the window nothing happens.
void GotoXY(uint8_t x, uint8_t y);

void AssignCrt(TextRec& t);
int CrtOpen(TextRec& t);
int CrtWrite(TextRec& t);
int CrtClose(TextRec& t);

/// Finds the terminal, reads its size and cursor, switches off signal keys and echo on
/// standard input, and binds Output and Input to the device. Without a terminal it writes
/// the reason to StdErr and halts with status 1. Every text byte is then shown as its code
/// page 437 picture, so no byte of text acts on the terminal. A run in a background job
/// leaves the terminal's modes alone; SIGTERM, SIGHUP, SIGQUIT and SIGINT give them back
/// before the process dies of the signal.
void InitCrt();

/// Gives the terminal back the modes it had at start-up. Idempotent and async-signal-safe.
void RestoreTerminal();
