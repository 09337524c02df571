#include "runtime/system.h"

#include "runtime/file_access.h"
#include "runtime/system_platform.h"
#include "runtime/text_output.h"

uint16_t ExitCode = 0;
uint16_t ErrorCode = 0;
void* ErrorAddr = nullptr;
void* ErrorBase = nullptr;
volatile std::sig_atomic_t Terminating = 0;

namespace {

std::string_view HexText(const std::array<char, 8>& digits) {
  return std::string_view(digits.data(), digits.size());
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

}  // namespace

void LoadFloatingPointSetting() {
  const uint16_t control = FPUCW;
  asm volatile("fninit\n\tfldcw %0" : : "m"(control));
  uint32_t mxcsr = 0;
  asm volatile("stmxcsr %0" : "=m"(mxcsr));
  mxcsr &= ~(MxcsrFlags | MxcsrRounding | MxcsrTrappingMasks);
  asm volatile("ldmxcsr %0" : : "m"(mxcsr));
}

void WriteAddressLine(uintptr_t address) {
  Write_Str(0, StdOut, "  0x");
  Write_Str(0, StdOut, HexText(HexStr(address)));
  Writeln_End(StdOut);
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
  EndProcess(ExitCode);
}

void RunBody(void (*body)()) {
  body();
  Do_Exit();
}
