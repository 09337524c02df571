// Output to the terminal is held back and sent in batches of at most 60 a second: a progress
// row rewritten after every block would otherwise cost writes for every block. The bytes go
// out in the order they were made; only the number of writes shrinks. An alarm sends what
// falls due while the program waits in a slow read or write.
#pragma once

#include <cstddef>

/// Each device operation (one CrtWrite, one GotoXY) appends its bytes between these two;
/// EndOperation commits them and sends them now or when they fall due.
void BeginOperation();
void EndOperation();
void AppendHeld(const char* bytes, std::size_t n);

/// From the end of start-up on: the alarm is armed for held bytes, and StdOut and StdErr,
/// which may share the terminal, send what is held before they write. offerHandle is where
/// OfferCommitted writes: a descriptor of the process's own that never waits, or -1.
void StartHoldingBack(int offerHandle);

/// Sends every committed byte, waiting for the terminal if the user holds it (Ctrl+S).
void SendCommitted();
/// The same from a signal handler: the bytes are offered through the descriptor given to
/// StartHoldingBack, without waiting, and whatever the terminal does not take is lost; with
/// no such descriptor they are dropped. Async-signal-safe.
void OfferCommitted();
