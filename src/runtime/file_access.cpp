#include "runtime/file_access.h"

#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>

uint16_t InOutRes = 0;

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

int SystemOpen(const char* path, int flags) { return open(path, flags); }

/// The size from a seek to the end rather than fstat: the positions live in the file object,
/// so the descriptor's own offset is free. It is also cheaper, and on file systems with
/// fine-grained timestamps a stat between writes makes every following write update the
/// inode's times; the progress line asks for the size once per block.
int64_t SystemSize(int fd) { return lseek(fd, 0, SEEK_END); }

int64_t SystemPread(int fd, void* buf, std::size_t count, int64_t offset) {
  return pread(fd, buf, count, offset);
}

int64_t SystemPwrite(int fd, const void* buf, std::size_t count, int64_t offset) {
  return pwrite(fd, buf, count, offset);
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
  if (cut > 1) --cut;                             // keep "/" itself for "/name"
  std::memcpy(dir, name, cut);
  dir[cut] = '\0';
  return KindOfPath(dir) == PathKind::Directory ? io_status::FileNotFound : io_status::PathNotFound;
}

uint16_t OpenFailureStatus(const char* name, int e) {
  return e == ENOENT ? MissingPathStatus(name) : StatusFromErrno(e);
}

void SetStatusFromErrno(int e) { InOutRes = StatusFromErrno(e); }

/// Opens name for reading and writing, refusing anything but an existing regular file, and
/// takes the exclusive lock. Returns the descriptor, or -1 with the status set.
int OpenExclusive(const char* name) {
  // A device, FIFO or directory is never opened at all: opening one can block or act on
  // the device, and the tool must only ever rewrite an ordinary file.
  const PathKind kind = KindOfPath(name);
  if (kind == PathKind::Missing) {
    InOutRes = OpenFailureStatus(name, errno);
    return -1;
  }
  if (kind != PathKind::Regular) {
    InOutRes = io_status::AccessDenied;
    return -1;
  }
  int fd;
  do {
    fd = ActiveFileCalls->open(name, O_RDWR | O_CLOEXEC | O_NOCTTY);
  } while (fd < 0 && errno == EINTR);
  if (fd < 0) {
    InOutRes = OpenFailureStatus(name, errno);
    return -1;
  }
  // The path may have been replaced between the check and the open.
  struct stat st;
  const bool statFailed = fstat(fd, &st) != 0;
  if (statFailed || !S_ISREG(st.st_mode)) {
    InOutRes = statFailed ? StatusFromErrno(errno) : io_status::AccessDenied;
    close(fd);
    return -1;
  }
  int locked;
  do {
    locked = flock(fd, LOCK_EX | LOCK_NB);
  } while (locked != 0 && errno == EINTR);
  if (locked != 0) {
    SetStatusFromErrno(errno);
    close(fd);
    return -1;
  }
  return fd;
}

/// Whether an operation on an open file may go ahead: no status is latched and the file is
/// open; a file that is not open latches NotOpen, so that a closed one never reaches the
/// system with a stale descriptor.
bool ReadyForUse(const FileRec& f) {
  if (InOutRes != 0) return false;
  if (f.Mode == ModeInOut) return true;
  InOutRes = io_status::NotOpen;
  return false;
}

/// Bytes for count records, or -1 for a negative count, which transfers nothing.
int64_t TransferBytes(const FileRec& f, int32_t count) {
  if (count < 0) return -1;
  return static_cast<int64_t>(count) * f.RecSize;
}

/// One transfer of count records at the file's position through move, a positional read or
/// write of a byte count at an offset; n receives the records moved. A call that a signal
/// cuts short (EINTR, or a part of the bytes on file systems that allow it) is continued
/// from where it stopped until the transfer is complete, meets the end of the file (a read
/// of 0 bytes; a write of 0 bytes cannot get further either) or fails.
template <typename Move>
void Transfer(FileRec& f, int32_t count, int32_t& n, Move move) {
  n = 0;
  if (!ReadyForUse(f)) return;
  const int64_t bytes = TransferBytes(f, count);
  if (bytes < 0) return;
  int64_t done = 0;
  do {  // a count of 0 still makes its one call, as a transfer always has
    const int64_t moved = move(done, static_cast<std::size_t>(bytes - done), f.Position + done);
    if (moved < 0 && errno == EINTR) continue;
    if (moved < 0) {
      SetStatusFromErrno(errno);
      break;
    }
    if (moved == 0) break;
    done += moved;
  } while (done < bytes);
  f.Position += done;
  n = static_cast<int32_t>(done / f.RecSize);
}

}  // namespace

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

