// The built tool on a table of generated files: the bytes it leaves must be the reference
// model's, its exit status and last row must say what happened, and a file it refuses or
// cannot write stays as it was.
#include <gtest/gtest.h>

#include <algorithm>
#include <random>

#include "normalize/reference_model.h"
#include "support/tool_run.h"

using namespace testing_support;
using namespace std::literals;

/// Samples in passages of the given lengths and loudness, a deterministic noise.
static Bytes Passages(std::initializer_list<std::pair<int, int>> lengthAndPeak, uint32_t seed = 1) {
  std::mt19937 rng(seed);
  std::vector<int16_t> out;
  for (auto [length, peak] : lengthAndPeak) {
    std::uniform_int_distribution<int> d(-peak, std::min(peak, 32767));
    for (int i = 0; i < length; ++i) out.push_back(static_cast<int16_t>(d(rng)));
  }
  return SampleBytes(out);
}

static Bytes Noise(int samples, int peak, uint32_t seed) { return Passages({{samples, peak}}, seed); }
static Bytes Cut(Bytes b, size_t size) { return b.resize(size), b; }
static Bytes Text(std::string_view s) { return Bytes(s.begin(), s.end()); }
static Bytes Pcm(uint16_t tag = 1, uint16_t bits = 16) { return FmtBody(tag, 2, 44100, bits); }

/// A chunk header whose size field says something other than the body that follows.
static Bytes Header(std::string_view tag, uint32_t size) {
  Bytes b;
  PutHeader(b, tag, size);
  return b;
}

static Bytes Join(std::initializer_list<Bytes> parts) {
  Bytes all;
  for (const Bytes& p : parts) all.insert(all.end(), p.begin(), p.end());
  return all;
}

/// A WAVE file of these chunks; a chunk named "" is put in as raw bytes.
static Bytes Wave(std::initializer_list<std::pair<std::string_view, Bytes>> chunks,
                  std::string_view container = "RIFF") {
  Bytes b = Header(container, 0xFFFFFFFF);
  PutTag(b, "WAVE");
  for (const auto& [tag, body] : chunks) {
    if (tag.empty())
      b.insert(b.end(), body.begin(), body.end());
    else
      PutChunk(b, tag, body);
  }
  if (container == "RIFF") FixRiffSize(b);
  return b;
}

/// An extensible "fmt " body for 16 bits whose sub-format GUID starts with subFormat.
static Bytes Extensible(uint8_t subFormat) {
  return Join({Pcm(0xFFFE), {22, 0, 16,   0, 3,    0, 0, 0,    subFormat, 0,    0,    0,
                             0,  0, 0x10, 0, 0x80, 0, 0, 0xAA, 0,         0x38, 0x9B, 0x71}});
}

/// RF64/BW64: "ds64" (its body cut to ds64Bytes) giving the "data" size, whose own field
/// says 0xFFFFFFFF; the samples, then a LIST.
static Bytes Rf64(std::string_view container, int ds64Bytes, uint64_t dataSize,
                  const Bytes& samples = Noise(100000, 800, 20)) {
  Bytes ds64;
  for (uint64_t v : {uint64_t{0xFFFFFFFF}, dataSize, uint64_t{50000}})
    for (int i = 0; i < 64; i += 8) ds64.push_back(static_cast<uint8_t>(v >> i));
  return Wave({{"ds64", Cut(ds64, static_cast<size_t>(ds64Bytes))},
               {"fmt ", Pcm()},
               {"", Header("data", 0xFFFFFFFF)},
               {"", samples},
               {"LIST", Text("INFOICMT\x04\0\0\0note"sv)}},
              container);
}

enum class End { Normalized, Untouched, Refused, IoFailure };

/// quietFrom: from this byte on every sample is raised by x31.75 (0: no check).
struct Row {
  std::string what;
  Bytes file;
  End end;
  size_t quietFrom = 0;
  long fileSizeLimit = -1;
};

