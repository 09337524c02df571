// The percentage's text on the progress row, and the cache that works it out again only
// where its characters can change.
#pragma once

#include <cstdint>
#include <string_view>

/// The percentage's text for a position in a file of `size` bytes (size > 0): the 80-bit
/// quotient, times 100, written in width 5 with 1 decimal. Exactly what that computation
/// gives, but worked out again only where the text can change; valid until the next call.
std::string_view ProgressText(int64_t position, int64_t size);
