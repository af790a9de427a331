// Synthetic scanner pages. Everything is drawn in page inches scaled by the resolution, so the
// 600-dpi page shows the same content as the 300-dpi one with twice the detail.
#include "page.h"

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <memory>

#include "support/split_mix.h"

namespace jpegdec::bench {
namespace {

constexpr double kPi = 3.14159265358979323846;
constexpr int kA4WidthAt300 = 2480;   // 210 mm at 300 dpi
constexpr int kA4HeightAt300 = 3508;  // 297 mm at 300 dpi

using Random = test::SplitMix;

struct Rgb {
  double r, g, b;
};

struct Point {
  double x, y;
};

using Stroke = std::vector<Point>;
struct Glyph {
  double advance;  // in x-heights
  std::vector<Stroke> strokes;
};

// Glyph coordinates: x in x-heights from the glyph's left edge, y in x-heights above the
// baseline (ascenders reach 1.45, descenders -0.45).
Stroke Arc(double cx, double cy, double rx, double ry, double from, double to) {
  Stroke s;
  const int steps = 10;
  for (int i = 0; i <= steps; ++i) {
    const double a = (from + (to - from) * i / steps) * kPi / 180.0;
    s.push_back({cx + rx * std::cos(a), cy + ry * std::sin(a)});
  }
  return s;
}

std::vector<Glyph> MakeGlyphs() {
  std::vector<Glyph> g;
  g.push_back({0.95, {Arc(0.45, 0.5, 0.36, 0.5, 0, 360)}});  // o
  g.push_back({0.45, {{{0.2, 0}, {0.2, 1.45}}}});            // l
  g.push_back({0.95,
               {{{0.15, 0}, {0.15, 1}},
                Arc(0.45, 0.62, 0.3, 0.38, 180, 0),  // n
                {{0.75, 0.62}, {0.75, 0}}}});
  g.push_back({0.45, {{{0.2, 0}, {0.2, 1}}, {{0.2, 1.3}, {0.2, 1.38}}}});               // i
  g.push_back({0.9, {Arc(0.45, 0.5, 0.36, 0.5, 20, 340), {{0.1, 0.5}, {0.8, 0.5}}}});   // e
  g.push_back({0.95, {{{0.15, 1}, {0.15, -0.45}}, Arc(0.45, 0.5, 0.3, 0.5, 0, 360)}});  // p
  g.push_back({0.95, {Arc(0.42, 0.5, 0.3, 0.5, 0, 360), {{0.75, 0}, {0.75, 1.45}}}});   // d
  g.push_back({0.6, {{{0.25, 1.3}, {0.25, 0.1}, {0.45, 0}}, {{0.05, 1}, {0.5, 1}}}});   // t
  g.push_back({0.85, {{{0.05, 1}, {0.4, 0}, {0.75, 1}}}});                              // v
  g.push_back(
      {0.85, {Arc(0.4, 0.75, 0.3, 0.25, 80, 280), Arc(0.4, 0.25, 0.3, 0.25, 100, -100)}});  // s
  g.push_back({0.85, {Arc(0.45, 0.5, 0.36, 0.5, 40, 320)}});                                // c
  g.push_back({0.65, {{{0.15, 0}, {0.15, 1}}, Arc(0.45, 0.62, 0.3, 0.38, 180, 60)}});       // r
  g.push_back({1.45,
               {{{0.12, 0}, {0.12, 1}},
                Arc(0.4, 0.62, 0.28, 0.38, 180, 0),  // m
                {{0.68, 0.62}, {0.68, 0}},
                Arc(0.96, 0.62, 0.28, 0.38, 180, 0),
                {{1.24, 0.62}, {1.24, 0}}}});
  g.push_back({0.9,
               {Arc(0.4, 0.3, 0.3, 0.3, 0, 360),
                {{0.7, 0}, {0.7, 0.75}},  // a
                Arc(0.4, 0.7, 0.3, 0.3, 0, 160)}});
  g.push_back({0.85, {{{0.05, 0}, {0.75, 1}}, {{0.05, 1}, {0.75, 0}}}});                // x
  g.push_back({0.9, {{{0.15, 0}, {0.15, 1.45}}, {{0.7, 1}, {0.15, 0.4}, {0.75, 0}}}});  // k
  g.push_back({0.95,
               {{{0.15, 1}, {0.15, 0.35}},
                Arc(0.45, 0.35, 0.3, 0.35, 180, 360),  // u
                {{0.75, 1}, {0.75, 0}}}});
  g.push_back({0.95,
               {Arc(0.42, 0.5, 0.3, 0.5, 0, 360),
                {{0.75, 1}, {0.75, -0.2}},  // g
                Arc(0.45, -0.2, 0.3, 0.25, 0, -170)}});
  g.push_back({1.2, {{{0.1, 1.45}, {0.1, 0}, {1.0, 0}}, {{0.1, 0.75}, {0.8, 0.75}}}});  // capital
  g.push_back({0.35, {{{0.15, 0.02}, {0.15, 0.1}}}});                                   // full stop
  return g;
}

class Canvas {
 public:
  Canvas(int width, int height, int channels)
      : width_(width),
        height_(height),
        channels_(channels),
        pixels_(static_cast<std::size_t>(width) * static_cast<std::size_t>(height) *
                    static_cast<std::size_t>(channels),
                0) {}

