#include "normalize/progress_text.h"

#include "runtime/text_output.h"

namespace {

// The percentage of a block changes its text only about every 11 blocks of a 1 GiB file.
// Why the cache gives exactly what the full computation gives:
// - The text is a pure function of the two counts and never falls as the position grows:
//   the quotient, the product by 100 and the conversion to one decimal each round
//   monotonically. A range whose first and last positions were both worked out in full and
//   give the same text therefore gives it throughout; Remember keeps no other range.
// - Where the range ends decides only how far it reaches, not what is shown. The exact
//   fraction first reaches (tenths + 0.5) / 1000 at ceil((2 tenths + 1) size / 2000); any
//   smaller position lies at least 1/2000 of a position below that point. The quotient and
//   the product each err by at most 2^-64 relative (64-bit mantissa, rounded to nearest),
//   the conversion's rounding by less than 2^-63 of a percent: in all less than
//   1.02 size 2^-63 positions, under 1/2000 for sizes up to 2^52. So the last position
//   before that point still shows the text, and the margin of 2 + (size >> 40) below it is
//   wider than the rounding can reach.

/// The last text worked out, and the positions of the same size known to give it.
struct KnownText {
  int64_t size = 0;
  int64_t from = 0;
  int64_t to = -1;
  char text[RealTextCapacity];
  std::size_t length = 0;
};
KnownText LastWorkedOut;

std::size_t FullText(int64_t position, int64_t size, char* out) {
  const long double done = static_cast<long double>(position) / static_cast<long double>(size);
  return Str_Real(5, 1, done * 100.0L, RealTypeExtended, out);
}

/// Tenths shown by a text of the form "ddd.d" with leading blanks, or -1 for any other.
int64_t ShownTenths(std::string_view text) {
  int64_t tenths = 0;
  int digits = 0;
  for (std::size_t i = 0; i < text.size(); ++i) {
    const char c = text[i];
    if (c == ' ' && digits == 0) continue;
    if (c == '.' && i + 2 == text.size()) continue;
    if (c < '0' || c > '9') return -1;
    tenths = tenths * 10 + (c - '0');
    ++digits;
  }
  return digits >= 2 && text[text.size() - 2] == '.' ? tenths : -1;
}

/// The last position before the text of `tenths` could give way to the next one: the first
/// position of the next text, ceil((2 tenths + 1) size / 2000) taken in two parts so that
/// the products stay small, less the margin.
int64_t LastPositionBelowNextText(int64_t tenths, int64_t size) {
  const int64_t halves = 2 * tenths + 1;
  const int64_t first = (halves * (size / 2000)) + (halves * (size % 2000) + 1999) / 2000;
  return first - 2 - (size >> 40);
}

void Remember(int64_t position, int64_t size) {
  LastWorkedOut.size = size;
  LastWorkedOut.from = position;
  LastWorkedOut.to = position;
  LastWorkedOut.length = FullText(position, size, LastWorkedOut.text);
  const int64_t tenths = ShownTenths(std::string_view(LastWorkedOut.text, LastWorkedOut.length));
  // Up to 100.0 %, and sizes up to 2^52: their products stay within 64 bits, and the
  // margin is shown above to cover them.
  if (tenths < 0 || tenths > 1000 || size > (int64_t{1} << 52)) return;
  const int64_t last = LastPositionBelowNextText(tenths, size);
  if (last <= position) return;
  char there[RealTextCapacity];
  const std::size_t length = FullText(last, size, there);
  if (std::string_view(there, length) == std::string_view(LastWorkedOut.text, LastWorkedOut.length)) {
    LastWorkedOut.to = last;
  }
}

}  // namespace

std::string_view ProgressText(int64_t position, int64_t size) {
  if (size != LastWorkedOut.size || position < LastWorkedOut.from || position > LastWorkedOut.to) {
    Remember(position, size);
  }
  return std::string_view(LastWorkedOut.text, LastWorkedOut.length);
}
