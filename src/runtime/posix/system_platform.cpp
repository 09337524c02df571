// The frame on Linux: faults arrive as signals and are handled on the alternate stack, the
// stack listing walks the frame-pointer chain, the shell's argument list is kept with the
// program's path from /proc, and the process ends in _exit.
#include "runtime/system_platform.h"

#include <fcntl.h>
#include <signal.h>
#include <sys/resource.h>
#include <ucontext.h>
#include <unistd.h>

#include "runtime/console_platform.h"
#include "runtime/system.h"

namespace {

/// The kernel keeps a gap of 256 pages below a growing stack; a frame that overruns the
/// stack's limit faults somewhere in it. The extra 64 KiB allow for the frame's own size.
constexpr uintptr_t GuardGapReach = (256u << 12) + (64u << 10);
/// How far from the stack pointer an overrunning push or frame store can fault.
constexpr uintptr_t StackPointerReach = 64u << 10;

constexpr int FaultSignals[] = {SIGFPE, SIGSEGV, SIGBUS, SIGILL, SIGTRAP};

int ArgCount = 0;
char** Args = nullptr;
/// The program file's full path, as the kernel tells it; asked only when first wanted (the tool
/// itself never wants it).
std::string_view ProgramPath() {
  static char path[4096];
  // A full buffer may hold a cut path; an empty one is better than a wrong one.
  static const std::size_t length = [] {
    const ssize_t n = readlink("/proc/self/exe", path, sizeof path);
    return n > 0 && static_cast<std::size_t>(n) < sizeof path ? static_cast<std::size_t>(n) : 0;
  }();
  return {path, length};
}

/// The main thread's stack as found at start-up: the end of its mapping and its size limit.
/// Frame pointers are trusted only below the top, and stack overflow is told apart from
/// other access violations by where the fault lies relative to the limit.
uintptr_t StackTop = 0;
rlim_t StackLimit = RLIM_INFINITY;

int HexValue(char c) {
  if (c >= '0' && c <= '9') return c - '0';
  if (c >= 'a' && c <= 'f') return c - 'a' + 10;
  if (c >= 'A' && c <= 'F') return c - 'A' + 10;
  return 0;
}

/// The end of the mapping in /proc/self/maps that holds address, or 0 when none is found.
/// Parsed as it streams in, without allocation: "start-end perms ...".
uintptr_t FindMappingEnd(uintptr_t address) {
  const int fd = open("/proc/self/maps", O_RDONLY | O_CLOEXEC);
  if (fd < 0) return 0;
  enum class Field { Start, End, Rest } field = Field::Start;
  uintptr_t start = 0;
  uintptr_t end = 0;
  uintptr_t found = 0;
  char chunk[4096];
  ssize_t n = 0;
  while (found == 0 && (n = read(fd, chunk, sizeof chunk)) > 0) {
    for (ssize_t i = 0; i < n && found == 0; ++i) {
      const char c = chunk[i];
      if (c == '\n') {
        if (field == Field::Rest && start <= address && address < end) found = end;
        field = Field::Start;
        start = end = 0;
      } else if (field == Field::Start) {
        if (c == '-')
          field = Field::End;
        else
          start = start * 16 + static_cast<uintptr_t>(HexValue(c));
      } else if (field == Field::End) {
        if (c == ' ')
          field = Field::Rest;
        else
          end = end * 16 + static_cast<uintptr_t>(HexValue(c));
      }
    }
  }
  close(fd);
  return found;
}

/// Without /proc, only the frames from start-up downwards can be vouched for.
void RecordMainStack(const void* startupFrame) {
  const auto frame = reinterpret_cast<uintptr_t>(startupFrame);
  StackTop = FindMappingEnd(frame);
  if (StackTop == 0) StackTop = frame + 2 * sizeof(uintptr_t);
  rlimit limit{};
  if (getrlimit(RLIMIT_STACK, &limit) == 0) StackLimit = limit.rlim_cur;
}

/// A fault counts as a stack overflow when it lies in the guard region just beyond the
/// stack's limit, or right at the stack pointer that ran into the next mapping (the only
/// sign when the stack has no limit). A stray access into the live part of the stack well
/// above the stack pointer is an ordinary access violation.
bool IsStackOverflow(uintptr_t faultAddress, uintptr_t stackPointer) {
  if (faultAddress >= StackTop) return false;
  const uintptr_t depth = StackTop - faultAddress;
  if (StackLimit != RLIM_INFINITY) {
    const uintptr_t limit = static_cast<uintptr_t>(StackLimit);
    const uintptr_t lowest = limit > StackPointerReach ? limit - StackPointerReach : 0;
    const uintptr_t highest = limit > UINTPTR_MAX - GuardGapReach ? UINTPTR_MAX : limit + GuardGapReach;
    if (depth >= lowest && depth <= highest) return true;
  }
  return faultAddress + StackPointerReach >= stackPointer && faultAddress <= stackPointer + StackPointerReach;
}

FaultRow LookUpFault(int signal, const siginfo_t& info, const mcontext_t& machine) {
  switch (signal) {
    case SIGFPE:
      switch (info.si_code) {
        case FPE_INTDIV:
          return {fault_error::DivisionByZero, false};
        case FPE_FLTDIV:
          return {fault_error::DivisionByZero, true};
        case FPE_FLTOVF:
          return {fault_error::FloatOverflow, true};
        case FPE_FLTUND:
          return {fault_error::FloatUnderflow, true};
        case FPE_FLTINV:
          return {fault_error::InvalidFloatOperation, true};
        case FPE_FLTSUB:
          return {fault_error::InvalidFloatOperation, true};
        case FPE_INTOVF:
          return {fault_error::IntegerOverflow, false};
        default:
          return {0, false};  // an inexact result among them
      }
    case SIGSEGV: {
      const auto address = reinterpret_cast<uintptr_t>(info.si_addr);
      const auto stackPointer = static_cast<uintptr_t>(machine.gregs[REG_RSP]);
      return {
          IsStackOverflow(address, stackPointer) ? fault_error::StackOverflow : fault_error::AccessViolation,
          false};
    }
    case SIGILL:
      return {fault_error::OtherProcessorFault, false};
    case SIGBUS:
      switch (info.si_code) {
        // A mapped page that cannot be read: beyond the end of its file, or lost to an
        // I/O or memory error. A misaligned access is not among the handled faults.
        case BUS_ADRERR:
        case BUS_OBJERR:
        case BUS_MCEERR_AR:
          return {fault_error::OtherProcessorFault, false};
        default:
          return {0, false};
      }
    case SIGTRAP:
      return {info.si_code == TRAP_TRACE ? fault_error::OtherProcessorFault : uint16_t{0}, false};
    default:
      return {0, false};
  }
}

/// Lets the platform deal with the signal as if no handler were installed: the process
/// dies of it once the handler returns, with the terminal given back first.
void PassToDefaultHandling(int signal) {
  RestoreTerminalInHandler();
  struct sigaction standard {};
  standard.sa_handler = SIG_DFL;
  sigemptyset(&standard.sa_mask);
  sigaction(signal, &standard, nullptr);
  // A trap does not recur when the handler returns, and a signal sent by another process
  // never does; raising it again covers both. It stays pending until the handler returns.
  raise(signal);
}

/// Runs on the alternate stack. Everything reached from here is async-signal-safe: the
/// report goes out through the text streams' fixed buffers and the process ends in _exit.
void OnFault(int signal, siginfo_t* info, void* context) {
  // A signal sent with kill or raise is not a fault of this thread.
  if (Terminating != 0 || info->si_code <= 0) {
    PassToDefaultHandling(signal);
    return;
  }
  const mcontext_t& machine = static_cast<ucontext_t*>(context)->uc_mcontext;
  const FaultRow row = LookUpFault(signal, *info, machine);
  if (row.number == 0) {
    PassToDefaultHandling(signal);
    return;
  }
  if (row.resetsFloatingPoint) LoadFloatingPointSetting();
  FaultStackPointer = static_cast<uintptr_t>(machine.gregs[REG_RSP]);
  HandleErrorAddrFrame(row.number, reinterpret_cast<void*>(machine.gregs[REG_RIP]),
                       reinterpret_cast<void*>(machine.gregs[REG_RBP]));
}

/// A frame may be read only when both of its slots lie in the live part of the main stack;
/// a corrupt chain then ends the listing instead of faulting inside the handler.
bool IsReadableFrame(uintptr_t frame, uintptr_t stackFloor) {
  return frame % alignof(uintptr_t) == 0 && frame >= stackFloor && frame < StackTop &&
         StackTop - frame >= 2 * sizeof(uintptr_t);
}

}  // namespace

