#include "runtime/console.h"

#include <fcntl.h>
#include <iconv.h>
#include <langinfo.h>
#include <signal.h>
#include <sys/ioctl.h>
#include <sys/time.h>
#include <time.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <clocale>
#include <cstddef>
#include <cstring>

#include "runtime/exit_status.h"
#include "runtime/file_access.h"
#include "runtime/system.h"
#include "runtime/terminal_modes.h"

int32_t OutHandle = UnusedHandle;
int32_t InputHandle = UnusedHandle;
uint8_t TextAttr = 0x07;
uint16_t WindMin = 0;
uint16_t WindMax = 0;
int32_t ScreenWidth = 0;
int32_t ScreenHeight = 0;
int32_t CursorSaveX = 0;
int32_t CursorSaveY = 0;
int32_t CurrX = 1;
int32_t CurrY = 1;

namespace {

constexpr int32_t kLargestWindow = 255;
constexpr int32_t kDefaultWidth = 80;
constexpr int32_t kDefaultHeight = 25;

// What each cell byte looks like: the code page 437 picture of the byte. Byte 0 is shown
// blank; the control bytes get their pictures so that no byte of text can steer the terminal.
constexpr char32_t kCodePage437[256] = {
    0x0020, 0x263A, 0x263B, 0x2665, 0x2666, 0x2663, 0x2660, 0x2022,  // 0x00
    0x25D8, 0x25CB, 0x25D9, 0x2642, 0x2640, 0x266A, 0x266B, 0x263C,
    0x25BA, 0x25C4, 0x2195, 0x203C, 0x00B6, 0x00A7, 0x25AC, 0x21A8,  // 0x10
    0x2191, 0x2193, 0x2192, 0x2190, 0x221F, 0x2194, 0x25B2, 0x25BC,
    0x0020, 0x0021, 0x0022, 0x0023, 0x0024, 0x0025, 0x0026, 0x0027,  // 0x20
    0x0028, 0x0029, 0x002A, 0x002B, 0x002C, 0x002D, 0x002E, 0x002F,
    0x0030, 0x0031, 0x0032, 0x0033, 0x0034, 0x0035, 0x0036, 0x0037,  // 0x30
    0x0038, 0x0039, 0x003A, 0x003B, 0x003C, 0x003D, 0x003E, 0x003F,
    0x0040, 0x0041, 0x0042, 0x0043, 0x0044, 0x0045, 0x0046, 0x0047,  // 0x40
    0x0048, 0x0049, 0x004A, 0x004B, 0x004C, 0x004D, 0x004E, 0x004F,
    0x0050, 0x0051, 0x0052, 0x0053, 0x0054, 0x0055, 0x0056, 0x0057,  // 0x50
    0x0058, 0x0059, 0x005A, 0x005B, 0x005C, 0x005D, 0x005E, 0x005F,
    0x0060, 0x0061, 0x0062, 0x0063, 0x0064, 0x0065, 0x0066, 0x0067,  // 0x60
    0x0068, 0x0069, 0x006A, 0x006B, 0x006C, 0x006D, 0x006E, 0x006F,
    0x0070, 0x0071, 0x0072, 0x0073, 0x0074, 0x0075, 0x0076, 0x0077,  // 0x70
    0x0078, 0x0079, 0x007A, 0x007B, 0x007C, 0x007D, 0x007E, 0x2302,
    0x00C7, 0x00FC, 0x00E9, 0x00E2, 0x00E4, 0x00E0, 0x00E5, 0x00E7,  // 0x80
    0x00EA, 0x00EB, 0x00E8, 0x00EF, 0x00EE, 0x00EC, 0x00C4, 0x00C5,
    0x00C9, 0x00E6, 0x00C6, 0x00F4, 0x00F6, 0x00F2, 0x00FB, 0x00F9,  // 0x90
    0x00FF, 0x00D6, 0x00DC, 0x00A2, 0x00A3, 0x00A5, 0x20A7, 0x0192,
    0x00E1, 0x00ED, 0x00F3, 0x00FA, 0x00F1, 0x00D1, 0x00AA, 0x00BA,  // 0xA0
    0x00BF, 0x2310, 0x00AC, 0x00BD, 0x00BC, 0x00A1, 0x00AB, 0x00BB,
    0x2591, 0x2592, 0x2593, 0x2502, 0x2524, 0x2561, 0x2562, 0x2556,  // 0xB0
    0x2555, 0x2563, 0x2551, 0x2557, 0x255D, 0x255C, 0x255B, 0x2510,
    0x2514, 0x2534, 0x252C, 0x251C, 0x2500, 0x253C, 0x255E, 0x255F,  // 0xC0
    0x255A, 0x2554, 0x2569, 0x2566, 0x2560, 0x2550, 0x256C, 0x2567,
    0x2568, 0x2564, 0x2565, 0x2559, 0x2558, 0x2552, 0x2553, 0x256B,  // 0xD0
    0x256A, 0x2518, 0x250C, 0x2588, 0x2584, 0x258C, 0x2590, 0x2580,
    0x03B1, 0x00DF, 0x0393, 0x03C0, 0x03A3, 0x03C3, 0x00B5, 0x03C4,  // 0xE0
    0x03A6, 0x0398, 0x03A9, 0x03B4, 0x221E, 0x03C6, 0x03B5, 0x2229,
    0x2261, 0x00B1, 0x2265, 0x2264, 0x2320, 0x2321, 0x00F7, 0x2248,  // 0xF0
    0x00B0, 0x2219, 0x00B7, 0x221A, 0x207F, 0x00B2, 0x25A0, 0x00A0,
};

/// One cell byte as the terminal's encoding spells it.
struct Glyph {
  uint8_t length;
  char bytes[7];
};
Glyph g_glyphs[256];

/// Where the terminal's own cursor stands, in the device's 0-based coordinates. The terminal
/// is steered only by relative moves from here, so a guessed start row shifts the picture but
/// never tears it. A window narrowed during the run is narrower than the device's: a row then
/// takes several lines of the terminal, which wraps it itself.
struct TerminalCursor {
  int32_t x = 0;  ///< the device column where a glyph sent without a move lands
  int32_t y = 0;  ///< the device row
  /// The line before x's was filled to its last column, and the terminal holds the wrap back
  /// until the next glyph; a cursor move from this state is only well defined after a
  /// carriage return.
  bool wrapPending = false;
  int32_t lines = 1;  ///< terminal lines the row y is known to take
};
TerminalCursor g_terminal;
/// Columns of the real terminal, kept current when its window is resized; the terminal
/// wraps at its edge, not at the window's.
int32_t g_terminalColumns = kDefaultWidth;
/// A dumb terminal: it is sent carriage returns, line feeds, backspaces and spaces, and no
/// escape sequence.
bool g_plainTerminal = false;

// Terminal output is held back and sent in batches: a progress row rewritten after every
// block would otherwise cost two writes per block. The bytes go out in the order they were
// made, so the terminal sees the same changes; only the number of writes shrinks.
//
// Each device operation (one CrtWrite, one GotoXY) appends its bytes and then commits them.
// Committed bytes are sent when 1/60 s has passed since the last send, when the buffer is
// nearly full, before the terminal is read, before the standard streams write (they may
// share the terminal), and when the process ends (RestoreTerminal). So that nothing stays
// invisible while the program waits in a slow read or write, a one-shot SIGALRM is armed for
// the moment the held bytes fall due; its handler sends them unless an operation is just
// appending or a send is under way, in which case the program sends them at the next commit.
//
// No signal is blocked while the terminal is written: a write waits as long as the user
// holds output with Ctrl+S, and a signal that ends the process must still do so at once.
constexpr std::size_t kOutCapacity = 65536;
/// Worst case of one operation: 256 pending characters of under 40 bytes each.
constexpr std::size_t kLargestOperation = 16384;
constexpr int64_t kSendIntervalNs = 1000000000 / 60;
char g_out[kOutCapacity];
/// Bytes in g_out, committed or not. The program changes it while g_appending or g_sending
/// keeps the handlers off the buffer; the alarm handler changes it when it finds both clear.
std::atomic<std::size_t> g_outLength{0};
/// Bytes of whole operations; a handler sends no more than these.
std::atomic<std::size_t> g_committed{0};
static_assert(std::atomic<std::size_t>::is_always_lock_free);
/// Set while an operation appends: the alarm handler then leaves the buffer alone.
volatile sig_atomic_t g_appending = 0;
/// Set while held bytes are being written, by the program or by a handler: a handler that
/// comes meanwhile sends nothing, so that no byte goes out twice.
volatile sig_atomic_t g_sending = 0;
/// The alarm came while the buffer was busy; the program sends at its next commit.
volatile sig_atomic_t g_sendWanted = 0;
volatile sig_atomic_t g_alarmArmed = 0;
/// Whether the alarm handler is installed; without it nothing is held back.
bool g_holdBack = false;
std::atomic<int64_t> g_lastSendNs{0};
static_assert(std::atomic<int64_t>::is_always_lock_free);

uint8_t winMinX() { return static_cast<uint8_t>((WindMin & 0xFF) + 1); }
uint8_t winMinY() { return static_cast<uint8_t>((WindMin >> 8) + 1); }
uint8_t winMaxX() { return static_cast<uint8_t>((WindMax & 0xFF) + 1); }
uint8_t winMaxY() { return static_cast<uint8_t>((WindMax >> 8) + 1); }

int64_t nowNs() {
  timespec ts{};
  clock_gettime(CLOCK_MONOTONIC, &ts);
  return static_cast<int64_t>(ts.tv_sec) * 1000000000 + ts.tv_nsec;
}

/// Writes bytes to the terminal; what it refuses is dropped, as the device reports no failure.
/// Async-signal-safe.
void writeOut(const char* bytes, std::size_t length) {
  std::size_t done = 0;
  while (done < length) {
    ssize_t n = ::write(OutHandle, bytes + done, length - done);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) break;
    done += static_cast<std::size_t>(n);
  }
}

