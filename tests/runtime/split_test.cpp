// A one-string command line, as Windows hands it over: its UTF-16 turned into UTF-8, and its
// split; built and run on both platforms.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "runtime/command_line.h"

namespace {

std::vector<std::string> Split(std::string_view line, std::size_t capacity = 8) {
  std::vector<std::string_view> items(capacity);
  const std::size_t found = SplitCommandLine(line, items.data(), capacity);
  std::vector<std::string> out(items.begin(), items.begin() + std::min(found, capacity));
  if (found > capacity) out.push_back('+' + std::to_string(found - capacity));
  return out;
}

using Items = std::vector<std::string>;

TEST(SplitCommandLine, Table) {
  const std::pair<const char*, Items> rows[] = {
      {"", {}},
      {" \t\r", {}},
      {"tolvar", {"tolvar"}},
      {"tolvar a b", {"tolvar", "a", "b"}},
      {"  tolvar\t a\r\rb  ", {"tolvar", "a", "b"}},
      {"tolvar \"my file.wav\"", {"tolvar", "my file.wav"}},
      {"tolvar 'my file.wav'", {"tolvar", "my file.wav"}},
      {"tolvar \"a b\"c", {"tolvar", "a b", "c"}},     // a closing mark ends the item
      {"tolvar \"\"", {"tolvar", ""}},                 // empty, yet an item
      {"tolvar \"\"\"\"", {"tolvar", "", ""}},         // two quotes close one, open the next
      {"tolvar a\"b c\"", {"tolvar", "a\"b", "c\""}},  // no escapes, no mid-item quoting
      {"tolvar \"it's\" 'say \"hi\"'", {"tolvar", "it's", "say \"hi\""}},
      {"tolvar \"open to the end", {"tolvar", "open to the end"}},
      {"tolvar '70s take.wav", {"tolvar", "'70s", "take.wav"}},  // an unclosed apostrophe is a character
      {"tolvar x \"", {"tolvar", "x", ""}},                      // an unclosed quote at the end
      {"tolvar a\nb", {"tolvar", "a\nb"}},                       // a line feed is no blank
      {"\"C:\\Program Files\\tolvar.exe\" f.wav", {"C:\\Program Files\\tolvar.exe", "f.wav"}},
  };
  for (const auto& [line, items] : rows) EXPECT_EQ(Split(line), items) << line;
}

TEST(SplitCommandLine, ItemsBeyondCapacityAreCountedNotStored) {
  EXPECT_EQ(Split("p a b c d", 3), (Items{"p", "a", "b", "+2"}));
}

TEST(Utf8FromUtf16, EveryCharacterKeptAndEveryUnpairedSurrogateMarked) {
  const std::pair<std::u16string, std::string> rows[] = {
      {u"", ""},
      {u"tolvar a.wav", "tolvar a.wav"},
      {u"\u007F\u0080\u07FF\u0800", "\x7F\xC2\x80\xDF\xBF\xE0\xA0\x80"},  // where the lengths change
      {u"\uFF21.wav", "\xEF\xBC\xA1.wav"},                                // a fullwidth A
      {u"\u03A9 \u65E5\u672C", "\xCE\xA9 \xE6\x97\xA5\xE6\x9C\xAC"},
      {u"\xD834\xDD1E.wav", "\xF0\x9D\x84\x9E.wav"},  // U+1D11E, a surrogate pair
      {u"\xDBFF\xDFFF", "\xF4\x8F\xBF\xBF"},          // U+10FFFF
      {u"a\xD834.wav", "a\xFF.wav"},                  // a high surrogate without its low one
      {u"\xD834", "\xFF"},                            // ... also at the end
      {u"\xDD1E\xD834", "\xFF\xFF"},                  // a low one first pairs with nothing
      {u"\xD834\xD834\xDD1E", "\xFF\xF0\x9D\x84\x9E"},
  };
  for (const auto& [utf16, utf8] : rows) EXPECT_EQ(Utf8FromUtf16(utf16), utf8) << utf8;
}

}  // namespace
