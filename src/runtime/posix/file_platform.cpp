// File access on Linux: an open refused for anything but a regular file, then an advisory
// exclusive lock; positional reads and writes; the status from errno.
#include "runtime/file_platform.h"

#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>

#include "runtime/file_access.h"

namespace {

// Positions above 2 GiB must survive the trip through pread and pwrite.
static_assert(sizeof(off_t) == 8, "64-bit file offsets are required");

/// What the path names, following symbolic links, without opening it.
enum class PathKind { Missing, Regular, Directory, Other };

PathKind KindOfPath(const char* path) {
  struct stat st;
  if (stat(path, &st) != 0) return PathKind::Missing;
  if (S_ISREG(st.st_mode)) return PathKind::Regular;
  return S_ISDIR(st.st_mode) ? PathKind::Directory : PathKind::Other;
}

/// Turns an errno into a status: the numbers callers know for a missing file, a missing
/// directory and refused access, errno itself otherwise. Never 0: a failure reported as 0
/// would read as success.
uint16_t StatusFromErrno(int e) {
  switch (e) {
    case ENOENT:
      return io_status::FileNotFound;
    case ENOTDIR:
      return io_status::PathNotFound;
    case EACCES:
    case EPERM:
    case EISDIR:
    case EROFS:
    case ETXTBSY:
    case EWOULDBLOCK:
      return io_status::AccessDenied;
    default:
      break;
  }
  const uint16_t low = static_cast<uint16_t>(e & 0xFFFF);
  return low != 0 ? low : static_cast<uint16_t>(EIO);
}

/// ENOENT does not say which part of the path is missing; the directory part decides
/// between "no such file" and "no such directory".
uint16_t MissingPathStatus(const char* name) {
  char dir[FileNameCapacity + 1];
  std::size_t len = std::strlen(name);
  while (len > 1 && name[len - 1] == '/') --len;  // "missing/" names the entry "missing"
  std::size_t cut = len;
  while (cut > 0 && name[cut - 1] != '/') --cut;
  if (cut == 0) return io_status::FileNotFound;  // relative to the working directory
  if (cut > 1) --cut;                            // keep "/" itself for "/name"
  std::memcpy(dir, name, cut);
  dir[cut] = '\0';
  return KindOfPath(dir) == PathKind::Directory ? io_status::FileNotFound : io_status::PathNotFound;
}

uint16_t OpenFailureStatus(const char* name, int e) {
  return e == ENOENT ? MissingPathStatus(name) : StatusFromErrno(e);
}

}  // namespace

int SystemOpen(const char* path, int flags) { return open(path, flags); }

/// The size from a seek to the end rather than fstat: the positions live in the file object,
/// so the descriptor's own offset is free. It is also cheaper, and on file systems with
/// fine-grained timestamps a stat between writes makes every following write update the
/// inode's times.
int64_t SystemSize(int fd) { return lseek(fd, 0, SEEK_END); }

int64_t SystemPread(int fd, void* buf, std::size_t count, int64_t offset) {
  return pread(fd, buf, count, offset);
}

int64_t SystemPwrite(int fd, const void* buf, std::size_t count, int64_t offset) {
  return pwrite(fd, buf, count, offset);
}

const uint16_t NameTooLongStatus = ENAMETOOLONG;

bool CallWasInterrupted() { return errno == EINTR; }
uint16_t LastCallStatus() { return StatusFromErrno(errno); }

int32_t OpenExclusive(const char* name) {
  // A device, FIFO or directory is never opened at all: opening one can block or act on
  // the device, and the tool must only ever rewrite an ordinary file.
  const PathKind kind = KindOfPath(name);
  if (kind == PathKind::Missing) {
    InOutRes = OpenFailureStatus(name, errno);
    return UnusedHandle;
  }
  if (kind != PathKind::Regular) {
    InOutRes = io_status::AccessDenied;
    return UnusedHandle;
  }
  int fd;
  do {
    fd = ActiveFileCalls->open(name, O_RDWR | O_CLOEXEC | O_NOCTTY);
  } while (fd < 0 && errno == EINTR);
  if (fd < 0) {
    InOutRes = OpenFailureStatus(name, errno);
    return UnusedHandle;
  }
  // The path may have been replaced between the check and the open.
  struct stat st;
  const bool statFailed = fstat(fd, &st) != 0;
  if (statFailed || !S_ISREG(st.st_mode)) {
    InOutRes = statFailed ? StatusFromErrno(errno) : io_status::AccessDenied;
    close(fd);
    return UnusedHandle;
  }
  int locked;
  do {
    locked = flock(fd, LOCK_EX | LOCK_NB);
  } while (locked != 0 && errno == EINTR);
  if (locked != 0) {
    InOutRes = StatusFromErrno(errno);
    close(fd);
    return UnusedHandle;
  }
  return fd;
}

// Not retried on EINTR: Linux has released the descriptor by then, and a second close could
// hit one opened meanwhile. The result says nothing the program could act on.
void CloseFileHandle(int32_t handle) { close(handle); }
