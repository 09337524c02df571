// What each byte of text looks like on the terminal: its code page 437 picture, spelled in
// the terminal's character encoding. Control bytes get pictures too, so that no byte of text
// can steer the terminal. The table is platform-neutral; finding the terminal's encoding
// and recoding into it (locale and iconv) is the Linux part.
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
