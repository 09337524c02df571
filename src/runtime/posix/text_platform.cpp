// Standard handles on Linux are descriptors; text there ends its lines in a line feed.
#include "runtime/text_platform.h"

#include <unistd.h>

#include <cerrno>

const std::string_view HandleLineEnd = "\n";

int64_t WriteToHandle(int32_t handle, const char* bytes, std::size_t n) {
  const int savedErrno = errno;
  ssize_t put;
  do {
    put = ::write(handle, bytes, n);
  } while (put < 0 && errno == EINTR);
  errno = savedErrno;
  return put;
}
