// Writes test and demo WAVE files: 16-bit PCM stereo at 44100 Hz, a tone whose loudness
// changes from passage to passage, so that normalizing has something to do.
//
//   tolvar-wavgen demo FILE        six seconds: quiet, then loud, then quiet again
//   tolvar-wavgen sized FILE BYTES a "data" chunk of BYTES bytes (rounded down to whole frames)
//   tolvar-wavgen seeds DIR        small files of many chunk layouts
//   tolvar-wavgen sizes DIR        RF64 and BW64 files whose ds64 gives the data chunk a size
//                                  near the ends of 64 bits or near 2^62 bytes
#include <cmath>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <string>
#include <utility>
#include <vector>

#include "wave_bytes.h"

namespace {

using namespace wave_bytes;

constexpr uint32_t SampleRate = 44100;
constexpr uint16_t Channels = 2;
constexpr uint32_t FrameBytes = Channels * 2;

/// A "fmt " body for the generator's channels and rate.
Bytes Fmt(uint16_t formatTag, uint16_t bits) { return FmtBody(formatTag, Channels, SampleRate, bits); }

/// The header of a canonical file: RIFF, a 16-bit integer PCM "fmt " chunk, the "data" header.
Bytes Header(uint32_t dataBytes) {
  Bytes h = RiffHeader(36 + dataBytes + (dataBytes & 1));
  PutChunk(h, "fmt ", Fmt(1, 16));
  PutHeader(h, "data", dataBytes);
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

// ---- Seed corpus: small files whose layouts reach every path of the chunk walk. Each holds
// a few blocks at most, so that the pass meets several full blocks and a short last one.

/// The extensible form: tag 0xFFFE, and the integer PCM sub-format after the extension.
Bytes ExtensibleFmt(uint16_t bits) {
  static const uint8_t PcmSubFormat[16] = {0x01, 0x00, 0x00, 0x00, 0x00, 0x00, 0x10, 0x00,
                                           0x80, 0x00, 0x00, 0xAA, 0x00, 0x38, 0x9B, 0x71};
  Bytes f = Fmt(0xFFFE, bits);
  PutLE(f, 22, 2);    // extension size
  PutLE(f, bits, 2);  // valid bits
  PutLE(f, 3, 4);     // front left and right
  f.insert(f.end(), PcmSubFormat, PcmSubFormat + 16);
  return f;
}

/// bytes of stereo tone whose loudness changes every 20000 frames, from nearly silent to
/// nearly full scale, so that the gain both rises and falls within a few blocks.
Bytes Tone(size_t bytes, double phase) {
  static const double Loudness[] = {300.0, 28000.0, 1500.0, 32767.0, 40.0, 9000.0};
  Bytes b;
  for (size_t i = 0; i < bytes / 2; ++i) {
    const size_t frame = i / Channels;
    const double a = Loudness[(frame / 20000) % (sizeof Loudness / sizeof Loudness[0])];
    const double v = a * std::sin(phase + 0.0627 * static_cast<double>(frame) * (1 + i % Channels));
    PutLE(b, static_cast<uint16_t>(static_cast<int16_t>(std::lround(v))), 2);
  }
  if (bytes % 2 == 1) b.push_back(0x5A);
  return b;
}

Bytes Info(const char* text) {
  Bytes b{'I', 'N', 'F', 'O', 'I', 'C', 'M', 'T'};
  const size_t length = std::strlen(text);
  PutLE(b, static_cast<uint32_t>(length), 4);
  b.insert(b.end(), text, text + length);
  return b;
}

/// RF64 or BW64 as recorders write it past 4 GiB: "ds64" first with the 64-bit sizes (RIFF,
/// data, sample count, an empty table), the 32-bit fields at 0xFFFFFFFF, the samples, a chunk
/// after them.
Bytes Rf64(const char* container, uint64_t dataSize, const Bytes& samples) {
  Bytes b = RiffHeader(0xFFFFFFFF, container);
  Bytes ds64(8, 0);
  PutLE(ds64, static_cast<uint32_t>(dataSize), 4);
  PutLE(ds64, static_cast<uint32_t>(dataSize >> 32), 4);
  for (uint32_t half : {static_cast<uint32_t>(samples.size() / FrameBytes), 0u, 0u}) PutLE(ds64, half, 4);
  PutChunk(b, "ds64", ds64);
  PutChunk(b, "fmt ", Fmt(1, 16));
  PutHeader(b, "data", 0xFFFFFFFF);
  b.insert(b.end(), samples.begin(), samples.end());
  PutChunk(b, "LIST", Info("after the samples"));
  return b;
}

bool WriteBytes(const std::filesystem::path& path, const Bytes& bytes) {
  std::FILE* out = std::fopen(path.c_str(), "wb");
  if (out == nullptr) {
    std::perror(path.c_str());
    return false;
  }
  const bool ok = std::fwrite(bytes.data(), 1, bytes.size(), out) == bytes.size();
  if (std::fclose(out) != 0 || !ok) {
    std::perror(path.c_str());
    return false;
  }
  return true;
}

bool MakeDirectory(const char* dir) {
  std::error_code error;
  std::filesystem::create_directories(dir, error);
  if (error) std::fprintf(stderr, "tolvar-wavgen: %s: %s\n", dir, error.message().c_str());
  return !error;
}

int WriteSeeds(const char* dir) {
  if (!MakeDirectory(dir)) return 1;
  const Bytes pcm = Fmt(1, 16);
  std::vector<std::pair<const char*, Bytes>> seeds;

  Bytes b = RiffHeader(0);
  PutChunk(b, "fmt ", pcm);
  PutChunk(b, "data", Tone(250000, 0.0));  // blocks of 96000, 96000 and 58000 bytes
  FixRiffSize(b);
  seeds.emplace_back("canonical.wav", b);

  b = RiffHeader(0);
  PutChunk(b, "LIST", Info("before"));
  PutChunk(b, "fmt ", pcm);
  PutChunk(b, "data", Tone(120000, 1.0));
  PutChunk(b, "LIST", Info("after the samples"));
  FixRiffSize(b);
  seeds.emplace_back("list-around.wav", b);

  b = RiffHeader(0);
  PutChunk(b, "fmt ", pcm);
  PutChunk(b, "data", Tone(100000, 2.0));
  PutChunk(b, "LIST", Info("between"));
  PutChunk(b, "data", Tone(30000, 3.0));
  FixRiffSize(b);
  seeds.emplace_back("two-data.wav", b);

  b = RiffHeader(0);
  PutChunk(b, "fmt ", pcm);
  PutChunk(b, "junk", Bytes{1, 2, 3, 4, 5});  // odd: a pad byte follows
  PutChunk(b, "data", Tone(20001, 4.0));
  PutChunk(b, "LIST", Info("odd"));
  FixRiffSize(b);
  seeds.emplace_back("odd-pad.wav", b);

  b = RiffHeader(0);
  PutChunk(b, "fmt ", ExtensibleFmt(16));
  PutChunk(b, "data", Tone(100000, 5.0));
  FixRiffSize(b);
  seeds.emplace_back("extensible.wav", b);

  b = RiffHeader(0);
  PutChunk(b, "fmt ", Fmt(1, 24));
  PutChunk(b, "data", Tone(30000, 6.0));
  FixRiffSize(b);
  seeds.emplace_back("refused-24bit.wav", b);

  b = RiffHeader(0);
  PutChunk(b, "fmt ", pcm);
  PutHeader(b, "data", 250000);  // the recording was cut off after 150000 bytes
  const Bytes cut = Tone(150000, 7.0);
  b.insert(b.end(), cut.begin(), cut.end());
  FixRiffSize(b);
  seeds.emplace_back("truncated.wav", b);

  b = RiffHeader(0xFFFFFFFF);  // a writer that never came back to fill in the sizes
  PutChunk(b, "fmt ", pcm);
  PutHeader(b, "data", 0xFFFFFFFF);
  const Bytes open = Tone(60000, 8.0);
  b.insert(b.end(), open.begin(), open.end());
  seeds.emplace_back("unfilled-sizes.wav", b);

  b = RiffHeader(0);
  PutChunk(b, "fmt ", pcm);
  PutHeader(b, "LIST", 0xFFFFFFFF);  // steps past the end: the samples are never reached
  PutChunk(b, "data", Tone(4000, 9.0));
  FixRiffSize(b);
  seeds.emplace_back("huge-list.wav", b);

  seeds.emplace_back("header-only.wav", RiffHeader(4));

  seeds.emplace_back("rf64.wav", Rf64("RF64", 50000, Tone(50000, 10.0)));
  // A few samples only, so that a mutation of the walk's fields is likely to land on one.
  seeds.emplace_back("rf64-small.wav", Rf64("RF64", 40, Tone(40, 12.0)));
  seeds.emplace_back("bw64-cut.wav", Rf64("BW64", 400, Tone(40, 13.0)));  // claims more than it holds

  b = RiffHeader(0);
  PutChunk(b, "data", Tone(8000, 11.0));
  PutChunk(b, "fmt ", Fmt(1, 24));  // judges the samples before it: refused
  FixRiffSize(b);
  seeds.emplace_back("fmt-after-data.wav", b);

  for (const auto& [name, bytes] : seeds) {
    if (!WriteBytes(std::filesystem::path(dir) / name, bytes)) return 1;
  }
  return 0;
}

/// Sizes a walk must neither wrap round on nor follow: the "data" body starts at byte 80, so
/// 2^64 - 8 leads an adding walk back to the "data" header, - 68 to "ds64", - 80 to byte 0,
/// and 2^64 - 1 with its pad byte to the samples, whose first bytes read as a 24-bit "fmt "
/// and a "data" header, so that a walk there refuses the file.
int WriteSizes(const char* dir) {
  if (!MakeDirectory(dir)) return 1;
  Bytes samples;
  PutChunk(samples, "fmt ", Fmt(1, 24));
  PutHeader(samples, "data", 0);
  const Bytes tone = Tone(4000, 14.0);
  samples.insert(samples.end(), tone.begin(), tone.end());
  for (auto [container, prefix] : {std::pair{"RF64", "rf64"}, {"BW64", "bw64"}}) {
    for (uint64_t size : {0 - 1ull, 0 - 2ull, 0 - 7ull, 0 - 8ull, 0 - 68ull, 0 - 80ull, 1ull << 63,
                          (1ull << 63) + 1, (1ull << 62) - 91, (1ull << 62) - 1, (1ull << 62) + 1}) {
      char name[40];
      std::snprintf(name, sizeof name, "%s-ds64-%016llx.wav", prefix, static_cast<unsigned long long>(size));
      if (!WriteBytes(std::filesystem::path(dir) / name, Rf64(container, size, samples))) return 1;
    }
  }
  return 0;
}

int Usage() {
  std::fprintf(stderr,
               "usage: tolvar-wavgen demo FILE\n"
               "       tolvar-wavgen sized FILE BYTES\n"
               "       tolvar-wavgen seeds DIR\n"
               "       tolvar-wavgen sizes DIR\n");
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
  if (argc == 3 && std::strcmp(argv[1], "seeds") == 0) return WriteSeeds(argv[2]);
  if (argc == 3 && std::strcmp(argv[1], "sizes") == 0) return WriteSizes(argv[2]);
  return Usage();
}
