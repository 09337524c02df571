// What the frame around the program body asks of the platform: the fault handler, the
// standard handles, the argument list, where a runtime error is raised and the frames above
// it, and the one way the process ends. One implementation per platform
// (posix/system_platform.cpp, win32/system_platform.cpp); the order of start-up and
// termination, the report and its limits are shared in system.cpp.
#pragma once

#include <cstdint>
#include <string_view>

/// First at start-up: from now on a processor fault of the program's thread that the table
/// of runtime errors names ends in HandleErrorAddrFrame, run on AlternateStack; any other
/// fault is left to the platform. startupFrame is System_Start's own frame, on the stack
/// whose frames the listing may read.
void InstallFaultHandler(void* startupFrame);

/// The process's standard output and standard error.
struct StandardHandles {
  int32_t output;
  int32_t error;
};
/// The standard handles, readied so that bytes pass through them unchanged and a write they
/// refuse fails instead of ending the process.
StandardHandles PrepareStandardHandles();
/// Whether handle is a character device: a terminal or a console.
bool IsCharacterDevice(int32_t handle);

/// Takes the argument list at start-up; argc and argv are main's, where the platform passes
/// the arguments so.
void FetchArguments(int argc, char** argv);
/// Items of the argument list: the program name and the arguments after it, counted also
/// where there are more than the platform keeps.
int32_t ArgumentCount();
/// Item i: 0 is the program file's full path (empty if the platform cannot tell it), 1 ..
/// ArgumentCount() - 1 the arguments as typed; empty for any other i and for an argument the
/// platform does not keep.
std::string_view ArgumentItem(int32_t i);

/// Where a runtime error raised by HandleError comes from: the point just after HandleError's
/// call and the frame of the routine that made it.
struct RaisePoint {
  void* address;
  void* frame;
};
/// Called by HandleError itself, and by nothing else.
RaisePoint CallerOfHandleError();
/// The return addresses of the frames from the routine in which the error was raised (base)
/// towards the entry, at most capacity of them, into addresses; returns how many. Nothing
/// is read below stackFloor nor off the stack. Async-signal-safe.
int FrameReturnAddresses(void* base, uintptr_t stackFloor, uintptr_t* addresses, int capacity);

/// Ends the process with status; the console has been given back.
[[noreturn]] void EndProcess(uint16_t status);
