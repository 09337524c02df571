// Byte-addressed access to one existing file, read and rewritten in place, with the
// process-wide sticky I/O status. No operation stops the program: the first failure is
// kept in InOutRes and every later operation does nothing until IOResult clears it.
// The platform calls that can fail mid-run go through one table (FileCalls) so that tests
// can fail them.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string_view>

/// Sticky I/O status shared with text output: 0 means no error; set by the first failure,
/// cleared only by IOResult (and at start-up).
extern uint16_t InOutRes;

constexpr int32_t UnusedHandle = -1;
constexpr uint32_t ModeClosed = 0xD7B0;
constexpr uint32_t ModeOutput = 0xD7B2;  ///< text files only: the WAVE file is always ModeInOut
constexpr uint32_t ModeInOut = 0xD7B3;

/// Longest file name kept; a longer one is never cut (a cut name could open another file)
/// but refused when the file is opened.
constexpr std::size_t FileNameCapacity = 4095;

/// An untyped file. Positions, counts and sizes are in records of RecSize bytes.
struct FileRec {
  int32_t Handle;    ///< the open descriptor, UnusedHandle when none
  uint32_t Mode;     ///< ModeClosed or ModeInOut; 0 before Assign
  int32_t RecSize;   ///< bytes per record, set by Reset
  int64_t Position;  ///< byte position of the next transfer (reads and writes are positional)
  /// Bytes the file held when the latest read was made, as far as that read shows: its end
  /// when it brought every byte it asked for, 0 when it asked for none or came back short.
  int64_t HeldThrough;
  int64_t SizeSeen;                 ///< the size in bytes the platform last gave (FileSize, BlockOverwrite)
  bool NameTooLong;                 ///< Assign was given a name longer than FileNameCapacity
  char Name[FileNameCapacity + 1];  ///< the name given to Assign, zero-terminated
};

/// Status numbers this layer sets besides the platform's own.
namespace io_status {
constexpr uint16_t FileNotFound = 2;
constexpr uint16_t PathNotFound = 3;
constexpr uint16_t AccessDenied = 5;
constexpr uint16_t ReadShort = 100;
constexpr uint16_t WriteShort = 101;
constexpr uint16_t NotOpen = 103;
constexpr uint16_t NegativeSeek = 131;
}  // namespace io_status

void Assign(FileRec& f, std::string_view name);
/// Opens the existing regular file named by Assign for reading and writing (Mode becomes
/// ModeInOut) and locks it for exclusive use, closing it first if it is open. Never creates
/// or truncates. Failure: status 2, 3, 5 or another non-zero number; a record size of 0 is
/// status 2 with nothing opened.
void Reset(FileRec& f, int32_t recSize);
/// Returns the status and clears it.
uint16_t IOResult();
/// Moves the file object's own position; past the end is fine, a negative one sets 131.
void Seek(FileRec& f, int64_t n);
/// Reads count records; n receives the records read. The end of the file is no error. Here and
/// in the writes, a call cut short by a signal is continued until all count records are moved,
/// the end of the file is met, or the call fails.
void BlockRead(FileRec& f, void* buf, int32_t count, int32_t& n);
/// Reads count records; fewer than count sets status 100.
void BlockRead(FileRec& f, void* buf, int32_t count);
/// Writes count records; n receives the records written.
void BlockWrite(FileRec& f, const void* buf, int32_t count, int32_t& n);
/// Writes count records; fewer than count sets status 101.
void BlockWrite(FileRec& f, const void* buf, int32_t count);
/// Writes count records over bytes the file holds, as the 3-argument BlockWrite. When another
/// process has cut the file short of them (the lock is only advisory), nothing is written and
/// status 101 is set, so the file is not grown back with a hole. That the bytes are there is
/// taken from the latest read when it reached past them (HeldThrough); otherwise the size is
/// asked, and a query that fails sets its own status. Between that read and this write a cut
/// goes unseen: the write then lands beyond it.
void BlockOverwrite(FileRec& f, const void* buf, int32_t count);
int64_t FilePos(FileRec& f);
/// Asks the platform for the size.
int64_t FileSize(FileRec& f);
/// The size the platform last gave, for FileSize or BlockOverwrite, without asking again;
/// 0 while a status is pending.
int64_t KnownFileSize(FileRec& f);
/// Closes the descriptor, which gives up the lock; never sets a status from the platform.
void Close(FileRec& f);

/// The platform calls of this layer that tests make fail, one entry each. Each returns what the
/// Linux system call of its name returns and, on failure, leaves the platform's error set
/// (errno; on Windows the thread's last error). Handles fit in an int on both.
struct FileCalls {
  int (*open)(const char* path, int flags);
  /// The size in bytes, or -1 on failure.
  int64_t (*size)(int fd);
  int64_t (*pread)(int fd, void* buf, std::size_t count, int64_t offset);
  int64_t (*pwrite)(int fd, const void* buf, std::size_t count, int64_t offset);
};

/// The table in use; starts as the real system calls.
extern const FileCalls* ActiveFileCalls;
/// The platform's system calls (file_platform.h).
extern const FileCalls SystemFileCalls;
