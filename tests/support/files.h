// Scratch files for tests: a private temporary directory, whole-file reads and writes, and
// little-endian WAVE building blocks.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

namespace testing_support {

using Bytes = std::vector<uint8_t>;

/// A fresh directory under $TMPDIR (or /tmp), removed with everything in it on destruction.
struct TempDir {
  TempDir();
  ~TempDir();
  TempDir(const TempDir&) = delete;
  const std::string& path() const { return path_; }
  std::string file(std::string_view name) const { return path_ + "/" + std::string(name); }
  std::string path_;
};

Bytes ReadFile(const std::string& path);
void WriteFile(const std::string& path, const Bytes& bytes);

void PutU32(Bytes& b, uint32_t v);
void PutTag(Bytes& b, std::string_view fourcc);
/// A chunk: tag, size, body, and the pad byte after an odd body.
void PutChunk(Bytes& b, std::string_view fourcc, const Bytes& body);
/// "RIFF", riffSize, "WAVE".
Bytes RiffHeader(uint32_t riffSize);
/// Sets the RIFF size field (bytes 4..7) to the length of b less 8.
void FixRiffSize(Bytes& b);
/// The 16-byte body of a "fmt " chunk.
Bytes FmtBody(uint16_t formatTag, uint16_t channels, uint32_t rate, uint16_t bits);
/// Samples as little-endian 16-bit bytes.
Bytes SampleBytes(const std::vector<int16_t>& samples);
/// A canonical 16-bit stereo PCM file: RIFF header, "fmt " chunk, "data" chunk of the samples.
Bytes CanonicalWave(const std::vector<int16_t>& samples);

}  // namespace testing_support