/// Sends the first `length` bytes of g_out; what follows them, not yet committed, moves to
/// the front. Async-signal-safe; the caller has set g_sending.
void sendOut(std::size_t length) {
  writeOut(g_out, length);
  const std::size_t rest = g_outLength - length;
  if (rest > 0) std::memmove(g_out, g_out + length, rest);
  g_outLength = rest;
  g_committed = 0;
  g_lastSendNs = nowNs();
}

void beginSending() {
  g_sending = 1;
  std::atomic_signal_fence(std::memory_order_seq_cst);
}

void endSending() {
  std::atomic_signal_fence(std::memory_order_seq_cst);
  g_sending = 0;
}

/// Sends everything held, from the program's own flow.
void sendAll() {
  if (g_outLength == 0) return;
  beginSending();
  g_sendWanted = 0;
  sendOut(g_outLength);
  endSending();
}

void onAlarm(int) {
  const int savedErrno = errno;
  g_alarmArmed = 0;
  if (g_appending || g_sending) {
    g_sendWanted = 1;
  } else if (g_committed > 0) {
    beginSending();
    sendOut(g_committed);
    endSending();
  }
  errno = savedErrno;
}

void armAlarm(int64_t dueInNs) {
  if (g_alarmArmed) return;
  g_alarmArmed = 1;
  itimerval when{};
  const int64_t us = dueInNs > 1000 ? dueInNs / 1000 : 1;
  when.it_value.tv_sec = static_cast<time_t>(us / 1000000);
  when.it_value.tv_usec = static_cast<suseconds_t>(us % 1000000);
  if (setitimer(ITIMER_REAL, &when, nullptr) != 0) g_alarmArmed = 0;
}

