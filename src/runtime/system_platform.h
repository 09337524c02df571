// What the frame around the program body asks of the platform, and what the platform's part
// takes from the shared part (system.cpp): the runtime error numbers of processor faults, the
// floating-point setting, the report's address lines, and the one way the process ends.
// One implementation per platform (posix/system_platform.cpp, win32/system_platform.cpp).
#pragma once

#include <csignal>
#include <cstdint>

/// The runtime error numbers that faults turn into.
namespace fault_error {
constexpr uint16_t DivisionByZero = 200;
constexpr uint16_t ArrayBoundsExceeded = 201;
constexpr uint16_t StackOverflow = 202;
constexpr uint16_t FloatOverflow = 205;
constexpr uint16_t FloatUnderflow = 206;
constexpr uint16_t InvalidFloatOperation = 207;
constexpr uint16_t IntegerOverflow = 215;
constexpr uint16_t AccessViolation = 216;
/// A bad or privileged instruction, a single-step trap, a mapped page that cannot be read.
constexpr uint16_t OtherProcessorFault = 217;
}  // namespace fault_error

struct FaultRow {
  uint16_t number;  ///< 0: not a fault the runtime turns into an error
  bool resetsFloatingPoint;
};

/// MXCSR: the six sticky exception flags, the rounding control, and the masks of the three
/// exceptions that trap (invalid operation, division by zero, overflow).
constexpr uint32_t MxcsrFlags = 0x003F;
constexpr uint32_t MxcsrRounding = 0x6000;
constexpr uint32_t MxcsrTrappingMasks = 0x0080 | 0x0200 | 0x0400;

/// Frame lines in the report when StdOut is not a terminal.
constexpr int MaxFrameLinesRedirected = 257;

/// Set when the termination sequence starts: a fault from then on is not handled again.
extern volatile std::sig_atomic_t Terminating;

/// Resets the x87 unit and loads FPUCW; clears the SSE flags and lets the same three
/// exceptions trap there, with rounding to nearest.
void LoadFloatingPointSetting();
/// One line of the stack listing: "  0x" and the address's 8 digits.
void WriteAddressLine(uintptr_t address);
/// Runs the body, then the termination sequence.
[[noreturn]] void RunBody(void (*body)());

/// Platform: the lines of the stack listing after the error's own, from the routine in which
/// the error was raised (base) towards the entry.
void Dump_Stack(void* base);
/// Platform: gives the console or terminal back and ends the process with status.
[[noreturn]] void EndProcess(uint16_t status);
