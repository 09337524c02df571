// The console device on a terminal: the cells it writes make a picture of its window
// (screen_picture.h), and a send spells only what the terminal does not show yet, as the
// glyphs' bytes with the terminal's cursor steered by relative moves. When sends happen is
// held_output.h's part; which terminal may be steered, and its modes, terminal_modes.h's.
// Every signal that ends the process gives the terminal back here, and the standard streams,
// which may share the terminal, send what is held before they write.
#include "runtime/console_platform.h"

#include <fcntl.h>
#include <signal.h>
#include <sys/ioctl.h>
#include <unistd.h>

#include <cerrno>

#include "runtime/console.h"
#include "runtime/posix/glyph_encoding.h"
#include "runtime/posix/held_output.h"
#include "runtime/posix/screen_picture.h"
#include "runtime/posix/terminal_modes.h"
#include "runtime/text_output.h"

static_assert(ScreenPicture::Largest >= LargestWindow);

namespace {

/// Where the terminal's own cursor stands, in the device's 0-based coordinates. The terminal
/// is steered only by relative moves from here, so the start row taken for it shifts the
/// picture but never tears it. A window narrowed during the run is narrower than the
/// device's: a row then takes several lines of the terminal, which wraps it itself.
struct TerminalCursor {
  int32_t x = 0;  ///< the device column where a glyph sent without a move lands
  int32_t y = 0;  ///< the device row
  /// The line before x's was filled to its last column, and the terminal holds the wrap back
  /// until the next glyph; a cursor move from this state is only well defined after a
  /// carriage return.
  bool wrapPending = false;
  int32_t lines = 1;  ///< terminal lines the row y is known to take
};
TerminalCursor Terminal;
/// Columns of the real terminal, kept current when its window is resized; the terminal
/// wraps at its edge, not at the window's.
int32_t TerminalColumns = 0;
/// A dumb terminal: it is sent carriage returns, line feeds, backspaces and spaces, and no
/// escape sequence.
bool PlainTerminal = false;
/// The window as the device has it and as the terminal shows it.
ScreenPicture Picture;
/// Where the device puts the visible cursor; the terminal's goes there at the end of a send.
int32_t CursorX = 0;
int32_t CursorY = 0;

void AppendRepeated(char c, int32_t count) {
  for (int32_t i = 0; i < count; ++i) AppendHeld(&c, 1);
}

/// A cell's glyph; a blank where nothing is known.
void AppendCell(uint16_t cell) {
  if (cell == ScreenPicture::Unknown)
    AppendHeld(" ", 1);
  else
    AppendHeld(Glyphs[cell].bytes, Glyphs[cell].length);
}

/// ESC [ count letter: a relative cursor move.
void AppendMove(int32_t count, char letter) {
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
  AppendHeld(seq, n);
}

std::size_t MoveLength(int32_t count) {
  std::size_t length = 3;
  for (; count >= 10; count /= 10) ++length;
  return length;
}

/// Right by count columns along one terminal line, from device column x of row y: over the
/// glyphs the terminal already shows there when they take fewer bytes than a move. A dumb
/// terminal, which has no move, gets those glyphs, and blanks where nothing is known.
void MoveRight(int32_t x, int32_t y, int32_t count) {
  std::size_t glyphBytes = 0;
  bool known = true;
  for (int32_t i = 0; i < count; ++i) {
    const uint16_t cell = Picture.Shown(x + i, y);
    known = known && cell != ScreenPicture::Unknown;
    glyphBytes += cell == ScreenPicture::Unknown ? 1 : Glyphs[cell].length;
  }
  if (!PlainTerminal && (!known || glyphBytes > MoveLength(count))) {
    AppendMove(count, 'C');
    return;
  }
  for (int32_t i = 0; i < count; ++i) AppendCell(Picture.Shown(x + i, y));
}

void MoveLeft(int32_t count) {
  if (PlainTerminal || count < 4)
    AppendRepeated('\b', count);
  else
    AppendMove(count, 'D');
}

/// Moves the terminal's cursor to device column x of device row y. Rows other than the
/// cursor's are taken to fill one terminal line each.
void MoveTerminalTo(int32_t x, int32_t y) {
  const int32_t columns = TerminalColumns;
  int32_t line = Terminal.x / columns;
  int32_t col = Terminal.x % columns;
  if (Terminal.wrapPending) {
    AppendHeld("\r", 1);
    --line;
    col = 0;
    Terminal.wrapPending = false;
  }
  const int32_t targetLine = x / columns;
  const int32_t targetCol = x % columns;
  int32_t down = targetLine - line;
  if (y > Terminal.y) down = (Terminal.lines - 1 - line) + (y - Terminal.y) + targetLine;
  if (y < Terminal.y) down = targetLine - line - (Terminal.y - y);
  if (down > 0) {
    // Line feeds rather than cursor-down: at the bottom of the screen they scroll, so text
    // that a wrapped row pushed lower than the device counts still gets lines of its own.
    if (col != 0) AppendHeld("\r", 1);
    col = 0;
    AppendRepeated('\n', down);
  } else if (down < 0 && !PlainTerminal) {
    AppendMove(-down, 'A');
  }
  if (targetCol == 0 && col != 0) {
    AppendHeld("\r", 1);
  } else if (targetCol > col) {
    MoveRight(targetLine * columns + col, y, targetCol - col);
  } else if (targetCol < col) {
    MoveLeft(col - targetCol);
  }
  if (y != Terminal.y || targetLine + 1 > Terminal.lines) Terminal.lines = targetLine + 1;
  Terminal.x = x;
  Terminal.y = y;
}

/// Text mostly runs on from where the terminal's cursor already stands; after the last
/// column of a terminal line the terminal wraps it onto the next.
void SendCell(int32_t x, int32_t y, uint16_t cell) {
  if (x != Terminal.x || y != Terminal.y) MoveTerminalTo(x, y);
  AppendCell(cell);
  ++Terminal.x;
  const int32_t line = (Terminal.x - 1) / TerminalColumns;
  if (line + 1 > Terminal.lines) Terminal.lines = line + 1;
  Terminal.wrapPending = Terminal.x % TerminalColumns == 0;
}

/// A window whose width changed: from here on the terminal wraps at its new edge. What it did
/// with the lines it showed (cut them, or wrapped them anew) and where its cursor now stands
/// is not known: from the start of the cursor's line every move is relative again, and the row
/// there is sent whole, on a line cleared first (a terminal that wraps lines anew may have
/// joined old lines into it). Rows above are left as they are.
/// Continued after a stop, the row is sent whole from its first line: a shell that reported
/// the stop left its cursor on a fresh line below its own, and the row goes there; when nobody
/// wrote, it goes over itself.
void FollowTerminal() {
  const TerminalChange change = TerminalChangeSinceLastCall();
  if (change.columns == 0 && !change.continued) return;
  // The terminal line of the row that the cursor is on, counted from the row's first.
  const int32_t line = (Terminal.x - (Terminal.wrapPending ? 1 : 0)) / TerminalColumns;
  AppendHeld("\r", 1);
  if (change.columns > 0) {
    TerminalColumns = change.columns;
    Terminal.lines = 1;
  } else if (line > 0 && !PlainTerminal) {
    AppendMove(line, 'A');
  }
  if (!PlainTerminal) AppendHeld("\x1b[K", 3);
  Terminal.x = 0;
  Terminal.wrapPending = false;
  Picture.ForgetShownRow(Terminal.y);
}

/// Every cell the terminal does not show as the device has it, from the top row down.
void SendChanges() {
  FollowTerminal();
  for (int32_t y = Picture.NextChangedRow(0); y >= 0; y = Picture.NextChangedRow(y + 1)) {
    for (int32_t x = Picture.NextChange(0, y); x >= 0; x = Picture.NextChange(x + 1, y)) {
      SendCell(x, y, Picture.Wanted(x, y));
    }
    Picture.RowSent(y);
  }
}

bool CursorToMove() { return CursorX != Terminal.x || CursorY != Terminal.y || Terminal.wrapPending; }

/// The window as it stands: what changed, and the cursor where the device has it.
void SendPicture() {
  SendChanges();
  if (CursorToMove()) MoveTerminalTo(CursorX, CursorY);
}

}  // namespace