void installAlarmHandler() {
  struct sigaction action {};
  action.sa_handler = onAlarm;
  action.sa_flags = SA_RESTART;
  sigemptyset(&action.sa_mask);
  g_holdBack = sigaction(SIGALRM, &action, nullptr) == 0;
}

void append(const char* bytes, std::size_t n);

/// A resized window: from here on the terminal wraps at its new edge. Where its cursor stands
/// on a terminal that rewrapped its lines is not known; from the start of its line, every
/// move is relative again.
void followResize() {
  const int32_t columns = TerminalColumnsIfResized(OutHandle);
  if (columns <= 0 || columns == g_terminalColumns) return;
  g_terminalColumns = columns;
  append("\r", 1);
  g_terminal.x = 0;
  g_terminal.wrapPending = false;
  g_terminal.lines = 1;
}

void beginOperation() {
  g_appending = 1;
  std::atomic_signal_fence(std::memory_order_seq_cst);
  followResize();
}

/// Commits the operation's bytes and sends them now or arms the alarm for when they fall due.
void endOperation() {
  g_committed = g_outLength.load();
  std::atomic_signal_fence(std::memory_order_seq_cst);
  g_appending = 0;
  std::atomic_signal_fence(std::memory_order_seq_cst);
  if (g_outLength == 0) return;
  const int64_t sinceLastSend = nowNs() - g_lastSendNs;
  if (!g_holdBack || g_sendWanted || sinceLastSend >= kSendIntervalNs ||
      g_outLength > kOutCapacity - kLargestOperation) {
    sendAll();
  } else {
    armAlarm(kSendIntervalNs - sinceLastSend);
  }
}

