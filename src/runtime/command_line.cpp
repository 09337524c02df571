#include "runtime/command_line.h"

namespace {

bool IsBlank(char c) { return c == ' ' || c == '\t' || c == '\r'; }

}  // namespace

std::size_t SplitCommandLine(std::string_view line, std::string_view* items, std::size_t capacity) {
  std::size_t count = 0;
  std::size_t at = 0;
  for (;;) {
    while (at < line.size() && IsBlank(line[at])) ++at;
    if (at == line.size()) return count;
    std::size_t begin = at;
    std::size_t end;
    if (line[at] == '"' || line[at] == '\'') {
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
