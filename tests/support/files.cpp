#include "support/files.h"

#include <gtest/gtest.h>

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <iterator>

namespace testing_support {

TempDir::TempDir() {
  const char* base = std::getenv("TMPDIR");
  std::string pattern = std::string(base && *base ? base : "/tmp") + "/tolvar-test-XXXXXX";
  std::vector<char> buf(pattern.begin(), pattern.end());
  buf.push_back('\0');
  if (mkdtemp(buf.data()) == nullptr) ADD_FAILURE() << "mkdtemp failed for " << pattern;
  path_ = buf.data();
}

TempDir::~TempDir() {
  std::error_code ec;
  std::filesystem::remove_all(path_, ec);
}

std::string TempDir::file(std::string_view name) const { return path_ + "/" + std::string(name); }

Bytes ReadFile(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  return Bytes(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
}

void WriteFile(const std::string& path, const Bytes& bytes) {
  std::ofstream out(path, std::ios::binary | std::ios::trunc);
  out.write(reinterpret_cast<const char*>(bytes.data()), static_cast<std::streamsize>(bytes.size()));
}

void PutU16(Bytes& b, uint16_t v) {
  b.push_back(static_cast<uint8_t>(v));
  b.push_back(static_cast<uint8_t>(v >> 8));
}

void PutU32(Bytes& b, uint32_t v) {
  for (int i = 0; i < 4; ++i) b.push_back(static_cast<uint8_t>(v >> (8 * i)));
}

void PutTag(Bytes& b, std::string_view fourcc) {
  for (int i = 0; i < 4; ++i) b.push_back(static_cast<uint8_t>(fourcc[i]));
}

void PutChunk(Bytes& b, std::string_view fourcc, const Bytes& body, bool pad) {
  PutTag(b, fourcc);
  PutU32(b, static_cast<uint32_t>(body.size()));
  b.insert(b.end(), body.begin(), body.end());
  if (pad && body.size() % 2 == 1) b.push_back(0);
}

Bytes RiffHeader(uint32_t riffSize) {
  Bytes b;
  PutTag(b, "RIFF");
  PutU32(b, riffSize);
  PutTag(b, "WAVE");
  return b;
}

void FixRiffSize(Bytes& b) {
  uint32_t size = static_cast<uint32_t>(b.size() - 8);
  for (int i = 0; i < 4; ++i) b[4 + i] = static_cast<uint8_t>(size >> (8 * i));
}

Bytes FmtBody(uint16_t formatTag, uint16_t channels, uint32_t rate, uint16_t bits) {
  Bytes b;
  const uint16_t align = static_cast<uint16_t>(channels * ((bits + 7) / 8));
  PutU16(b, formatTag);
  PutU16(b, channels);
  PutU32(b, rate);
  PutU32(b, rate * align);
  PutU16(b, align);
  PutU16(b, bits);
  return b;
}

Bytes SampleBytes(const std::vector<int16_t>& samples) {
  Bytes b;
  b.reserve(samples.size() * 2);
  for (int16_t s : samples) PutU16(b, static_cast<uint16_t>(s));
  return b;
}

Bytes CanonicalWave(const std::vector<int16_t>& samples, uint16_t channels) {
  Bytes b = RiffHeader(0);
  PutChunk(b, "fmt ", FmtBody(1, channels, 44100, 16));
  PutChunk(b, "data", SampleBytes(samples));
  FixRiffSize(b);
  return b;
}

}  // namespace testing_support
