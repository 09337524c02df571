// What text output asks of the platform for a standard handle: one write of the pending bytes,
// and the line end that text written there takes. One implementation per platform
// (posix/text_platform.cpp, win32/text_platform.cpp); the buffers, the statements and the
// sticky status are shared in text_output.cpp.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string_view>

/// The line end of the platform's own text files.
extern const std::string_view HandleLineEnd;

/// Writes n bytes to handle in one call, made again if a signal interrupts it before it has
/// moved a byte. Returns the bytes written, or -1 on failure. The platform's error number is
/// left as it was found: the runtime error report may be written from a signal handler.
/// Async-signal-safe.
int64_t WriteToHandle(int32_t handle, const char* bytes, std::size_t n);