void InstallFaultHandler(void* startupFrame) {
  RecordMainStack(startupFrame);
  stack_t alternate{};
  alternate.ss_sp = AlternateStack;
  alternate.ss_size = sizeof AlternateStack;
  sigaltstack(&alternate, nullptr);

  struct sigaction action {};
  action.sa_sigaction = OnFault;
  action.sa_flags = SA_SIGINFO | SA_ONSTACK;
  // A fault inside the handler must not re-enter it: with every fault signal blocked, the
  // kernel ends the process instead.
  sigemptyset(&action.sa_mask);
  for (const int signal : FaultSignals) sigaddset(&action.sa_mask, signal);
  for (const int signal : FaultSignals) sigaction(signal, &action, nullptr);
}

// Signals that a refused write raises besides failing are ignored: a report to a closed pipe
// should fail with status 101, and a write past the file-size limit (ulimit -f) with EFBIG,
// reported as an I/O failure; neither may kill the process and leave the terminal without its
// modes.
StandardHandles PrepareStandardHandles() {
  struct sigaction ignore {};
  ignore.sa_handler = SIG_IGN;
  sigemptyset(&ignore.sa_mask);
  sigaction(SIGPIPE, &ignore, nullptr);
  sigaction(SIGXFSZ, &ignore, nullptr);
  return {STDOUT_FILENO, STDERR_FILENO};
}

bool IsCharacterDevice(int32_t handle) { return isatty(handle) == 1; }

/// Walks the frame-pointer chain towards the entry for as long as each next frame lies above
/// the current one.
int FrameReturnAddresses(void* base, uintptr_t stackFloor, uintptr_t* addresses, int capacity) {
  uintptr_t frame = reinterpret_cast<uintptr_t>(base);
  int count = 0;
  while (count < capacity && IsReadableFrame(frame, stackFloor)) {
    const auto* slots = reinterpret_cast<const uintptr_t*>(frame);
    addresses[count++] = slots[1];
    const uintptr_t caller = slots[0];
    if (caller <= frame) break;
    frame = caller;
  }
  return count;
}

// Out of line, so that its own frame links to HandleError's, which holds the raising
// routine's resume point and its frame.
__attribute__((noinline)) RaisePoint CallerOfHandleError() {
  void* const* const handleError = *static_cast<void* const* const*>(__builtin_frame_address(0));
  return {handleError[1], handleError[0]};
}

void EndProcess(uint16_t status) { _exit(status); }

void FetchArguments(int argc, char** argv) {
  ArgCount = argc;
  Args = argv;
}

int32_t ArgumentCount() { return ArgCount; }

std::string_view ArgumentItem(int32_t i) {
  if (i == 0) return ProgramPath();
  if (i < 0 || i >= ArgCount) return {};
  return Args[i];
}
