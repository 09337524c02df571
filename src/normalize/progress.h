// The progress row: after every block, the share of the file done, rewritten in place on
// the row where the last write ended.
#pragma once

#include <cstdint>
#include <string_view>

/// Moves to column 1 of the current row and writes " Normalisiere Wave...", the percentage
/// FilePos / KnownFileSize x 100 in width 5 with 1 decimal, and "%".
void PROGRESS();

/// The percentage's text for a position in a file of `size` bytes (size > 0): the 80-bit
/// quotient, times 100, written in width 5 with 1 decimal. Exactly what that computation
/// gives, but worked out again only where the text can change; valid until the next call.
std::string_view ProgressText(int64_t position, int64_t size);