void append(const char* bytes, std::size_t n) {
  // Only an operation larger than kLargestOperation gets here with a full buffer; its
  // first part goes out ahead of its commit.
  if (g_outLength + n > kOutCapacity) sendAll();
  std::memcpy(g_out + g_outLength, bytes, n);
  g_outLength += n;
}

/// What another writer to the terminal must wait for: the standard streams' operations run
/// after the held bytes are sent.
TextOp g_stdOutTransfer = nullptr;
TextOp g_stdOutFlush = nullptr;
TextOp g_stdErrTransfer = nullptr;
TextOp g_stdErrFlush = nullptr;

int sendHeldThenTransfer(TextRec& t) {
  sendAll();
  TextOp op = &t == &StdErr ? g_stdErrTransfer : g_stdOutTransfer;
  return op != nullptr ? op(t) : 0;
}

int sendHeldThenFlush(TextRec& t) {
  sendAll();
  TextOp op = &t == &StdErr ? g_stdErrFlush : g_stdOutFlush;
  return op != nullptr ? op(t) : 0;
}

void sendHeldBeforeStream(TextRec& t, TextOp& transfer, TextOp& flush) {
  if (t.TransferOp != sendHeldThenTransfer) {
    transfer = t.TransferOp;
    t.TransferOp = sendHeldThenTransfer;
  }
  if (t.FlushOp != sendHeldThenFlush) {
    flush = t.FlushOp;
    t.FlushOp = sendHeldThenFlush;
  }
}

/// ESC [ count letter: a relative cursor move.
void appendMove(int32_t count, char letter) {
  char seq[16] = {'\x1b', '['};
  std::size_t n = 2;
  char digits[12];
  std::size_t d = 0;
  do {
    digits[d++] = static_cast<char>('0' + count % 10);
    count /= 10;
  } while (count > 0);
  while (d > 0) seq[n++] = digits[--d];
  seq[n++] = letter;
  append(seq, n);
}

void appendRepeated(char c, int32_t count) {
  for (int32_t i = 0; i < count; ++i) append(&c, 1);
}

/// Moves the terminal's cursor to device column x of device row y. Rows other than the
/// cursor's are taken to fill one terminal line each.
void moveTerminalTo(int32_t x, int32_t y) {
  const int32_t columns = g_terminalColumns;
  int32_t line = g_terminal.x / columns;
  int32_t col = g_terminal.x % columns;
  if (g_terminal.wrapPending) {
    append("\r", 1);
    --line;
    col = 0;
    g_terminal.wrapPending = false;
  }
  const int32_t targetLine = x / columns;
  const int32_t targetCol = x % columns;
  int32_t down = targetLine - line;
  if (y > g_terminal.y) down = (g_terminal.lines - 1 - line) + (y - g_terminal.y) + targetLine;
  if (y < g_terminal.y) down = targetLine - line - (g_terminal.y - y);
  if (down > 0) {
    // Line feeds rather than cursor-down: at the bottom of the screen they scroll, so text
    // that a wrapped row pushed lower than the device counts still gets lines of its own.
    if (col != 0) append("\r", 1);
    col = 0;
    appendRepeated('\n', down);
  } else if (down < 0 && !g_plainTerminal) {
    appendMove(-down, 'A');
  }
  if (targetCol == 0 && col != 0) {
    append("\r", 1);
  } else if (targetCol > col) {
    if (g_plainTerminal) appendRepeated(' ', targetCol - col);
    else appendMove(targetCol - col, 'C');
  } else if (targetCol < col) {
    if (g_plainTerminal) appendRepeated('\b', col - targetCol);
    else appendMove(col - targetCol, 'D');
  }
  if (y != g_terminal.y || targetLine + 1 > g_terminal.lines) g_terminal.lines = targetLine + 1;
  g_terminal.x = x;
  g_terminal.y = y;
}

