// A real terminal for tests: runs a program on a pseudo-terminal of a chosen size and plays
// everything it writes into a terminal emulator, which also answers the cursor-position
// query. The test gets the final screen, the scrollback, the pty's modes before and after,
// and how the program ended. Every wait is bounded; a program that overstays is killed.
#pragma once

#include <termios.h>

#include <functional>
#include <string>
#include <vector>

namespace testing_support {

struct PtyRun {
  std::string program;
  std::vector<std::string> args;  ///< after the program name
  std::string cwd;                ///< empty: the test's own
  /// "NAME=value" entries laid over the test's environment, a bare "NAME" removes it;
  /// LC_ALL defaults to C.UTF-8 and TERM to xterm.
  std::vector<std::string> env;
  int rows = 24;
  int cols = 80;
  /// Fed to the emulator before the program starts, e.g. line ends that put the cursor low.
  std::string prefill;
  /// false: the emulator ignores the cursor-position query, like a terminal that never answers.
  bool answerCursorQuery = true;
  /// The answer arrives this late, as over a slow link; it is still delivered after the end.
  int cursorReplyDelayMs = 0;
  /// Typed before the program starts, like a line typed while the previous command ran.
  std::string typeAhead;
  /// Files put on standard input / output instead of the pty; empty: the pty.
  std::string stdinFile;
  std::string stdoutFile;
  /// Standard output / error into pipes instead, read into PtyResult::stdoutText / stderrText.
  /// With closeStdoutReader the reading end is closed at once, so that writes there fail.
  bool stdoutToPipe = false;
  bool closeStdoutReader = false;
  bool stderrToPipe = false;
  /// The program's stack limit in bytes; 0: inherited.
  unsigned long stackLimit = 0;
  /// The program's file-size limit in bytes (ulimit -f); -1: inherited.
  long fileSizeLimit = -1;
  /// No terminal at all: a new session without a controlling terminal, standard input from
  /// /dev/null, standard output and error into pipes.
  bool withoutTerminal = false;
  /// Runs the program in a process group of its own that is not the terminal's foreground
  /// group, as a shell's "&" does. If the program is stopped for touching the terminal, it is
  /// killed and the run reports stoppedInBackground.
  bool background = false;
  /// Runs the program in a session of its own, as "setsid" does, the pty still its standard
  /// handles; treated like a background job otherwise.
  bool newSession = false;
  /// 'f' or 'b': the program is a foreground job of a small shell; when it stops the shell
  /// takes the terminal back with its own modes, then continues the job in the foreground
  /// ('f', as "fg") or leaves the terminal to itself ('b', as "bg"). A second stop ends the
  /// run as stoppedInBackground.
  char resumeIn = 0;
  /// When the screen first shows inputTrigger, inputBytes are typed into the terminal.
  std::string inputTrigger;
  std::string inputBytes;
  /// When the screen first shows signalTrigger, signalNumber is sent to the program. With
  /// SIGSTOP, whileStopped is called once the program has stopped, and then it is continued.
  std::string signalTrigger;
  int signalNumber = 0;
  int signalDelayMs = 0;  ///< the signal goes this long after signalTrigger shows
  std::function<void()> whileStopped;
  /// When the screen first shows modesTrigger, the pty's modes are recorded in modesDuring.
  std::string modesTrigger;
  /// When the screen first shows resizeTrigger, the window becomes resizeCols wide, before
  /// any input of the same moment is typed.
  std::string resizeTrigger;
  int resizeCols = 0;
  int timeoutSeconds = 60;
};

struct PtyResult {
  std::vector<std::string> rows;        ///< the final screen, UTF-8, trailing blanks removed
  std::vector<std::string> scrollback;  ///< rows scrolled off the top, oldest first
  int cursorRow = 0;                    ///< 0-based
  int cursorCol = 0;
  bool exited = false;  ///< ended by exit; then exitStatus holds the status
  int exitStatus = -1;
  int termSignal = 0;  ///< the signal that ended it, 0 if none
  bool timedOut = false;
  bool stoppedInBackground = false;
  bool inputSent = false;
  bool inputWhileRunning = false;  ///< the program had not ended when the input was typed
  bool signalSent = false;
  bool modesRecorded = false;
  termios modesBefore{};
  termios modesDuring{};
  termios modesAfter{};
  double secondsAfterSignal = -1;  ///< from sending the signal to the program's end
  std::string output;  ///< every byte the program wrote to the terminal
  std::string inputLeft;  ///< what the next program would read from the terminal after the end
  std::string stdoutText;  ///< what reached the standard output pipe, if one was asked for
  std::string stderrText;  ///< what reached the standard error pipe, if one was asked for
  /// The screen as one text: the rows joined with '\n', trailing empty rows dropped.
  std::string Screen() const;
  /// The last row of Screen().
  std::string LastRow() const;
  /// The input, output, control and local modes after the run are those before it.
  bool ModesGivenBack() const;
};

PtyResult RunOnPty(const PtyRun& run);

}  // namespace testing_support
