#include "driver/chunk_walk.h"

#include <cstring>

#include "normalize/pass.h"
#include "runtime/system.h"
#include "runtime/text_output.h"

FileRec F;
ChunkHeader DATA;

namespace {

/// The 8 header bytes as they stand in the file; a short read leaves the older ones.
uint8_t HeaderBytes[8];

uint16_t LittleEndian16(const uint8_t* p) { return static_cast<uint16_t>(p[0] | p[1] << 8); }

uint32_t LittleEndian32(const uint8_t* p) {
  return static_cast<uint32_t>(p[0]) | static_cast<uint32_t>(p[1]) << 8 |
         static_cast<uint32_t>(p[2]) << 16 | static_cast<uint32_t>(p[3]) << 24;
}

/// Reads the next header into DATA; returns the bytes delivered (0 at the end of the file).
int32_t READHEADER() {
  int32_t n = 0;
  BlockRead(F, HeaderBytes, 8, n);
  std::memcpy(DATA.ckID, HeaderBytes, 4);
  DATA.ckSize = LittleEndian32(HeaderBytes + 4);
  return n;
}

bool IsChunk(const char* tag) { return std::memcmp(DATA.ckID, tag, 4) == 0; }

/// Whether a "fmt " body declares 16-bit integer PCM: format tag 1, or the extensible tag
/// 0xFFFE with the PCM sub-format, and 16 bits per sample.
bool DeclaresPcm16(const uint8_t* body, int32_t length) {
  static const uint8_t PcmSubFormat[16] = {0x01, 0x00, 0x00, 0x00, 0x00, 0x00, 0x10, 0x00,
                                           0x80, 0x00, 0x00, 0xAA, 0x00, 0x38, 0x9B, 0x71};
  if (length < 16) return false;
  const uint16_t formatTag = LittleEndian16(body);
  const uint16_t bitsPerSample = LittleEndian16(body + 14);
  if (bitsPerSample != 16) return false;
  if (formatTag == 1) return true;
  return formatTag == 0xFFFE && length >= 40 && std::memcmp(body + 24, PcmSubFormat, 16) == 0;
}

}  // namespace

bool WALK(bool normalize) {
  bool formatIsPcm16 = true;  // a "data" chunk with no "fmt " before it counts as 16-bit
  std::memset(HeaderBytes, 0, sizeof HeaderBytes);
  Seek(F, 12);
  int32_t n = READHEADER();
  while (n >= 1) {
    const int64_t body = FilePos(F);
    const uint32_t size = DATA.ckSize;
    if (IsChunk("fmt ")) {
      uint8_t fmt[40];
      int32_t got = 0;
      BlockRead(F, fmt, size < sizeof fmt ? static_cast<int32_t>(size) : 40, got);
      formatIsPcm16 = DeclaresPcm16(fmt, got);
    }
    if (IsChunk("data")) {
      if (!formatIsPcm16) return false;
      if (normalize) {
        // A size that claims more than the file holds (a cut recording, a writer that never
        // came back to fill it in) is cut to what is there, so the pass ends at the file's end.
        const int64_t available = FileSize(F) - body;
        if (static_cast<int64_t>(DATA.ckSize) > available) {
          DATA.ckSize = available > 0 ? static_cast<uint32_t>(available) : 0;
        }
        BUFMAIN();
      }
    }
    // Past the body and the pad byte that follows a body of odd length.
    Seek(F, body + size + (size & 1));
    n = READHEADER();
  }
  return true;
}

void MAIN() {
  Assign(F, ParamStr(1));
  Reset(F, 1);
  if (IOResult() != 0) {
    Write_Str(0, Output, " Kann Datei nicht \x94""ffnen!");
    Writeln_End(Output);
    Halt(ExitStatus::CannotOpen);
  }
  if (!WALK(false)) {
    Write_Str(0, Output, " Nur 16-Bit-PCM wird unterst\x81tzt, Datei unver\x84ndert!");
    Writeln_End(Output);
    Halt(ExitStatus::NotPcm16);
  }
  WALK(true);
  Close(F);
  Write_Str(0, Output, ", fertig!");
  Writeln_End(Output);
  if (IOResult() != 0) {
    Write_Str(0, Output, " Fehler beim Lesen oder Schreiben der Datei!");
    Writeln_End(Output);
    Halt(ExitStatus::IoFailure);
  }
}
