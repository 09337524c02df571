// What file access asks of the platform: the system calls of the FileCalls table, the
// exclusive open, the close, and how a failed call reads as a status. One implementation per
// platform (posix/file_platform.cpp, win32/file_platform.cpp); the rules of the file object,
// the sticky status and the transfers are shared in file_access.cpp.
#pragma once

#include <cstddef>
#include <cstdint>

/// The entries of SystemFileCalls, as FileCalls describes them.
int SystemOpen(const char* path, int flags);
int64_t SystemSize(int fd);
int64_t SystemPread(int fd, void* buf, std::size_t count, int64_t offset);
int64_t SystemPwrite(int fd, const void* buf, std::size_t count, int64_t offset);

/// Opens the existing ordinary file name (not empty) for reading and writing, for this
/// process alone, through ActiveFileCalls->open. Anything else (a device, a directory, a
/// pipe) is refused before it is read or written. Returns the handle, or UnusedHandle with
/// InOutRes set.
int32_t OpenExclusive(const char* name);
/// Closes an open handle; nothing it reports is acted on.
void CloseFileHandle(int32_t handle);
/// After a failed call of the table: whether it was cut short and should be made again.
bool CallWasInterrupted();
/// After a failed call of the table: its status, never 0.
uint16_t LastCallStatus();
/// The status for a name longer than FileNameCapacity.
extern const uint16_t NameTooLongStatus;
