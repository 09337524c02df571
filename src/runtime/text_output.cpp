#include "runtime/text_output.h"

#include <algorithm>
#include <bit>
#include <cmath>
#include <cstring>
#include <limits>

#include "runtime/file_access.h"
#include "runtime/text_platform.h"

TextRec Output;
TextRec StdOut;
TextRec StdErr;

namespace {

/// Hands all pending bytes to the handle in one write. A short or failed write is not
/// retried: the bytes are dropped and the first failure is kept as status 101.
int FileWrite(TextRec& t) {
  if (t.Pending > 0) {
    const int64_t put = WriteToHandle(t.Handle, t.Buffer, static_cast<std::size_t>(t.Pending));
    if (put != t.Pending && InOutRes == 0) InOutRes = io_status::WriteShort;
  }
  t.Pending = 0;
  return InOutRes;
}

/// The check every write item makes first. Nothing is appended after a failure, nor to a
/// record that was never bound (it has no buffer room and no device).
bool ReadyForOutput(TextRec& t) {
  if (InOutRes != 0) return false;
  if (t.Mode == ModeOutput) return true;
  InOutRes = io_status::NotOpen;
  return false;
}

/// Appends n characters from chars, or n blanks when chars is null. A full buffer is handed
/// on only when more characters must go in, so it may end exactly full.
void Append(TextRec& t, const char* chars, int64_t n) {
  while (n > 0) {
    if (t.Pending == t.Capacity) t.TransferOp(t);
    const int64_t part = std::min<int64_t>(n, t.Capacity - t.Pending);
    if (chars != nullptr) {
      std::memcpy(t.Buffer + t.Pending, chars, static_cast<std::size_t>(part));
      chars += part;
    } else {
      std::memset(t.Buffer + t.Pending, ' ', static_cast<std::size_t>(part));
    }
    t.Pending += static_cast<int32_t>(part);
    n -= part;
  }
}

void AppendBlanksBefore(TextRec& t, int32_t width, std::size_t length) {
  const int64_t blanks = int64_t{width} - static_cast<int64_t>(length);
  if (blanks > 0) Append(t, nullptr, blanks);
}

// ---------------------------------------------------------------------------------------
// Real to text. Every step is 80-bit extended arithmetic rounded to nearest, in the order
// written: the last digit shown depends on it.

static_assert(std::numeric_limits<long double>::digits == 64,
              "the conversion needs the 80-bit extended type");

/// The memory layout of an 80-bit extended value on x86-64.
struct ExtendedBits {
  uint64_t significand;  ///< with the explicit integer bit
  uint16_t signExponent;
  uint16_t padding[3];
};
static_assert(sizeof(ExtendedBits) == sizeof(long double));

constexpr long double ExtendedFromBits(uint16_t signExponent, uint64_t significand) {
  return std::bit_cast<long double>(ExtendedBits{significand, signExponent, {0, 0, 0}});
}

/// Significant digits of the extended type's text.
constexpr int DigitBudget = 17;
/// About 10^-16, a little below the extended value nearest it: it lets a value a hair below
/// a power of ten count as reaching it.
constexpr long double Correction = ExtendedFromBits(0x3FC9, 0xE69594BEC44DE13EULL);
constexpr long double Tenth = 0.1L;
static_assert(Tenth == ExtendedFromBits(0x3FFB, 0xCCCCCCCCCCCCCCCDULL));
constexpr long double OneMinusC = 1.0L - Correction;
constexpr long double TenthMinusC = Tenth - Correction;
/// Room the fraction can take: the point and at most DigitBudget decimals.
constexpr std::size_t FractionRoom = 1 + DigitBudget;

/// x truncated toward zero, exactly. From 2^63 up every extended value is already whole.
long double IntPart(long double x) {
  constexpr long double TwoTo63 = 9223372036854775808.0L;
  if (!(x < TwoTo63 && x > -TwoTo63)) return x;
  return static_cast<long double>(static_cast<int64_t>(x));
}
long double FracPart(long double x) { return x - IntPart(x); }

/// The digit text under construction, 1-based as the positions are counted: position 1 is
/// the sign place, position 2 a guard digit that takes a carry out of the first digit.
struct DigitText {
  char at[2 + DigitBudget + 1];
  int last = 2;  ///< last position written