void putCell(int32_t x, int32_t y, uint8_t ch) {
  // Text mostly runs on from where the terminal's cursor already stands; after the last
  // column of a terminal line the terminal wraps it onto the next.
  if (x != g_terminal.x || y != g_terminal.y) moveTerminalTo(x, y);
  const Glyph& glyph = g_glyphs[ch];
  if (g_outLength + sizeof glyph.bytes <= kOutCapacity) {
    // A whole glyph slot is copied, a fixed size the compiler turns into one move; only
    // its length counts.
    std::memcpy(g_out + g_outLength, glyph.bytes, sizeof glyph.bytes);
    g_outLength += glyph.length;
  } else {
    append(glyph.bytes, glyph.length);
  }
  ++g_terminal.x;
  const int32_t line = (g_terminal.x - 1) / g_terminalColumns;
  if (line + 1 > g_terminal.lines) g_terminal.lines = line + 1;
  g_terminal.wrapPending = g_terminal.x % g_terminalColumns == 0;
}

/// Removes the window's top row: line feeds from the window's last row past every terminal
/// line it takes, so that the terminal scrolls and keeps the lost row in its scrollback. They
/// are sent from column 1, where they leave the cursor whether or not the terminal adds a
/// carriage return of its own.
void RemoveLine() {
  moveTerminalTo(0, winMaxY() - 1);
  appendRepeated('\n', g_terminal.lines);
  g_terminal.lines = 1;
}

void WriteChar(uint8_t ch) {
  switch (ch) {
    case 7:
      break;
    case 8:
      if (CurrX > winMinX()) --CurrX;
      break;
    case 10:
      ++CurrY;
      break;
    case 13:
      CurrX = winMinX();
      break;
    default:
      putCell(CurrX - 1, CurrY - 1, ch);
      ++CurrX;
  }
  if (CurrX > winMaxX()) {
    CurrX = winMinX();
    ++CurrY;
  }
  while (CurrY > winMaxY()) {
    RemoveLine();
    --CurrY;
  }
}

void GetScreenCursor(int32_t& x, int32_t& y) {
  x = CursorSaveX + 1;
  y = CursorSaveY + 1;
}

/// Records the device cursor and adds the visible cursor's move to the pending bytes.
void placeScreenCursor(int32_t x, int32_t y) {
  CursorSaveX = x - 1;
  CursorSaveY = y - 1;
  moveTerminalTo(CursorSaveX, CursorSaveY);
}

void SetScreenCursor(int32_t x, int32_t y) {
  beginOperation();
  placeScreenCursor(x, y);
  endOperation();
}

int CrtReturn(TextRec&) { return 0; }

/// The keyboard side is never read by this program; a read hands over what one read() gives.
int CrtRead(TextRec& t) {
  sendAll();
  ssize_t n;
  do {
    n = ::read(t.Handle, t.Buffer, static_cast<std::size_t>(t.Capacity));
  } while (n < 0 && errno == EINTR);
  t.Pending = 0;
  t.BufEnd = n > 0 ? static_cast<int32_t>(n) : 0;
  return 0;
}

void storeUtf8(Glyph& glyph, char32_t c) {
  auto* out = reinterpret_cast<unsigned char*>(glyph.bytes);
  if (c < 0x80) {
    out[0] = static_cast<unsigned char>(c);
    glyph.length = 1;
  } else if (c < 0x800) {
    out[0] = static_cast<unsigned char>(0xC0 | (c >> 6));
    out[1] = static_cast<unsigned char>(0x80 | (c & 0x3F));
    glyph.length = 2;
  } else {
    out[0] = static_cast<unsigned char>(0xE0 | (c >> 12));
    out[1] = static_cast<unsigned char>(0x80 | ((c >> 6) & 0x3F));
    out[2] = static_cast<unsigned char>(0x80 | (c & 0x3F));
    glyph.length = 3;
  }
}

