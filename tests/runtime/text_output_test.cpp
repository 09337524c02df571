// Text streams against a recording device: which characters go out, in which pieces and
// when; the real-to-text conversion as tables; named files and standard handles on Linux.
#include "runtime/text_output.h"

#include <gtest/gtest.h>
#include <signal.h>
#include <unistd.h>

#include <cerrno>
#include <cfenv>
#include <cstdint>
#include <filesystem>
#include <functional>
#include <limits>
#include <string>
#include <utility>
#include <vector>

#include "runtime/file_access.h"
#include "support/files.h"

namespace {

std::string Real(long double value, int32_t width = 5, int32_t decimals = 1) {
  char out[RealTextCapacity];
  return std::string(out, Str_Real(width, decimals, value, RealTypeExtended, out));
}

/// The progress value as the normalizer computes it: quotient first, then times 100.
long double Percent(int64_t position, int64_t size) {
  return static_cast<long double>(position) / static_cast<long double>(size) * 100.0L;
}

struct RealCase {
  long double value;
  const char* text;
};
struct FormatCase {
  long double value;
  int32_t decimals;
  const char* text;
};

void ExpectProgressTexts(const std::vector<RealCase>& cases) {
  for (const RealCase& c : cases) EXPECT_EQ(Real(c.value), c.text) << "value " << c.value;
}
void ExpectTexts(const std::vector<FormatCase>& cases) {
  for (const FormatCase& c : cases) {
    EXPECT_EQ(Real(c.value, 0, c.decimals), c.text) << "value " << c.value << ", " << c.decimals;
  }
}

TEST(RealText, ProgressPercentagesFillFiveColumns) {
  ExpectProgressTexts({
      {0.0L, "  0.0"},  {0.04L, "  0.0"}, {0.05L, "  0.1"},  {0.5L, "  0.5"},
      {0.96L, "  1.0"},  // the carry reaches the guard digit
      {9.96L, " 10.0"}, {50.0L, " 50.0"}, {99.94L, " 99.9"}, {99.96L, "100.0"},
      {100.0L, "100.0"},
  });
}

TEST(RealText, WiderTextsAreNeverCut) {
  ExpectProgressTexts({{999.96L, "1000.0"}, {1000.0L, "1000.0"}, {12345.67L, "12345.7"}});
}

TEST(RealText, NegativeValuesAndNegativeZero) {
  ExpectProgressTexts({{-5.0L, " -5.0"}, {-50.0L, "-50.0"}, {-100.0L, "-100.0"},
                       {-0.04L, " -0.0"}, {-0.0L, " -0.0"}, {-0.96L, " -1.0"}});
}

TEST(RealText, HalfwayRoundsAwayFromZero) {
  ExpectProgressTexts({{12.25L, " 12.3"}, {0.25L, "  0.3"}, {50.25L, " 50.3"}, {-12.25L, "-12.3"}});
  ExpectTexts({{2.5L, 0, "3"}, {0.5L, 0, "1"}});
  // Not at two decimals: 0.5 / 10 / 10 lands below 0.005 in 80 bits.
  ExpectTexts({{0.125L, 2, "0.12"}});
}

TEST(RealText, TheComputedPercentageDecidesNotTheExactFraction) {
  ExpectProgressTexts({
      {Percent(49, 400), " 12.3"},      // exactly 12.25
      {Percent(1, 2000), "  0.0"},      // just below 0.05
      {Percent(9995, 10000), " 99.9"},  // just below 99.95
      {Percent(7, 2000), "  0.4"},      // just below 0.35
      {Percent(17, 2000), "  0.9"},     // just below 0.85
  });
}

TEST(RealText, SpecialValues) {
  const long double inf = std::numeric_limits<long double>::infinity();
  ExpectProgressTexts({{inf, "  Inf"}, {-inf, " -Inf"},
                       {std::numeric_limits<long double>::quiet_NaN(), "  NaN"}});
  EXPECT_EQ(Real(inf, 0), "Inf");
}

TEST(RealText, DecimalsAndValuesBelowOne) {
  ExpectTexts({
      {3.14159265L, 5, "3.14159"}, {3.14159265L, 4, "3.1416"}, {0.4L, 0, "0"},
      {0.0L, 0, "0"},              {0.0L, 3, "0.000"},         {0.001234L, 5, "0.00123"},
      {0.000999L, 3, "0.001"},     {0.0004L, 3, "0.000"},
      {0.00004L, 3, "0.000"},  // too small for any digit: no rounding at all
      {1e-30L, 2, "0.00"},
      {1.5L, 20, "1.50000000000000000"},  // at most 17 decimals
      {7.0L, -1, "7"},                    // a negative count means none
  });
}

TEST(RealText, SeventeenSignificantDigitsThenZeros) {
  ExpectTexts({
      {12345678901234567.0L, 0, "12345678901234567"},
      {12345678901234567.0L, 1, "12345678901234567.0"},
      // A hair below a power of ten counts as reaching it: the power's digit takes one of the
      // 17 places, so they end a place early; rounding there may carry into it, and when it
      // does not, that digit is a zero and is not shown.
      {99999999999999999.0L, 0, "100000000000000000"},
      {99999999999999993.0L, 0, "99999999999999990"},
      {10.0L - 7e-16L, 17, "9.99999999999999900"},
      // An 18th digit rounds the 17 shown, as every later one does.
      {123456789012345678.0L, 0, "123456789012345680"},
      {999999999999999999.0L, 0, "1000000000000000000"},
      {1234567890123456789.0L, 0, "1234567890123456800"},
      {1e20L, 0, "100000000000000000000"},
      {1e30L, 0, "1000000000000000000000000000000"},
      {0x1p120L, 0, " 1.3292279957849159E+0036"},  // beyond 36 integer digits
  });
}

// The program runs with invalid operation, division by zero and overflow trapping, and the
// runtime error report converts from inside a signal handler: no conversion may fault.
TEST(RealText, ExtremeValuesConvertUnderTrappingArithmetic) {
  using limits = std::numeric_limits<long double>;
  feenableexcept(FE_INVALID | FE_DIVBYZERO | FE_OVERFLOW);
  const std::string nan = Real(-limits::quiet_NaN(), 0);
  const std::string largest = Real(-limits::max(), 0, 17);
  const std::string tiniest = Real(limits::denorm_min(), 0, 17);
  const std::string wholeFrom2To63 = Real(0x1p63L, 0, 2);
  fedisableexcept(FE_ALL_EXCEPT);
  EXPECT_EQ(nan, "NaN");
  EXPECT_EQ(largest.substr(0, 16), "-1.1897314953572");
  EXPECT_EQ(largest.substr(largest.size() - 6), "E+4932");
  EXPECT_EQ(tiniest, "0.00000000000000000");
  EXPECT_EQ(wholeFrom2To63, "9223372036854775800.00");  // 17 digits of 9223372036854775808
}

TEST(RealText, PaddingStopsAtTheTextCapacity) {
  const std::string text = Real(1.5L, 1000);
  ASSERT_EQ(text.size(), RealTextCapacity);
  EXPECT_EQ(text, std::string(RealTextCapacity - 3, ' ') + "1.5");
}

// ---------------------------------------------------------------------------------------

using Piece = std::pair<char, std::string>;  // 'T' transfer or 'F' flush, and its bytes
std::vector<Piece> g_pieces;

int Record(TextRec& t, char kind) {
  g_pieces.emplace_back(kind, std::string(t.Buffer, static_cast<std::size_t>(t.Pending)));
  t.Pending = 0;
  return 0;
}
int RecordTransfer(TextRec& t) { return Record(t, 'T'); }
int RecordFlush(TextRec& t) { return Record(t, 'F'); }
int OpenRecorder(TextRec& t) {
  t.TransferOp = RecordTransfer;
  t.FlushOp = RecordFlush;
  return 0;
}
int FailOpen(TextRec&) { return InOutRes = io_status::AccessDenied; }

class TextStream : public ::testing::Test {
 protected:
  void SetUp() override {
    InOutRes = 0;
    g_pieces.clear();
    Assign(t, "");
    t.OpenOp = OpenRecorder;
    Rewrite(t);
  }
  void TearDown() override { InOutRes = 0; }
  TextRec t;
};

TEST_F(TextStream, ExactlyFullBufferGoesOutOnceAtTheStatementEnd) {
  Write_Str(0, t, std::string(200, 'a'));
  Write_Str(0, t, std::string(56, 'b'));
  EXPECT_TRUE(g_pieces.empty());
  Write_End(t);
  EXPECT_EQ(g_pieces, (std::vector<Piece>{{'F', std::string(200, 'a') + std::string(56, 'b')}}));
}

TEST_F(TextStream, The257thCharacterSendsTheFirst256) {
  const std::string s = std::string(256, 'a') + "z";
  Write_Str(0, t, s);
  EXPECT_EQ(g_pieces, (std::vector<Piece>{{'T', s.substr(0, 256)}}));
  Write_End(t);
  EXPECT_EQ(g_pieces, (std::vector<Piece>{{'T', s.substr(0, 256)}, {'F', "z"}}));
}

TEST_F(TextStream, PaddingBlanksCrossTheBufferLikeCharacters) {
  Write_Str(300, t, "x");
  Writeln_End(t);
  EXPECT_EQ(g_pieces, (std::vector<Piece>{{'T', std::string(256, ' ')},
                                          {'F', std::string(43, ' ') + "x\r\n"}}));
}

TEST_F(TextStream, SingleCharactersTransfer255AtThe256th) {
  for (int i = 0; i < 255; ++i) Write_Char(0, t, 'c');
  EXPECT_TRUE(g_pieces.empty());
  Write_Char(0, t, 'd');
  Write_End(t);
  EXPECT_EQ(g_pieces, (std::vector<Piece>{{'T', std::string(255, 'c')}, {'F', "d"}}));
}

TEST_F(TextStream, EachItemWithItsPadding) {
  const std::vector<std::pair<std::function<void()>, std::string>> cases = {
      {[&] { Write_Str(0, t, "abc"); }, "abc"},
      {[&] { Write_Str(2, t, "abc"); }, "abc"},
      {[&] { Write_Str(6, t, "abc"); }, "   abc"},
      {[&] { Write_Str(0, t, ""); }, ""},
      {[&] { Write_Char(3, t, 'x'); }, "  x"},
      {[&] { Write_Char(-4, t, 'x'); }, "x"},
      {[&] { Write_Float(RealTypeExtended, 1, 5, t, 42.66L); }, " 42.7"},
      {[&] { Write_Float(RealTypeExtended, 1, 300, t, 1.0L); }, std::string(297, ' ') + "1.0"},
      {[&] { Write_SInt(0, t, 0); }, "0"},
      {[&] { Write_SInt(4, t, 216); }, " 216"},
      {[&] { Write_SInt(0, t, -7); }, "-7"},
      {[&] { Write_SInt(0, t, std::numeric_limits<int32_t>::max()); }, "2147483647"},
      {[&] { Write_SInt(0, t, std::numeric_limits<int32_t>::min()); }, "-2147483648"},
  };
  for (const auto& [write, expected] : cases) {
    g_pieces.clear();
    write();
    Write_End(t);
    std::string sent;
    for (const Piece& p : g_pieces) sent += p.second;
    EXPECT_EQ(sent, expected);
  }
}

TEST_F(TextStream, WriteLineWithoutItemsWritesOnlyTheLineEnd) {
  Writeln_End(t);
  EXPECT_EQ(g_pieces, (std::vector<Piece>{{'F', "\r\n"}}));
}

TEST_F(TextStream, LatchedStatusSilencesItemsButTheStatementEndStillFlushes) {
  InOutRes = io_status::FileNotFound;
  Write_Str(0, t, "abc");
  Write_Char(0, t, 'x');
  Write_Float(RealTypeExtended, 1, 5, t, 1.0L);
  Write_SInt(0, t, 1);
  Writeln_End(t);
  EXPECT_TRUE(g_pieces.empty());
  Write_End(t);
  EXPECT_EQ(g_pieces, (std::vector<Piece>{{'F', ""}}));
  EXPECT_EQ(InOutRes, io_status::FileNotFound);
}

TEST_F(TextStream, WritingToAFileOpenForInputFailsWith105AndDropsTheRest) {
  Reset(t);
  Write_Str(0, t, "a");
  EXPECT_EQ(InOutRes, io_status::NotOpenForOutput);
  Writeln_End(t);
  EXPECT_EQ(t.Pending, 0);
  EXPECT_EQ(InOutRes, io_status::NotOpenForOutput);
}

TEST_F(TextStream, WritingToAClosedOrUnassignedFileFailsWith103) {
  TextRec closed;
  Assign(closed, "");
  Write_Char(0, closed, 'a');
  EXPECT_EQ(InOutRes, io_status::NotOpen);
  InOutRes = 0;
  TextRec unassigned{};
  Writeln_End(unassigned);
  EXPECT_EQ(InOutRes, io_status::NotOpen);
  EXPECT_EQ(closed.Pending + unassigned.Pending, 0);
}

TEST_F(TextStream, OpeningFollowsTheStatus) {
  TextRec r;
  Assign(r, "");
  r.OpenOp = FailOpen;
  Rewrite(r);
  EXPECT_EQ(InOutRes, io_status::AccessDenied);
  EXPECT_EQ(r.Mode, ModeClosed);
  r.OpenOp = OpenRecorder;
  Rewrite(r);  // a status pending: nothing happens
  EXPECT_EQ(r.Mode, ModeClosed);
  InOutRes = 0;
  TextRec unassigned{};
  Rewrite(unassigned);
  EXPECT_EQ(InOutRes, io_status::NotAssigned);
}

// ---------------------------------------------------------------------------------------

TEST_F(TextStream, NamedFileIsEmptiedAndGetsLineFeeds) {
  testing_support::TempDir dir;
  const std::string path = dir.file("out.txt");
  testing_support::WriteFile(path, {'o', 'l', 'd', ' ', 't', 'e', 'x', 't'});
  Assign(t, path);
  Rewrite(t);
  Write_Str(0, t, "new");
  Writeln_End(t);
  EXPECT_EQ(InOutRes, 0);
  EXPECT_EQ(testing_support::ReadFile(path), (testing_support::Bytes{'n', 'e', 'w', '\n'}));
  Assign(t, dir.file("missing"));
  Reset(t);
  EXPECT_EQ(InOutRes, io_status::FileNotFound);
  EXPECT_EQ(t.Mode, ModeClosed);
}

TEST_F(TextStream, NamesThatWouldBeCutAreRefused) {
  testing_support::TempDir dir;
  const std::string longName = dir.path() + "/" + std::string(255 - dir.path().size(), 'n');
  ASSERT_EQ(longName.size(), 256u);
  Assign(t, longName);
  Rewrite(t);
  EXPECT_EQ(InOutRes, ENAMETOOLONG);
  InOutRes = 0;
  Assign(t, dir.file(std::string("cut\0off", 7)));
  Rewrite(t);
  EXPECT_EQ(InOutRes, EINVAL);
  EXPECT_TRUE(std::filesystem::is_empty(dir.path()));
}

TEST_F(TextStream, StandardHandleGetsEachStatementInOneWrite) {
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
