// Synthetic scanner pages for the benchmarks: paper with uneven illumination and sensor noise,
// lines of text-like strokes, a coloured heading, a photo-like figure, rules and a stamp. The
// same seed always gives the same page.
#pragma once

#include <cstdint>
#include <vector>

namespace jpegdec::bench {

struct Page {
  int width = 0;
  int height = 0;
  int channels = 0;                  // 3 (R, G, B) or 1 (grey)
  std::vector<std::uint8_t> pixels;  // rows top to bottom, channels interleaved
};

// An A4 page at `dpi` dots per inch (300 gives 2480 x 3508 pixels; other values scale it).
Page MakePage(int dpi, bool colour, std::uint64_t seed);

// Writes the page as binary PPM (colour) or PGM (grey); false on an I/O failure.
bool WritePnm(const Page& page, const char* path);

}  // namespace jpegdec::bench