/// The terminal's character encoding, from the user's locale; the program's own locale is
/// left as it was. A plain C locale says ASCII, but terminals today expect UTF-8.
bool terminalIsUtf8(char* codeset, std::size_t capacity) {
  char previous[256] = "C";
  if (const char* current = std::setlocale(LC_CTYPE, nullptr)) {
    std::strncpy(previous, current, sizeof previous - 1);
  }
  std::setlocale(LC_CTYPE, "");
  std::strncpy(codeset, nl_langinfo(CODESET), capacity - 1);
  codeset[capacity - 1] = '\0';
  std::setlocale(LC_CTYPE, previous);
  return std::strcmp(codeset, "UTF-8") == 0 || std::strcmp(codeset, "utf8") == 0 ||
         std::strcmp(codeset, "ANSI_X3.4-1968") == 0 || codeset[0] == '\0';
}

/// Recodes the glyphs that are not ASCII into codeset; what it cannot show becomes '?'.
/// A result holding control bytes (a shifting encoding) counts as unshowable as well.
void recodeGlyphs(const char* codeset) {
  iconv_t cd = iconv_open(codeset, "UTF-8");
  for (int byte = 0; byte < 256; ++byte) {
    Glyph& glyph = g_glyphs[byte];
    if (glyph.length == 1) continue;
    char in[sizeof glyph.bytes];
    std::memcpy(in, glyph.bytes, glyph.length);
    char* inPtr = in;
    std::size_t inLeft = glyph.length;
    char out[sizeof glyph.bytes];
    char* outPtr = out;
    std::size_t outLeft = sizeof out;
    bool ok = cd != reinterpret_cast<iconv_t>(-1);
    if (ok) {
      iconv(cd, nullptr, nullptr, nullptr, nullptr);
      ok = iconv(cd, &inPtr, &inLeft, &outPtr, &outLeft) != static_cast<std::size_t>(-1) &&
           inLeft == 0 && outPtr != out;
    }
    for (char* p = out; ok && p < outPtr; ++p) {
      auto b = static_cast<unsigned char>(*p);
      if (b < 0x20 || b == 0x7F) ok = false;
    }
    if (ok) {
      glyph.length = static_cast<uint8_t>(outPtr - out);
      std::memcpy(glyph.bytes, out, glyph.length);
    } else {
      glyph.bytes[0] = '?';
      glyph.length = 1;
    }
  }
  if (cd != reinterpret_cast<iconv_t>(-1)) iconv_close(cd);
}

void buildGlyphs() {
  for (int byte = 0; byte < 256; ++byte) storeUtf8(g_glyphs[byte], kCodePage437[byte]);
  char codeset[64];
  if (!terminalIsUtf8(codeset, sizeof codeset)) recodeGlyphs(codeset);
}

/// The I/O check after start-up output: a latched failure becomes a runtime error.
void checkIo() {
  if (InOutRes != 0) {
    uint16_t status = InOutRes;
    InOutRes = 0;
    HandleError(status);
  }
}

[[noreturn]] void failStart(std::string_view reason) {
  Write_Str(0, StdErr, reason);
  Writeln_End(StdErr);
  checkIo();
  Halt(ExitStatus::NoTerminal);
}

int32_t clampSize(int32_t reported, int32_t fallback) {
  if (reported <= 0) return fallback;
  return reported > kLargestWindow ? kLargestWindow : reported;
}

}  // namespace

uint8_t WhereY() { return static_cast<uint8_t>((CursorSaveY + 1) - winMinY() + 1); }

void GotoXY(uint8_t x, uint8_t y) {
  const int width = winMaxX() - winMinX() + 1;
  const int height = winMaxY() - winMinY() + 1;
  if (x < 1 || x > width || y < 1 || y > height) return;
  SetScreenCursor(x + winMinX() - 1, y + winMinY() - 1);
}

void AssignCrt(TextRec& t) {
  Assign(t, "");
  t.OpenOp = CrtOpen;
}

