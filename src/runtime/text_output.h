// Text files: the 256-character buffered streams Input, Output, StdOut and StdErr, the write
// and write-line operations that fill them, and the conversion of a real number to text.
// The devices behind the streams (the console, the standard handles) are reached through
// the record's operation slots; errors go to the sticky InOutRes of the file layer.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string_view>

constexpr int32_t TextBufferSize = 256;

struct TextRec;
/// An operation slot: takes the record, returns a status that the write path ignores.
using TextOp = int (*)(TextRec& t);

struct TextRec {
  int32_t Handle;      ///< descriptor of the device or file; UnusedHandle after Assign
  uint32_t Mode;       ///< ModeClosed, ModeInput or ModeOutput
  int32_t Capacity;    ///< characters the buffer holds: 256
  int32_t Pending;     ///< characters waiting in Buffer[0 .. Pending - 1]
  int32_t BufEnd;      ///< end of the characters read ahead (input only)
  TextOp OpenOp;       ///< run once when the file is opened
  TextOp TransferOp;   ///< hands the pending characters to the device when the buffer is full
  TextOp FlushOp;      ///< run at the end of every statement; may be empty
  TextOp CloseOp;      ///< run when the file is closed
  std::string_view LineEnd;  ///< what Writeln_End appends: CR LF on the console, LF on a file
  char Name[256];
  char Buffer[TextBufferSize];
};

extern TextRec Input;
extern TextRec Output;
extern TextRec StdOut;
extern TextRec StdErr;

/// Type code of the 80-bit extended real, the only one the program writes.
constexpr int32_t RealTypeExtended = 2;

/// Clears t and names it; the open operation becomes the ordinary file open.
void Assign(TextRec& t, std::string_view name);
/// Opens t for output (Rewrite) or input (Reset) through its OpenOp.
void Rewrite(TextRec& t);
void Reset(TextRec& t);

/// Binds t, opened for output, to an already open descriptor: every transfer and flush is one
/// write of all pending bytes (fewer accepted sets status 101). No platform call.
void BindOutputHandle(TextRec& t, int fd);
/// Binds t, opened for input, to an already open descriptor. Never read by this program.
void BindInputHandle(TextRec& t, int fd);

void Write_Str(int32_t width, TextRec& t, std::string_view s);
void Write_Char(int32_t width, TextRec& t, char c);
void Write_Float(int32_t type, int32_t decimals, int32_t width, TextRec& t, long double value);
void Write_SInt(int32_t width, TextRec& t, int32_t v);
/// Ends a write statement: runs FlushOp, whatever the status.
void Write_End(TextRec& t);
/// Ends a write-line statement: appends the line end, then runs FlushOp.
void Writeln_End(TextRec& t);

/// Longest text Str_Real produces.
constexpr std::size_t RealTextCapacity = 255;
/// Writes value as text with at least width characters and the given decimals into out
/// (room for RealTextCapacity characters) and returns its length. Type 2 only.
/// Pure: no device, no allocation, no locale. Async-signal-safe.
std::size_t Str_Real(int32_t width, int32_t decimals, long double value, int32_t type, char* out);