static std::vector<Row> Rows() {
  const Bytes list = Text("INFOISFT\x06\0\0\0tolvar"sv);
  // One row a line or two, as a table reads best.
  // clang-format off
  Bytes twoChunks = Wave({{"fmt ", Pcm()}, {"data", Noise(150000, 30000, 11)}, {"LIST", Text("INFO")},
                          {"data", Noise(20000, 1000, 12)}});
  std::vector<Row> rows = {
      {"empty data chunk", CanonicalWave({}), End::Untouched},
      {"one sample", CanonicalWave({500}), End::Normalized},
      {"quiet to the last sample", Wave({{"fmt ", Pcm()}, {"data", Noise(130001, 1000, 10)}}),
       End::Normalized, 44},
      {"loud chunk, then a short quiet one", twoChunks, End::Normalized, twoChunks.size() - 40000},
      {"rise limit, then look-ahead",
       Wave({{"data", Passages({{200000, 300}, {150000, 32767}, {200000, 300}}, 7)}}), End::Normalized},
      {"slow rise from full scale",
       Wave({{"data", Passages({{100000, 32768}, {300000, 50}, {48000, 16000}}, 8)}}), End::Normalized},
      {"steps up",
       Wave({{"data", Passages({{48000, 1000}, {48000, 2000}, {48000, 4000}, {48000, 8000}}, 9)}}),
       End::Normalized},
      {"LIST before and after",
       Wave({{"LIST", list}, {"fmt ", Pcm()}, {"data", Noise(60000, 900, 1)}, {"LIST", list}}),
       End::Normalized},
      {"tags that are not data",
       Wave({{"fmt ", Pcm()}, {"Data", Noise(5000, 500, 2)}, {"datA", Noise(5000, 500, 3)}}), End::Untouched},
      {"header alone", Wave({}), End::Untouched},
      {"header cut short", Wave({{"", Text("dat")}}), End::Untouched},
      {"pad byte after an odd chunk",
       Wave({{"fmt ", Pcm()}, {"odd ", Text("abc")}, {"data", Noise(3000, 700, 5)}}), End::Normalized},
      {"BW64", Wave({{"data", Noise(3000, 700, 14)}}, "BW64"), End::Normalized},
      {"extensible PCM", Wave({{"fmt ", Extensible(1)}, {"data", Noise(3000, 700, 9)}}), End::Normalized},
      {"8-bit, then 16-bit fmt", Wave({{"fmt ", Pcm(1, 8)}, {"fmt ", Pcm()}, {"data", Noise(3000, 700, 11)}}),
       End::Normalized},
      {"data judged by the first fmt after it",
       Wave({{"data", Noise(3000, 700, 17)}, {"fmt ", Pcm()}, {"fmt ", Pcm(1, 24)}}), End::Normalized},
      {"size with the high bit set", Wave({{"fmt ", Pcm()}, {"data", Noise(2000, 600, 12)},
                                           {"", Header("junk", 0xFFFFFFF8)}, {"", Bytes(64, 0x11)}}),
       End::Normalized},
      {"size 2^31", Wave({{"data", Noise(2000, 600, 12)}, {"", Header("junk", 0x80000000)},
                          {"", Bytes(64, 0x11)}}), End::Normalized},
      {"data claims 4 GiB", Wave({{"", Header("data", 0xFFFFFFFF)}, {"", Noise(60000, 800, 13)}}),
       End::Normalized},
      {"data claims 2 bytes more", Wave({{"", Header("data", 120002)}, {"", Noise(60000, 800, 13)}}),
       End::Normalized},
      {"RF64 sized by ds64", Rf64("RF64", 28, 200000), End::Normalized},
      {"BW64 sized by ds64", Rf64("BW64", 28, 200000), End::Normalized},
      {"RF64, ds64 shorter than the samples", Rf64("RF64", 28, 96000), End::Normalized},
      {"RF64, ds64 beyond 4 GiB", Rf64("RF64", 28, (1ull << 32) + 96000), End::Normalized},
      {"RF64, ds64 too short to hold the size", Rf64("RF64", 12, 96000), End::Normalized},
      {"ds64 in a RIFF file", Rf64("RIFF", 28, 96000), End::Normalized},
      {"text file", Join({Text("Sensor log: "), Header("data", 6000), Noise(3000, 700, 14)}), End::Refused},
      {"RIFF MIDI", Join({Text("RIFF\0\0\0\0RMID"sv), Header("data", 6000), Noise(3000, 700, 14)}),
       End::Refused},
      {"RF64 AVI", Join({Text("RF64\0\0\0\0AVI "sv), Header("data", 6000), Noise(3000, 700, 14)}),
       End::Refused},
      {"empty file", {}, End::Refused},
      {"11 bytes", Text("RIFF\0\0\0\0WAV"sv), End::Refused},
      {"24-bit", Wave({{"fmt ", Pcm(1, 24)}, {"data", Noise(3000, 700, 6)}}), End::Refused},
      {"16-bit float", Wave({{"fmt ", Pcm(3, 16)}, {"data", Noise(3000, 700, 6)}}), End::Refused},
      {"extensible float", Wave({{"fmt ", Extensible(3)}, {"data", Noise(3000, 700, 6)}}), End::Refused},
      {"fmt too short to say", Wave({{"fmt ", Cut(Pcm(), 14)}, {"data", Noise(3000, 700, 6)}}), End::Refused},
      {"a later chunk is 24-bit", Wave({{"fmt ", Pcm()}, {"data", Noise(3000, 700, 7)}, {"fmt ", Pcm(1, 24)},
                                        {"data", Noise(3000, 700, 8)}}), End::Refused},
      {"data before a 24-bit fmt",
       Wave({{"data", Noise(3000, 700, 15)}, {"LIST", Text("INFO")}, {"fmt ", Pcm(1, 24)}}), End::Refused},
      {"file-size limit 0", CanonicalWave({500}), End::IoFailure, 0, 0},
  };
  for (int dataBytes : {96000, 96002, 100000, 300000})
    rows.push_back({"loud, then quiet", Wave({{"fmt ", Pcm()},
                    {"data", Passages({{dataBytes / 4, 20000}, {dataBytes / 2 - dataBytes / 4, 700}})}}),
                    End::Normalized});
  // ds64 sizes at the ends of 64 bits, where a walk that adds without looking wraps round
  // (2^64 - 8 leads back to the "data" header, - 68 to "ds64", - 80 to byte 0; 2^64 - 1 and
  // its pad byte to the samples, whose first bytes read as a 24-bit "fmt " and a "data" header,
  // so that a walk there refuses the file), and around the 2^62 bytes that no file reaches
  // (2^62 - 91 steps to 2^62 - 10).
  const Bytes lure = Join({Header("fmt ", 16), Pcm(1, 24), Header("data", 0), Noise(100000, 800, 20)});
  const std::pair<uint64_t, const char*> sizes[] = {
      {0 - 1ull, "2^64 - 1"},         {0 - 2ull, "2^64 - 2"},         {0 - 7ull, "2^64 - 7"},
      {0 - 8ull, "2^64 - 8"},         {0 - 68ull, "2^64 - 68"},       {0 - 80ull, "2^64 - 80"},
      {1ull << 63, "2^63"},           {(1ull << 63) + 1, "2^63 + 1"}, {(1ull << 62) - 91, "2^62 - 91"},
      {(1ull << 62) - 1, "2^62 - 1"}, {(1ull << 62) + 1, "2^62 + 1"}};
  for (const char* container : {"RF64", "BW64"})
    for (auto [size, name] : sizes)
      rows.push_back({container + ", ds64 size "s + name, Rf64(container, 28, size, lure), End::Normalized});
  // clang-format on
  return rows;
}

