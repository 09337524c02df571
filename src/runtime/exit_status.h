// The statuses with which the tool reports what went wrong, named once. A run that ends well
// (the file processed, or no "data" chunk in it, or no argument) ends with 0, Halt's default;
// a runtime error ends with its number modulo 256.
#pragma once

#include <cstdint>

enum class ExitStatus : uint8_t {
  NoTerminal = 1,      ///< no terminal reachable at start-up
  WrongArguments = 2,  ///< two or more arguments
  CannotOpen = 3,      ///< the file cannot be opened
  NotPcm16 = 4,        ///< the file is not 16-bit PCM; left unchanged
  IoFailure = 5,       ///< a read or write failed while processing
};
