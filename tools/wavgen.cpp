// Writes test and demo WAVE files: 16-bit PCM stereo at 44100 Hz, a tone whose loudness
// changes from passage to passage, so that normalizing has something to do.
//
//   tolvar-wavgen demo FILE        six seconds: quiet, then loud, then quiet again
//   tolvar-wavgen sized FILE BYTES a "data" chunk of BYTES bytes (rounded down to whole frames)
#include <cmath>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

namespace {

constexpr uint32_t SampleRate = 44100;
constexpr uint16_t Channels = 2;
constexpr uint32_t FrameBytes = Channels * 2;

void PutLE(std::vector<uint8_t>& out, uint32_t value, int bytes) {
  for (int i = 0; i < bytes; ++i) out.push_back(static_cast<uint8_t>(value >> (8 * i)));
}

std::vector<uint8_t> Header(uint32_t dataBytes) {
  std::vector<uint8_t> h;
  const auto tag = [&h](const char* t) { h.insert(h.end(), t, t + 4); };
  tag("RIFF");
  PutLE(h, 36 + dataBytes + (dataBytes & 1), 4);
  tag("WAVE");
  tag("fmt ");
  PutLE(h, 16, 4);
  PutLE(h, 1, 2);  // integer PCM
  PutLE(h, Channels, 2);
  PutLE(h, SampleRate, 4);
  PutLE(h, SampleRate * FrameBytes, 4);
  PutLE(h, FrameBytes, 2);
  PutLE(h, 16, 2);
  tag("data");
  PutLE(h, dataBytes, 4);
  return h;
}

/// Loudness of the passage that frame lies in: two seconds quiet (about -36 dBFS), two
/// seconds loud (about -3 dBFS), and so on.
double Amplitude(uint64_t frame) {
  const uint64_t passage = frame / (2 * SampleRate);
  return passage % 2 == 0 ? 500.0 : 23000.0;
}

/// Writes frames of the tone, left 440 Hz, right 660 Hz, in slices. Both tones repeat
/// every second, so one second of each is computed once.
bool WriteTone(std::FILE* out, uint64_t frames) {
  constexpr double TwoPi = 6.283185307179586;
  std::vector<double> left(SampleRate), right(SampleRate);
  for (uint32_t i = 0; i < SampleRate; ++i) {
    const double t = static_cast<double>(i) / SampleRate;
    left[i] = std::sin(TwoPi * 440.0 * t);
    right[i] = std::sin(TwoPi * 660.0 * t);
  }
  std::vector<uint8_t> slice;
  slice.reserve(1 << 20);
  for (uint64_t frame = 0; frame < frames; ++frame) {
    const double a = Amplitude(frame);
    const uint64_t i = frame % SampleRate;
    PutLE(slice, static_cast<uint16_t>(static_cast<int16_t>(std::lround(a * left[i]))), 2);
    PutLE(slice, static_cast<uint16_t>(static_cast<int16_t>(std::lround(a * right[i]))), 2);
    if (slice.size() >= (1 << 20) - FrameBytes) {
      if (std::fwrite(slice.data(), 1, slice.size(), out) != slice.size()) return false;
      slice.clear();
    }
  }
  return std::fwrite(slice.data(), 1, slice.size(), out) == slice.size();
}

int Write(const char* path, uint64_t dataBytes) {
  dataBytes -= dataBytes % FrameBytes;
  if (dataBytes > 0xFFFFFFFFull - 36) {
    std::fprintf(stderr, "tolvar-wavgen: a data chunk holds at most 4 GiB\n");
    return 2;
  }
  std::FILE* out = std::fopen(path, "wb");
  if (out == nullptr) {
    std::perror(path);
    return 1;
  }
  const std::vector<uint8_t> header = Header(static_cast<uint32_t>(dataBytes));
  bool ok = std::fwrite(header.data(), 1, header.size(), out) == header.size();
  ok = ok && WriteTone(out, dataBytes / FrameBytes);
  ok = std::fclose(out) == 0 && ok;
  if (!ok) {
    std::perror(path);
    return 1;
  }
  return 0;
}

int Usage() {
  std::fprintf(stderr,
               "usage: tolvar-wavgen demo FILE\n"
               "       tolvar-wavgen sized FILE BYTES\n");
  return 2;
}

}  // namespace

int main(int argc, char** argv) {
  if (argc == 3 && std::strcmp(argv[1], "demo") == 0) return Write(argv[2], 6ull * SampleRate * FrameBytes);
  if (argc == 4 && std::strcmp(argv[1], "sized") == 0) {
    char* end = nullptr;
    const unsigned long long bytes = std::strtoull(argv[3], &end, 10);
    if (end == argv[3] || *end != '\0') return Usage();
    return Write(argv[2], bytes);
  }
  return Usage();
}
