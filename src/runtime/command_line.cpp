#include "runtime/command_line.h"

namespace {

bool IsBlank(char c) { return c == ' ' || c == '\t' || c == '\r'; }

bool IsHighSurrogate(char16_t u) { return u >= 0xD800 && u <= 0xDBFF; }
bool IsLowSurrogate(char16_t u) { return u >= 0xDC00 && u <= 0xDFFF; }

}  // namespace

std::string Utf8FromUtf16(std::u16string_view text) {
  std::string out;
  out.reserve(text.size() * 3);  // the most one unit can take; a pair takes 4 for 2
  for (std::size_t i = 0; i < text.size(); ++i) {
    char32_t c = text[i];
    if (IsHighSurrogate(text[i]) && i + 1 < text.size() && IsLowSurrogate(text[i + 1])) {
      c = 0x10000 + ((c - 0xD800) << 10) + (text[++i] - 0xDC00);
    } else if (IsHighSurrogate(text[i]) || IsLowSurrogate(text[i])) {
      out += UnpairedSurrogate;
      continue;
    }
    // The lead byte carries the length's mark and the highest bits; each byte after it six more.
    constexpr char32_t Lead[] = {0x00, 0xC0, 0xE0, 0xF0};
    const int more = c < 0x80 ? 0 : c < 0x800 ? 1 : c < 0x10000 ? 2 : 3;
    out += static_cast<char>(Lead[more] | c >> (6 * more));
    for (int i = more - 1; i >= 0; --i) out += static_cast<char>(0x80 | (c >> (6 * i) & 0x3F));
  }
  return out;
}

std::size_t SplitCommandLine(std::string_view line, std::string_view* items, std::size_t capacity) {
  std::size_t count = 0;
  std::size_t at = 0;
  for (;;) {
    while (at < line.size() && IsBlank(line[at])) ++at;
    if (at == line.size()) return count;
    std::size_t begin = at;
    std::size_t end;
    // An apostrophe may be part of a file name, a double quote may not: an apostrophe that no
    // second one closes is an ordinary character, so that 'take.wav never names take.wav.
    const bool quoted =
        line[at] == '"' || (line[at] == '\'' && line.find('\'', at + 1) != std::string_view::npos);
    if (quoted) {
      const std::size_t close = line.find(line[at], at + 1);
      begin = at + 1;
      end = close == std::string_view::npos ? line.size() : close;
    } else {
      end = begin;
      while (end < line.size() && !IsBlank(line[end])) ++end;
    }
    if (count < capacity) items[count] = line.substr(begin, end - begin);
    ++count;
    at = end < line.size() ? end + 1 : end;  // the closing mark or the blank is consumed
  }
}
