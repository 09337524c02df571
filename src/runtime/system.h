// The frame around the program body: start-up (fault handler, floating-point setting,
// standard streams, argument list, console device), the one termination sequence every
// way out goes through, and runtime errors with their report on StdOut. What each platform
// supplies for it is listed in system_platform.h.
#pragma once

#include <array>
#include <csignal>
#include <cstddef>
#include <cstdint>
#include <string_view>

#include "runtime/exit_status.h"

extern uint16_t ExitCode;   ///< the exit status at the end of the termination sequence
extern uint16_t ErrorCode;  ///< number of the runtime error being raised, 0 until one is
extern void* ErrorAddr;     ///< code address of the runtime error; null until one is raised
extern void* ErrorBase;     ///< stack frame in which it was raised; the listing starts there

/// x87 control word: 64-bit significand, round to nearest, invalid operation, division by
/// zero and overflow trapping.
constexpr uint16_t FPUCW = 0x1332;
/// Frame lines in the report when StdOut is a terminal, less one.
constexpr int Max_Frame_Dump = 8;

/// Sets ExitCode and runs the termination sequence.
[[noreturn]] void Halt(uint8_t status = 0);
[[noreturn]] inline void Halt(ExitStatus status) { Halt(static_cast<uint8_t>(status)); }
/// Raises runtime error number at the point just after the call, in the caller's frame.
[[noreturn]] void HandleError(uint16_t number);
/// The common end of every runtime error: records it and halts with number modulo 256.
[[noreturn]] void HandleErrorAddrFrame(uint16_t number, void* addr, void* frame);
/// The termination sequence: finalisation, the report if a runtime error was raised, the
/// terminal given back, the process ended with ExitCode.
[[noreturn]] void Do_Exit();

/// Arguments after the program name.
int32_t ParamCount();
/// Argument i (1 .. ParamCount), whole; 0 is the program file's full path; empty otherwise.
std::string_view ParamStr(int32_t i);

/// The low 32 bits of value as exactly 8 upper-case hexadecimal digits, leading zeros kept.
/// Async-signal-safe: the report uses it inside the fault handler.
std::array<char, 8> HexStr(uint64_t value);

/// Runs start-up, then body, then the termination sequence. Does not return.
[[noreturn]] void System_Start(int argc, char** argv, void (*body)());

// For the platforms' fault handlers.

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

/// MXCSR's six sticky exception flags.
constexpr uint32_t MxcsrFlags = 0x003F;

/// Set when the termination sequence starts: a fault from then on is not handled again.
extern volatile std::sig_atomic_t Terminating;
/// Set by the fault handler to the faulting stack pointer: the stack listing reads no frame
/// below it. While it is 0, the listing reads none below its own.
extern uintptr_t FaultStackPointer;

/// Where a fault is turned into a runtime error and reported: after a stack overflow the
/// thread's own stack has no room left.
constexpr std::size_t AlternateStackSize = 128 * 1024;
alignas(16) extern char AlternateStack[AlternateStackSize];

/// Resets the x87 unit and loads FPUCW; clears the SSE flags and lets the same three
/// exceptions trap there, with rounding to nearest.
void LoadFloatingPointSetting();