  DigitText() {
    at[1] = ' ';
    at[2] = '0';
  }

  /// Adds 1 at position k and carries leftwards; the guard digit takes the last carry.
  void Carry(int k) {
    for (; k >= 2; --k) {
      if (at[k] != '9') {
        ++at[k];
        return;
      }
      at[k] = '0';
    }
  }

  /// Appends a digit, which rounding may have pushed to 10.
  void Push(int digit) {
    ++last;
    if (digit > 9) {
      at[last] = static_cast<char>('0' + digit - 10);
      Carry(last - 1);
    } else {
      at[last] = static_cast<char>('0' + digit);
    }
  }
};

/// The integer digits of v > 1 - c, at most `budget` of them, rounded by the next digit when
/// more follow. Returns the decimal exponent of the first digit.
int IntegerDigits(long double v, DigitText& d, int& budget) {
  // q(k + 1) = q(k) / 10; only the last terms are needed: 17 digits and one to round by.
  constexpr int Retained = DigitBudget + 1;
  long double terms[Retained];
  int n = 0;
  for (long double q = v; q > OneMinusC; q = q / 10.0L) {
    terms[n % Retained] = q;
    ++n;
  }
  const auto term = [&](int k) { return terms[(k - 1) % Retained]; };
  long double p = 0.0L;
  int k = n;
  for (; k >= 1 && budget > 0; --k) {
    d.Push(static_cast<int>(term(k) - p));
    --budget;
    p = IntPart(term(k)) * 10.0L;
  }
  if (k >= 1 && static_cast<int>(term(k) - p) >= 5) d.Carry(d.last);
  return n - 1;
}

/// Lays out the digits in fixed notation into out; returns the length. The tool writes only
/// percentages; a value of 10^237 or more (never passed) has its integer part cut short at
/// the text capacity instead of being written in scientific notation.
std::size_t Layout(const DigitText& d, bool negative, int exponent, int decimals, char* out) {
  // The digits proper, without sign place and guard digit, unless a carry reached the guard.
  const char* digits = &d.at[3];
  int count = d.last - 2;
  if (d.at[2] != '0') {
    digits = &d.at[2];
    ++count;
    ++exponent;
  }
  // A value within c below a power of ten gets that power's digit position, as a 0; when
  // rounding does not carry into it, it would show as a leading zero ("09.99").
  if (exponent > 0 && count > 1 && digits[0] == '0') {
    ++digits;
    --count;
    --exponent;
  }
  const auto digitAt = [&](int i) { return i >= 0 && i < count ? digits[i] : '0'; };
  std::size_t len = 0;
  if (negative) out[len++] = '-';
  if (exponent >= 0) {
    for (int i = 0; i <= exponent && len < RealTextCapacity - FractionRoom; ++i) {
      out[len++] = digitAt(i);
    }
  } else {
    out[len++] = '0';
  }
  if (decimals > 0) {
    out[len++] = '.';
    // The digit of 10^-j sits at index exponent + j of the digits.
    for (int j = 1; j <= decimals; ++j) out[len++] = digitAt(exponent + j);
  }
  return len;
}

/// Copies text right-aligned in a field of width characters into out, never longer than
/// the text capacity.
std::size_t PadInto(const char* text, std::size_t length, int32_t width, char* out) {
  std::size_t field = width > 0 ? static_cast<std::size_t>(width) : 0;
  if (field > RealTextCapacity) field = RealTextCapacity;
  const std::size_t blanks = field > length ? field - length : 0;
  std::memset(out, ' ', blanks);
  std::memcpy(out + blanks, text, length);
  return blanks + length;
}

}  // namespace

