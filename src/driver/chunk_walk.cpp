#include "driver/chunk_walk.h"

#include <cstdint>
#include <cstring>
#include <optional>

#include "normalize/pass.h"
#include "runtime/system.h"

namespace {

/// The 8 header bytes as they stand in the file; a short read leaves the older ones.
uint8_t HeaderBytes[8];

/// The file's size when the format check began.
int64_t SizeWhenChecked = 0;

uint16_t LittleEndian16(const uint8_t* p) { return static_cast<uint16_t>(p[0] | p[1] << 8); }

uint32_t LittleEndian32(const uint8_t* p) {
  return static_cast<uint32_t>(p[0]) | static_cast<uint32_t>(p[1]) << 8 | static_cast<uint32_t>(p[2]) << 16 |
         static_cast<uint32_t>(p[3]) << 24;
}

uint64_t LittleEndian64(const uint8_t* p) {
  return static_cast<uint64_t>(LittleEndian32(p)) | static_cast<uint64_t>(LittleEndian32(p + 4)) << 32;
}

/// Reads the next header into DATA; returns the bytes delivered (0 at the end of the file).
int32_t ReadHeader() {
  int32_t n = 0;
  BlockRead(F, HeaderBytes, 8, n);
  std::memcpy(DATA.ckID, HeaderBytes, 4);
  DATA.ckSize = LittleEndian32(HeaderBytes + 4);
  return n;
}

bool IsChunk(const char* tag) { return std::memcmp(DATA.ckID, tag, 4) == 0; }

/// "RIFF", "RF64" or "BW64", a size, then "WAVE".
bool IsWaveHeader(const uint8_t* riff) {
  const bool container = std::memcmp(riff, "RIFF", 4) == 0 || std::memcmp(riff, "RF64", 4) == 0 ||
                         std::memcmp(riff, "BW64", 4) == 0;
  return container && std::memcmp(riff + 8, "WAVE", 4) == 0;
}

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

/// The 32-bit size field of an RF64/BW64 "data" chunk whose real size stands in "ds64".
constexpr uint64_t Unknown32BitSize = 0xFFFFFFFF;
/// No file reaches this far (2^62 bytes); a step there ends the walk.
constexpr uint64_t BeyondAnyFile = uint64_t{1} << 62;

/// What the walk has learnt of the file so far, from its start to the chunk at hand.
struct FileSoFar {
  bool sizesIn64Bits;                      ///< RF64 or BW64: "data" sizes may stand in "ds64"
  uint64_t dataSize64 = Unknown32BitSize;  ///< from "ds64"; until then the field as it stands
  bool sawFormat = false;                  ///< a "fmt " chunk came before
  bool formatIsPcm16 = true;               ///< the last "fmt " declared 16-bit PCM, or none came
  bool dataBeforeAnyFormat = false;        ///< judged by the first "fmt " that follows it
};

/// Reads the 12-byte container header from byte 0: what it tells of a WAVE file, or nothing
/// for any other file. Only a WAVE file is walked: samples found in any other file are not
/// ours to rewrite.
std::optional<FileSoFar> ReadWaveHeader() {
  uint8_t riff[12];
  int32_t got = 0;
  Seek(F, 0);
  BlockRead(F, riff, 12, got);
  if (got < 12 || !IsWaveHeader(riff)) return std::nullopt;
  return FileSoFar{.sizesIn64Bits = std::memcmp(riff, "RIFF", 4) != 0};
}

/// Takes the 64-bit "data" size from a "ds64" body, which the file position has reached.
void ReadDs64(FileSoFar& file) {
  if (!file.sizesIn64Bits || DATA.ckSize < 16) return;
  uint8_t sizes[16];
  int32_t got = 0;
  BlockRead(F, sizes, 16, got);
  if (got == 16) file.dataSize64 = LittleEndian64(sizes + 8);
}

/// The length of the current chunk's body as the file declares it: the header's field, or for
/// an RF64/BW64 "data" chunk whose field is 0xFFFFFFFF, the size that "ds64" gave.
uint64_t DeclaredBodyLength(const FileSoFar& file) {
  const bool sizeInDs64 = file.sizesIn64Bits && IsChunk("data") && DATA.ckSize == Unknown32BitSize;
  return sizeInDs64 ? file.dataSize64 : DATA.ckSize;
}

/// The bytes of a "data" body at position body that the pass may rewrite: its declared length,
/// held to what the file had when it was checked. The file as checked is the file normalized: a
/// size that claims more (a cut recording, a writer that never came back to fill it in) ends the
/// pass at the file's end, and a file cut short by another process since is met by a short read
/// and reported, never taken for a short recording and finished with success.
uint64_t HeldBodyLength(uint64_t declared, int64_t body) {
  const int64_t available = SizeWhenChecked - body;
  const uint64_t held = available > 0 ? static_cast<uint64_t>(available) : 0;
  return declared < held ? declared : held;
}

/// Whether the "fmt " body the file position has reached leaves the file acceptable: a "data"
/// chunk before any "fmt " is judged by this one.
bool AcceptFormat(FileSoFar& file, uint64_t length) {
  uint8_t fmt[40];
  int32_t got = 0;
  BlockRead(F, fmt, length < sizeof fmt ? static_cast<int32_t>(length) : 40, got);
  file.formatIsPcm16 = DeclaresPcm16(fmt, got);
  if (file.dataBeforeAnyFormat && !file.formatIsPcm16) return false;
  file.dataBeforeAnyFormat = false;
  file.sawFormat = true;
  return true;
}

/// Whether a "data" chunk met now may be rewritten as 16-bit samples, as far as the chunks
/// before it tell.
bool AcceptData(FileSoFar& file) {
  if (!file.formatIsPcm16) return false;
  if (!file.sawFormat) file.dataBeforeAnyFormat = true;
  return true;
}

/// Where the header after a body of the given length at position body stands: past the body
/// and the pad byte that follows a body of odd length. A 64-bit length can point beyond any
/// file's reach, where a read would fail rather than find the end: no header can stand there,
/// and there is none. The length is compared with the room left before it is added, so
/// no position wraps round.
std::optional<int64_t> NextHeaderPosition(int64_t body, uint64_t length) {
  const uint64_t at = static_cast<uint64_t>(body);
  const uint64_t room = at < BeyondAnyFile ? BeyondAnyFile - at : 0;
  if (length >= room || length + (length & 1) >= room) return std::nullopt;
  return body + static_cast<int64_t>(length + (length & 1));
}

}  // namespace

bool WalkChunks(Walk walk) {
  if (walk == Walk::CheckFormat) SizeWhenChecked = FileSize(F);
  std::optional<FileSoFar> file = ReadWaveHeader();
  if (!file) return false;
  std::memset(HeaderBytes, 0, sizeof HeaderBytes);
  for (int32_t n = ReadHeader(); n >= 1; n = ReadHeader()) {
    const int64_t body = FilePos(F);
    if (IsChunk("ds64")) ReadDs64(*file);
    const uint64_t length = DeclaredBodyLength(*file);
    if (IsChunk("fmt ") && !AcceptFormat(*file, length)) return false;
    if (IsChunk("data")) {
      if (!AcceptData(*file)) return false;
      if (walk == Walk::Normalize) {
        DATA.ckSize = HeldBodyLength(length, body);
        BUFMAIN();
      }
    }
    const std::optional<int64_t> next = NextHeaderPosition(body, length);
    if (!next) break;
    Seek(F, *next);
  }
  return true;
}

WalkOutcome WalkFile() {
  const bool checked = WalkChunks(Walk::CheckFormat);
  const bool walked = checked && WalkChunks(Walk::Normalize);
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
