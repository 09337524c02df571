#include "normalize/reference_model.h"

#include <algorithm>
#include <cstdlib>
#include <cstring>

namespace testing_support {

namespace {

uint64_t LittleEndian(const Bytes& file, uint64_t at, int bytes) {
  uint64_t v = 0;
  for (int i = bytes - 1; i >= 0; --i) v = v << 8 | file[at + static_cast<uint64_t>(i)];
  return v;
}

bool Tagged(const uint8_t* id, const char* tag) { return std::memcmp(id, tag, 4) == 0; }

/// Whether the bytes a "fmt " body holds (at most its first 40) declare 16-bit integer PCM:
/// format 1, or 0xFFFE with the PCM sub-format GUID, and 16 bits per sample.
bool DeclaresPcm16(const uint8_t* b, uint64_t held) {
  static const uint8_t pcmGuid[16] = {1, 0, 0, 0, 0, 0, 0x10, 0, 0x80, 0, 0, 0xAA, 0, 0x38, 0x9B, 0x71};
  if (held < 16 || (b[14] | b[15] << 8) != 16) return false;
  const int tag = b[0] | b[1] << 8;
  return tag == 1 || (tag == 0xFFFE && held >= 40 && std::memcmp(b + 24, pcmGuid, 16) == 0);
}

struct Chunk {
  uint8_t id[4];
  uint64_t body, size;  ///< where the body starts, and its size as declared
  bool pcm16;           ///< for a "fmt " chunk
};

/// The chunks from byte 12 to the end of the file, each header 8 bytes (a last one cut short
/// keeps the bytes of the one before where nothing is left), each body followed by a pad byte
/// if its size is odd. In RF64 and BW64 a "data" size of 0xFFFFFFFF stands for the 64-bit data
/// size of the last "ds64" before it that holds one.
std::vector<Chunk> Chunks(const Bytes& file, bool sizesIn64Bits) {
  const uint64_t length = file.size();
  std::vector<Chunk> chunks;
  uint8_t header[8] = {};
  uint64_t ds64DataSize = 0xFFFFFFFF;
  for (uint64_t at = 12; at < length;) {
    const uint64_t got = std::min<uint64_t>(8, length - at);
    std::copy_n(file.begin() + static_cast<std::ptrdiff_t>(at), got, header);
    Chunk c{{header[0], header[1], header[2], header[3]},
            at + got,
            header[4] | header[5] << 8 | header[6] << 16 | uint64_t{header[7]} << 24,
            false};
    const uint64_t held = length - c.body;  // bytes of the body the file holds, at most
    if (sizesIn64Bits && Tagged(c.id, "ds64") && c.size >= 16 && held >= 16)
      ds64DataSize = LittleEndian(file, c.body + 8, 8);
    if (sizesIn64Bits && Tagged(c.id, "data") && c.size == 0xFFFFFFFF) c.size = ds64DataSize;
    if (Tagged(c.id, "fmt "))
      c.pcm16 = DeclaresPcm16(file.data() + c.body, std::min({c.size, held, uint64_t{40}}));
    chunks.push_back(c);
    // The next header follows the body and its pad byte, unless they reach the end of the file.
    if (c.size >= held || c.size + c.size % 2 >= held) break;
    at = c.body + c.size + c.size % 2;
  }
  return chunks;
}

/// Sample j of the chunk at body, read from the file and written back scaled.
struct Samples {
  Bytes& file;
  uint64_t body;
  int32_t operator[](uint64_t j) const { return static_cast<int16_t>(LittleEndian(file, body + 2 * j, 2)); }
  void Put(uint64_t j, int64_t v) {
    file[body + 2 * j] = static_cast<uint8_t>(v);
    file[body + 2 * j + 1] = static_cast<uint8_t>(v >> 8);
  }
};

int64_t Gain(int64_t peak) { return ((int64_t{1} << 29) / peak) * 1016; }

/// The pass over the length bytes of samples at body: blocks of 96000 bytes; each block's peak is
/// the largest magnitude of its whole samples, at least 1024; block k's gain starts where block
/// k - 1's ended (block 0's starts at the gain of its own peak) and ends at the smaller gain of
/// its own peak and the next block's (the block after the last is empty), rising by at most
/// 0x200000; sample i of a block is scaled by its start gain plus i times a step of 1/96000 of
/// the change, truncated, of which the upper 22 bits act, and the product is truncated.
void Normalize(Samples s, uint64_t length, ModelResult& result) {
  constexpr uint64_t BlockBytes = 96000, BlockSamples = BlockBytes / 2;
  std::vector<int64_t> peak(length / BlockBytes + 2, 1024);
  for (uint64_t j = 0; j < length / 2; ++j)
    peak[j / BlockSamples] = std::max<int64_t>(peak[j / BlockSamples], std::abs(s[j]));
  int64_t start = Gain(peak[0]), end = start, step = 0;
  for (uint64_t j = 0; j < length / 2; ++j) {
    const uint64_t block = j / BlockSamples, i = j % BlockSamples;
    if (i == 0) {
      start = block == 0 ? start : end;
      end = std::min({Gain(peak[block]), Gain(peak[block + 1]), start + 0x200000});
      step = (end - start) / 96000;
    }
    const int64_t gain = (start + static_cast<int64_t>(i) * step) / 1024;
    s.Put(j, s[j] * gain / 16384);
  }
  for (uint64_t at = 0; at < length; at += BlockBytes)
    result.writes.emplace_back(static_cast<int64_t>(s.body + at),
                               static_cast<int32_t>(std::min(BlockBytes, length - at)));
}

}  // namespace

ModelResult NormalizeModel(const Bytes& file) {
  ModelResult result{file, true, {}};
  if (file.size() < 12 || std::memcmp(file.data() + 8, "WAVE", 4) != 0) return result;
  const bool sizesIn64Bits = Tagged(file.data(), "RF64") || Tagged(file.data(), "BW64");
  if (!sizesIn64Bits && !Tagged(file.data(), "RIFF")) return result;
  const std::vector<Chunk> chunks = Chunks(file, sizesIn64Bits);
  // Each "data" chunk is described by the last "fmt " before it, or else by the first one
  // after it; with no "fmt " at all it is taken as 16-bit PCM.
  for (size_t k = 0; k < chunks.size(); ++k) {
    if (!Tagged(chunks[k].id, "data")) continue;
    auto isFmt = [](const Chunk& c) { return Tagged(c.id, "fmt "); };
    const auto before = std::find_if(chunks.rend() - static_cast<std::ptrdiff_t>(k), chunks.rend(), isFmt);
    const auto after = std::find_if(chunks.begin() + static_cast<std::ptrdiff_t>(k), chunks.end(), isFmt);
    if (before != chunks.rend() ? !before->pcm16 : (after != chunks.end() && !after->pcm16)) return result;
  }
  result.refused = false;
  for (const Chunk& c : chunks)
    if (Tagged(c.id, "data"))
      Normalize({result.file, c.body}, std::min(c.size, file.size() - c.body), result);
  return result;
}

}  // namespace testing_support