void OpenTextOutput(TextRec& t, int32_t handle, TextOp device, std::string_view lineEnd) {
  t = TextRec{};
  t.Handle = handle;
  t.Mode = ModeOutput;
  t.Capacity = TextBufferSize;
  t.TransferOp = device;
  t.FlushOp = device;
  t.LineEnd = lineEnd;
}

void BindOutputHandle(TextRec& t, int32_t handle) { OpenTextOutput(t, handle, FileWrite, HandleLineEnd); }

void Write_Str(int32_t width, TextRec& t, std::string_view s) {
  if (!ReadyForOutput(t)) return;
  AppendBlanksBefore(t, width, s.size());
  Append(t, s.data(), static_cast<int64_t>(s.size()));
}

void Write_Char(int32_t width, TextRec& t, char c) {
  if (!ReadyForOutput(t)) return;
  AppendBlanksBefore(t, width, 1);
  // Unlike a string, a single character never leaves the buffer full.
  if (t.Pending + 1 >= t.Capacity) t.TransferOp(t);
  t.Buffer[t.Pending] = c;
  ++t.Pending;
}

void Write_Float(int32_t type, int32_t decimals, int32_t width, TextRec& t, long double value) {
  if (InOutRes != 0) return;
  char text[RealTextCapacity];
  const std::size_t length = Str_Real(width, decimals, value, type, text);
  Write_Str(width, t, std::string_view(text, length));
}

void Write_SInt(int32_t width, TextRec& t, int32_t v) {
  if (InOutRes != 0) return;
  char text[12];
  std::size_t start = sizeof text;
  // Through 64 bits, so that the most negative value has a magnitude.
  int64_t magnitude = v < 0 ? -int64_t{v} : int64_t{v};
  do {
    text[--start] = static_cast<char>('0' + magnitude % 10);
    magnitude /= 10;
  } while (magnitude > 0);
  if (v < 0) text[--start] = '-';
  Write_Str(width, t, std::string_view(text + start, sizeof text - start));
}

void Write_End(TextRec& t) {
  if (t.FlushOp != nullptr) t.FlushOp(t);
}

void Writeln_End(TextRec& t) {
  if (!ReadyForOutput(t)) return;
  Append(t, t.LineEnd.data(), static_cast<int64_t>(t.LineEnd.size()));
  t.FlushOp(t);
}

std::size_t Str_Real(int32_t width, int32_t decimals, long double value, int32_t /*type*/, char* out) {
  char text[RealTextCapacity];
  std::size_t length = 0;
  if (std::isinf(value)) {
    const std::string_view s = value < 0 ? "-Inf" : "Inf";
    std::memcpy(text, s.data(), s.size());
    length = s.size();
  } else if (std::isnan(value)) {
    std::memcpy(text, "NaN", 3);
    length = 3;
  } else {
    const bool negative = std::signbit(value);  // -0 too
    long double v = std::fabs(value);
    const int f = std::clamp(decimals, 0, DigitBudget);
    DigitText d;
    int exponent = 0;
    int budget = DigitBudget;
    if (v > OneMinusC) {
      exponent = IntegerDigits(v, d, budget);
      v = FracPart(v);
    }
    if (budget > f) budget = f;
    if (d.last == 2 && v != 0.0L) {
      while (v < TenthMinusC) {
        v = v * 10.0L;
        --exponent;
        --budget;
      }
      --exponent;
    }
    // A value too small to show in f decimals gets neither rounding nor digits.
    if (budget >= 0) {
      long double half = 0.5L;
      for (int i = 0; i < budget; ++i) half = half / 10.0L;
      if (v >= half) v = v + half;
      if (IntPart(v) == 1.0L) {
        d.Carry(d.last);
        v = FracPart(v);
      }
      for (int i = 0; i < budget; ++i) {
        v = v > OneMinusC ? FracPart(v) * 10.0L : v * 10.0L;
        d.Push(static_cast<int>(v));
      }
    }
    length = Layout(d, negative, exponent, f, text);
  }
  return PadInto(text, length, width, out);
}