  int width() const { return width_; }
  int height() const { return height_; }

  void Set(int x, int y, Rgb c) {
    std::uint8_t* p = At(x, y);
    if (channels_ == 3) {
      p[0] = Clamp(c.r);
      p[1] = Clamp(c.g);
      p[2] = Clamp(c.b);
    } else {
      p[0] = Clamp(Luma(c));
    }
  }

  // Blends `c` over the pixel with coverage `alpha` (0..1).
  void Blend(int x, int y, Rgb c, double alpha) {
    std::uint8_t* p = At(x, y);
    if (channels_ == 3) {
      p[0] = Clamp(p[0] + (c.r - p[0]) * alpha);
      p[1] = Clamp(p[1] + (c.g - p[1]) * alpha);
      p[2] = Clamp(p[2] + (c.b - p[2]) * alpha);
    } else {
      p[0] = Clamp(p[0] + (Luma(c) - p[0]) * alpha);
    }
  }

  // A thick anti-aliased line segment (thickness in pixels).
  void Segment(Point a, Point b, double thickness, Rgb ink) {
    const double half = thickness / 2;
    const int x0 = std::max(0, static_cast<int>(std::floor(std::min(a.x, b.x) - half - 1)));
    const int x1 = std::min(width_ - 1, static_cast<int>(std::ceil(std::max(a.x, b.x) + half + 1)));
    const int y0 = std::max(0, static_cast<int>(std::floor(std::min(a.y, b.y) - half - 1)));
    const int y1 =
        std::min(height_ - 1, static_cast<int>(std::ceil(std::max(a.y, b.y) + half + 1)));
    const double dx = b.x - a.x;
    const double dy = b.y - a.y;
    const double len2 = dx * dx + dy * dy;
    for (int y = y0; y <= y1; ++y) {
      for (int x = x0; x <= x1; ++x) {
        const double px = x + 0.5 - a.x;
        const double py = y + 0.5 - a.y;
        double t = len2 > 0 ? (px * dx + py * dy) / len2 : 0;
        t = std::clamp(t, 0.0, 1.0);
        const double ex = px - t * dx;
        const double ey = py - t * dy;
        const double coverage = std::clamp(half + 0.5 - std::sqrt(ex * ex + ey * ey), 0.0, 1.0);
        if (coverage > 0) {
          Blend(x, y, ink, coverage * 0.92);
        }
      }
    }
  }

  void FillRect(double x0, double y0, double x1, double y1, Rgb c, double alpha) {
    for (int y = std::max(0, static_cast<int>(y0)); y < std::min(height_, static_cast<int>(y1));
         ++y) {
      for (int x = std::max(0, static_cast<int>(x0)); x < std::min(width_, static_cast<int>(x1));
           ++x) {
        Blend(x, y, c, alpha);
      }
    }
  }

  std::vector<std::uint8_t> Take() { return std::move(pixels_); }

 private:
  static double Luma(Rgb c) { return 0.299 * c.r + 0.587 * c.g + 0.114 * c.b; }
  static std::uint8_t Clamp(double v) {
    return static_cast<std::uint8_t>(std::clamp(std::lround(v), 0l, 255l));
  }
  std::uint8_t* At(int x, int y) {
    return pixels_.data() + (static_cast<std::size_t>(y) * static_cast<std::size_t>(width_) +
                             static_cast<std::size_t>(x)) *
                                static_cast<std::size_t>(channels_);
  }

