// What each byte of text looks like on the terminal: its code page 437 picture, spelled in
// the terminal's character encoding. Control bytes get pictures too, so that no byte of text
// can steer the terminal. The table (glyphs.cpp) is platform-neutral; the Glyphs spelled in
// the terminal's encoding (locale and iconv) are the Linux part (posix/glyph_encoding.cpp).
#pragma once

#include <cstdint>

/// Each byte's picture as a Unicode character: 0 is a blank, the control bytes have pictures.
extern const char32_t CodePage437[256];

/// One byte's picture as the bytes the terminal takes.
struct Glyph {
  uint8_t length;
  char bytes[7];
};

/// Indexed by the byte; filled by BuildGlyphs.
extern Glyph Glyphs[256];

/// Fills Glyphs for the encoding of the user's locale; what it cannot show becomes '?'.
void BuildGlyphs();
