// File access on Windows: the file is opened for reading and writing with no sharing at all,
// so a second run or an editor holding the file makes the open fail. Only files on a disk
// are accepted: a device, a directory or a pipe is refused before anything is read or
// written. Positions live in the file object as on Linux; each transfer names its offset.
#include "runtime/file_access.h"

#include <windows.h>

#include <algorithm>
#include <cerrno>
#include <cstring>

uint16_t InOutRes = 0;
uint8_t FileMode = 2;

namespace {

/// The most one ReadFile or WriteFile is asked to move; larger transfers take several calls.
constexpr int64_t MaxCallBytes = int64_t{1} << 30;
/// Reported when the platform failed without saying why: a failure must never read as 0.
constexpr uint16_t GeneralFailure = 162;

/// The platform's error number as a status: device errors 19 to 31 become 150 to 162, a
/// sharing violation is refused access, anything else keeps its number.
uint16_t StatusFromError(DWORD e) {
  if (e >= ERROR_WRITE_PROTECT && e <= ERROR_GEN_FAILURE) return static_cast<uint16_t>(e + 131);
  if (e == ERROR_SHARING_VIOLATION) return io_status::AccessDenied;
  const auto low = static_cast<uint16_t>(e & 0xFFFF);
  return low != 0 ? low : GeneralFailure;
}

void SetStatusFromLastError() { InOutRes = StatusFromError(GetLastError()); }

HANDLE HandleOf(const FileRec& f) { return LongToHandle(f.Handle); }

bool IsOpenMode(uint32_t mode) {
  return mode == ModeInput || mode == ModeOutput || mode == ModeInOut;
}

/// A name the platform resolves into its device namespace (NUL, CON, COM1, \\.\...).
bool NamesDevice(const char* name) {
  char full[MAX_PATH];
  const DWORD length = GetFullPathNameA(name, sizeof full, full, nullptr);
  return length > 0 && length < sizeof full && std::strncmp(full, "\\\\.\\", 4) == 0;
}

/// Opens an existing file on a disk for exclusive reading and writing. Returns the handle,
/// or INVALID_HANDLE_VALUE with the status set.
HANDLE OpenExclusive(const char* name) {
  // A device is never opened: opening one can act on it (a serial line, a printer).
  if (NamesDevice(name)) {
    InOutRes = io_status::AccessDenied;
    return INVALID_HANDLE_VALUE;
  }
  const HANDLE h = CreateFileA(name, GENERIC_READ | GENERIC_WRITE, 0, nullptr, OPEN_EXISTING,
                               FILE_ATTRIBUTE_NORMAL, nullptr);
  if (h == INVALID_HANDLE_VALUE || h == nullptr) {
    SetStatusFromLastError();
    return INVALID_HANDLE_VALUE;
  }
  // What the name turned out to be, whatever it looked like: a pipe or a device is given back.
  if (GetFileType(h) != FILE_TYPE_DISK) {
    CloseHandle(h);
    InOutRes = io_status::AccessDenied;
    return INVALID_HANDLE_VALUE;
  }
  return h;
}

bool CheckTransferMode(const FileRec& f, uint32_t allowed, uint16_t wrongModeStatus) {
  if (f.Mode == allowed || f.Mode == ModeInOut) return true;
  const bool otherDirection = f.Mode == ModeInput || f.Mode == ModeOutput;
  InOutRes = otherDirection ? wrongModeStatus : io_status::NotOpen;
  return false;
}

bool ReadyForUse(const FileRec& f) {
  if (InOutRes != 0) return false;
  if (IsOpenMode(f.Mode)) return true;
  InOutRes = io_status::NotOpen;
  return false;
}

int64_t TransferBytes(const FileRec& f, int32_t count) {
  if (count < 0 || f.RecSize <= 0) return -1;
  return static_cast<int64_t>(count) * f.RecSize;
}

OVERLAPPED At(int64_t offset) {
  OVERLAPPED at{};
  at.Offset = static_cast<DWORD>(offset & 0xFFFFFFFF);
  at.OffsetHigh = static_cast<DWORD>(offset >> 32);
  return at;
}

/// Bytes read at offset, 0 at or past the end of the file, -1 with the error left for
/// GetLastError.
int64_t ReadAt(HANDLE h, void* buf, DWORD bytes, int64_t offset) {
  OVERLAPPED at = At(offset);
  DWORD got = 0;
  if (ReadFile(h, buf, bytes, &got, &at)) return got;
  // A read that starts at or past the end reports that as a failure of its own.
  return GetLastError() == ERROR_HANDLE_EOF ? 0 : -1;
}

int64_t WriteAt(HANDLE h, const void* buf, DWORD bytes, int64_t offset) {
  OVERLAPPED at = At(offset);
  DWORD put = 0;
  return WriteFile(h, buf, bytes, &put, &at) ? int64_t{put} : -1;
}

/// The size in bytes from the end position, or -1 with the error left for GetLastError.
int64_t SizeOf(HANDLE h) {
  LARGE_INTEGER end{};
  return SetFilePointerEx(h, LARGE_INTEGER{}, &end, FILE_END) ? end.QuadPart : -1;
}

/// One transfer of count records at the file's position; n receives the records moved. A
/// call that moves only part of the bytes is continued until all have moved, the end of the
/// file is met (a call that moves nothing) or a call fails.
template <typename Move>
void Transfer(FileRec& f, int32_t count, int32_t& n, uint32_t allowed, uint16_t wrongModeStatus,
              Move move) {
  n = 0;
  if (InOutRes != 0) return;
  if (!CheckTransferMode(f, allowed, wrongModeStatus)) return;
  const int64_t bytes = TransferBytes(f, count);
  if (bytes < 0) return;
  int64_t done = 0;
  do {
    const auto part = static_cast<DWORD>(std::min(bytes - done, MaxCallBytes));
    const int64_t moved = move(done, part, f.Position + done);
    if (moved < 0) {
      SetStatusFromLastError();
      break;
    }
    if (moved == 0) break;
    done += moved;
  } while (done < bytes);
  f.Position += done;
  n = static_cast<int32_t>(done / f.RecSize);
}

}  // namespace

