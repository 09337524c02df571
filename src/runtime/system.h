// The frame around the program body: start-up (fault handler, floating-point setting,
// standard streams, argument list, console device), the one termination sequence every
// way out goes through, and runtime errors with their report on StdOut.
#pragma once

#include <array>
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

/// Arguments after the program name, as the shell split them.
int32_t ParamCount();
/// Argument i (1 .. ParamCount), whole; empty otherwise, entry 0 included (never read).
std::string_view ParamStr(int32_t i);

/// The low 32 bits of value as exactly 8 upper-case hexadecimal digits, leading zeros kept.
/// Async-signal-safe: the report uses it inside the fault handler.
std::array<char, 8> HexStr(uint64_t value);

/// Runs start-up, then body, then the termination sequence. Does not return.
[[noreturn]] void System_Start(int argc, char** argv, void (*body)());
