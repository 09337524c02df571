// The envelope picture's curves, read back through its plot frame: each block's start, end
// and peak level in dBFS, for files whose block peaks are known.
#include <gtest/gtest.h>

#include <cstdlib>
#include <string>
#include <vector>

#include "support/files.h"

using namespace testing_support;

namespace {

constexpr double FramesPerSecond = 44100;

/// frames stereo frames whose largest magnitude is peak, reached once.
std::vector<int16_t> Block(int peak, int frames) {
  std::vector<int16_t> s(2 * static_cast<size_t>(frames));
  for (size_t i = 0; i < s.size(); ++i) s[i] = static_cast<int16_t>((i % 2 ? 1 : -1) * (peak / 4));
  s[s.size() / 3] = static_cast<int16_t>(peak);
  return s;
}

std::vector<int16_t> Join(const std::vector<std::vector<int16_t>>& parts) {
  std::vector<int16_t> all;
  for (const auto& p : parts) all.insert(all.end(), p.begin(), p.end());
  return all;
}

double Attribute(const std::string& svg, const std::string& element, const std::string& name) {
  const size_t at = svg.find(element);
  const size_t value = svg.find(" " + name + "=\"", at);
  EXPECT_NE(at, std::string::npos) << element;
  return std::atof(svg.c_str() + value + name.size() + 3);
}

struct Step {
  double startFrame, endFrame, level;
};

/// The points of the curve of that class, as steps in frames and dBFS.
std::vector<Step> Curve(const std::string& svg, const std::string& name, double seconds, double floor) {
  const std::string frame = "class=\"frame\"";
  const double left = Attribute(svg, frame, "x"), top = Attribute(svg, frame, "y");
  const double width = Attribute(svg, frame, "width"), height = Attribute(svg, frame, "height");
  const size_t at = svg.find("points=\"", svg.find("class=\"" + name + "\""));
  std::vector<Step> steps;
  for (const char* p = svg.c_str() + at + 8; *p != '"';) {
    double x[2], y[2];
    for (int i = 0; i < 2; ++i) {
      char* end;
      x[i] = std::strtod(p, &end);
      y[i] = std::strtod(end + 1, &end);
      p = *end == ' ' ? end + 1 : end;
    }
    EXPECT_EQ(y[0], y[1]) << "a block's level is held from its start to its end";
    const auto frames = [&](double px) { return (px - left) / width * seconds * FramesPerSecond; };
    steps.push_back({frames(x[0]), frames(x[1]), (y[0] - top) / height * floor});
  }
  return steps;
}

}  // namespace

TEST(Envelope, EachBlockOfEachDataChunkCarriesItsPeakLevel) {
  TempDir dir;
  // Before: five full blocks of 24000 frames and a short one; -32768 counts as 32768.
  WriteFile(dir.file("before.wav"),
            CanonicalWave(Join({Block(32767, 24000), Block(-32768, 24000), Block(16384, 24000),
                                Block(328, 24000), Block(0, 24000), Block(-3277, 500)})));
  // After: two "data" chunks around a list; the blocks start again with the second chunk,
  // and its quietest block deepens the axis to -80 dBFS.
  Bytes after = RiffHeader(0);
  PutChunk(after, "fmt ", FmtBody(1, 2, 44100, 16));
  PutChunk(after, "data", SampleBytes(Join({Block(32512, 24000), Block(1024, 6000)})));
  PutChunk(after, "LIST", Bytes(11, 'x'));
  PutChunk(after, "data", SampleBytes(Block(10, 24000)));
  FixRiffSize(after);
  WriteFile(dir.file("after.wav"), after);
  const std::string command = std::string("'") + TOLVAR_ENVELOPE + "' '" + dir.file("before.wav") +
                              "' '" + dir.file("after.wav") + "' '" + dir.file("out.svg") + "'";
  ASSERT_EQ(std::system(command.c_str()), 0) << command;
  const Bytes bytes = ReadFile(dir.file("out.svg"));
  const std::string svg(bytes.begin(), bytes.end());

  const double seconds = 120500 / FramesPerSecond, floor = -80;
  const std::vector<Step> before = {
      {0, 24000, -0.00},       {24000, 48000, 0.00},   {48000, 72000, -6.02},
      {72000, 96000, -39.99},  {96000, 120000, floor}, {120000, 120500, -20.00}};
  const std::vector<Step> afterSteps = {
      {0, 24000, -0.07}, {24000, 30000, -30.10}, {30000, 54000, -70.31}};
  for (const auto& [name, expected] : {std::pair{"before", before}, std::pair{"after", afterSteps}}) {
    const std::vector<Step> got = Curve(svg, name, seconds, floor);
    ASSERT_EQ(got.size(), expected.size()) << name;
    for (size_t i = 0; i < got.size(); ++i) {
      EXPECT_NEAR(got[i].startFrame, expected[i].startFrame, 2) << name << " block " << i;
      EXPECT_NEAR(got[i].endFrame, expected[i].endFrame, 2) << name << " block " << i;
      EXPECT_NEAR(got[i].level, expected[i].level, 0.01) << name << " block " << i;
    }
  }
  EXPECT_NEAR((Attribute(svg, "class=\"target\"", "y1") - Attribute(svg, "class=\"frame\"", "y")) /
                  Attribute(svg, "class=\"frame\"", "height") * floor, -0.07, 0.01);
  EXPECT_NE(svg.find(">-80</text>"), std::string::npos) << "the lowest level on the axis";
}
