#include "driver/chunk_walk.h"

#include <cstdint>
#include <cstring>

#include "normalize/pass.h"
#include "runtime/system.h"

namespace {

/// The 8 header bytes as they stand in the file; a short read leaves the older ones.
uint8_t HeaderBytes[8];

/// The file's size when the format check began.
int64_t SizeWhenChecked = 0;

uint16_t LittleEndian16(const uint8_t* p) { return static_cast<uint16_t>(p[0] | p[1] << 8); }

uint32_t LittleEndian32(const uint8_t* p) {
  return static_cast<uint32_t>(p[0]) | static_cast<uint32_t>(p[1]) << 8 |
         static_cast<uint32_t>(p[2]) << 16 | static_cast<uint32_t>(p[3]) << 24;
}

/// Reads the next header into DATA; returns the bytes delivered (0 at the end of the file).
int32_t ReadHeader() {
  int32_t n = 0;
  BlockRead(F, HeaderBytes, 8, n);
  std::memcpy(DATA.ckID, HeaderBytes, 4);
  DATA.ckSize = LittleEndian32(HeaderBytes + 4);
  return n;
}

uint64_t LittleEndian64(const uint8_t* p) {
  return static_cast<uint64_t>(LittleEndian32(p)) | static_cast<uint64_t>(LittleEndian32(p + 4)) << 32;
}

bool IsChunk(const char* tag) { return std::memcmp(DATA.ckID, tag, 4) == 0; }

/// "RIFF", "RF64" or "BW64", a size, then "WAVE".
bool IsWaveHeader(const uint8_t* riff) {
  const bool container = std::memcmp(riff, "RIFF", 4) == 0 || std::memcmp(riff, "RF64", 4) == 0 ||
                         std::memcmp(riff, "BW64", 4) == 0;
  return container && std::memcmp(riff + 8, "WAVE", 4) == 0;
}

/// The 32-bit size field of an RF64/BW64 "data" chunk whose real size stands in "ds64".
constexpr uint64_t Unknown32BitSize = 0xFFFFFFFF;
/// No file reaches this far (2^62 bytes); a step there ends the walk.
constexpr uint64_t BeyondAnyFile = uint64_t{1} << 62;

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

bool WalkChunks(bool normalize) {
  // Only a WAVE file is walked: samples found in any other file are not ours to rewrite.
  uint8_t riff[12];
  int32_t got = 0;
  // The file as checked is the file normalized: a chunk is held to the bytes the file had
  // then, so that a file cut short by another process since is met by a short read and
  // reported, never taken for a short recording and finished with success.
  if (!normalize) SizeWhenChecked = FileSize(F);
  Seek(F, 0);
  BlockRead(F, riff, 12, got);
  if (got < 12 || !IsWaveHeader(riff)) return false;
  const bool sizesIn64Bits = std::memcmp(riff, "RIFF", 4) != 0;
  uint64_t dataSize64 = Unknown32BitSize;  // from "ds64"; until then the field as it stands
  bool sawFormat = false;
  bool formatIsPcm16 = true;
  bool dataBeforeAnyFormat = false;  // judged by the first "fmt " that follows it
  std::memset(HeaderBytes, 0, sizeof HeaderBytes);
  int32_t n = ReadHeader();
  while (n >= 1) {
    const int64_t body = FilePos(F);
    if (sizesIn64Bits && IsChunk("ds64") && DATA.ckSize >= 16) {
      uint8_t sizes[16];
      BlockRead(F, sizes, 16, got);
      if (got == 16) dataSize64 = LittleEndian64(sizes + 8);
    }
    if (sizesIn64Bits && IsChunk("data") && DATA.ckSize == Unknown32BitSize) DATA.ckSize = dataSize64;
    const uint64_t size = DATA.ckSize;
    if (IsChunk("fmt ")) {
      uint8_t fmt[40];
      BlockRead(F, fmt, size < sizeof fmt ? static_cast<int32_t>(size) : 40, got);
      formatIsPcm16 = DeclaresPcm16(fmt, got);
      if (dataBeforeAnyFormat && !formatIsPcm16) return false;
      dataBeforeAnyFormat = false;
      sawFormat = true;
    }
    if (IsChunk("data")) {
      if (!formatIsPcm16) return false;
      if (!sawFormat) dataBeforeAnyFormat = true;
      if (normalize) {
        // A size that claims more than the file holds (a cut recording, a writer that never
        // came back to fill it in) is cut to what is there, so the pass ends at the file's end.
        const int64_t available = SizeWhenChecked - body;
        if (DATA.ckSize > static_cast<uint64_t>(available > 0 ? available : 0)) {
          DATA.ckSize = available > 0 ? static_cast<uint64_t>(available) : 0;
        }
        BUFMAIN();
      }
    }
    // Past the body and the pad byte that follows a body of odd length. A 64-bit size can
    // point beyond any file's reach, where a read would fail rather than find the end: no
    // header can stand there, so the walk is over. The size is compared with the room left
    // before it is added, so no position wraps round.
    const uint64_t at = static_cast<uint64_t>(body);
    const uint64_t room = at < BeyondAnyFile ? BeyondAnyFile - at : 0;
    if (size >= room || size + (size & 1) >= room) break;
    Seek(F, body + static_cast<int64_t>(size + (size & 1)));
    n = ReadHeader();
  }
  return true;
}

WalkOutcome WalkFile() {
  const bool checked = WalkChunks(false);
  const bool walked = checked && WalkChunks(true);
  Close(F);  // does nothing while a failure is latched: the file is closed at the process's end
  if (IOResult() != 0) return WalkOutcome::IoFailure;
  if (!checked) return WalkOutcome::NotPcm16;
  // A normalizing walk that no longer finds the WAVE file it checked (cut short or rewritten
  // by another process meanwhile) did not normalize it.
  return walked ? WalkOutcome::Done : WalkOutcome::IoFailure;
}

WalkOutcome MAIN() {
  Assign(F, ParamStr(1));
  Reset(F, 1);
  if (IOResult() != 0) return WalkOutcome::CannotOpen;
  return WalkFile();
}
