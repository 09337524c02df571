// Splitting a command line that arrives as one string (as it does on Windows) into the
// program name and its arguments. Pure text work: the Linux build takes the shell's split
// instead, and uses this only in its tests.
#pragma once

#include <cstddef>
#include <string_view>

/// Splits line into items, the program name first. Blanks (space, tab, carriage return) are
/// skipped before each item; an item that opens with a double quote or an apostrophe runs to
/// the next one of the same mark (the marks are not part of it), any other to the next blank.
/// The end of the line ends every item; there is no escape character. The first `capacity`
/// items land in items[] as views into line; the result is the number of items found, which
/// may be larger than capacity.
std::size_t SplitCommandLine(std::string_view line, std::string_view* items, std::size_t capacity);
