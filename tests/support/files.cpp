#include "support/files.h"

#include <gtest/gtest.h>

#include <cstdlib>
#include <filesystem>
#include <fstream>

namespace testing_support {

TempDir::TempDir() {
  const char* base = std::getenv("TMPDIR");
  path_ = std::string(base && *base ? base : "/tmp") + "/tolvar-test-XXXXXX";
  if (mkdtemp(path_.data()) == nullptr) ADD_FAILURE() << "mkdtemp failed for " << path_;
}

TempDir::~TempDir() {
  std::error_code ec;
  std::filesystem::remove_all(path_, ec);
}

Bytes ReadFile(const std::string& path) {
  std::ifstream in(path, std::ios::binary | std::ios::ate);
  Bytes bytes(in ? static_cast<std::size_t>(in.tellg()) : 0);
  in.seekg(0).read(reinterpret_cast<char*>(bytes.data()), static_cast<std::streamsize>(bytes.size()));
  return bytes;
}

void WriteFile(const std::string& path, const Bytes& bytes) {
  std::ofstream(path, std::ios::binary | std::ios::trunc)
      .write(reinterpret_cast<const char*>(bytes.data()), static_cast<std::streamsize>(bytes.size()));
}

static void PutLE(Bytes& b, uint32_t v, int bytes) {
  for (int i = 0; i < bytes; ++i) b.push_back(static_cast<uint8_t>(v >> (8 * i)));
}

void PutU32(Bytes& b, uint32_t v) { PutLE(b, v, 4); }
void PutTag(Bytes& b, std::string_view fourcc) { b.insert(b.end(), fourcc.begin(), fourcc.begin() + 4); }

void PutChunk(Bytes& b, std::string_view fourcc, const Bytes& body) {
  PutTag(b, fourcc);
  PutU32(b, static_cast<uint32_t>(body.size()));
  b.insert(b.end(), body.begin(), body.end());
  if (body.size() % 2 == 1) b.push_back(0);
}

Bytes RiffHeader(uint32_t riffSize) {
  Bytes b{'R', 'I', 'F', 'F'};
  return PutU32(b, riffSize), PutTag(b, "WAVE"), b;
}

void FixRiffSize(Bytes& b) { for (int i = 0; i < 4; ++i) b[4 + i] = static_cast<uint8_t>((b.size() - 8) >> (8 * i)); }

Bytes FmtBody(uint16_t formatTag, uint16_t channels, uint32_t rate, uint16_t bits) {
  const uint32_t align = channels * ((bits + 7u) / 8);
  Bytes b;
  for (auto [v, n] : {std::pair{uint32_t{formatTag}, 2}, {channels, 2}, {rate, 4}, {rate * align, 4}, {align, 2}, {bits, 2}}) PutLE(b, v, n);
  return b;
}

Bytes SampleBytes(const std::vector<int16_t>& samples) {
  Bytes b;
  for (int16_t s : samples) PutLE(b, static_cast<uint16_t>(s), 2);
  return b;
}

Bytes CanonicalWave(const std::vector<int16_t>& samples) {
  Bytes b = RiffHeader(0);
  PutChunk(b, "fmt ", FmtBody(1, 2, 44100, 16));
  return PutChunk(b, "data", SampleBytes(samples)), FixRiffSize(b), b;
}

}  // namespace testing_support
