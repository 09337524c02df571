#include <gtest/gtest.h>

#include <random>

#include "normalize/reference_model.h"
#include "normalize/walk_runner.h"

using namespace testing_support;
using namespace std::literals;

namespace {

Bytes Noise(size_t samples, int peak, uint32_t seed) {
  std::mt19937 rng(seed);
  std::uniform_int_distribution<int> d(-peak, peak);
  std::vector<int16_t> s(samples);
  for (auto& v : s) v = static_cast<int16_t>(d(rng));
  return SampleBytes(s);
}

Bytes Text(std::string_view s) { return Bytes(s.begin(), s.end()); }

Bytes Wave(std::initializer_list<std::pair<std::string_view, Bytes>> chunks) {
  Bytes b = RiffHeader(0);
  for (const auto& [tag, body] : chunks) PutChunk(b, tag, body);
  FixRiffSize(b);
  return b;
}

Bytes Pcm16() { return FmtBody(1, 2, 44100, 16); }

/// An extensible "fmt " body for 16 bits whose sub-format GUID starts with subFormat.
Bytes Extensible(uint8_t subFormat) {
  Bytes b = FmtBody(0xFFFE, 2, 44100, 16);
  PutU16(b, 22);
  PutU16(b, 16);
  PutU32(b, 3);
  b.push_back(subFormat);
  for (uint8_t x : {0, 0, 0, 0, 0, 0x10, 0, 0x80, 0, 0, 0xAA, 0, 0x38, 0x9B, 0x71}) b.push_back(x);
  return b;
}

/// A chunk header whose size field says something other than the body that follows.
void PutHeader(Bytes& b, std::string_view tag, uint32_t size) {
  PutTag(b, tag);
  PutU32(b, size);
}

/// The file is normalized exactly as the model says, and something did change.
void ExpectNormalizedAsModel(const Bytes& input) {
  const WalkRun run = RunWalk(input);
  EXPECT_TRUE(run.accepted);
  EXPECT_EQ(run.status, 0);
  EXPECT_EQ(run.file, NormalizeModel(input).file);
  EXPECT_NE(run.file, input) << "nothing was normalized";
}

void ExpectUnchanged(const Bytes& input, bool accepted) {
  const WalkRun run = RunWalk(input);
  EXPECT_EQ(run.accepted, accepted);
  EXPECT_EQ(run.status, 0);
  EXPECT_EQ(run.file, input);
}

}  // namespace

TEST(ChunkWalk, OtherChunksAreSteppedOverUnchanged) {
  const Bytes input = Wave({{"LIST", Text("INFOISFT\x06\0\0\0tolvar"sv)},
                            {"fmt ", Pcm16()},
                            {"data", Noise(60000, 900, 1)},
                            {"LIST", Text("INFOICMT\x04\0\0\0note"sv)}});
  ExpectNormalizedAsModel(input);
  const Bytes out = RunWalk(input).file;
  EXPECT_TRUE(std::equal(out.begin(), out.begin() + 12 + 8 + 18 + 8 + 16 + 8, input.begin()));
  EXPECT_TRUE(std::equal(out.end() - 20, out.end(), input.end() - 20));
}

TEST(ChunkWalk, OnlyAnExactDataTagIsNormalized) {
  for (std::string_view tag : {"DATA", "datA", "Data", "dat "}) {
    ExpectUnchanged(Wave({{"fmt ", Pcm16()}, {tag, Noise(5000, 500, 2)}}), true);
  }
}

TEST(ChunkWalk, TwoDataChunksCarryBuffersAndGainAcross) {
  // The second chunk is shorter than a block; its buffers still hold samples of the first.
  ExpectNormalizedAsModel(Wave({{"fmt ", Pcm16()},
                                {"data", Noise(150000, 30000, 3)},
                                {"LIST", Text("INFO")},
                                {"data", Noise(20000, 400, 4)}}));
}

TEST(ChunkWalk, ShortFilesEndAtOnce) {
  ExpectUnchanged(RiffHeader(4), true);                     // the 12-byte header alone
  Bytes partial = RiffHeader(7);
  partial.insert(partial.end(), {'d', 'a', 't'});           // a header cut short
  ExpectUnchanged(partial, true);
}

