// The real-to-text conversion as one table: the exact texts that 80-bit arithmetic gives.
#include "runtime/text_output.h"

#include <gtest/gtest.h>

#include <cmath>
#include <string>

/// The progress value as the normalizer computes it: quotient first, then times 100.
static long double Percent(int64_t position, int64_t size) {
  return static_cast<long double>(position) / static_cast<long double>(size) * 100.0L;
}

TEST(RealText, ExactTextsInEightyBitArithmetic) {
  // Decimals and width are the progress line's 1 decimal in 5 columns unless given.
  const struct {
    long double value;
    std::string text;
    int32_t decimals = 1, width = 5;
  } table[] = {
      {0.0L, "  0.0"},
      {0.04L, "  0.0"},
      {0.05L, "  0.1"},
      {0.5L, "  0.5"},
      {9.96L, " 10.0"},
      {50.0L, " 50.0"},
      {0.96L, "  1.0"},
      {99.96L, "100.0"},  // the carry reaches the guard digit
      {99.94L, " 99.9"},
      {999.96L, "1000.0"},
      {12345.67L, "12345.7"},
      {-5.0L, " -5.0"},
      {-100.0L, "-100.0"},
      {-0.04L, " -0.0"},
      {-0.0L, " -0.0"},
      {HUGE_VALL, "  Inf"},
      {-HUGE_VALL, " -Inf"},
      {-std::nanl(""), "  NaN"},
      // Halfway rounds away from zero; the computed percentage decides, not the fraction.
      // 0.125: 0.5/10/10 lies below 0.005.
      {12.25L, " 12.3"},
      {50.25L, " 50.3"},
      {2.5L, "3", 0, 0},
      {Percent(49, 400), " 12.3"},
      {0.125L, "0.12", 2, 0},
      // Just below x.x5.
      {Percent(1, 2000), "  0.0"},
      {Percent(9995, 10000), " 99.9"},
      {Percent(7, 2000), "  0.4"},
      {Percent(17, 2000), "  0.9"},
      {3.14159265L, "3.14159", 5, 0},
      {0.4L, "0", 0, 0},
      {0.0L, "   0.000", 3, 8},
      {0.001234L, "0.00123", 5, 0},
      {0.000999L, "0.001", 3, 0},
      {0.0004L, "0.000", 3, 0},
      {1e-30L, "0.00", 2, 0},
      {1.5L, "1.50000000000000000", 20, 0},
      // 17 significant digits, then zeros; a hair below a power of ten takes that power's
      // place, and the zero there is not shown when rounding does not carry into it.
      {99999999999999993.0L, "99999999999999990", 0, 0},
      {10.0L - 7e-16L, "9.99999999999999900", 17, 0},
      {123456789012345678.0L, "123456789012345680", 0, 0},  // an 18th digit rounds
      {1e30L, "1000000000000000000000000000000", 0, 0},
      {0x1p63L, "9223372036854775800.00", 2, 0},
      {1e300L, "1" + std::string(236, '0'), 0, 0},  // never written by the tool: cut at the text's capacity
  };
  char out[RealTextCapacity];
  for (const auto& [value, text, decimals, width] : table)
    EXPECT_EQ(std::string(out, Str_Real(width, decimals, value, RealTypeExtended, out)), text) << value;
}
