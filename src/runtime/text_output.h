// Text streams: the 256-character buffered records Output, StdOut and StdErr, the write and
// write-line operations that fill them, and the conversion of a real number to text. The
// device behind a record (the console, a standard handle) is reached through its transfer
// and flush slots; errors go to the sticky InOutRes of the file layer.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string_view>

constexpr int32_t TextBufferSize = 256;

struct TextRec;
/// A device slot: takes the record, hands its pending characters on and empties the buffer.
/// Returns a status that the write path ignores.
using TextOp = int (*)(TextRec& t);

struct TextRec {
  int32_t Handle;            ///< descriptor of the device
  uint32_t Mode;             ///< ModeOutput once bound; a record never bound takes no text
  int32_t Capacity;          ///< characters the buffer holds: 256
  int32_t Pending;           ///< characters waiting in Buffer[0 .. Pending - 1]
  TextOp TransferOp;         ///< run when the buffer is full and more characters must go in
  TextOp FlushOp;            ///< run at the end of every statement
  std::string_view LineEnd;  ///< CR LF for the console device, the platform's for a standard handle
  char Buffer[TextBufferSize];
};

extern TextRec Output;
extern TextRec StdOut;
extern TextRec StdErr;

/// Type code of the 80-bit extended real, the only one the program writes.
constexpr int32_t RealTypeExtended = 2;

/// Empties t and opens it for output on handle, with device as its transfer and flush.
void OpenTextOutput(TextRec& t, int32_t handle, TextOp device, std::string_view lineEnd);
/// Binds t for output to an already open standard handle: every transfer and flush is one
/// write of all pending bytes (fewer accepted sets status 101); lines end as the platform's
/// own text files end them.
void BindOutputHandle(TextRec& t, int32_t handle);

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
/// Writes value as text with at least width characters and the given decimals (0 to 17) into
/// out (room for RealTextCapacity characters) and returns its length. Type 2 only; fixed
/// notation only. Pure: no device, no allocation, no locale. Async-signal-safe.
std::size_t Str_Real(int32_t width, int32_t decimals, long double value, int32_t type, char* out);