TEST(ChunkWalk, OnlyRiffRf64AndBw64WaveFilesAreWalked) {
  // Each holds a "data" chunk at byte 12 that would be rewritten if the walk started there.
  const Bytes samples = Noise(3000, 700, 14);
  const auto file = [&](std::string_view head) {
    Bytes b = Text(head);
    PutChunk(b, "data", samples);
    return b;
  };
  const struct { std::string_view head; bool walked; } rows[] = {
      {"Sensor log: ", false},     {"RIFF\0\0\0\0RMID"sv, false}, {"RIFF\0\0\0\0PAL "sv, false},
      {"RIFX\0\0\0\0WAVE"sv, false}, {"riff\0\0\0\0WAVE"sv, false}, {"RF64\0\0\0\0AVI "sv, false},
      {"RIFF\0\0\0\0WAVE"sv, true}, {"RF64\0\0\0\0WAVE"sv, true},  {"BW64\0\0\0\0WAVE"sv, true},
  };
  for (const auto& row : rows) {
    SCOPED_TRACE(row.head);
    if (row.walked) ExpectNormalizedAsModel(file(row.head));
    else ExpectUnchanged(file(row.head), false);
  }
  for (std::string_view tiny : {""sv, "RIFF\x04"sv, "RIFF\0\0\0\0WAV"sv}) ExpectUnchanged(Text(tiny), false);
}

TEST(ChunkWalk, PadByteAfterAnOddChunkIsSkipped) {
  // Without the skip the next header would be read one byte early and "data" never found.
  ExpectNormalizedAsModel(Wave({{"fmt ", Pcm16()}, {"odd ", Text("abc")}, {"data", Noise(3000, 700, 5)}}));
}

TEST(ChunkWalk, FormatsOtherThan16BitPcmAreRefusedUntouched) {
  const Bytes pcm16 = Pcm16();
  const Bytes refused[] = {
      FmtBody(1, 2, 44100, 8),   FmtBody(1, 2, 44100, 24), FmtBody(1, 1, 44100, 32),
      FmtBody(3, 2, 44100, 32),  FmtBody(3, 2, 44100, 16), Extensible(3),
      Bytes(pcm16.begin(), pcm16.begin() + 14),  // too short to say
  };
  for (const Bytes& fmt : refused) ExpectUnchanged(Wave({{"fmt ", fmt}, {"data", Noise(3000, 700, 6)}}), false);
}

TEST(ChunkWalk, A16BitChunkIsNotNormalizedWhenALaterOneIsRefused) {
  ExpectUnchanged(Wave({{"fmt ", Pcm16()},
                        {"data", Noise(3000, 700, 7)},
                        {"fmt ", FmtBody(1, 2, 44100, 24)},
                        {"data", Noise(3000, 700, 8)}}),
                  false);
}

TEST(ChunkWalk, DataBeforeAnyFmtIsJudgedByTheFirstFmtAfterIt) {
  const Bytes fmt24 = FmtBody(1, 2, 44100, 24);
  ExpectUnchanged(Wave({{"data", Noise(3000, 700, 15)}, {"fmt ", fmt24}}), false);
  ExpectUnchanged(Wave({{"data", Noise(3000, 700, 16)}, {"LIST", Text("INFO")}, {"fmt ", FmtBody(1, 2, 44100, 8)}}), false);
  // The first "fmt " after it decides; a later one only speaks for the chunks after it.
  ExpectNormalizedAsModel(Wave({{"data", Noise(3000, 700, 17)}, {"fmt ", Pcm16()}, {"fmt ", fmt24}}));
  ExpectNormalizedAsModel(Wave({{"data", Noise(3000, 700, 18)}, {"fmt ", Pcm16()}, {"data", Noise(3000, 700, 19)}, {"fmt ", fmt24}}));
}