/// Only the C library's own file calls leave an errno behind here.
uint16_t StatusFromErrno(int e) {
  switch (e) {
    case ENOENT: return io_status::FileNotFound;
    case EACCES: return io_status::AccessDenied;
    default: break;
  }
  const auto low = static_cast<uint16_t>(e & 0xFFFF);
  return low != 0 ? low : GeneralFailure;
}

void Assign(FileRec& f, std::string_view name) {
  std::memset(&f, 0, sizeof f);
  f.Handle = UnusedHandle;
  f.Mode = ModeClosed;
  if (name.size() > FileNameCapacity) {
    f.NameTooLong = true;
    return;
  }
  if (name.find('\0') != std::string_view::npos) {
    f.NameHasZeroByte = true;
    return;
  }
  std::memcpy(f.Name, name.data(), name.size());
}

void Reset(FileRec& f, int32_t recSize) {
  if (InOutRes != 0) return;
  if (IsOpenMode(f.Mode)) {
    Close(f);
  } else if (f.Mode != ModeClosed) {
    InOutRes = io_status::NotAssigned;
    return;
  }
  if (recSize <= 0) {
    InOutRes = io_status::FileNotFound;
    return;
  }
  f.Handle = UnusedHandle;
  f.Position = 0;
  // Whatever FileMode says, the one file is only ever opened for reading and writing.
  f.Mode = ModeInOut;
  f.RecSize = recSize;
  for (char* c = f.Name; *c != '\0'; ++c) {
    if (*c == '/') *c = '\\';
  }
  if (f.NameTooLong) {
    InOutRes = ERROR_FILENAME_EXCED_RANGE;
  } else if (f.NameHasZeroByte) {
    InOutRes = ERROR_INVALID_NAME;
  } else if (f.Name[0] == '\0') {
    InOutRes = io_status::FileNotFound;
  } else {
    const HANDLE h = OpenExclusive(f.Name);
    // Kernel handles carry 32 significant bits, also in a 64-bit process.
    if (h != INVALID_HANDLE_VALUE) f.Handle = HandleToLong(h);
  }
}

uint16_t IOResult() {
  const uint16_t status = InOutRes;
  InOutRes = 0;
  return status;
}

void Seek(FileRec& f, int64_t n) {
  if (!ReadyForUse(f)) return;
  int64_t bytes;
  if (__builtin_mul_overflow(n, static_cast<int64_t>(f.RecSize), &bytes) || bytes < 0) {
    InOutRes = n < 0 ? io_status::NegativeSeek : static_cast<uint16_t>(ERROR_INVALID_PARAMETER);
    return;
  }
  f.Position = bytes;
}

void BlockRead(FileRec& f, void* buf, int32_t count, int32_t& n) {
  auto* to = static_cast<uint8_t*>(buf);
  Transfer(f, count, n, ModeInput, io_status::NotOpenForInput,
           [&f, to](int64_t done, DWORD bytes, int64_t at) {
             return ReadAt(HandleOf(f), to + done, bytes, at);
           });
}

void BlockRead(FileRec& f, void* buf, int32_t count) {
  int32_t n;
  BlockRead(f, buf, count, n);
  if (n < count && count > 0) InOutRes = io_status::ReadShort;
}

void BlockWrite(FileRec& f, const void* buf, int32_t count, int32_t& n) {
  const auto* from = static_cast<const uint8_t*>(buf);
  Transfer(f, count, n, ModeOutput, io_status::NotOpenForOutput,
           [&f, from](int64_t done, DWORD bytes, int64_t at) {
             return WriteAt(HandleOf(f), from + done, bytes, at);
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
    const int64_t size = SizeOf(HandleOf(f));
    if (size < 0) {
      SetStatusFromLastError();
    } else if (bytes >= 0 && f.Position + bytes > size) {
      InOutRes = io_status::WriteShort;  // the file is shorter than it was: nothing is written
    }
  }
  BlockWrite(f, buf, count);
}

int64_t FilePos(FileRec& f) {
  if (!ReadyForUse(f)) return 0;
  if (f.RecSize <= 0) return 0;
  return f.Position / f.RecSize;
}

int64_t FileSize(FileRec& f) {
  if (!ReadyForUse(f)) return 0;
  if (f.RecSize <= 0) return 0;
  const int64_t size = SizeOf(HandleOf(f));
  if (size < 0) {
    SetStatusFromLastError();
    return 0;
  }
  return size / f.RecSize;
}

void Close(FileRec& f) {
  if (!ReadyForUse(f)) return;
  if (f.Handle != UnusedHandle) CloseHandle(HandleOf(f));
  f.Handle = UnusedHandle;
  f.Mode = ModeClosed;
}