int CrtOpen(TextRec& t) {
  if (t.Mode == ModeOutput) {
    t.TransferOp = CrtWrite;
    t.FlushOp = CrtWrite;
  } else {
    t.Mode = ModeInput;
    t.TransferOp = CrtRead;
    t.FlushOp = CrtReturn;
  }
  t.CloseOp = CrtClose;
  return 0;
}

int CrtWrite(TextRec& t) {
  beginOperation();
  GetScreenCursor(CurrX, CurrY);
  for (int32_t i = 0; i < t.Pending; ++i) WriteChar(static_cast<uint8_t>(t.Buffer[i]));
  placeScreenCursor(CurrX, CurrY);
  endOperation();
  t.Pending = 0;
  return 0;
}

int CrtClose(TextRec& t) {
  t.Mode = ModeClosed;
  return 0;
}

void InitCrt() {
  InputHandle = STDIN_FILENO;
  bool openedByName = false;
  if (isatty(STDOUT_FILENO)) {
    OutHandle = STDOUT_FILENO;
  } else {
    OutHandle = ::open("/dev/tty", O_RDWR | O_NOCTTY | O_CLOEXEC);
    if (OutHandle < 0) failStart("No way to get the console handle");
    openedByName = true;
  }

  winsize size{};
  if (ioctl(OutHandle, TIOCGWINSZ, &size) != 0) {
    if (openedByName) failStart("No way to get console screen buffer info");
    size = winsize{};
  }
  ScreenWidth = clampSize(size.ws_col, kDefaultWidth);
  ScreenHeight = clampSize(size.ws_row, kDefaultHeight);
  g_terminalColumns = size.ws_col > 0 ? size.ws_col : ScreenWidth;
  WindMin = 0;
  WindMax = static_cast<uint16_t>((ScreenHeight - 1) * 256 + (ScreenWidth - 1));

  buildGlyphs();
  g_plainTerminal = TerminalIsDumb();
  InstallFatalSignalHandlers();

  // Without an answer the cursor is taken to be at the start of the last row, where a
  // shell's prompt usually leaves it; the next line end then scrolls as it should. Only the
  // terminal of our own session, with us in its foreground, is asked.
  int32_t row = ScreenHeight;
  int32_t col = 1;
  if (g_plainTerminal || !TerminalIsOurs(OutHandle) || !AskCursorPosition(OutHandle, row, col)) {
    row = ScreenHeight;
    col = 1;
  }
  CursorSaveX = (col > ScreenWidth ? ScreenWidth : col) - 1;
  CursorSaveY = (row > ScreenHeight ? ScreenHeight : row) - 1;
  g_terminal.x = CursorSaveX;
  g_terminal.y = CursorSaveY;
  g_terminal.wrapPending = false;
  g_terminal.lines = 1;

  TakeTerminalModes();

  AssignCrt(Output);
  Rewrite(Output);
  Output.Handle = OutHandle;
  AssignCrt(Input);
  Reset(Input);
  Input.Handle = InputHandle;
  checkIo();

  sendHeldBeforeStream(StdOut, g_stdOutTransfer, g_stdOutFlush);
  sendHeldBeforeStream(StdErr, g_stdErrTransfer, g_stdErrFlush);
  installAlarmHandler();
  InstallJobControlHandlers();
}

void RestoreTerminal() {
  // Every operation is whole here; what is held goes out, waiting for the terminal if the
  // user holds output with Ctrl+S (a signal still ends the process meanwhile).
  if (g_sending == 0 && g_committed > 0) {
    beginSending();
    sendOut(g_committed);
    endSending();
  }
  GiveTerminalModesBack();
}

void RestoreTerminalInHandler() {
  // Whole operations only: one cut short by the signal that brought us here is dropped, and
  // so is the rest of a send the signal interrupted. The terminal may be holding output
  // (Ctrl+S): the bytes are offered without waiting, and what it does not take is lost.
  if (g_sending == 0 && g_committed > 0) {
    beginSending();
    const int flags = fcntl(OutHandle, F_GETFL);
    const bool waits = flags != -1 && (flags & O_NONBLOCK) == 0;
    if (waits) fcntl(OutHandle, F_SETFL, flags | O_NONBLOCK);
    writeOut(g_out, g_committed);
    if (waits) fcntl(OutHandle, F_SETFL, flags);
    endSending();
  }
  GiveTerminalModesBack();
}
