// Draws what normalizing did to a WAVE file: for every block of 96000 bytes of a "data"
// chunk, the block's peak in dBFS over time, once for the file before and once after, as
// two curves of one SVG picture with the 32512 target line.
//
//   tolvar-envelope BEFORE.wav AFTER.wav OUT.svg
//
// The plot frame is the rectangle of class "frame": its left edge is 0 s and its right edge
// the length of the longer file, its top 0 dBFS and its bottom the lowest tick label. Each
// curve holds two points a block, at the block's start and end, at the block's level.
#include <algorithm>
#include <cmath>
#include <cstdarg>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <string>
#include <vector>

namespace {

constexpr uint32_t BlockBytes = 96000;  // the tool's block: each one gets a gain of its own
constexpr double FullScale = 32768.0;
constexpr double Target = 32512.0;

struct Block {
  double start = 0;  ///< seconds from the first sample of the first "data" chunk
  double end = 0;
  int32_t peak = 0;  ///< largest magnitude, 0 .. 32768
};

struct Envelope {
  std::vector<Block> blocks;
  double seconds = 0;  ///< the length of all "data" chunks together
};

uint32_t LE(const uint8_t* p, int bytes) {
  uint32_t v = 0;
  for (int i = bytes - 1; i >= 0; --i) v = v << 8 | p[i];
  return v;
}

/// Reads the blocks of every "data" chunk of path; false with a message on stderr if the file
/// cannot be read or is no 16-bit PCM WAVE file.
bool ReadEnvelope(const char* path, Envelope& out) {
  std::FILE* in = std::fopen(path, "rb");
  if (in == nullptr) {
    std::perror(path);
    return false;
  }
  const auto fail = [&](const char* why) {
    std::fprintf(stderr, "tolvar-envelope: %s: %s\n", path, why);
    std::fclose(in);
    return false;
  };
  uint8_t header[12];
  if (std::fread(header, 1, 12, in) != 12 || std::memcmp(header, "RIFF", 4) != 0 ||
      std::memcmp(header + 8, "WAVE", 4) != 0) {
    return fail("not a RIFF/WAVE file");
  }
  double bytesPerSecond = 0;
  std::vector<uint8_t> block(BlockBytes);
  double offset = 0;  // bytes of "data" read so far, over all chunks
  uint8_t chunk[8];
  while (std::fread(chunk, 1, 8, in) == 8) {
    const uint32_t size = LE(chunk + 4, 4);
    if (std::memcmp(chunk, "fmt ", 4) == 0) {
      uint8_t fmt[16];
      if (size < 16 || std::fread(fmt, 1, 16, in) != 16) return fail("short \"fmt \" chunk");
      const uint32_t tag = LE(fmt, 2), bits = LE(fmt + 14, 2);
      if ((tag != 1 && tag != 0xFFFE) || bits != 16) return fail("not 16-bit PCM");
      bytesPerSecond = static_cast<double>(LE(fmt + 4, 4)) * LE(fmt + 2, 2) * 2;
      if (bytesPerSecond == 0) return fail("no sample rate");
      std::fseek(in, static_cast<long>(size - 16 + (size & 1)), SEEK_CUR);
    } else if (std::memcmp(chunk, "data", 4) == 0) {
      if (bytesPerSecond == 0) return fail("\"data\" before \"fmt \"");
      // A chunk that claims more than the file holds ends where the file does.
      for (uint32_t left = size; left > 0;) {
        const size_t got = std::fread(block.data(), 1, std::min(left, BlockBytes), in);
        if (got == 0) break;
        Block b{offset / bytesPerSecond, (offset + static_cast<double>(got)) / bytesPerSecond, 0};
        for (size_t i = 0; i + 1 < got; i += 2) {
          const int32_t s = static_cast<int16_t>(LE(&block[i], 2));
          b.peak = std::max(b.peak, s < 0 ? -s : s);
        }
        out.blocks.push_back(b);
        offset += static_cast<double>(got);
        left -= static_cast<uint32_t>(got);
      }
      if (size & 1) std::fseek(in, 1, SEEK_CUR);
    } else {
      std::fseek(in, static_cast<long>(size) + (size & 1), SEEK_CUR);
    }
  }
  out.seconds = bytesPerSecond > 0 ? offset / bytesPerSecond : 0;
  std::fclose(in);
  return true;
}

double Decibels(double magnitude) { return 20.0 * std::log10(magnitude / FullScale); }

/// The lowest level on the axis: -60 dBFS, or deeper in steps of 10 for a quieter block.
double Floor(const std::vector<const Envelope*>& envelopes) {
  double lowest = -60;
  for (const Envelope* e : envelopes) {
    for (const Block& b : e->blocks) {
      if (b.peak > 0) lowest = std::min(lowest, std::floor(Decibels(b.peak) / 10) * 10);
    }
  }
  return lowest;
}

/// A tick step of 1, 2 or 5 times a power of ten that puts at most ten ticks on span.
double TickStep(double span) {
  for (double scale = 0.1;; scale *= 10) {
    for (double m : {1.0, 2.0, 5.0}) {
      if (span / (m * scale) <= 10) return m * scale;
    }
  }
}

std::string Format(const char* format, ...) __attribute__((format(printf, 1, 2)));
std::string Format(const char* format, ...) {
  char text[512];
  va_list args;
  va_start(args, format);
  std::vsnprintf(text, sizeof text, format, args);
  va_end(args);
  return text;
}

/// Where a time in seconds and a level in dBFS stand in the picture.
struct Plot {
  double left, top, pixelsPerSecond, pixelsPerDecibel;
  double X(double seconds) const { return left + seconds * pixelsPerSecond; }
  double Y(double decibels) const { return top - decibels * pixelsPerDecibel; }
};

/// A step curve: each block's level held from its start to its end; a silent block lies on
/// the floor.
std::string Curve(const Envelope& e, const Plot& plot, double floor, const char* name, const char* colour) {
  std::string points;
  for (const Block& b : e.blocks) {
    const double y = plot.Y(b.peak > 0 ? Decibels(b.peak) : floor);
    points += Format("%.2f,%.2f %.2f,%.2f ", plot.X(b.start), y, plot.X(b.end), y);
  }
  if (!points.empty()) points.pop_back();
  return Format(
             "<polyline class=\"%s\" fill=\"none\" stroke=\"%s\" stroke-width=\"2\" "
             "stroke-linejoin=\"round\" points=\"",
             name, colour) +
         points + "\"/>\n";
}

std::string Svg(const Envelope& before, const Envelope& after) {
  constexpr double Width = 800, Height = 420, Left = 70, Right = 130, Top = 40, Bottom = 55;
  constexpr double PlotW = Width - Left - Right, PlotH = Height - Top - Bottom;
  const double seconds = std::max({before.seconds, after.seconds, 0.001});
  const double floor = Floor({&before, &after});
  const Plot plot{Left, Top, PlotW / seconds, PlotH / -floor};
  const double target = Decibels(Target);

  std::string s = Format(
      "<svg xmlns=\"http://www.w3.org/2000/svg\" width=\"%.0f\" height=\"%.0f\" viewBox=\"0 0 %.0f %.0f\" "
      "font-family=\"sans-serif\" font-size=\"13\">\n"
      "<rect width=\"100%%\" height=\"100%%\" fill=\"white\"/>\n"
      "<text x=\"%.0f\" y=\"24\" font-size=\"15\">Peak of each block of 96000 bytes, before and "
      "after</text>\n",
      Width, Height, Width, Height, Left);
  for (double db = 0; db >= floor - 1e-9; db -= 10) {
    s += Format(
        "<line x1=\"%.1f\" y1=\"%.1f\" x2=\"%.1f\" y2=\"%.1f\" stroke=\"#e4e4e4\"/>"
        "<text x=\"%.1f\" y=\"%.1f\" text-anchor=\"end\">%.0f</text>\n",
        Left, plot.Y(db), Left + PlotW, plot.Y(db), Left - 8, plot.Y(db) + 4, db);
  }
  const double step = TickStep(seconds);
  for (int i = 0; i * step <= seconds + 1e-9; ++i) {
    const double t = i * step;
    s += Format(
        "<line x1=\"%.1f\" y1=\"%.1f\" x2=\"%.1f\" y2=\"%.1f\" stroke=\"#e4e4e4\"/>"
        "<text x=\"%.1f\" y=\"%.1f\" text-anchor=\"middle\">%.*f</text>\n",
        plot.X(t), Top, plot.X(t), Top + PlotH, plot.X(t), Top + PlotH + 18, step < 1 ? 1 : 0, t);
  }
  s += Format(
      "<rect class=\"frame\" x=\"%.1f\" y=\"%.1f\" width=\"%.1f\" height=\"%.1f\" fill=\"none\" "
      "stroke=\"#444\"/>\n"
      "<text x=\"%.1f\" y=\"%.1f\" text-anchor=\"middle\">time (s)</text>\n"
      "<text transform=\"translate(18 %.1f) rotate(-90)\" text-anchor=\"middle\">level (dBFS)</text>\n",
      Left, Top, PlotW, PlotH, Left + PlotW / 2, Height - 10, Top + PlotH / 2);
  s += Format(
      "<line class=\"target\" x1=\"%.2f\" y1=\"%.2f\" x2=\"%.2f\" y2=\"%.2f\" "
      "stroke=\"#c0392b\" stroke-dasharray=\"6 4\"/>\n",
      plot.X(0), plot.Y(target), plot.X(seconds), plot.Y(target));
  s += Curve(before, plot, floor, "before", "#9a9a9a");
  s += Curve(after, plot, floor, "after", "#1f6fd1");
  const double legendX = Left + PlotW + 12;
  s += Format(
      "<text x=\"%.1f\" y=\"%.1f\" fill=\"#c0392b\">target 32512</text>\n"
      "<text x=\"%.1f\" y=\"%.1f\" fill=\"#c0392b\">(%.2f dBFS)</text>\n",
      legendX, plot.Y(target) + 4, legendX, plot.Y(target) + 20, target);
  s += Format(
      "<line x1=\"%.1f\" y1=\"%.1f\" x2=\"%.1f\" y2=\"%.1f\" stroke=\"#9a9a9a\" stroke-width=\"2\"/>"
      "<text x=\"%.1f\" y=\"%.1f\">before</text>\n"
      "<line x1=\"%.1f\" y1=\"%.1f\" x2=\"%.1f\" y2=\"%.1f\" stroke=\"#1f6fd1\" stroke-width=\"2\"/>"
      "<text x=\"%.1f\" y=\"%.1f\">after</text>\n",
      legendX, Top + 80, legendX + 24, Top + 80, legendX + 30, Top + 84, legendX, Top + 100, legendX + 24,
      Top + 100, legendX + 30, Top + 104);
  return s + "</svg>\n";
}

}  // namespace

int main(int argc, char** argv) {
  if (argc != 4) {
    std::fprintf(stderr, "usage: tolvar-envelope BEFORE.wav AFTER.wav OUT.svg\n");
    return 2;
  }
  Envelope before, after;
  if (!ReadEnvelope(argv[1], before) || !ReadEnvelope(argv[2], after)) return 1;
  const std::string svg = Svg(before, after);
  std::FILE* out = std::fopen(argv[3], "wb");
  if (out == nullptr) {
    std::perror(argv[3]);
    return 1;
  }
  const bool written = std::fwrite(svg.data(), 1, svg.size(), out) == svg.size();
  if (std::fclose(out) != 0 || !written) {
    std::perror(argv[3]);
    return 1;
  }
  return 0;
}
