#include "frame_probe.h"

namespace jpegdec_cli {
namespace {

std::uint32_t Be16(const std::vector<std::uint8_t>& b, std::size_t at) {
  return static_cast<std::uint32_t>(b[at] << 8 | b[at + 1]);
}

// SOF0..SOF15 except DHT (0xC4), JPG (0xC8) and DAC (0xCC).
bool IsFrameHeader(std::uint8_t marker) {
  return marker >= 0xC0 && marker <= 0xCF && marker != 0xC4 && marker != 0xC8 && marker != 0xCC;
}

}  // namespace

FrameInfo ProbeFrame(const std::vector<std::uint8_t>& file) {
  FrameInfo info;
  std::size_t i = 0;
  while (i + 1 < file.size()) {
    if (file[i] != 0xFF) {
      ++i;
      continue;
    }
    const std::uint8_t marker = file[i + 1];
    if (marker == 0xFF) {
      ++i;  // fill byte
      continue;
    }
    // Markers without a segment: SOI, RSTn, TEM, and a stuffed zero.
    if (marker == 0xD8 || (marker >= 0xD0 && marker <= 0xD7) || marker == 0x01 || marker == 0) {
      i += 2;
      continue;
    }
    if (marker == 0xD9 || marker == 0xDA || i + 3 >= file.size()) {
      break;
    }
    if (IsFrameHeader(marker)) {
      if (i + 9 < file.size()) {
        info.found = true;
        info.marker = marker;
        info.precision = file[i + 4];
        info.height = Be16(file, i + 5);
        info.width = Be16(file, i + 7);
        info.components = file[i + 9];
      }
      break;
    }
    i += 2 + Be16(file, i + 2);
  }
  return info;
}

}  // namespace jpegdec_cli
