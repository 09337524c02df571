// The console device on a terminal: cells go out as the glyphs' bytes, the terminal's cursor
// steered by relative moves, held back and sent whole per operation.
#include "runtime/console.h"
#include "runtime/console_platform.h"

#include <fcntl.h>
#include <sys/ioctl.h>
#include <unistd.h>

#include "runtime/exit_status.h"
#include "runtime/file_access.h"
#include "runtime/glyphs.h"
#include "runtime/posix/held_output.h"
#include "runtime/posix/terminal_modes.h"
#include "runtime/system.h"

namespace {

/// Window coordinates are 8-bit.
constexpr int32_t LargestWindow = 255;
constexpr int32_t DefaultWidth = 80;
constexpr int32_t DefaultHeight = 25;

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
int32_t TerminalColumns = DefaultWidth;
/// A dumb terminal: it is sent carriage returns, line feeds, backspaces and spaces, and no
/// escape sequence.
bool PlainTerminal = false;

void AppendRepeated(char c, int32_t count) {
  for (int32_t i = 0; i < count; ++i) AppendHeld(&c, 1);
}

/// A resized window: from here on the terminal wraps at its new edge. Where its cursor stands
/// on a terminal that rewrapped its lines is not known; from the start of its line, every
/// move is relative again.
void FollowResize() {
  const int32_t columns = TerminalColumnsIfResized(OutHandle);
  if (columns <= 0 || columns == TerminalColumns) return;
  TerminalColumns = columns;
  AppendHeld("\r", 1);
  Terminal.x = 0;
  Terminal.wrapPending = false;
  Terminal.lines = 1;
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
    if (PlainTerminal) AppendRepeated(' ', targetCol - col);
    else AppendMove(targetCol - col, 'C');
  } else if (targetCol < col) {
    if (PlainTerminal) AppendRepeated('\b', col - targetCol);
    else AppendMove(col - targetCol, 'D');
  }
  if (y != Terminal.y || targetLine + 1 > Terminal.lines) Terminal.lines = targetLine + 1;
  Terminal.x = x;
  Terminal.y = y;
}

}  // namespace

void PutCell(int32_t x, int32_t y, uint8_t ch) {
  // Text mostly runs on from where the terminal's cursor already stands; after the last
  // column of a terminal line the terminal wraps it onto the next.
  if (x != Terminal.x || y != Terminal.y) MoveTerminalTo(x, y);
  AppendHeld(Glyphs[ch].bytes, Glyphs[ch].length);
  ++Terminal.x;
  const int32_t line = (Terminal.x - 1) / TerminalColumns;
  if (line + 1 > Terminal.lines) Terminal.lines = line + 1;
  Terminal.wrapPending = Terminal.x % TerminalColumns == 0;
}

/// Removes the window's top row: line feeds from the window's last row past every terminal
/// line it takes, so that the terminal scrolls and keeps the lost row in its scrollback. They
/// are sent from column 1, where they leave the cursor whether or not the terminal adds a
/// carriage return of its own.
void RemoveLine() {
  MoveTerminalTo(0, WinMaxY() - 1);
  AppendRepeated('\n', Terminal.lines);
  Terminal.lines = 1;
}

void ShowCursorAt(int32_t x, int32_t y) { MoveTerminalTo(x, y); }

void BeginDeviceOperation() {
  BeginOperation();
  FollowResize();
}

void EndDeviceOperation() { EndOperation(); }

namespace {

int32_t ClampSize(int32_t reported, int32_t fallback) {
  if (reported <= 0) return fallback;
  return reported > LargestWindow ? LargestWindow : reported;
}

}  // namespace

void InitCrt() {
  bool openedByName = false;
  if (isatty(STDOUT_FILENO)) {
    OutHandle = STDOUT_FILENO;
  } else {
    OutHandle = ::open("/dev/tty", O_RDWR | O_NOCTTY | O_CLOEXEC);
    if (OutHandle < 0) FailStart("No way to get the console handle");
    openedByName = true;
  }

  winsize size{};
  if (ioctl(OutHandle, TIOCGWINSZ, &size) != 0) {
    if (openedByName) FailStart("No way to get console screen buffer info");
    size = winsize{};
  }
  ScreenWidth = ClampSize(size.ws_col, DefaultWidth);
  ScreenHeight = ClampSize(size.ws_row, DefaultHeight);
  TerminalColumns = size.ws_col > 0 ? size.ws_col : ScreenWidth;
  WindMin = 0;
  WindMax = static_cast<uint16_t>((ScreenHeight - 1) * 256 + (ScreenWidth - 1));

  BuildGlyphs();
  PlainTerminal = TerminalIsDumb();
  InstallFatalSignalHandlers();

  // The terminal is not asked where its cursor is: it is taken to stand in column 1 of the
  // last row, where a shell's prompt usually leaves it, and the next line end then scrolls
  // as it should. Wherever it really stands, the text starts there.
  CursorSaveX = 0;
  CursorSaveY = ScreenHeight - 1;
  Terminal = TerminalCursor{CursorSaveX, CursorSaveY};

  InstallJobControlHandlers();
  TakeTerminalModes();
  AssignCrt(Output);
  StartHoldingBack(OpenOwnNonBlocking(OutHandle));
}

void RestoreTerminal() {
  SendCommitted();
  ReleaseTerminalModes();
}

void RestoreTerminalInHandler() {
  OfferCommitted();
  ReleaseTerminalModes();
}
