// The little-endian building blocks of WAVE files, for the files that the generator writes and
// the tests build: chunk headers and bodies, the container's header and size, "fmt " bodies,
// 16-bit samples.
#pragma once

#include <cstddef>
#include <cstdint>
#include <initializer_list>
#include <string_view>
#include <utility>
#include <vector>

namespace wave_bytes {

using Bytes = std::vector<uint8_t>;

/// The low `bytes` bytes of value, the least significant first.
inline void PutLE(Bytes& b, uint64_t value, int bytes) {
  for (int i = 0; i < bytes; ++i) b.push_back(static_cast<uint8_t>(value >> (8 * i)));
}

/// A four-character tag, byte by byte: gcc's optimizer takes a range insert into an empty
/// vector for an overflow.
inline void PutTag(Bytes& b, std::string_view tag) {
  for (int i = 0; i < 4; ++i) b.push_back(static_cast<uint8_t>(tag[static_cast<std::size_t>(i)]));
}

/// A chunk header that claims size bytes, whatever follows it.
inline void PutHeader(Bytes& b, std::string_view tag, uint32_t size) {
  PutTag(b, tag);
  PutLE(b, size, 4);
}

/// A chunk: its header, the body, and the pad byte after an odd body unless pad is false.
inline void PutChunk(Bytes& b, std::string_view tag, const Bytes& body, bool pad = true) {
  PutHeader(b, tag, static_cast<uint32_t>(body.size()));
  b.insert(b.end(), body.begin(), body.end());
  if (pad && body.size() % 2 == 1) b.push_back(0);
}

/// The container's tag ("RIFF", "RF64" or "BW64"), its size field, then "WAVE".
inline Bytes RiffHeader(uint32_t riffSize, std::string_view container = "RIFF") {
  Bytes b;
  PutHeader(b, container, riffSize);
  PutTag(b, "WAVE");
  return b;
}

/// Sets the RIFF size field (bytes 4..7) to the length of b less 8.
inline void FixRiffSize(Bytes& b) {
  for (std::size_t i = 0; i < 4; ++i) b[4 + i] = static_cast<uint8_t>((b.size() - 8) >> (8 * i));
}

/// The 16-byte body of a "fmt " chunk.
inline Bytes FmtBody(uint16_t formatTag, uint16_t channels, uint32_t rate, uint16_t bits) {
  const uint32_t align = channels * ((bits + 7u) / 8);
  Bytes b;
  for (auto [value, bytes] : {std::pair<uint32_t, int>{formatTag, 2},
                              {channels, 2},
                              {rate, 4},
                              {rate * align, 4},
                              {align, 2},
                              {bits, 2}}) {
    PutLE(b, value, bytes);
  }
  return b;
}

/// Samples as little-endian 16-bit bytes.
inline Bytes SampleBytes(const std::vector<int16_t>& samples) {
  Bytes b;
  for (int16_t s : samples) PutLE(b, static_cast<uint16_t>(s), 2);
  return b;
}

}  // namespace wave_bytes