const FileCalls SystemFileCalls = {SystemOpen, SystemSize, SystemPread, SystemPwrite};
const FileCalls* ActiveFileCalls = &SystemFileCalls;

void Assign(FileRec& f, std::string_view name) {
  std::memset(&f, 0, sizeof f);
  f.Handle = UnusedHandle;
  f.Mode = ModeClosed;
  if (name.size() > FileNameCapacity) {
    f.NameTooLong = true;
    return;
  }
  std::memcpy(f.Name, name.data(), name.size());
}

void Reset(FileRec& f, int32_t recSize) {
  if (InOutRes != 0) return;
  if (f.Mode == ModeInOut) Close(f);
  f.Handle = UnusedHandle;
  f.Position = 0;
  f.Mode = ModeInOut;  // also when the open fails, as the status is what counts then
  f.RecSize = recSize;
  if (f.NameTooLong) {
    InOutRes = ENAMETOOLONG;
  } else if (f.Name[0] == '\0') {
    InOutRes = io_status::FileNotFound;
  } else {
    f.Handle = OpenExclusive(f.Name);
  }
}

uint16_t IOResult() {
  const uint16_t status = InOutRes;
  InOutRes = 0;
  return status;
}

void Seek(FileRec& f, int64_t n) {
  if (!ReadyForUse(f)) return;
  if (n < 0) {
    InOutRes = io_status::NegativeSeek;
    return;
  }
  f.Position = n * f.RecSize;
}

void BlockRead(FileRec& f, void* buf, int32_t count, int32_t& n) {
  auto* to = static_cast<uint8_t*>(buf);
  Transfer(f, count, n, [&f, to](int64_t done, std::size_t bytes, int64_t at) {
    return ActiveFileCalls->pread(f.Handle, to + done, bytes, at);
  });
}

void BlockRead(FileRec& f, void* buf, int32_t count) {
  int32_t n;
  BlockRead(f, buf, count, n);
  if (n < count && count > 0) InOutRes = io_status::ReadShort;
}

void BlockWrite(FileRec& f, const void* buf, int32_t count, int32_t& n) {
  const auto* from = static_cast<const uint8_t*>(buf);
  Transfer(f, count, n, [&f, from](int64_t done, std::size_t bytes, int64_t at) {
    return ActiveFileCalls->pwrite(f.Handle, from + done, bytes, at);
  });
}

void BlockWrite(FileRec& f, const void* buf, int32_t count) {
  int32_t n;
  BlockWrite(f, buf, count, n);
  if (n < count && count > 0) InOutRes = io_status::WriteShort;
}

void BlockOverwrite(FileRec& f, const void* buf, int32_t count) {
  if (count > 0 && ReadyForUse(f)) {
    const int64_t bytes = TransferBytes(f, count);
    const int64_t size = ActiveFileCalls->size(f.Handle);
    if (size < 0) {
      SetStatusFromErrno(errno);
    } else if (bytes >= 0 && f.Position + bytes > size) {
      InOutRes = io_status::WriteShort;  // cut short by someone else: nothing is written
    }
  }
  BlockWrite(f, buf, count);
}

int64_t FilePos(FileRec& f) {
  if (!ReadyForUse(f)) return 0;
  return f.Position / f.RecSize;
}

int64_t FileSize(FileRec& f) {
  if (!ReadyForUse(f)) return 0;
  const int64_t size = ActiveFileCalls->size(f.Handle);
  if (size < 0) {
    SetStatusFromErrno(errno);
    return 0;
  }
  return size / f.RecSize;
}

void Close(FileRec& f) {
  if (!ReadyForUse(f)) return;
  // Not retried on EINTR: Linux has released the descriptor by then, and a second close
  // could hit one opened meanwhile. The result says nothing the program could act on.
  if (f.Handle >= 0) close(f.Handle);
  f.Handle = UnusedHandle;
  f.Mode = ModeClosed;
}
