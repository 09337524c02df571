#include "runtime/file_access.h"

#include <cstring>

#include "runtime/file_platform.h"

uint16_t InOutRes = 0;
const FileCalls SystemFileCalls = {SystemOpen, SystemSize, SystemPread, SystemPwrite};
const FileCalls* ActiveFileCalls = &SystemFileCalls;

namespace {

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
/// cuts short (interrupted, or a part of the bytes where the platform allows it) is continued
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
    if (moved < 0 && CallWasInterrupted()) continue;
    if (moved < 0) {
      InOutRes = LastCallStatus();
      break;
    }
    if (moved == 0) break;
    done += moved;
  } while (done < bytes);
  f.Position += done;
  n = static_cast<int32_t>(done / f.RecSize);
}

/// The size in bytes from the platform, kept in SizeSeen; on failure the status is set and the
/// result is -1.
int64_t AskSize(FileRec& f) {
  const int64_t size = ActiveFileCalls->size(f.Handle);
  if (size < 0) {
    InOutRes = LastCallStatus();
    return -1;
  }
  return f.SizeSeen = size;
}

}  // namespace

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
  if (recSize == 0) {  // nothing to count positions in: FilePos and FileSize would divide by it
    InOutRes = io_status::FileNotFound;
    return;
  }
  f.Handle = UnusedHandle;
  f.Position = f.HeldThrough = f.SizeSeen = 0;
  f.Mode = ModeInOut;  // also when the open fails, as the status is what counts then
  f.RecSize = recSize;
  if (f.NameTooLong) {
    InOutRes = NameTooLongStatus;
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
  f.HeldThrough = count > 0 && n == count ? f.Position : 0;
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
    const int64_t end = f.Position + TransferBytes(f, count);
    if (end > f.HeldThrough) {
      const int64_t size = AskSize(f);
      if (size >= 0 && end > size) InOutRes = io_status::WriteShort;  // cut short: nothing is written
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
  const int64_t size = AskSize(f);
  return size < 0 ? 0 : size / f.RecSize;
}

int64_t KnownFileSize(FileRec& f) {
  if (!ReadyForUse(f)) return 0;
  return f.SizeSeen / f.RecSize;
}

void Close(FileRec& f) {
  if (!ReadyForUse(f)) return;
  if (f.Handle != UnusedHandle) CloseFileHandle(f.Handle);
  f.Handle = UnusedHandle;
  f.Mode = ModeClosed;
}
