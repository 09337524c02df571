// The progress row: after every block, the share of the file done, rewritten in place on
// the row where the last write ended.
#pragma once

/// Moves to column 1 of the current row and writes " Normalisiere Wave...", the percentage
/// FilePos / KnownFileSize x 100 in width 5 with 1 decimal, and "%".
void PROGRESS();
