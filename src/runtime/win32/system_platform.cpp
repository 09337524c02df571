// The frame around the program body on Windows: the fault handler is the process's
// unhandled-exception filter, the argument list is split from the one command-line string,
// and the process ends through ExitProcess with the same statuses as on Linux. The command
// line and the program's path are taken in UTF-16 and kept as UTF-8, so that every character
// reaches the file system as typed: the narrow calls would give a look-alike (A for a
// fullwidth A) or a question mark for whatever the code page lacks.
#include "runtime/system_platform.h"

#include <fcntl.h>
#include <io.h>
#include <windows.h>

#include <cwchar>
#include <iterator>
#include <string>

#include "runtime/command_line.h"
#include "runtime/system.h"

namespace {

/// The bit in MXCSR from the flags to their masks.
constexpr uint32_t MxcsrMaskShift = 7;

/// Program name and arguments, views into CommandLine: 126 arguments are kept, more are only
/// counted.
constexpr std::size_t MaxItems = 127;
std::string CommandLine;
std::string_view Items[MaxItems];
std::size_t ItemCount = 0;

/// The main thread's stack, from its thread block: frames are read only inside it.
uintptr_t StackTop = 0;

/// The registers of the routine in which the runtime error was raised. The stack listing
/// unwinds from here with the unwind tables every 64-bit Windows image carries: the frame
/// pointer of this platform's code does not point at a chain of saved frame pointers.
CONTEXT ErrorContext;
bool HaveErrorContext = false;

/// An SSE fault arrives as "multiple" faults or traps; the unmasked flags in MXCSR tell which.
FaultRow LookUpSseFault(uint32_t mxcsr) {
  const uint32_t raised = mxcsr & MxcsrFlags & ~(mxcsr >> MxcsrMaskShift);
  if (raised & 0x01) return {fault_error::InvalidFloatOperation, true};
  if (raised & 0x04) return {fault_error::DivisionByZero, true};
  if (raised & 0x08) return {fault_error::FloatOverflow, true};
  if (raised & 0x10) return {fault_error::FloatUnderflow, true};
  if (raised & 0x02) return {fault_error::AccessViolation, true};  // a denormal operand
  return {0, false};
}

FaultRow LookUpFault(DWORD code, const CONTEXT& context) {
  switch (code) {
    case EXCEPTION_INT_DIVIDE_BY_ZERO:
      return {fault_error::DivisionByZero, false};
    case EXCEPTION_FLT_DIVIDE_BY_ZERO:
      return {fault_error::DivisionByZero, true};
    case EXCEPTION_ARRAY_BOUNDS_EXCEEDED:
      return {fault_error::ArrayBoundsExceeded, false};
    case EXCEPTION_STACK_OVERFLOW:
      return {fault_error::StackOverflow, false};
    case EXCEPTION_FLT_OVERFLOW:
      return {fault_error::FloatOverflow, true};
    case EXCEPTION_FLT_UNDERFLOW:
      return {fault_error::FloatUnderflow, true};
    case EXCEPTION_FLT_INVALID_OPERATION:
    case EXCEPTION_FLT_STACK_CHECK:
      return {fault_error::InvalidFloatOperation, true};
    case EXCEPTION_INT_OVERFLOW:
      return {fault_error::IntegerOverflow, false};
    case EXCEPTION_ACCESS_VIOLATION:
      return {fault_error::AccessViolation, false};
    case EXCEPTION_FLT_DENORMAL_OPERAND:
      return {fault_error::AccessViolation, true};
    case EXCEPTION_SINGLE_STEP:
    case EXCEPTION_IN_PAGE_ERROR:
    case EXCEPTION_ILLEGAL_INSTRUCTION:
    case EXCEPTION_PRIV_INSTRUCTION:
      return {fault_error::OtherProcessorFault, false};
    case STATUS_FLOAT_MULTIPLE_FAULTS:
    case STATUS_FLOAT_MULTIPLE_TRAPS:
      return LookUpSseFault(context.MxCsr);
    default:
      return {0, false};  // a breakpoint, a misaligned access, an inexact result
  }
}

/// Where a faulting thread continues: the floating-point unit set again if the fault came
/// from it, then the runtime error.
[[noreturn]] void RaiseFaultError(uint64_t number, void* addr, void* frame, uint64_t resetFpu) {
  if (resetFpu != 0) LoadFloatingPointSetting();
  HandleErrorAddrFrame(static_cast<uint16_t>(number), addr, frame);
}

/// Lets a fault of the table continue at RaiseFaultError on the alternate stack, with the
/// faulting instruction and frame as its arguments.
LONG WINAPI OnUnhandledException(EXCEPTION_POINTERS* info) {
  CONTEXT& context = *info->ContextRecord;
  const FaultRow row = LookUpFault(info->ExceptionRecord->ExceptionCode, context);
  if (row.number == 0 || Terminating != 0) return EXCEPTION_CONTINUE_SEARCH;
  if (row.resetsFloatingPoint) {
    // The state the thread resumes with must not raise the same exception again.
    context.FltSave.ControlWord = FPUCW;
    context.FltSave.StatusWord = 0;
    context.MxCsr &= ~MxcsrFlags;
  }
  FaultStackPointer = context.Rsp;
  ErrorContext = context;
  HaveErrorContext = true;
  // 16-byte aligned as after a call, with the return slot and room for the callee's spills.
  auto top = reinterpret_cast<uintptr_t>(AlternateStack + sizeof AlternateStack);
  top = (top - 64) & ~uintptr_t{15};
  *reinterpret_cast<uintptr_t*>(top - 8) = 0;
  context.Rsp = top - 8;
  context.Rip = reinterpret_cast<DWORD64>(&RaiseFaultError);
  context.Rcx = row.number;
  context.Rdx = reinterpret_cast<DWORD64>(info->ExceptionRecord->ExceptionAddress);
  context.R8 = context.Rbp;
  context.R9 = row.resetsFloatingPoint ? 1 : 0;
  return EXCEPTION_CONTINUE_EXECUTION;
}

std::string Utf8FromWide(const wchar_t* text, std::size_t length) {
  return Utf8FromUtf16(std::u16string_view(reinterpret_cast<const char16_t*>(text), length));
}

/// Moves context to the caller of its routine; false when there is none to move to.
bool StepToCaller(CONTEXT& context, uintptr_t stackFloor) {
  DWORD64 imageBase = 0;
  PRUNTIME_FUNCTION function = RtlLookupFunctionEntry(context.Rip, &imageBase, nullptr);
  const uintptr_t before = context.Rsp;
  if (function == nullptr) {
    // A routine without unwind data keeps nothing on the stack but the return address.
    if (before < stackFloor || before + sizeof(uintptr_t) > StackTop) return false;
    context.Rip = *reinterpret_cast<const DWORD64*>(before);
    context.Rsp += sizeof(uintptr_t);
  } else {
    PVOID handlerData = nullptr;
    DWORD64 establisherFrame = 0;
    RtlVirtualUnwind(UNW_FLAG_NHANDLER, imageBase, context.Rip, function, &context, &handlerData,
                     &establisherFrame, nullptr);
  }
  return context.Rip != 0 && context.Rsp > before && context.Rsp <= StackTop;
}

/// The program file's full path, asked only when first wanted (the tool itself never wants it).
const std::string& ProgramPath() {
  static const std::string path = [] {
    static wchar_t wide[32768];  // the longest path the system has
    const DWORD length = GetModuleFileNameW(nullptr, wide, std::size(wide));
    // A full buffer holds a cut path; an empty name is better than a wrong one.
    return length > 0 && length < std::size(wide) ? Utf8FromWide(wide, length) : std::string();
  }();
  return path;
}

}  // namespace

