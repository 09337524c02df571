// Output to the terminal is held back and sent at most 60 times a second: a progress row
// rewritten after every block would otherwise cost writes for every block. What is held is
// the device's picture of its window, not a log of its writes: a send renders what the
// terminal does not show yet, so a row rewritten ten times since the last send costs one row.
// An alarm sends what falls due while the program waits in a slow read or write.
#pragma once

#include <cstddef>
#include <cstdint>

/// What is held goes out when this long has passed since the last send.
constexpr int64_t SendIntervalNs = 1000000000 / 60;

/// Each device operation (one CrtWrite, one GotoXY) runs between these two; bytes it renders
/// on its own (rows that scroll away) go through AppendHeld and are committed at its end.
/// cells: the picture holds cells the terminal does not show yet; they are sent now if a send
/// is due, else when it falls due. cursor: only the cursor is not where the terminal shows it;
/// that waits for the next send, and at most an interval: text usually follows a move at once.
void BeginOperation();
void EndOperation(bool cells, bool cursor);
void AppendHeld(const char* bytes, std::size_t n);

/// From the end of start-up on: the alarm is armed for what is held, which goes out through
/// terminal. render appends, through AppendHeld, the bytes that show the terminal the picture
/// as it stands; it runs only between operations, from the program or from the alarm.
/// offerHandle is where OfferRendered writes: a descriptor of the process's own that never
/// waits, or -1.
void StartHoldingBack(int terminal, int offerHandle, void (*render)());

/// Renders and sends everything, waiting for the terminal if the user holds it (Ctrl+S).
void SendHeld();
/// From a signal handler that ends the process: the bytes already rendered of whole
/// operations are offered through the descriptor given to StartHoldingBack, without waiting
/// and without rendering anew; whatever the terminal does not take is lost, and with no such
/// descriptor they are dropped. Async-signal-safe.
void OfferRendered();
