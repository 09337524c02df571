#include <gtest/gtest.h>

#include <algorithm>
#include <cstdint>

#include "normalize/buffers.h"
#include "normalize/progress_text.h"
#include "runtime/text_output.h"

TEST(ProgressText, EveryBlockShowsWhatTheFull80BitComputationGives) {
  // Positions from `start` in steps of `step` up to the size, in the order a pass takes them.
  const struct {
    int64_t start, size, step;
  } files[] = {
      {0, 192'000'000, BlockSize},  // every odd block lies exactly halfway between two texts
      {0, 192'000'001, BlockSize},  // one byte off those halfway points, either way
      {0, 191'999'999, BlockSize},
      {44, 44 + (int64_t{1} << 30), BlockSize},  // 1 GiB of data behind the canonical header
      {44, 96'044, BlockSize},
      {12345, (int64_t{1} << 36) + 12345, BlockSize},
      {0, 2000, 1},   // 1, 7 and 17 of 2000 lie a hair below a halfway point
      {0, 10000, 1},  // 9995 of 10000 too
      {0, 400, 1},    // 49 of 400 is exactly halfway
      {0, 400, 1},    // the same file again, from its start
  };
  for (const auto& f : files) {
    for (int64_t p = f.start;; p = std::min(p + f.step, f.size)) {
      char full[RealTextCapacity];
      const long double percent = static_cast<long double>(p) / static_cast<long double>(f.size) * 100.0L;
      const std::string_view want(full, Str_Real(5, 1, percent, RealTypeExtended, full));
      ASSERT_EQ(ProgressText(p, f.size), want) << p << " of " << f.size;
      if (p == f.size) break;
    }
  }
}
