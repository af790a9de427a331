// Writes one synthetic scanner page as PPM (colour) or PGM (grey).
// Usage: make_page DPI colour|grey SEED OUTPUT
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "page.h"

int main(int argc, char** argv) {
  if (argc != 5 || (std::strcmp(argv[2], "colour") != 0 && std::strcmp(argv[2], "grey") != 0)) {
    std::fprintf(stderr, "usage: make_page DPI colour|grey SEED OUTPUT\n");
    return 2;
  }
  const int dpi = std::atoi(argv[1]);
  if (dpi < 50 || dpi > 1200) {
    std::fprintf(stderr, "make_page: DPI must be between 50 and 1200\n");
    return 2;
  }
  const bool colour = std::strcmp(argv[2], "colour") == 0;
  const auto seed = std::strtoull(argv[3], nullptr, 10);
  const jpegdec::bench::Page page = jpegdec::bench::MakePage(dpi, colour, seed);
  if (!jpegdec::bench::WritePnm(page, argv[4])) {
    std::fprintf(stderr, "make_page: cannot write %s\n", argv[4]);
    return 1;
  }
  return 0;
}
