#include "runtime/posix/held_output.h"

#include <signal.h>
#include <sys/time.h>
#include <time.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <cstdint>
#include <cstring>

// What is held is sent when 1/60 s has passed since the last send, and when the program asks
// (before the standard streams write, and when the process ends); a send first renders the
// picture's changes. Rows that scroll away are rendered by the operation that scrolls them;
// those bytes wait here with the rest. So that nothing stays invisible while the program
// waits, a one-shot SIGALRM is armed for the moment a send falls due; its handler renders and
// sends unless an operation is under way or a send is, in which case the program sends at its
// next commit.
//
// No signal is blocked while the terminal is written: a write waits as long as the user
// holds output with Ctrl+S, and a signal that ends the process must still do so at once.

namespace {

constexpr std::size_t OutCapacity = 65536;

/// Rendered bytes not yet sent.
char Held[OutCapacity];
/// Bytes in Held, committed or not. The program changes it while Appending or Sending keeps
/// the handlers off the buffer; the alarm handler changes it when it finds both clear.
std::atomic<std::size_t> HeldLength{0};
/// Bytes of whole operations; a handler sends no more than these.
std::atomic<std::size_t> Committed{0};
static_assert(std::atomic<std::size_t>::is_always_lock_free);
/// Set while an operation appends: the alarm handler then leaves the buffer alone.
volatile sig_atomic_t Appending = 0;
/// Set while held bytes are being written, by the program or by a handler: a handler that
/// comes meanwhile sends nothing, so that no byte goes out twice.
volatile sig_atomic_t Sending = 0;
/// The picture holds changes that are not rendered yet.
volatile sig_atomic_t PictureChanged = 0;
/// Renders the picture's changes into Held; set once, before the alarm is installed.
void (*Render)() = nullptr;
/// The alarm came while the buffer was busy; the program sends at its next commit.
volatile sig_atomic_t SendWanted = 0;
volatile sig_atomic_t AlarmArmed = 0;
/// Whether the alarm handler is installed; without it nothing is held back.
bool HoldingBack = false;
/// Where the held bytes go.
int TerminalHandle = -1;
/// Where a handler that ends the process offers held bytes: the terminal opened anew and
/// non-blocking, or -1. Never TerminalHandle, whose flags the shell shares: changed for a
/// moment, they would stay changed if a SIGKILL came in that moment.
int OfferHandle = -1;
std::atomic<int64_t> LastSendNs{0};
static_assert(std::atomic<int64_t>::is_always_lock_free);

int64_t NowNs() {
  timespec ts{};
  clock_gettime(CLOCK_MONOTONIC, &ts);
  return static_cast<int64_t>(ts.tv_sec) * 1000000000 + ts.tv_nsec;
}

/// Writes bytes to the terminal through fd; what it refuses is dropped, as the device reports
/// no failure. Async-signal-safe.
void WriteOut(int fd, const char* bytes, std::size_t length) {
  std::size_t done = 0;
  while (done < length) {
    ssize_t n = ::write(fd, bytes + done, length - done);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) break;
    done += static_cast<std::size_t>(n);
  }
}

/// Sends the first `length` bytes of Held; what follows them, not yet committed, moves to
/// the front. Async-signal-safe; the caller has set Sending.
void SendOut(std::size_t length) {
  WriteOut(TerminalHandle, Held, length);
  const std::size_t rest = HeldLength - length;
  if (rest > 0) std::memmove(Held, Held + length, rest);
  HeldLength = rest;
  Committed = 0;
  LastSendNs = NowNs();
}

void BeginSending() {
  Sending = 1;
  std::atomic_signal_fence(std::memory_order_seq_cst);
}

void EndSending() {
  std::atomic_signal_fence(std::memory_order_seq_cst);
  Sending = 0;
}

/// Renders the picture, unless an operation is changing it, and sends what is held then; an
/// operation under way keeps its own bytes until its commit. A send already under way is
/// left to finish: nothing goes out twice. Async-signal-safe.
void RenderAndSend() {
  if (Sending) return;
  BeginSending();
  SendWanted = 0;
  if (!Appending && Render != nullptr) {
    PictureChanged = 0;
    Render();
    Committed = HeldLength.load();
  }
  if (Committed > 0) SendOut(Committed);
  EndSending();
}

void OnAlarm(int) {
  const int savedErrno = errno;
  AlarmArmed = 0;
  if (Appending || Sending) {
    SendWanted = 1;
  } else if (PictureChanged || Committed > 0) {
    RenderAndSend();
  }
  errno = savedErrno;
}

void ArmAlarm(int64_t dueInNs) {
  if (AlarmArmed) return;
  AlarmArmed = 1;
  itimerval when{};
  const int64_t us = dueInNs > 1000 ? dueInNs / 1000 : 1;
  when.it_value.tv_sec = static_cast<time_t>(us / 1000000);
  when.it_value.tv_usec = static_cast<suseconds_t>(us % 1000000);
  if (setitimer(ITIMER_REAL, &when, nullptr) != 0) AlarmArmed = 0;
}

}  // namespace

void BeginOperation() {
  Appending = 1;
  std::atomic_signal_fence(std::memory_order_seq_cst);
}

void EndOperation(bool cells, bool cursor) {
  Committed = HeldLength.load();
  if (cells || cursor) PictureChanged = 1;
  std::atomic_signal_fence(std::memory_order_seq_cst);
  Appending = 0;
  std::atomic_signal_fence(std::memory_order_seq_cst);
  if (HeldLength == 0 && !PictureChanged) return;
  const int64_t sinceLastSend = NowNs() - LastSendNs;
  const bool due = sinceLastSend >= SendIntervalNs;
  if (!HoldingBack || SendWanted || (due && (cells || HeldLength > 0))) {
    RenderAndSend();
  } else {
    ArmAlarm(due ? SendIntervalNs / 4 : SendIntervalNs - sinceLastSend);
  }
}

void AppendHeld(const char* bytes, std::size_t n) {
  // A long run of scrolled rows, or a picture with many changes, fills the buffer: what it
  // holds goes out ahead of its commit.
  if (HeldLength + n > OutCapacity) {
    const bool own = Sending == 0;
    if (own) BeginSending();
    SendOut(HeldLength);
    if (own) EndSending();
  }
  std::memcpy(Held + HeldLength, bytes, n);
  HeldLength += n;
}

void StartHoldingBack(int terminal, int offerHandle, void (*render)()) {
  TerminalHandle = terminal;
  OfferHandle = offerHandle;
  Render = render;
  struct sigaction action {};
  action.sa_handler = OnAlarm;
  action.sa_flags = SA_RESTART;
  sigemptyset(&action.sa_mask);
  HoldingBack = sigaction(SIGALRM, &action, nullptr) == 0;
}

void SendHeld() { RenderAndSend(); }

void OfferRendered() {
  // Whole operations only: one cut short by the signal that brought us here is dropped, and
  // so is the rest of a send the signal interrupted.
  if (OfferHandle >= 0 && Sending == 0 && Committed > 0) {
    BeginSending();
    WriteOut(OfferHandle, Held, Committed);
    EndSending();
  }
}
