#include "runtime/system.h"

#include <unistd.h>

#include "runtime/console.h"
#include "runtime/file_access.h"
#include "runtime/text_output.h"

uint16_t ExitCode = 0;
uint16_t ErrorCode = 0;
void* ErrorAddr = nullptr;
void* ErrorBase = nullptr;

namespace {
int g_argc = 0;
char** g_argv = nullptr;
}  // namespace

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

void HandleError(uint16_t number) {
  HandleErrorAddrFrame(number, __builtin_return_address(0), __builtin_frame_address(1));
}

void Do_Exit() {
  RestoreTerminal();
  _exit(ExitCode);
}

int32_t ParamCount() { return g_argc > 0 ? g_argc - 1 : 0; }

std::string_view ParamStr(int32_t i) {
  if (i < 1 || i >= g_argc) return {};
  return g_argv[i];
}

void System_Start(int argc, char** argv, void (*body)()) {
  BindInputHandle(Input, STDIN_FILENO);
  BindOutputHandle(Output, STDOUT_FILENO);
  BindOutputHandle(StdOut, STDOUT_FILENO);
  BindOutputHandle(StdErr, STDERR_FILENO);
  g_argc = argc;
  g_argv = argv;
  InOutRes = 0;
  InitCrt();
  body();
  Do_Exit();
}
