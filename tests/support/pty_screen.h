// A real terminal for tests: runs a program on a pseudo-terminal of a chosen size and plays
// everything it writes into a terminal emulator. Steps act on the run as a user or a shell would (typing,
// holding output with Ctrl+S, signals, resizing); the test gets the final screen, the pty's modes before, at
// each step and after, and how the program ended. Every wait is bounded.
#pragma once

#include <termios.h>

#include <string>
#include <vector>

namespace testing_support {

/// A step trigger besides text on the screen: once the program waits in a write to the
/// terminal (its output held).
inline const std::string kBlocked =
    "\x1b"
    "blocked";

struct Step {
  std::string when;          ///< empty: before the program starts; kBlocked, or screen text
  std::string type;          ///< typed; after Ctrl+S ("\x13") the step waits until output is held
  int signal = 0, cols = 0;  ///< sent to the program; the window becomes cols wide
  int afterMs = 0;           ///< and not before this long after the step before
  /// The test stops reading the terminal's output (it fills, and the program's writes stop part
  /// way), or reads it again.
  bool stopReading = false, resumeReading = false;
};

struct PtyRun {
  std::string program;
  std::vector<std::string> args;  ///< after the program name
  /// "NAME=value" laid over the test's environment, a bare "NAME" removes it; LC_ALL
  /// defaults to C.UTF-8 and TERM to xterm.
  std::vector<std::string> env;
  int rows = 24, cols = 80, timeoutSeconds = 60;
  /// prefill is fed to the emulator before the start, e.g. line ends; stdinFile stands in for the pty.
  std::string prefill, stdinFile;
  /// Standard output and error into pipes, read into PtyResult::stdoutText / stderrText; with
  /// closeStdoutReader the reading end is closed at once, so that writes there fail.
  /// withoutTerminal: a new session without a controlling terminal, input from /dev/null, output to pipes.
  bool pipes = false, closeStdoutReader = false, withoutTerminal = false;
  long stackLimit = -1, fileSizeLimit = -1;  ///< bytes (ulimit -s, -f); -1: inherited
  /// 0: the program is the terminal's foreground process. Else a small shell runs it as a
  /// job: '&' in the background, 's' in a session of its own (setsid), 'f'/'b' in the
  /// foreground; when an 'f'/'b' job stops, the shell takes the terminal back with its own
  /// modes and continues the job in the foreground ('f', as "fg") or background ('b', "bg").
  /// 'F' and 'B' are 'f' and 'b' with a shell that reports the stop on the terminal, as an
  /// interactive one does. A job stopped otherwise is killed and the run ends with status 125.
  char job = 0;
  std::vector<Step> steps;  ///< carried out in order, each once its trigger holds
};

struct PtyResult {
  std::vector<std::string> rows;          ///< the final screen, UTF-8, trailing blanks removed
  int scrolledOff = 0;                    ///< rows that left the screen at its top
  int cursorRow = 0, cursorCol = 0;       ///< 0-based
  bool exited = false, timedOut = false;  ///< ended by exit; then exitStatus holds the status
  int exitStatus = -1, termSignal = 0;    ///< termSignal: the signal that ended it, 0 if none
  termios modesBefore{}, modesAfter{};
  int flagsBefore = 0, flagsAfter = 0;  ///< the terminal's file status flags (O_NONBLOCK, ...)
  std::vector<termios> modesAtStep;     ///< one per step carried out, taken before it acts
  /// Every byte the program wrote to the terminal, what the next program would read from it, the pipes.
  std::string output, inputLeft, stdoutText, stderrText;
  /// The rows joined with '\n', trailing empty rows dropped.
  std::string Screen() const;
  std::string LastRow() const { return Screen().substr(Screen().rfind('\n') + 1); }
  /// The input, output, control and local modes and the file status flags after the run are
  /// those before it.
  bool ModesGivenBack() const;
};

PtyResult RunOnPty(const PtyRun& run);

}  // namespace testing_support
