// Standard handles on Windows are the C library's descriptors, switched at start-up to pass
// bytes through unchanged; text there ends its lines in carriage return and line feed.
#include "runtime/text_platform.h"

#include <io.h>

const std::string_view HandleLineEnd = "\r\n";

int64_t WriteToHandle(int32_t handle, const char* bytes, std::size_t n) {
  return _write(handle, bytes, static_cast<unsigned>(n));
}
