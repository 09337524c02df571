// A test program: the runtime's start-up and termination frame around bodies of its own,
// chosen by the environment variable TOLVAR_FRAME_BODY. Each body ends in one of the ways
// the frame must handle. Before it faults, a body tells the test on standard error which
// addresses the report has to show ("<name> <hex address>" lines), so that the test can
// check the report against the real code addresses of this run.
#include <sys/mman.h>
#include <unistd.h>

#include <cfloat>
#include <climits>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "runtime/file_access.h"
#include "runtime/system.h"
#include "runtime/text_output.h"

// The division instruction of DivideByZero; the report must name exactly this address.
extern "C" const char frame_bodies_divide_instruction[];

namespace {

volatile int g_sink = 0;
volatile long double g_zero_extended = 0.0L;
volatile long double g_one_extended = 1.0L;
volatile long double g_largest_extended = LDBL_MAX;
volatile double g_zero_double = 0.0;
volatile long double g_result = 0.0L;

void Tell(const char* name, const void* address) {
  char line[96];
  const auto value = static_cast<unsigned long long>(reinterpret_cast<uintptr_t>(address));
  const int length = std::snprintf(line, sizeof line, "%s %llx\n", name, value);
  if (length > 0) g_sink = static_cast<int>(write(STDERR_FILENO, line, std::size_t(length)));
}

// The division is written out so that the sanitizers cannot intercept it: the processor
// itself must fault.
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

__attribute__((noipa)) void WriteThenDivide() {
  Write_Str(0, Output, "text of the body");
  Writeln_End(Output);
  DivideInNestedRoutine();
}

__attribute__((noipa)) int Recurse(int depth) {
  volatile int kept = depth;
  if (depth <= 0) return DivideByZero(1);
  return Recurse(depth - 1) + kept;
}

int DepthFromEnvironment() {
  const char* text = std::getenv("TOLVAR_FRAME_DEPTH");
  return text != nullptr ? std::atoi(text) : 40;
}

__attribute__((noipa)) void DivideAfterDeepRecursion() { g_sink = Recurse(DepthFromEnvironment()); }

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

// Each result is stored, so that the x87 unit reports its pending exception.
__attribute__((noipa)) void ExtendedDivideByZero() { g_result = g_one_extended / g_zero_extended; }
__attribute__((noipa)) void ExtendedZeroByZero() { g_result = g_zero_extended / g_zero_extended; }
__attribute__((noipa)) void ExtendedOverflow() { g_result = g_largest_extended * g_largest_extended; }
__attribute__((noipa)) void DoubleDivideByZero() { g_result = 1.0 / g_zero_double; }

__attribute__((noipa)) void ReadUnmappedAddress() {
  const uintptr_t unmapped = 16;
  int value = 0;
  asm volatile("movl (%1), %0" : "=r"(value) : "r"(unmapped) : "memory");
  g_sink = value;
}

__attribute__((noipa)) void ExecuteUndefinedInstruction() { asm volatile("ud2"); }

// The trap flag set by hand; the red zone is stepped over before pushing.
__attribute__((noipa)) void SingleStep() {
  asm volatile(
      "lea -128(%%rsp), %%rsp\n\t"
      "pushfq\n\t"
      "orl $0x100, (%%rsp)\n\t"
      "popfq\n\t"
      "nop\n\t"
      "nop\n\t"
      "lea 128(%%rsp), %%rsp"
      :
      :
      : "memory", "cc");
}

__attribute__((noipa)) void HitBreakpoint() { asm volatile("int3"); }

// A page mapped from an empty file has nothing behind it.
__attribute__((noipa)) void ReadBeyondMappedFile() {
  const int fd = memfd_create("frame-bodies", 0);
  void* page = mmap(nullptr, 4096, PROT_READ, MAP_SHARED, fd, 0);
  if (fd < 0 || page == MAP_FAILED) std::_Exit(126);
  g_sink = *static_cast<volatile const int*>(page);
}

void HaltWithoutStatus() { Halt(); }

void HaltCannotOpen() { Halt(ExitStatus::CannotOpen); }

void ReturnAtOnce() {}

// "count <n>", then "param <i> <length> <text>" for 0 .. ParamCount + 1.
void TellArguments() {
  char line[64];
  int length = std::snprintf(line, sizeof line, "count %d\n", static_cast<int>(ParamCount()));
  g_sink = static_cast<int>(write(STDERR_FILENO, line, static_cast<size_t>(length)));
  for (int32_t i = 0; i <= ParamCount() + 1; ++i) {
    const std::string_view text = ParamStr(i);
    length = std::snprintf(line, sizeof line, "param %d %zu ", static_cast<int>(i), text.size());
    g_sink = static_cast<int>(write(STDERR_FILENO, line, static_cast<size_t>(length)));
    g_sink = static_cast<int>(write(STDERR_FILENO, text.data(), text.size()));
    g_sink = static_cast<int>(write(STDERR_FILENO, "\n", 1));
  }
}

struct Body {
  const char* name;
  void (*run)();
};

constexpr Body Bodies[] = {
    {"divide-in-nested-routine", DivideInNestedRoutine},
    {"write-then-divide", WriteThenDivide},
    {"divide-after-deep-recursion", DivideAfterDeepRecursion},
    {"recurse-without-end", RecurseWithoutEnd},
    {"raise-258", RaiseErrorAbove255},
    {"divide-with-status-pending", DivideWithStatusPending},
    {"extended-divide-by-zero", ExtendedDivideByZero},
    {"extended-zero-by-zero", ExtendedZeroByZero},
    {"extended-overflow", ExtendedOverflow},
    {"double-divide-by-zero", DoubleDivideByZero},
    {"read-unmapped-address", ReadUnmappedAddress},
    {"undefined-instruction", ExecuteUndefinedInstruction},
    {"single-step", SingleStep},
    {"breakpoint", HitBreakpoint},
    {"read-beyond-mapped-file", ReadBeyondMappedFile},
    {"halt", HaltWithoutStatus},
    {"halt-cannot-open", HaltCannotOpen},
    {"return", ReturnAtOnce},
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