TEST(ChunkWalk, AcceptedFormats) {
  ExpectNormalizedAsModel(Wave({{"fmt ", Extensible(1)}, {"data", Noise(3000, 700, 9)}}));
  ExpectNormalizedAsModel(Wave({{"data", Noise(3000, 700, 10)}}));  // no "fmt " at all
  ExpectNormalizedAsModel(Wave({{"fmt ", FmtBody(1, 2, 44100, 8)}, {"fmt ", Pcm16()}, {"data", Noise(3000, 700, 11)}}));
}

TEST(ChunkWalk, SizesWithTheHighBitSetStepForward) {
  // Read as signed these would step backwards (-8 comes back to the same header forever).
  for (uint32_t size : {0xFFFFFFF8u, 0x80000000u, 0xFFFFFFFFu}) {
    Bytes b = Wave({{"fmt ", Pcm16()}, {"data", Noise(2000, 600, 12)}});
    PutHeader(b, "junk", size);
    b.insert(b.end(), 64, 0x11);
    FixRiffSize(b);
    ExpectNormalizedAsModel(b);
  }
}

TEST(ChunkWalk, DataClaimingMoreThanTheFileHoldsIsNormalizedToTheEnd) {
  for (uint32_t claimed : {0xFFFFFFFFu, 300000u, 120002u}) {  // 120000 bytes are there
    Bytes b = Wave({{"fmt ", Pcm16()}});
    PutHeader(b, "data", claimed);
    const Bytes samples = Noise(60000, 800, 13);
    b.insert(b.end(), samples.begin(), samples.end());
    const WalkRun run = RunWalk(b);
    EXPECT_EQ(run.status, 0) << claimed;
    EXPECT_EQ(run.file, NormalizeModel(b).file) << claimed;
    // The last bytes were reached: quiet noise is raised all the way to the end.
    EXPECT_NE(Bytes(run.file.end() - 100, run.file.end()), Bytes(b.end() - 100, b.end())) << claimed;
  }
}

TEST(ChunkWalk, Rf64DataTakesItsSizeFromDs64) {
  // Chunks after the samples stay as they were; a size from "ds64" beyond the file is cut to it.
  const Bytes samples = Noise(100000, 800, 20);  // 200000 bytes
  const Bytes list = Text("INFOICMT\x04\0\0\0note"sv);
  const struct { std::string_view container; int ds64Bytes; uint64_t ds64Data; bool listAfter; int64_t normalized; } rows[] = {
      {"RF64", 28, 200000, true, 200000},   {"BW64", 28, 200000, true, 200000},
      {"RF64", 28, 96000, true, 96000},     {"RF64", 28, (1ull << 32) + 96000, false, 200000},
      {"RF64", 12, 96000, false, 200000},   // too short to hold the size: ignored
      {"RIFF", 28, 96000, false, 200000},   // "ds64" means nothing in a RIFF file
  };
  for (const auto& row : rows) {
    SCOPED_TRACE(std::string(row.container) + " ds64 " + std::to_string(row.ds64Data));
    Bytes b = Text(row.container);
    PutU32(b, 0xFFFFFFFF);
    PutTag(b, "WAVE");
    Bytes ds64;
    for (uint64_t v : {uint64_t{0xFFFFFFFF}, row.ds64Data, uint64_t{50000}}) {
      PutU32(ds64, static_cast<uint32_t>(v));
      PutU32(ds64, static_cast<uint32_t>(v >> 32));
    }
    ds64.resize(static_cast<size_t>(row.ds64Bytes));
    PutChunk(b, "ds64", ds64);
    PutChunk(b, "fmt ", Pcm16());
    PutHeader(b, "data", 0xFFFFFFFF);
    const size_t body = b.size();
    b.insert(b.end(), samples.begin(), samples.end());
    if (row.listAfter) PutChunk(b, "LIST", list);
    ExpectNormalizedAsModel(b);
    const Bytes out = RunWalk(b).file;
    const auto at = out.begin() + static_cast<long>(body + static_cast<size_t>(row.normalized));
    EXPECT_NE(Bytes(at - 100, at), Bytes(b.begin() + (at - out.begin()) - 100, b.begin() + (at - out.begin())));
    EXPECT_TRUE(std::equal(at, out.end(), b.begin() + (at - out.begin()))) << "bytes after the chunk changed";
  }
}
