// A command line that arrives as one string of UTF-16 units (as it does on Windows): turned
// into UTF-8 without loss, and split into the program name and its arguments. Pure text work:
// the Linux build takes the shell's split instead, and uses this only in its tests.
#pragma once

#include <cstddef>
#include <string>
#include <string_view>

/// The byte that stands for an unpaired surrogate in Utf8FromUtf16's result. No UTF-8 text
/// holds it, so a name with it in is refused when it is opened, never taken for another name.
constexpr char UnpairedSurrogate = '\xFF';

/// text as UTF-8, every character kept: a surrogate pair becomes the 4 bytes of its character.
/// A surrogate without its partner has no UTF-8 form and becomes UnpairedSurrogate.
std::string Utf8FromUtf16(std::u16string_view text);

/// Splits line into items, the program name first. Blanks (space, tab, carriage return) are
/// skipped before each item; an item that opens with a double quote, or with an apostrophe
/// that a second one follows, runs to the next one of the same mark (the marks are not part
/// of it), any other to the next blank. The end of the line ends every item, an open double
/// quote's too; there is no escape character. The first `capacity`
/// items land in items[] as views into line; the result is the number of items found, which
/// may be larger than capacity.
std::size_t SplitCommandLine(std::string_view line, std::string_view* items, std::size_t capacity);