static int16_t SampleAt(const Bytes& b, size_t at) { return static_cast<int16_t>(b[at] | b[at + 1] << 8); }

TEST(FileBytes, EachFileEndsAsTheModelSays) {
  const char* const lastRows[] = {"%, fertig!", ", fertig!",
                                  " Nur 16-Bit-PCM wird unterstützt, Datei unverändert!",
                                  " Fehler beim Lesen oder Schreiben der Datei!"};
  const int statuses[] = {0, 0, 4, 5};
  for (const Row& row : Rows()) {
    SCOPED_TRACE(row.what);
    TempDir dir;
    const std::string path = dir.file("take.wav");
    WriteFile(path, row.file);
    const PtyResult r = RunTool({path}, {.fileSizeLimit = row.fileSizeLimit});
    const Bytes out = ReadFile(path);
    const auto end = static_cast<int>(row.end);
    EXPECT_EQ(r.exitStatus, statuses[end]);
    EXPECT_TRUE(r.LastRow().ends_with(lastRows[end])) << r.Screen();
    EXPECT_TRUE(r.ModesGivenBack());
    const ModelResult model = NormalizeModel(row.file);
    EXPECT_EQ(model.refused, row.end == End::Refused);
    EXPECT_TRUE(out == (row.end == End::IoFailure ? row.file : model.file));
    EXPECT_EQ(out != row.file, row.end == End::Normalized);
    for (size_t at = row.quietFrom; row.quietFrom != 0 && at + 1 < out.size(); at += 2)
      ASSERT_EQ(SampleAt(out, at), SampleAt(row.file, at) * 127 / 4) << "byte " << at;
  }
}