/// Unwound from the registers kept when the error was raised: the frame pointer of this
/// platform's code does not point at a chain of saved frame pointers.
int FrameReturnAddresses(void*, uintptr_t stackFloor, uintptr_t* addresses, int capacity) {
  if (!HaveErrorContext) return 0;
  CONTEXT context = ErrorContext;
  int count = 0;
  while (count < capacity && StepToCaller(context, stackFloor)) addresses[count++] = context.Rip;
  return count;
}

// Out of line: the registers it captures are unwound to HandleError, then to its caller.
__attribute__((noinline)) RaisePoint CallerOfHandleError() {
  RtlCaptureContext(&ErrorContext);
  const auto stackFloor = reinterpret_cast<uintptr_t>(__builtin_frame_address(0));
  StepToCaller(ErrorContext, stackFloor);
  StepToCaller(ErrorContext, stackFloor);
  HaveErrorContext = true;
  return {reinterpret_cast<void*>(ErrorContext.Rip), reinterpret_cast<void*>(ErrorContext.Rsp)};
}

void EndProcess(uint16_t status) {
  SetUnhandledExceptionFilter(nullptr);
  ExitProcess(status);
}

void InstallFaultHandler(void*) {
  ULONG_PTR stackLow = 0;
  ULONG_PTR stackHigh = 0;
  GetCurrentThreadStackLimits(&stackLow, &stackHigh);
  StackTop = stackHigh;
  // Room on the stack for the fault handler itself to run after a stack overflow.
  ULONG handlerRoom = 64 * 1024;
  SetThreadStackGuarantee(&handlerRoom);
  SetUnhandledExceptionFilter(OnUnhandledException);
}

// The standard streams write through the C library's descriptors, which must pass bytes
// through unchanged.
StandardHandles PrepareStandardHandles() {
  _setmode(0, _O_BINARY);
  _setmode(1, _O_BINARY);
  _setmode(2, _O_BINARY);
  return {1, 2};
}

bool IsCharacterDevice(int32_t handle) {
  return GetFileType(reinterpret_cast<HANDLE>(_get_osfhandle(handle))) == FILE_TYPE_CHAR;
}

// The splitting rules look at blanks and quotes only, which UTF-8 keeps as they are and never
// uses inside another character, so the UTF-8 line splits as the UTF-16 one would.
void FetchArguments(int, char**) {
  const wchar_t* line = GetCommandLineW();
  if (line != nullptr) CommandLine = Utf8FromWide(line, std::wcslen(line));
  ItemCount = SplitCommandLine(CommandLine, Items, MaxItems);
}

int32_t ArgumentCount() { return static_cast<int32_t>(ItemCount); }

std::string_view ArgumentItem(int32_t i) {
  if (i == 0) return ProgramPath();
  if (i < 0 || static_cast<std::size_t>(i) >= ItemCount || static_cast<std::size_t>(i) >= MaxItems) return {};
  return Items[i];
}
