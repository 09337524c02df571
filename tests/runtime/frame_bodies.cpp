// A test program: the runtime's start-up and termination frame around bodies of its own,
// chosen by the environment variable TOLVAR_FRAME_BODY. Each body ends in one of the ways
// the frame must handle. Before it faults, a body writes on standard error the lines with
// which the report has to begin, from the real code addresses of this run. The same program
// is built for Windows, where a few bodies differ.
#ifndef _WIN32
#include <sys/auxv.h>
#include <sys/mman.h>
#include <sys/resource.h>
#endif

#include <cfloat>
#include <climits>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <initializer_list>
#include <string>
#include <string_view>

#include "runtime/file_access.h"
#include "runtime/system.h"
#include "runtime/text_output.h"

// A routine the report must list: a call with a frame of its own, never inlined nor cloned
// (its assembly label must stand once in the program).
#if defined(__clang__)
#define FRAME_OF_ITS_OWN __attribute__((noinline))
#else
#define FRAME_OF_ITS_OWN __attribute__((noipa))
#endif

// The division instruction of DivideByZero; the report must name exactly this address.
extern "C" const char frame_bodies_divide_instruction[];

static volatile int Sink = 0;
static volatile long double ZeroExtended = 0.0L, OneExtended = 1.0L, LargestExtended = LDBL_MAX, Result;
static volatile double ZeroDouble = 0.0;

/// Return addresses into the body and into the entry, as the report shows them.
static unsigned IntoBody = 0, IntoEntry = 0;

static unsigned Low32(const void* address) { return static_cast<unsigned>(uintptr_t(address)); }

// The division is written out so that the sanitizers cannot intercept it: the processor
// itself must fault.
static FRAME_OF_ITS_OWN int DivideByZero(int dividend) {
  const unsigned fault = Low32(frame_bodies_divide_instruction);
  if (IntoEntry != 0) {
    std::fprintf(stderr, "Runtime error 200 at 0x%08X\n  0x%08X\n  0x%08X\n  0x%08X\n  0x%08X\n", fault,
                 fault, Low32(__builtin_return_address(0)), IntoBody, IntoEntry);
  }
  int quotient = 0;
  asm volatile(
      "movl %1, %%eax\n\tcltd\n\t.globl frame_bodies_divide_instruction\n"
      "frame_bodies_divide_instruction:\n\tidivl %2\n\tmovl %%eax, %0"
      : "=r"(quotient)
      : "r"(dividend), "r"(0)
      : "eax", "edx", "cc");
  return quotient;
}

static FRAME_OF_ITS_OWN int CallThroughOneRoutine(int dividend) {
  IntoBody = Low32(__builtin_return_address(0));
  return DivideByZero(dividend) + 1;
}

static FRAME_OF_ITS_OWN void DivideInNestedRoutine() {
  IntoEntry = Low32(__builtin_return_address(0));
  Sink = CallThroughOneRoutine(7);
}

static FRAME_OF_ITS_OWN int Recurse(int depth) {
  volatile int kept = depth;
  if (depth <= 0) return DivideByZero(1);
  return Recurse(depth - 1) + kept;
}

static FRAME_OF_ITS_OWN void RaiseFromRoutine() {
  std::fprintf(stderr, "  0x%08X\n", Low32(__builtin_return_address(0)));  // the caller's frame
  HandleError(258);
}

#ifndef _WIN32
// A page mapped from an empty file has nothing behind it.
static FRAME_OF_ITS_OWN void ReadBeyondMappedFile() {
  void* page = mmap(nullptr, 4096, PROT_READ, MAP_SHARED, memfd_create("frame", 0), 0);
  if (page == MAP_FAILED) std::_Exit(126);
  Sink = *static_cast<volatile const int*>(page);
}

// A store just beyond the stack's limit, counted from the stack's top (where the program's
// name lies), and far below the stack pointer, as a frame of some megabytes would make it.
static FRAME_OF_ITS_OWN void StoreBeyondStackLimit() {
  rlimit limit{};
  getrlimit(RLIMIT_STACK, &limit);
  *reinterpret_cast<volatile char*>(getauxval(AT_EXECFN) - limit.rlim_cur - (16 << 10)) = 1;
}
#endif

// One line on standard output: the pieces, then a line end.
static void Tell(std::initializer_list<std::string_view> pieces) {
  for (std::string_view piece : pieces) Write_Str(0, StdOut, piece);
  Writeln_End(StdOut);
}

// Every argument after the program name between brackets, one to a line, then whether the
// program's own name came with its drive (Windows).
static void TellArguments() {
  Tell({"count ", std::to_string(ParamCount())});
  for (int32_t i = 1; i <= ParamCount() + 1; ++i) Tell({"[", ParamStr(i), "]"});
  Tell({ParamStr(0).size() > 4 && ParamStr(0).substr(1, 2) == ":\\" ? "full path" : "no path"});
}

// The trap flag set by hand; the red zone is stepped over before pushing.
static FRAME_OF_ITS_OWN void SingleStep() {
  asm volatile(
      "lea -128(%%rsp), %%rsp\n\tpushfq\n\torl $0x100, (%%rsp)\n\tpopfq\n\tnop\n\t"
      "nop\n\tlea 128(%%rsp), %%rsp" ::
          : "memory", "cc");
}

static const struct {
  const char* name;
  void (*run)();
} Bodies[] = {
    {"divide-in-nested-routine", DivideInNestedRoutine},
    {"write-then-divide",
     [] {
       Write_Str(0, Output, "text of the body");
       Writeln_End(Output);
       DivideInNestedRoutine();
     }},
    {"divide-after-deep-recursion", [] { Sink = Recurse(std::atoi(getenv("TOLVAR_FRAME_DEPTH"))); }},
    {"recurse-without-end", [] { Sink = Recurse(INT_MAX); }},
    {"raise-258", RaiseFromRoutine},
    {"divide-with-status-pending",
     [] {
       InOutRes = io_status::AccessDenied;
       DivideInNestedRoutine();
     }},
    // Each result is stored, so that the x87 unit reports its pending exception.
    {"extended-divide-by-zero", [] { Result = OneExtended / ZeroExtended; }},
    {"extended-zero-by-zero", [] { Result = ZeroExtended / ZeroExtended; }},
    {"extended-overflow", [] { Result = LargestExtended * LargestExtended; }},
    {"double-divide-by-zero", [] { Result = 1.0 / ZeroDouble; }},
    {"double-zero-by-zero", [] { Result = ZeroDouble / ZeroDouble; }},
    {"read-unmapped-address", [] { asm volatile("movl (%0), %%eax" ::"r"(uintptr_t{16})
                                                : "eax"); }},
    {"undefined-instruction", [] { asm volatile("ud2"); }},
    {"single-step", SingleStep},
    {"breakpoint", [] { asm volatile("int3"); }},
#ifndef _WIN32
    {"read-beyond-mapped-file", ReadBeyondMappedFile},
    {"store-beyond-stack-limit", StoreBeyondStackLimit},
#endif
    {"halt", [] { Halt(); }},
    {"halt-cannot-open", [] { Halt(ExitStatus::CannotOpen); }},
    {"return", [] {}},
    {"tell-arguments", TellArguments},
};

int main(int argc, char** argv) {
  const char* wanted = std::getenv("TOLVAR_FRAME_BODY");
  for (const auto& body : Bodies)
    if (wanted != nullptr && std::strcmp(wanted, body.name) == 0) System_Start(argc, argv, body.run);
  std::fprintf(stderr, "frame-bodies: no body named by TOLVAR_FRAME_BODY\n");
  return 127;
}