void PutCell(int32_t x, int32_t y, uint8_t ch) { Picture.Put(x, y, ch); }

/// Removes the window's top row. Everything written so far goes out first, so the rows reach
/// the scrollback as the window showed them; then line feeds from the window's last row past
/// every terminal line it takes make the terminal scroll. They are sent from column 1, where
/// they leave the cursor whether or not the terminal adds a carriage return of its own.
void RemoveLine() {
  SendChanges();
  MoveTerminalTo(0, WinMaxY() - 1);
  AppendRepeated('\n', Terminal.lines);
  Terminal.lines = 1;
  Picture.Scroll();
}

void ShowCursorAt(int32_t x, int32_t y) {
  CursorX = x;
  CursorY = y;
}

void BeginDeviceOperation() { BeginOperation(); }

void EndDeviceOperation() { EndOperation(Picture.Changed(), CursorToMove()); }

namespace {

// Signals that end the process by default and that nothing else here uses. Not among them:
// SIGALRM (held output), SIGPIPE and SIGXFSZ (ignored, so that the write fails instead), the
// fault signals (the fault handler gives the terminal back itself), and SIGKILL and SIGSTOP,
// which cannot be caught. The real-time signals are added when installing.
constexpr int FatalSignals[] = {SIGHUP,  SIGINT,  SIGQUIT,   SIGTERM, SIGUSR1, SIGUSR2,   SIGABRT,
                                SIGXCPU, SIGPROF, SIGVTALRM, SIGSYS,  SIGPWR,  SIGSTKFLT, SIGIO};

void OnFatalSignal(int sig) {
  const int savedErrno = errno;
  RestoreTerminalInHandler();
  // The handler was one-shot: the default action is back, and it runs once this returns.
  raise(sig);
  errno = savedErrno;
}

/// Every signal that ends the process by default and that the program does not use itself
/// gives the terminal back first and then ends the process by the same signal. Signals that
/// whoever started us ignores stay ignored.
void InstallFatalSignalHandlers() {
  sigset_t mask;
  sigemptyset(&mask);
  for (int sig : FatalSignals) sigaddset(&mask, sig);
  for (int sig = SIGRTMIN; sig <= SIGRTMAX; ++sig) sigaddset(&mask, sig);
  // One at a time: a second fatal signal waits until the first has given the terminal back.
  for (int sig : FatalSignals) InstallUnlessIgnored(sig, OnFatalSignal, SA_RESETHAND, mask);
  for (int sig = SIGRTMIN; sig <= SIGRTMAX; ++sig) {
    InstallUnlessIgnored(sig, OnFatalSignal, SA_RESETHAND, mask);
  }
}

/// The standard streams' own devices, run after what is held has been sent.
TextOp StdOutDevice = nullptr;
TextOp StdErrDevice = nullptr;

int SendHeldThenWrite(TextRec& t) {
  SendHeld();
  const TextOp device = &t == &StdErr ? StdErrDevice : StdOutDevice;
  return device != nullptr ? device(t) : 0;
}

/// Puts SendHeldThenWrite in front of t's device; the standard streams share it for transfer
/// and flush.
void SendHeldBefore(TextRec& t, TextOp& device) {
  if (t.FlushOp == SendHeldThenWrite) return;
  device = t.FlushOp;
  t.TransferOp = SendHeldThenWrite;
  t.FlushOp = SendHeldThenWrite;
}

}  // namespace

