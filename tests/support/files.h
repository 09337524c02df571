// Scratch files for tests: a private temporary directory, whole-file reads and writes, and
// WAVE files built from the blocks that the generator uses too.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

#include "wave_bytes.h"

namespace testing_support {

using namespace wave_bytes;

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

/// A canonical 16-bit stereo PCM file: RIFF header, "fmt " chunk, "data" chunk of the samples.
Bytes CanonicalWave(const std::vector<int16_t>& samples);

}  // namespace testing_support
