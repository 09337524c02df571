// A test program for Windows: the runtime's start-up and termination frame around bodies of
// its own, chosen by the environment variable TOLVAR_FRAME_BODY. Before it faults, a body
// tells on standard error which addresses the report has to show ("<name> <8 hex digits>").
#include <windows.h>

#include <cfloat>
#include <climits>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "runtime/file_access.h"
#include "runtime/system.h"
#include "runtime/text_output.h"

extern "C" const char frame_bodies_divide_instruction[];

namespace {

volatile int g_sink = 0;
volatile long double g_zero_extended = 0.0L;
volatile long double g_one_extended = 1.0L;
volatile long double g_largest_extended = LDBL_MAX;
volatile double g_zero_double = 0.0;
volatile long double g_result = 0.0L;
volatile double g_double_result = 0.0;

void Tell(const char* name, const void* address) {
  char line[64];
  const auto value = static_cast<unsigned>(reinterpret_cast<uintptr_t>(address) & 0xFFFFFFFF);
  const int length = std::snprintf(line, sizeof line, "%s %08X\n", name, value);
  DWORD put = 0;
  WriteFile(GetStdHandle(STD_ERROR_HANDLE), line, static_cast<DWORD>(length), &put, nullptr);
}

__attribute__((noipa)) int DivideByZero(int dividend) {
  Tell("fault", frame_bodies_divide_instruction);
  Tell("into-intermediate", __builtin_return_address(0));
  const int divisor = 0;
  int quotient = 0;
  asm volatile(
      "movl %1, %%eax\n\t"
      "cltd\n\t"
      ".globl frame_bodies_divide_instruction\n"
      "frame_bodies_divide_instruction:\n\t"
      "idivl %2\n\t"
      "movl %%eax, %0"
      : "=r"(quotient)
      : "r"(dividend), "r"(divisor)
      : "eax", "edx", "cc");
  return quotient;
}

__attribute__((noipa)) int CallThroughOneRoutine(int dividend) {
  Tell("into-body", __builtin_return_address(0));
  return DivideByZero(dividend) + 1;
}

__attribute__((noipa)) void DivideInNestedRoutine() {
  Tell("into-entry", __builtin_return_address(0));
  g_sink = CallThroughOneRoutine(7);
}

__attribute__((noipa)) int Recurse(int depth) {
  volatile int kept[64] = {depth};
  if (depth <= 0) return DivideByZero(1);
  return Recurse(depth - 1) + kept[0];
}

__attribute__((noipa)) void RecurseWithoutEnd() { g_sink = Recurse(INT_MAX); }

__attribute__((noipa)) void RaiseFromRoutine() {
  Tell("into-body", __builtin_return_address(0));
  HandleError(258);
}

__attribute__((noipa)) void RaiseErrorAbove255() { RaiseFromRoutine(); }

__attribute__((noipa)) void DivideWithStatusPending() {
  InOutRes = io_status::AccessDenied;
  DivideInNestedRoutine();
}

__attribute__((noipa)) void ExtendedDivideByZero() { g_result = g_one_extended / g_zero_extended; }
__attribute__((noipa)) void ExtendedZeroByZero() { g_result = g_zero_extended / g_zero_extended; }
__attribute__((noipa)) void ExtendedOverflow() { g_result = g_largest_extended * g_largest_extended; }
__attribute__((noipa)) void DoubleDivideByZero() { g_double_result = 1.0 / g_zero_double; }
__attribute__((noipa)) void DoubleZeroByZero() { g_double_result = g_zero_double / g_zero_double; }

__attribute__((noipa)) void ReadUnmappedAddress() {
  const uintptr_t unmapped = 16;
  int value = 0;
  asm volatile("movl (%1), %0" : "=r"(value) : "r"(unmapped) : "memory");
  g_sink = value;
}

__attribute__((noipa)) void ExecuteUndefinedInstruction() { asm volatile("ud2"); }

// Every argument after the program name between brackets, one to a line.
void TellArguments() {
  Write_Str(0, StdOut, "count ");
  Write_SInt(0, StdOut, ParamCount());
  Writeln_End(StdOut);
  for (int32_t i = 1; i <= ParamCount() + 1; ++i) {
    Write_Str(0, StdOut, "[");
    Write_Str(0, StdOut, ParamStr(i));
    Write_Str(0, StdOut, "]");
    Writeln_End(StdOut);
  }
  const bool hasPath = ParamStr(0).size() > 4 && ParamStr(0).substr(1, 2) == ":\\";
  Write_Str(0, StdOut, hasPath ? "full path" : "no path");
  Writeln_End(StdOut);
}

struct Body {
  const char* name;
  void (*run)();
};

constexpr Body Bodies[] = {
    {"divide-in-nested-routine", DivideInNestedRoutine},
    {"recurse-without-end", RecurseWithoutEnd},
    {"raise-258", RaiseErrorAbove255},
    {"divide-with-status-pending", DivideWithStatusPending},
    {"extended-divide-by-zero", ExtendedDivideByZero},
    {"extended-zero-by-zero", ExtendedZeroByZero},
    {"extended-overflow", ExtendedOverflow},
    {"double-divide-by-zero", DoubleDivideByZero},
    {"double-zero-by-zero", DoubleZeroByZero},
    {"read-unmapped-address", ReadUnmappedAddress},
    {"undefined-instruction", ExecuteUndefinedInstruction},
    {"halt", [] { Halt(); }},
    {"halt-cannot-open", [] { Halt(ExitStatus::CannotOpen); }},
    {"return", [] {}},
    {"tell-arguments", TellArguments},
};

}  // namespace

int main(int argc, char** argv) {
  const char* wanted = std::getenv("TOLVAR_FRAME_BODY");
  for (const Body& body : Bodies) {
    if (wanted != nullptr && std::strcmp(wanted, body.name) == 0) {
      System_Start(argc, argv, body.run);
    }
  }
  std::fprintf(stderr, "frame-bodies: no body named by TOLVAR_FRAME_BODY\n");
  return 127;
}
