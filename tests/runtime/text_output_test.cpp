// Text streams against a recording device: which characters go out, in which pieces and
// when; the real-to-text conversion as one table; a standard handle that refuses its bytes.
#include "runtime/text_output.h"

#include <gtest/gtest.h>
#include <signal.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cmath>
#include <string>

#include "runtime/file_access.h"

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

static std::string Shape,
    Sent;  // each transfer and flush as "T<count>" or "F<count>"; every byte handed over

static int Record(TextRec& t, char kind) {
  Shape.append(Shape.empty() ? "" : " ").append(1, kind).append(std::to_string(t.Pending));
  Sent.append(t.Buffer, static_cast<std::size_t>(t.Pending));
  t.Pending = 0;
  return 0;
}

TEST(TextStream, PiecesReachTheDeviceAtTheStatementEndOrWhenTheBufferOverflows) {
  using S = std::string;
  const struct {
    void (*statement)(TextRec& t);
    const char* shape;
    std::string sent;
    int status = 0;
  } table[] = {
      // clang-format off
      {[](TextRec& t) { Write_Str(0, t, S(200, 'a')); Write_Str(0, t, S(56, 'b')); Write_End(t); },
       "F256", S(200, 'a') + S(56, 'b')},
      {[](TextRec& t) { Write_Str(0, t, S(256, 'a') + "z"); Write_End(t); }, "T256 F1", S(256, 'a') + "z"},
      // blanks fill it too
      {[](TextRec& t) { Write_Str(300, t, "x"); Writeln_End(t); }, "T256 F46", S(299, ' ') + "x\r\n"},
      {[](TextRec& t) { for (int i = 0; i < 256; ++i) Write_Char(0, t, 'c'); Write_End(t); },
       "T255 F1", S(256, 'c')},
      // items with their padding
      {[](TextRec& t) {
         Write_Str(2, t, "abc"); Write_Str(6, t, "abc"); Write_Char(3, t, 'x');
         Write_Float(RealTypeExtended, 1, 6, t, 42.66L); Write_SInt(4, t, 216); Write_End(t);
       }, "F22", "abc   abc  x  42.7 216"},
      // a latched status silences items, but the statement end still flushes
      {[](TextRec& t) {
         InOutRes = io_status::FileNotFound;
         Write_Str(0, t, "abc"); Write_Char(0, t, 'x'); Write_SInt(0, t, 1);
         Write_Float(RealTypeExtended, 1, 5, t, 1.0L); Writeln_End(t); Write_End(t);
       }, "F0", "", io_status::FileNotFound},
      // a stream not open: the text is dropped
      {[](TextRec&) {
         TextRec unbound{};
         Write_Str(0, unbound, "a"); Writeln_End(unbound);
         EXPECT_EQ(unbound.Pending, 0);
       }, "", "", io_status::NotOpen},
      // clang-format on
  };
  for (const auto& row : table) {
    InOutRes = 0;
    Shape = Sent = "";
    TextRec t;  // transfers and flushes recorded
    OpenTextOutput(
        t, UnusedHandle, [](TextRec& r) { return Record(r, 'F'); }, "\r\n");
    t.TransferOp = [](TextRec& r) { return Record(r, 'T'); };
    row.statement(t);
    EXPECT_EQ(Shape + " | " + Sent + " | " + std::to_string(InOutRes),
              row.shape + (" | " + row.sent) + " | " + std::to_string(row.status));
  }
  InOutRes = 0;
}

TEST(TextStream, StandardHandleTakesAStatementInOneWriteAndLatches101WhenRefused) {
  int fds[2];
  ASSERT_EQ(pipe(fds), 0);
  TextRec t;
  BindOutputHandle(t, fds[1]);
  Write_SInt(0, t, 216);
  errno = EINTR;  // left over from an earlier call: the statement still goes out once
  Writeln_End(t);
  char got[8];
  EXPECT_EQ(std::string(got, std::max<ssize_t>(0, read(fds[0], got, sizeof got))), "216\n");
  close(fds[0]);
  signal(SIGPIPE, SIG_IGN);  // as the runtime does: the write fails instead
  Writeln_End(t);
  close(fds[1]);
  EXPECT_EQ(InOutRes, io_status::WriteShort);
  InOutRes = 0;
}