  int width_;
  int height_;
  int channels_;
  std::vector<std::uint8_t> pixels_;
};

// Paper: warm white, darker towards the edges (uneven illumination), column-wise sensor
// variation and per-pixel noise.
void DrawPaper(Canvas& canvas, Random& random) {
  const int w = canvas.width();
  const int h = canvas.height();
  std::vector<double> column(static_cast<std::size_t>(w));
  for (double& c : column) {
    c = random.Range(-1.2, 1.2);
  }
  Random noise(random.Next());
  for (int y = 0; y < h; ++y) {
    const double dy = (static_cast<double>(y) / h - 0.45) * 2;
    for (int x = 0; x < w; ++x) {
      const double dx = (static_cast<double>(x) / w - 0.5) * 2;
      const double light = 1.0 - 0.035 * (dx * dx + dy * dy);
      const std::uint64_t n = noise.Next();
      // Triangular noise of about +-3 levels, mostly shared by the three channels.
      const double common = static_cast<double>((n & 0xFF) + ((n >> 8) & 0xFF)) / 85.0 - 3.0;
      const double chroma = static_cast<double>((n >> 16) & 0xFF) / 255.0 - 0.5;
      const double base = column[static_cast<std::size_t>(x)] + common;
      canvas.Set(x, y,
                 {242 * light + base + chroma, 239 * light + base, 231 * light + base - chroma});
    }
  }
}

// A line of "words" from x to xEnd with its baseline at y; returns nothing, draws in `ink`.
void DrawTextLine(Canvas& canvas, Random& random, const std::vector<Glyph>& glyphs, double x,
                  double xEnd, double y, double xHeight, double thickness, Rgb ink) {
  bool sentenceStart = true;
  while (x < xEnd) {
    const int letters = random.Int(1, 9);
    double wordWidth = 0;
    std::vector<int> word;
    for (int i = 0; i < letters; ++i) {
      int g = random.Int(0, static_cast<int>(glyphs.size()) - 3);  // lower case
      if (i == 0 && sentenceStart) {
        g = static_cast<int>(glyphs.size()) - 2;  // capital
      }
      word.push_back(g);
      wordWidth += glyphs[static_cast<std::size_t>(g)].advance * xHeight;
    }
    sentenceStart = random.Int(0, 9) == 0;
    if (sentenceStart) {
      word.push_back(static_cast<int>(glyphs.size()) - 1);  // full stop
    }
    if (x + wordWidth > xEnd) {
      break;
    }
    for (int g : word) {
      const Glyph& glyph = glyphs[static_cast<std::size_t>(g)];
      const double slant = random.Range(-0.03, 0.03);
      for (const Stroke& stroke : glyph.strokes) {
        for (std::size_t i = 1; i < stroke.size(); ++i) {
          const Point a{x + (stroke[i - 1].x + slant * stroke[i - 1].y) * xHeight,
                        y - stroke[i - 1].y * xHeight};
          const Point b{x + (stroke[i].x + slant * stroke[i].y) * xHeight,
                        y - stroke[i].y * xHeight};
          canvas.Segment(a, b, thickness, ink);
        }
      }
      x += glyph.advance * xHeight;
    }
    x += 0.9 * xHeight;
  }
}

// A photo-like figure: smooth colour fields, soft blobs and grain.
void DrawFigure(Canvas& canvas, Random& random, double x0, double y0, double x1, double y1) {
  struct Blob {
    double cx, cy, r;
    Rgb c;
  };
  std::vector<Blob> blobs;
  for (int i = 0; i < 9; ++i) {
    blobs.push_back({random.Range(x0, x1),
                     random.Range(y0, y1),
                     random.Range(0.08, 0.3) * (y1 - y0),
                     {random.Range(20, 240), random.Range(20, 240), random.Range(20, 240)}});
  }
  Random grain(random.Next());
  const double w = x1 - x0;
  const double h = y1 - y0;
  for (int y = static_cast<int>(y0); y < static_cast<int>(y1); ++y) {
    for (int x = static_cast<int>(x0); x < static_cast<int>(x1); ++x) {
      const double u = (x - x0) / w;
      const double v = (y - y0) / h;
      Rgb c{90 + 110 * v + 30 * std::sin(2 * kPi * (u * 1.7 + v * 0.3)),
            120 + 60 * std::sin(2 * kPi * (u * 0.6 - v * 1.1)) + 40 * u,
            170 - 90 * v + 40 * std::cos(2 * kPi * (u * 2.3 + v * 0.7))};
      for (const Blob& b : blobs) {
        const double d = std::hypot(x - b.cx, y - b.cy) / b.r;
        if (d < 1.3) {
          const double a = std::clamp(1.3 - d, 0.0, 1.0);
          c = {c.r + (b.c.r - c.r) * a, c.g + (b.c.g - c.g) * a, c.b + (b.c.b - c.b) * a};
        }
      }
      const double n = static_cast<double>(grain.Next() & 0xFF) / 32.0 - 4.0;
      canvas.Set(x, y, {c.r + n, c.g + n, c.b + n});
    }
  }
}

}  // namespace

Page MakePage(int dpi, bool colour, std::uint64_t seed) {
  Page page;
  page.width = kA4WidthAt300 * dpi / 300;
  page.height = kA4HeightAt300 * dpi / 300;
  page.channels = colour ? 3 : 1;
  Canvas canvas(page.width, page.height, page.channels);
  Random random(seed);
  const double in = dpi;  // pixels per inch
  static const std::vector<Glyph> glyphs = MakeGlyphs();

  DrawPaper(canvas, random);

  const double left = 0.9 * in;
  const double right = page.width - 0.9 * in;
  const Rgb black{28, 27, 32};
  const Rgb blue{25, 55, 130};

  // Header: logo, title in colour, a rule.
  for (int y = 0; y < static_cast<int>(0.7 * in); ++y) {
    for (int x = 0; x < static_cast<int>(0.7 * in); ++x) {
      const double d = std::hypot(x - 0.35 * in, y - 0.35 * in) / (0.35 * in);
      if (d < 1.0) {
        const double ring = std::abs(d - 0.6) < 0.08 ? 1.0 : 0.0;
        canvas.Blend(static_cast<int>(right - 0.7 * in) + x, static_cast<int>(0.6 * in) + y,
                     ring > 0 ? Rgb{245, 240, 235} : Rgb{200, 40, 45}, std::min(1.0, (1 - d) * 20));
      }
    }
  }
  DrawTextLine(canvas, random, glyphs, left, right - 1.2 * in, 1.05 * in, 0.16 * in, 0.03 * in,
               blue);
  canvas.Segment({left, 1.35 * in}, {right, 1.35 * in}, 0.012 * in, {120, 120, 130});

  // Body: paragraphs, a highlighted paragraph, a figure with a caption, a stamp, a footer.
  const double xHeight = 0.058 * in;
  const double pitch = 0.19 * in;
  const double stroke = 0.011 * in;
  double y = 1.75 * in;
  int paragraph = 0;
  bool figureDone = false;
  while (y < page.height - 1.3 * in) {
    if (!figureDone && y > 0.33 * page.height) {
      DrawFigure(canvas, random, left, y, right - 1.6 * in, y + 2.8 * in);
      DrawTextLine(canvas, random, glyphs, right - 1.45 * in, right, y + 0.3 * in, xHeight * 0.8,
                   stroke * 0.9, black);
      y += 2.8 * in + pitch;
      DrawTextLine(canvas, random, glyphs, left, right - 2.5 * in, y, xHeight * 0.85, stroke,
                   {70, 70, 80});
      y += 1.6 * pitch;
      figureDone = true;
      continue;
    }
    const int lines = random.Int(3, 9);
    if (paragraph == 2) {
      canvas.FillRect(left - 0.05 * in, y - pitch * 0.8, right, y + pitch * (lines - 0.6),
                      {250, 236, 120}, 0.55);
    }
    for (int i = 0; i < lines && y < page.height - 1.3 * in; ++i) {
      const double end = i + 1 == lines ? random.Range(left + 1 * in, right) : right;
      DrawTextLine(canvas, random, glyphs, left + (i == 0 ? 0.3 * in : 0), end, y, xHeight, stroke,
                   black);
      y += pitch;
    }
    y += 0.6 * pitch;
    ++paragraph;
  }
  // A blue signature-like stamp across the last lines.
  Point prev{right - 2.6 * in, page.height - 1.6 * in};
  for (int i = 1; i <= 60; ++i) {
    const double t = i / 60.0;
    const Point next{right - 2.6 * in + 2.0 * in * t,
                     page.height - 1.6 * in + 0.25 * in * std::sin(t * 17) - 0.2 * in * t};
    canvas.Segment(prev, next, 0.02 * in, {30, 60, 170});
    prev = next;
  }
  DrawTextLine(canvas, random, glyphs, page.width / 2.0 - 0.2 * in, page.width / 2.0 + 0.4 * in,
               page.height - 0.6 * in, xHeight * 0.8, stroke, black);

  page.pixels = canvas.Take();
  return page;
}

bool WritePnm(const Page& page, const char* path) {
  std::unique_ptr<std::FILE, int (*)(std::FILE*)> file(std::fopen(path, "wb"), std::fclose);
  if (!file) {
    return false;
  }
  std::fprintf(file.get(), "P%c\n%d %d\n255\n", page.channels == 3 ? '6' : '5', page.width,
               page.height);
  return std::fwrite(page.pixels.data(), 1, page.pixels.size(), file.get()) == page.pixels.size() &&
         std::fflush(file.get()) == 0;
}

}  // namespace jpegdec::bench
