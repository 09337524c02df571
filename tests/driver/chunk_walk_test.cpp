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
  // The second chunk is shorter than a block, so its scan meets slots left by the first.
  ExpectNormalizedAsModel(Wave({{"fmt ", Pcm16()},
                                {"data", Noise(150000, 30000, 3)},
                                {"LIST", Text("INFO")},
                                {"data", Noise(20000, 400, 4)}}));
}

TEST(ChunkWalk, ShortFilesEndAtOnce) {
  ExpectUnchanged(RiffHeader(4), true);                     // the 12-byte header alone
  ExpectUnchanged(Text("RIFF\x04"), true);                  // 5 bytes
  ExpectUnchanged(Bytes(), true);                           // empty
  Bytes partial = RiffHeader(7);
  partial.insert(partial.end(), {'d', 'a', 't'});           // a header cut short
  ExpectUnchanged(partial, true);
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
