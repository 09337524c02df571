// The code page 437 pictures (glyphs.h) spelled in the terminal's character encoding, from
// the user's locale: UTF-8, or recoded with iconv.
#pragma once

#include <cstdint>

/// One byte's picture as the bytes the terminal takes.
struct Glyph {
  uint8_t length;
  char bytes[7];
};

/// Indexed by the byte; filled by BuildGlyphs.
extern Glyph Glyphs[256];

/// Fills Glyphs for the encoding of the user's locale; what it cannot show becomes '?'.
void BuildGlyphs();
