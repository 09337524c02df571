// The terminal as a thing shared with the shell and other programs. This file owns which
// terminal the device may steer (the controlling terminal of our own session, with us in its
// foreground group), the modes taken for a run and given back on every way out, a stop for
// job control included, a descriptor of our own for writing from signal handlers, and changes
// of the window's width. The device (console.cpp and console_platform.cpp) draws, and gives
// the terminal back when a signal ends the process; it asks here what it may change.
#pragma once

#include <signal.h>

#include <cstdint>

/// TERM unset, empty or "dumb": the terminal knows carriage return and line feed, nothing more.
bool TerminalIsDumb();

/// The terminal on fd opened anew for writing, non-blocking from the start: a signal handler
/// can write to it without waiting and without changing the flags of the descriptor that the
/// shell shares. -1 when fd is not this process's controlling terminal (the only one that
/// can be opened anew, as /dev/tty) or the open fails. Closed on exec.
int OpenOwnNonBlocking(int fd);

/// Switches off signal keys and echo on standard input if it is ours: Ctrl+C and friends
/// become ordinary input that nobody reads, and typed keys do not land on the progress row.
/// Typed-ahead input stays where it is. After ReleaseTerminalModes it does nothing.
void TakeTerminalModes();

/// Gives back the modes standard input had at start-up, if they were changed and the process
/// is in the terminal's foreground; never stops the process for touching the terminal.
/// Idempotent and async-signal-safe.
void GiveTerminalModesBack();

/// The same on the way out, for good: no handler takes the modes again afterwards (a SIGCONT
/// that comes after the end of the run must not). Async-signal-safe.
void ReleaseTerminalModes();

/// Installs handler for sig with flags and mask, unless whoever started us ignores sig.
void InstallUnlessIgnored(int sig, void (*handler)(int), int flags, const sigset_t& mask);

/// Job control and window size: a stop gives the modes back first, a continuation in the
/// foreground takes them again unless they are released, and a continuation or a change of
/// the width of terminal's window (columns wide now) is noted for TerminalChangeSinceLastCall.
void InstallJobControlHandlers(int terminal, int32_t columns);

/// What may have moved the terminal's lines under the device since the last call.
struct TerminalChange {
  int32_t columns = 0;     ///< the window's width if it changed at all meanwhile, even and back, else 0
  bool continued = false;  ///< continued after a stop: a shell has usually written meanwhile
};
TerminalChange TerminalChangeSinceLastCall();
