// The envelope picture's curves, read back through its plot frame: each block's start, end
// and peak level in dBFS, and the target line, for files whose block peaks are known.
#include <gtest/gtest.h>

#include <cstdio>
#include <cstdlib>

#include "support/files.h"

using namespace testing_support;

/// Blocks of {peak, frames} stereo frames, each block's largest magnitude reached once, mid-block.
static std::vector<int16_t> Blocks(std::initializer_list<std::pair<int, int>> blocks) {
  std::vector<int16_t> s;
  for (const auto& [peak, frames] : blocks)
    for (int i = 0; i < 2 * frames; ++i)
      s.push_back(static_cast<int16_t>(i == frames ? peak : (i % 2 ? 1 : -1) * (peak / 4)));
  return s;
}

TEST(Envelope, EachBlockOfEachDataChunkCarriesItsPeakLevel) {
  TempDir dir;
  // Before: five full blocks of 24000 frames and a short one; -32768 counts as 32768.
  WriteFile(dir.file("before.wav"),
            CanonicalWave(Blocks(
                {{32767, 24000}, {-32768, 24000}, {16384, 24000}, {328, 24000}, {0, 24000}, {-3277, 500}})));
  // After: two "data" chunks around a list; the blocks start again with the second chunk,
  // and its quietest block deepens the axis to -80 dBFS.
  Bytes after = RiffHeader(0);
  PutChunk(after, "fmt ", FmtBody(1, 2, 44100, 16));
  PutChunk(after, "data", SampleBytes(Blocks({{32512, 24000}, {1024, 6000}})));
  PutChunk(after, "LIST", Bytes(11, 'x'));
  PutChunk(after, "data", SampleBytes(Blocks({{10, 24000}})));
  FixRiffSize(after);
  WriteFile(dir.file("after.wav"), after);
  const std::string command = "cd '" + dir.path() + "' && '" TOLVAR_ENVELOPE "' before.wav after.wav out.svg";
  ASSERT_EQ(std::system(command.c_str()), 0) << command;
  const Bytes bytes = ReadFile(dir.file("out.svg"));
  const std::string svg(bytes.begin(), bytes.end());
  // A missing element or attribute reads as a number from the picture's start: wrong levels.
  const auto at = [&](const std::string& element, const std::string& name) {
    return std::atof(svg.c_str() + svg.find(" " + name + "=\"", svg.find("class=\"" + element + "\"")) +
                     name.size() + 3);
  };
  // The frame spans 0 to the longer file's 120500 frames, and 0 dBFS down to the -80 floor.
  const auto frames = [&](double x) { return (x - at("frame", "x")) / at("frame", "width") * 120500; };
  const auto dB = [&](double y) { return (y - at("frame", "y")) / at("frame", "height") * -80; };
  for (const auto& [name, expected] :
       {std::pair{"before", std::vector<double>{0, 24000, 0, 24000, 48000, 0, 48000, 72000, -6.02, 72000,
                                                96000, -39.99, 96000, 120000, -80, 120000, 120500, -20.00}},
        std::pair{"after",
                  std::vector<double>{0, 24000, -0.07, 24000, 30000, -30.10, 30000, 54000, -70.31}}}) {
    std::vector<double> got;  // start frame, end frame, level of each block
    double x0, y0, x1, y1;
    int n = 0;
    for (const char* p = svg.c_str() + svg.find("points=\"", svg.find(std::string("class=\"") + name)) + 8;
         std::sscanf(p, "%lf,%lf %lf,%lf%n", &x0, &y0, &x1, &y1, &n) == 4; p += n) {
      EXPECT_EQ(y0, y1) << name << ": a block's level is held from its start to its end";
      got.insert(got.end(), {frames(x0), frames(x1), dB(y0)});
    }
    ASSERT_EQ(got.size(), expected.size()) << name;
    for (size_t i = 0; i < got.size(); ++i)
      EXPECT_NEAR(got[i], expected[i], i % 3 == 2 ? 0.01 : 2) << name << " block " << i / 3;
  }
  EXPECT_NEAR(dB(at("target", "y1")), -0.07, 0.01) << "the target line";
  EXPECT_NE(svg.find(">-80</text>"), std::string::npos) << "the lowest level on the axis";
}
