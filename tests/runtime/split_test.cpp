// Splitting a one-string command line, as Windows hands it over; built and run on both
// platforms.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "runtime/command_line.h"

namespace {

std::vector<std::string> Split(std::string_view line, std::size_t capacity = 8) {
  std::vector<std::string_view> items(capacity);
  const std::size_t found = SplitCommandLine(line, items.data(), capacity);
  std::vector<std::string> out(items.begin(), items.begin() + std::min(found, capacity));
  if (found > capacity) out.push_back("+" + std::to_string(found - capacity));
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
      {"tolvar \"a b\"c", {"tolvar", "a b", "c"}},         // a closing mark ends the item
      {"tolvar \"\"", {"tolvar", ""}},                     // empty, yet an item
      {"tolvar \"\"\"\"", {"tolvar", "", ""}},             // two quotes close one, open the next
      {"tolvar a\"b c\"", {"tolvar", "a\"b", "c\""}},      // no escapes, no mid-item quoting
      {"tolvar \"it's\" 'say \"hi\"'", {"tolvar", "it's", "say \"hi\""}},
      {"tolvar \"open to the end", {"tolvar", "open to the end"}},
      {"tolvar x \"", {"tolvar", "x", ""}},                // an unclosed quote at the end
      {"tolvar a\nb", {"tolvar", "a\nb"}},                 // a line feed is no blank
      {"\"C:\\Program Files\\tolvar.exe\" f.wav", {"C:\\Program Files\\tolvar.exe", "f.wav"}},
  };
  for (const auto& [line, items] : rows) EXPECT_EQ(Split(line), items) << line;
}

TEST(SplitCommandLine, ItemsBeyondCapacityAreCountedNotStored) {
  EXPECT_EQ(Split("p a b c d", 3), (Items{"p", "a", "b", "+2"}));
}

}  // namespace
