// File access on Windows: the file is opened for reading and writing with no sharing at all,
// so a second run or an editor holding the file makes the open fail. Only files on a disk
// are accepted: a device, a directory or a pipe is refused before anything is read or
// written. Each transfer names its offset. Names are UTF-8 (as the argument list keeps them)
// and reach the system through its UTF-16 calls, every character as it is; a name that is not
// UTF-8, such as one holding an unpaired surrogate of the command line, is refused.
#include "runtime/file_platform.h"

#include <windows.h>

#include <algorithm>
#include <string>

#include "runtime/file_access.h"

namespace {

/// The most one ReadFile or WriteFile is asked to move; the shared loop asks again for more.
constexpr std::size_t MaxCallBytes = std::size_t{1} << 30;
/// Reported when the platform failed without saying why: a failure must never read as 0.
constexpr uint16_t GeneralFailure = 162;

HANDLE HandleOf(int fd) { return LongToHandle(fd); }

/// The UTF-8 name in UTF-16, with every slash a backslash; false when name is not UTF-8.
bool WideName(const char* name, std::wstring& wide) {
  const int length = MultiByteToWideChar(CP_UTF8, MB_ERR_INVALID_CHARS, name, -1, nullptr, 0);
  if (length <= 0) return false;
  wide.resize(static_cast<std::size_t>(length));
  if (MultiByteToWideChar(CP_UTF8, MB_ERR_INVALID_CHARS, name, -1, wide.data(), length) != length)
    return false;
  wide.pop_back();  // the terminating zero, which c_str() gives back
  std::replace(wide.begin(), wide.end(), L'/', L'\\');
  return true;
}

/// A name the platform resolves into its device namespace (NUL, CON, COM1, \\.\...).
bool NamesDevice(const std::wstring& name) {
  std::wstring full(GetFullPathNameW(name.c_str(), 0, nullptr, nullptr), L'\0');
  const DWORD length = GetFullPathNameW(name.c_str(), full.size(), full.data(), nullptr);
  return length > 0 && length < full.size() && full.starts_with(L"\\\\.\\");
}

OVERLAPPED At(int64_t offset) {
  OVERLAPPED at{};
  at.Offset = static_cast<DWORD>(offset & 0xFFFFFFFF);
  at.OffsetHigh = static_cast<DWORD>(offset >> 32);
  return at;
}

}  // namespace

int SystemOpen(const char* path, int) {
  std::wstring name;
  if (!WideName(path, name)) {
    SetLastError(ERROR_INVALID_NAME);
    return -1;
  }
  const HANDLE h = CreateFileW(name.c_str(), GENERIC_READ | GENERIC_WRITE, 0, nullptr, OPEN_EXISTING,
                               FILE_ATTRIBUTE_NORMAL, nullptr);
  // Kernel handles carry 32 significant bits, also in a 64-bit process.
  return h == INVALID_HANDLE_VALUE || h == nullptr ? -1 : HandleToLong(h);
}

int64_t SystemSize(int fd) {
  LARGE_INTEGER end{};
  return SetFilePointerEx(HandleOf(fd), LARGE_INTEGER{}, &end, FILE_END) ? end.QuadPart : -1;
}

int64_t SystemPread(int fd, void* buf, std::size_t count, int64_t offset) {
  OVERLAPPED at = At(offset);
  DWORD got = 0;
  if (ReadFile(HandleOf(fd), buf, static_cast<DWORD>(std::min(count, MaxCallBytes)), &got, &at)) return got;
  // A read that starts at or past the end reports that as a failure of its own.
  return GetLastError() == ERROR_HANDLE_EOF ? 0 : -1;
}

int64_t SystemPwrite(int fd, const void* buf, std::size_t count, int64_t offset) {
  OVERLAPPED at = At(offset);
  DWORD put = 0;
  const auto bytes = static_cast<DWORD>(std::min(count, MaxCallBytes));
  return WriteFile(HandleOf(fd), buf, bytes, &put, &at) ? int64_t{put} : -1;
}

const uint16_t NameTooLongStatus = ERROR_FILENAME_EXCED_RANGE;

bool CallWasInterrupted() { return false; }

/// Device errors 19 to 31 become 150 to 162, a sharing violation is refused access, anything
/// else keeps its number.
uint16_t LastCallStatus() {
  const DWORD e = GetLastError();
  if (e >= ERROR_WRITE_PROTECT && e <= ERROR_GEN_FAILURE) return static_cast<uint16_t>(e + 131);
  if (e == ERROR_SHARING_VIOLATION) return io_status::AccessDenied;
  const auto low = static_cast<uint16_t>(e & 0xFFFF);
  return low != 0 ? low : GeneralFailure;
}

int32_t OpenExclusive(const char* name) {
  std::wstring wide;
  if (!WideName(name, wide)) {
    InOutRes = ERROR_INVALID_NAME;  // no file has this name: never guess one that looks like it
    return UnusedHandle;
  }
  // A device is never opened: opening one can act on it (a serial line, a printer).
  if (NamesDevice(wide)) {
    InOutRes = io_status::AccessDenied;
    return UnusedHandle;
  }
  const int fd = ActiveFileCalls->open(name, 0);
  if (fd == -1) {
    InOutRes = LastCallStatus();
    return UnusedHandle;
  }
  // What the name turned out to be, whatever it looked like: a pipe or a device is given back.
  if (GetFileType(HandleOf(fd)) != FILE_TYPE_DISK) {
    CloseHandle(HandleOf(fd));
    InOutRes = io_status::AccessDenied;
    return UnusedHandle;
  }
  return fd;
}

void CloseFileHandle(int32_t handle) { CloseHandle(HandleOf(handle)); }
