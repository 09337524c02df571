// What each byte of text looks like on the terminal: its code page 437 picture. Control bytes
// get pictures too, so that no byte of text can steer the terminal. The table is
// platform-neutral; how a platform spells the pictures for its terminal is its own part
// (posix/glyph_encoding.h).
#pragma once

/// Each byte's picture as a Unicode character: 0 is a blank, the control bytes have pictures.
extern const char32_t CodePage437[256];
