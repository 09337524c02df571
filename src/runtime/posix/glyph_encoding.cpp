#include "runtime/posix/glyph_encoding.h"

#include <iconv.h>
#include <langinfo.h>

#include <clocale>
#include <cstddef>
#include <cstring>

#include "runtime/glyphs.h"

Glyph Glyphs[256];

namespace {

void StoreUtf8(Glyph& glyph, char32_t c) {
  auto* out = reinterpret_cast<unsigned char*>(glyph.bytes);
  if (c < 0x80) {
    out[0] = static_cast<unsigned char>(c);
    glyph.length = 1;
  } else if (c < 0x800) {
    out[0] = static_cast<unsigned char>(0xC0 | (c >> 6));
    out[1] = static_cast<unsigned char>(0x80 | (c & 0x3F));
    glyph.length = 2;
  } else {
    out[0] = static_cast<unsigned char>(0xE0 | (c >> 12));
    out[1] = static_cast<unsigned char>(0x80 | ((c >> 6) & 0x3F));
    out[2] = static_cast<unsigned char>(0x80 | (c & 0x3F));
    glyph.length = 3;
  }
}

/// The terminal's character encoding, from the user's locale; the program's own locale is
/// left as it was. A plain C locale says ASCII, but terminals today expect UTF-8.
bool TerminalIsUtf8(char* codeset, std::size_t capacity) {
  char previous[256] = "C";
  if (const char* current = std::setlocale(LC_CTYPE, nullptr)) {
    std::strncpy(previous, current, sizeof previous - 1);
  }
  std::setlocale(LC_CTYPE, "");
  std::strncpy(codeset, nl_langinfo(CODESET), capacity - 1);
  codeset[capacity - 1] = '\0';
  std::setlocale(LC_CTYPE, previous);
  return std::strcmp(codeset, "UTF-8") == 0 || std::strcmp(codeset, "utf8") == 0 ||
         std::strcmp(codeset, "ANSI_X3.4-1968") == 0 || codeset[0] == '\0';
}

/// Recodes the glyphs that are not ASCII into codeset; what it cannot show becomes '?'.
/// A result holding control bytes (a shifting encoding) counts as unshowable as well.
void RecodeGlyphs(const char* codeset) {
  iconv_t cd = iconv_open(codeset, "UTF-8");
  for (int byte = 0; byte < 256; ++byte) {
    Glyph& glyph = Glyphs[byte];
    if (glyph.length == 1) continue;
    char in[sizeof glyph.bytes];
    std::memcpy(in, glyph.bytes, glyph.length);
    char* inPtr = in;
    std::size_t inLeft = glyph.length;
    char out[sizeof glyph.bytes];
    char* outPtr = out;
    std::size_t outLeft = sizeof out;
    bool ok = cd != reinterpret_cast<iconv_t>(-1);
    if (ok) {
      iconv(cd, nullptr, nullptr, nullptr, nullptr);
      ok = iconv(cd, &inPtr, &inLeft, &outPtr, &outLeft) != static_cast<std::size_t>(-1) && inLeft == 0 &&
           outPtr != out;
    }
    for (char* p = out; ok && p < outPtr; ++p) {
      auto b = static_cast<unsigned char>(*p);
      if (b < 0x20 || b == 0x7F) ok = false;
    }
    if (ok) {
      glyph.length = static_cast<uint8_t>(outPtr - out);
      std::memcpy(glyph.bytes, out, glyph.length);
    } else {
      glyph.bytes[0] = '?';
      glyph.length = 1;
    }
  }
  if (cd != reinterpret_cast<iconv_t>(-1)) iconv_close(cd);
}

}  // namespace

void BuildGlyphs() {
  for (int byte = 0; byte < 256; ++byte) StoreUtf8(Glyphs[byte], CodePage437[byte]);
  char codeset[64];
  if (!TerminalIsUtf8(codeset, sizeof codeset)) RecodeGlyphs(codeset);
}
