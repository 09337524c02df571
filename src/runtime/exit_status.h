// The exit statuses of the tool, named once. A runtime error ends with its number modulo 256.
#pragma once

#include <cstdint>

enum class ExitStatus : uint8_t {
  Ok = 0,              ///< the file was processed, or held no "data" chunk; or no argument
  NoTerminal = 1,      ///< no terminal reachable at start-up
  WrongArguments = 2,  ///< two or more arguments
  CannotOpen = 3,      ///< the file cannot be opened
  NotPcm16 = 4,        ///< the file is not 16-bit PCM; left unchanged
  IoFailure = 5,       ///< a read or write failed while processing
};
