// Text streams against a recording device: which characters go out, in which pieces and
// when; the real-to-text conversion as tables; named files and standard handles on Linux.
#include "runtime/text_output.h"

#include <gtest/gtest.h>
#include <signal.h>
#include <unistd.h>

#include <cerrno>
#include <cfenv>
#include <cmath>
#include <filesystem>
#include <limits>
#include <string>
#include <vector>

#include "runtime/file_access.h"
#include "support/files.h"

namespace {

std::string Real(long double value, int32_t decimals = 1, int32_t width = 5) {
  char out[RealTextCapacity];
  return std::string(out, Str_Real(width, decimals, value, RealTypeExtended, out));
}

/// The progress value as the normalizer computes it: quotient first, then times 100.
long double Percent(int64_t position, int64_t size) {
  return static_cast<long double>(position) / static_cast<long double>(size) * 100.0L;
}

struct Case {
  long double value;
  const char* text;
  int32_t decimals = 1;  ///< the progress line's 1 decimal in 5 columns, unless given
  int32_t width = 5;
};
void ExpectTexts(const std::vector<Case>& cases) {
  for (const Case& c : cases) {
    EXPECT_EQ(Real(c.value, c.decimals, c.width), c.text) << c.value << ", " << c.decimals;
  }
}
constexpr long double Inf = std::numeric_limits<long double>::infinity();

TEST(RealText, ProgressPercentages) {
  ExpectTexts({{0.0L, "  0.0"},  {0.04L, "  0.0"}, {0.05L, "  0.1"},  {0.5L, "  0.5"},
               {0.96L, "  1.0"},  // the carry reaches the guard digit
               {9.96L, " 10.0"}, {50.0L, " 50.0"}, {99.94L, " 99.9"}, {99.96L, "100.0"},
               {100.0L, "100.0"}});
}

TEST(RealText, WiderTextsNegativesAndSpecials) {
  ExpectTexts({{999.96L, "1000.0"}, {1000.0L, "1000.0"}, {12345.67L, "12345.7"},
               {-5.0L, " -5.0"},    {-50.0L, "-50.0"},   {-100.0L, "-100.0"},
               {-0.04L, " -0.0"},   {-0.0L, " -0.0"},    {-0.96L, " -1.0"},
               {Inf, "  Inf"},      {-Inf, " -Inf"},     {-std::nanl(""), "  NaN"},
               {Inf, "Inf", 1, 0}});
}

TEST(RealText, HalfwayRoundsAwayFromZero) {
  ExpectTexts({{12.25L, " 12.3"}, {0.25L, "  0.3"}, {50.25L, " 50.3"}, {-12.25L, "-12.3"},
               {2.5L, "3", 0, 0},   {0.5L, "1", 0, 0},
               {0.125L, "0.12", 2, 0}});  // not at two decimals: 0.5/10/10 is below 0.005
}

TEST(RealText, TheComputedPercentageDecidesNotTheExactFraction) {
  ExpectTexts({{Percent(49, 400), " 12.3"},      // exactly 12.25
               {Percent(1, 2000), "  0.0"},      // just below 0.05
               {Percent(9995, 10000), " 99.9"},  // just below 99.95
               {Percent(7, 2000), "  0.4"},      // just below 0.35
               {Percent(17, 2000), "  0.9"}});   // just below 0.85
}

TEST(RealText, DecimalsAndValuesBelowOne) {
  ExpectTexts({{3.14159265L, "3.14159", 5, 0}, {3.14159265L, "3.1416", 4, 0},
               {0.4L, "0", 0, 0},              {0.0L, "   0.000", 3, 8},
               {0.001234L, "0.00123", 5, 0},   {0.000999L, "0.001", 3, 0},
               {0.0004L, "0.000", 3, 0},       {0.00004L, "0.000", 3, 0},
               {1e-30L, "0.00", 2, 0},         {1.5L, "1.50000000000000000", 20, 0},
               {7.0L, "7", -1, 0}});  // a negative count means none
}

TEST(RealText, SeventeenSignificantDigitsThenZeros) {
  ExpectTexts({
      {12345678901234567.0L, "12345678901234567.0", 1, 0},
      // A hair below a power of ten counts as reaching it: that power's digit takes one of
      // the 17 places; when rounding does not carry into it, the zero there is not shown.
      {99999999999999999.0L, "100000000000000000", 0, 0},
      {99999999999999993.0L, "99999999999999990", 0, 0},
      {10.0L - 7e-16L, "9.99999999999999900", 17, 0},
      // An 18th digit rounds the 17 shown, as every later one does.
      {123456789012345678.0L, "123456789012345680", 0, 0},
      {999999999999999999.0L, "1000000000000000000", 0, 0},
      {1234567890123456789.0L, "1234567890123456800", 0, 0},
      {1e30L, "1000000000000000000000000000000", 0, 0},
      {0x1p120L, " 1.3292279957849159E+0036", 0, 0},  // beyond 36 integer digits
  });
}

// The program traps invalid operations, division by zero and overflow, and the runtime
// error report converts inside a signal handler: no conversion may fault.
TEST(RealText, ExtremesConvertUnderTrappingArithmetic) {
  using limits = std::numeric_limits<long double>;
  feenableexcept(FE_INVALID | FE_DIVBYZERO | FE_OVERFLOW);
  const std::string largest = Real(-limits::max(), 17, 0);
  const std::string tiniest = Real(limits::denorm_min(), 17, 0);
  const std::string from2To63 = Real(0x1p63L, 2, 0);
  fedisableexcept(FE_ALL_EXCEPT);
  EXPECT_EQ(largest.substr(0, 16) + largest.substr(largest.size() - 6), "-1.1897314953572E+4932");
  EXPECT_EQ(tiniest, "0.00000000000000000");
  EXPECT_EQ(from2To63, "9223372036854775800.00");
}

TEST(RealText, PaddingStopsAtTheTextCapacity) {
  EXPECT_EQ(Real(1.5L, 1, 1000), std::string(RealTextCapacity - 3, ' ') + "1.5");
}

// ---------------------------------------------------------------------------------------

std::string g_shape;  // each transfer and flush, as "T<count>" or "F<count>"
std::string g_sent;   // every byte handed over, in order

int Record(TextRec& t, char kind) {
  if (!g_shape.empty()) g_shape += ' ';
  g_shape += kind;
  g_shape += std::to_string(t.Pending);
  g_sent.append(t.Buffer, static_cast<std::size_t>(t.Pending));
  t.Pending = 0;
  return 0;
}
int OpenRecorder(TextRec& t) {
  t.TransferOp = [](TextRec& r) { return Record(r, 'T'); };
  t.FlushOp = [](TextRec& r) { return Record(r, 'F'); };
  return 0;
}

class TextStream : public ::testing::Test {
 protected:
  void SetUp() override { Open(); }
  void TearDown() override { InOutRes = 0; }
  void Open() {
    InOutRes = 0;
    g_shape.clear();
    g_sent.clear();
    Assign(t, "");
    t.OpenOp = OpenRecorder;
    Rewrite(t);
  }
  TextRec t;
};

TEST_F(TextStream, PiecesReachTheDeviceAtTheStatementEndOrWhenTheBufferOverflows) {
  using S = std::string;
  const struct {
    void (*statement)(TextRec& t);
    const char* shape;
    std::string sent;
  } table[] = {
      {[](TextRec& t) {
         Write_Str(0, t, S(200, 'a'));
         Write_Str(0, t, S(56, 'b'));
         Write_End(t);
       },
       "F256", S(200, 'a') + S(56, 'b')},
      {[](TextRec& t) {
         Write_Str(0, t, S(256, 'a') + "z");
         Write_End(t);
       },
       "T256 F1", S(256, 'a') + "z"},
      {[](TextRec& t) {
         Write_Str(300, t, "x");  // padding blanks fill the buffer like characters
         Writeln_End(t);
       },
       "T256 F46", S(299, ' ') + "x\r\n"},
      {[](TextRec& t) {
         for (int i = 0; i < 256; ++i) Write_Char(0, t, 'c');
         Write_End(t);
       },
       "T255 F1", S(256, 'c')},
      {[](TextRec& t) { Writeln_End(t); }, "F2", "\r\n"},
  };
  for (const auto& row : table) {
    Open();
    row.statement(t);
    EXPECT_EQ(g_shape, row.shape);
    EXPECT_EQ(g_sent, row.sent);
  }
}

TEST_F(TextStream, ItemsWithTheirPadding) {
  Write_Str(0, t, "abc");
  Write_Str(2, t, "abc");
  Write_Str(6, t, "abc");
  Write_Str(0, t, "");
  Write_Char(3, t, 'x');
  Write_Char(-4, t, 'y');
  Write_Float(RealTypeExtended, 1, 6, t, 42.66L);
  Write_SInt(4, t, 216);
  Write_SInt(0, t, std::numeric_limits<int32_t>::min());
  Write_Float(RealTypeExtended, 1, 300, t, 1.0L);  // past the conversion's own capacity
  Write_End(t);
  EXPECT_EQ(g_sent, "abcabc   abc  xy  42.7 216-2147483648" + std::string(297, ' ') + "1.0");
}

TEST_F(TextStream, LatchedStatusSilencesItemsButTheStatementEndStillFlushes) {
  InOutRes = io_status::FileNotFound;
  Write_Str(0, t, "abc");
  Write_Char(0, t, 'x');
  Write_SInt(0, t, 1);
  Write_Float(RealTypeExtended, 1, 5, t, 1.0L);
  Writeln_End(t);
  Write_End(t);
  EXPECT_EQ(g_shape, "F0");
  EXPECT_EQ(InOutRes, io_status::FileNotFound);
}

TEST_F(TextStream, WritingWhereNotOpenForOutputFailsAndDropsTheRest) {
  Reset(t);
  Write_Str(0, t, "a");
  EXPECT_EQ(InOutRes, io_status::NotOpenForOutput);
  InOutRes = 0;
  Assign(t, "");
  Write_Char(0, t, 'a');
  Writeln_End(t);
  EXPECT_EQ(InOutRes, io_status::NotOpen);
  InOutRes = 0;
  TextRec unassigned{};
  Writeln_End(unassigned);
  EXPECT_EQ(InOutRes, io_status::NotOpen);
  EXPECT_EQ(t.Pending + unassigned.Pending, 0);
  InOutRes = 0;
  Rewrite(unassigned);
  EXPECT_EQ(InOutRes, io_status::NotAssigned);
}

// ---------------------------------------------------------------------------------------

TEST_F(TextStream, NamedFileIsEmptiedAndGetsLineFeedsButCutNamesAreRefused) {
  testing_support::TempDir dir;
  const std::string path = dir.file("out.txt");
  testing_support::WriteFile(path, {'o', 'l', 'd', ' ', 't', 'e', 'x', 't'});
  Assign(t, path);
  Rewrite(t);
  Write_Str(0, t, "new");
  Writeln_End(t);
  EXPECT_EQ(testing_support::ReadFile(path), (testing_support::Bytes{'n', 'e', 'w', '\n'}));
  std::filesystem::remove(path);

  Assign(t, dir.path() + "/" + std::string(255 - dir.path().size(), 'n'));  // 256 characters
  Rewrite(t);
  EXPECT_EQ(InOutRes, ENAMETOOLONG);
  InOutRes = 0;
  Assign(t, dir.file(std::string("cut\0off", 7)));
  Rewrite(t);
  EXPECT_EQ(InOutRes, EINVAL);
  EXPECT_EQ(t.Mode, ModeClosed);
  EXPECT_TRUE(std::filesystem::is_empty(dir.path()));
}

TEST_F(TextStream, StandardHandleTakesEachStatementInOneWriteOrFailsWith101) {
  int fds[2];
  ASSERT_EQ(pipe(fds), 0);
  BindOutputHandle(t, fds[1]);
  Write_Str(0, t, "Runtime error ");
  Write_SInt(0, t, 216);
  Writeln_End(t);
  char got[32];
  EXPECT_EQ(std::string(got, static_cast<std::size_t>(read(fds[0], got, sizeof got))),
            "Runtime error 216\n");

  close(fds[0]);
  const auto previous = signal(SIGPIPE, SIG_IGN);
  Write_Str(0, t, "lost");
  Write_End(t);
  signal(SIGPIPE, previous);
  close(fds[1]);
  EXPECT_EQ(InOutRes, io_status::WriteShort);
  EXPECT_EQ(t.Pending, 0);
}

}  // namespace
