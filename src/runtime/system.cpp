#include "runtime/system.h"

#include "runtime/console.h"
#include "runtime/console_platform.h"
#include "runtime/file_access.h"
#include "runtime/system_platform.h"
#include "runtime/text_output.h"

uint16_t ExitCode = 0;
uint16_t ErrorCode = 0;
void* ErrorAddr = nullptr;
void* ErrorBase = nullptr;
volatile std::sig_atomic_t Terminating = 0;
uintptr_t FaultStackPointer = 0;
alignas(16) char AlternateStack[AlternateStackSize];

namespace {

/// MXCSR: the rounding control, and the masks of the three exceptions that trap (invalid
/// operation, division by zero, overflow).
constexpr uint32_t MxcsrRounding = 0x6000;
constexpr uint32_t MxcsrTrappingMasks = 0x0080 | 0x0200 | 0x0400;

/// Frame lines in the report when StdOut is not a terminal.
constexpr int MaxFrameLinesRedirected = 257;

std::string_view HexText(const std::array<char, 8>& digits) {
  return std::string_view(digits.data(), digits.size());
}

/// One line of the stack listing: "  0x" and the address's 8 digits.
void WriteAddressLine(uintptr_t address) {
  Write_Str(0, StdOut, "  0x");
  Write_Str(0, StdOut, HexText(HexStr(address)));
  Writeln_End(StdOut);
}

/// The lines of the stack listing after the error's own, from the routine in which the
/// error was raised (base) towards the entry.
void Dump_Stack(void* base) {
  uintptr_t addresses[MaxFrameLinesRedirected];
  const int limit = IsCharacterDevice(StdOut.Handle) ? Max_Frame_Dump + 1 : MaxFrameLinesRedirected;
  const uintptr_t stackFloor =
      FaultStackPointer != 0 ? FaultStackPointer : reinterpret_cast<uintptr_t>(__builtin_frame_address(0));
  const int count = FrameReturnAddresses(base, stackFloor, addresses, limit);
  for (int i = 0; i < count; ++i) WriteAddressLine(addresses[i]);
}

void WriteRuntimeErrorReport() {
  const auto address = reinterpret_cast<uintptr_t>(ErrorAddr);
  Write_Str(0, StdOut, "Runtime error ");
  Write_SInt(0, StdOut, ErrorCode);
  Write_Str(0, StdOut, " at 0x");
  Write_Str(0, StdOut, HexText(HexStr(address)));
  Writeln_End(StdOut);
  WriteAddressLine(address);
  Dump_Stack(ErrorBase);
  Writeln_End(StdOut);
}

/// Runs the body, then the termination sequence. A frame of its own between the body and
/// start-up, as the stack listing shows it.
[[noreturn]] __attribute__((noinline)) void RunBody(void (*body)()) {
  body();
  Do_Exit();
}

}  // namespace

void LoadFloatingPointSetting() {
  const uint16_t control = FPUCW;
  asm volatile("fninit\n\tfldcw %0" : : "m"(control));
  uint32_t mxcsr = 0;
  asm volatile("stmxcsr %0" : "=m"(mxcsr));
  mxcsr &= ~(MxcsrFlags | MxcsrRounding | MxcsrTrappingMasks);
  asm volatile("ldmxcsr %0" : : "m"(mxcsr));
}

std::array<char, 8> HexStr(uint64_t value) {
  static constexpr char Digits[] = "0123456789ABCDEF";
  std::array<char, 8> text{};
  for (int i = 7; i >= 0; --i) {
    text[static_cast<std::size_t>(i)] = Digits[value & 0xF];
    value >>= 4;
  }
  return text;
}

void Halt(uint8_t status) {
  ExitCode = status;
  Do_Exit();
}

// Kept out of line so that the platform finds the point and the frame of its caller.
__attribute__((noinline)) void HandleError(uint16_t number) {
  const RaisePoint at = CallerOfHandleError();
  HandleErrorAddrFrame(number, at.address, at.frame);
}

void HandleErrorAddrFrame(uint16_t number, void* addr, void* frame) {
  ErrorCode = number;
  ErrorAddr = addr;
  ErrorBase = frame;
  Halt(static_cast<uint8_t>(number % 256));
}

void Do_Exit() {
  Terminating = 1;
  // No exit procedures and no module finalisation with an effect to run.
  if (ErrorAddr != nullptr) WriteRuntimeErrorReport();
  RestoreTerminal();
  EndProcess(ExitCode);
}

int32_t ParamCount() {
  const int32_t items = ArgumentCount();
  return items > 0 ? items - 1 : 0;
}

std::string_view ParamStr(int32_t i) {
  if (i < 0 || i > ParamCount()) return {};
  return ArgumentItem(i);
}

void System_Start(int argc, char** argv, void (*body)()) {
  InstallFaultHandler(__builtin_frame_address(0));
  LoadFloatingPointSetting();
  const StandardHandles standard = PrepareStandardHandles();
  BindOutputHandle(Output, standard.output);
  BindOutputHandle(StdOut, standard.output);
  BindOutputHandle(StdErr, standard.error);
  FetchArguments(argc, argv);
  InOutRes = 0;
  InitCrt();
  RunBody(body);
}