const char* FindConsole(ConsoleFound& found) {
  bool openedByName = false;
  found.handle = STDOUT_FILENO;
  if (isatty(STDOUT_FILENO) != 1) {
    found.handle = ::open("/dev/tty", O_RDWR | O_NOCTTY | O_CLOEXEC);
    if (found.handle < 0) return "No way to get the console handle";
    openedByName = true;
  }
  winsize size{};
  if (ioctl(found.handle, TIOCGWINSZ, &size) != 0 && openedByName) {
    return "No way to get console screen buffer info";
  }
  found.width = size.ws_col;
  found.height = size.ws_row;
  TerminalColumns = size.ws_col;
  // The terminal is not asked where its cursor is: it is taken to stand in column 1 of the
  // last row, where a shell's prompt usually leaves it, and the next line end then scrolls
  // as it should. Wherever it really stands, the text starts there.
  found.cursorX = 0;
  found.cursorY = LargestWindow;
  return nullptr;
}

void TakeConsole() {
  if (TerminalColumns <= 0) TerminalColumns = ScreenWidth;
  BuildGlyphs();
  PlainTerminal = TerminalIsDumb();
  InstallFatalSignalHandlers();
  Terminal = TerminalCursor{CursorSaveX, CursorSaveY};
  CursorX = CursorSaveX;
  CursorY = CursorSaveY;
  Picture.Reset(ScreenWidth, ScreenHeight);
  InstallJobControlHandlers(OutHandle, TerminalColumns);
  TakeTerminalModes();
  SendHeldBefore(StdOut, StdOutDevice);
  SendHeldBefore(StdErr, StdErrDevice);
  StartHoldingBack(OutHandle, OpenOwnNonBlocking(OutHandle), SendPicture);
}

void RestoreTerminal() {
  SendHeld();
  ReleaseTerminalModes();
}

void RestoreTerminalInHandler() {
  OfferRendered();
  ReleaseTerminalModes();
}
