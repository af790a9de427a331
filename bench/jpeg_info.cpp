// Marker walk up to the first scan header (ITU-T T.81 B.2.2), just enough to describe a file.
#include "jpeg_info.h"

namespace jpegdec::bench {
namespace {

std::uint32_t Be16(const std::uint8_t* p) { return static_cast<std::uint32_t>(p[0]) << 8 | p[1]; }

std::string Sampling(const std::uint8_t* components, std::uint32_t count) {
  if (count == 1) {
    return "grey";
  }
  const std::uint32_t h0 = components[1] >> 4;
  const std::uint32_t v0 = components[1] & 15;
  bool chromaOne = count == 3;
  for (std::uint32_t c = 1; c < count && chromaOne; ++c) {
    chromaOne = components[3 * c + 1] == 0x11;
  }
  if (chromaOne) {
    if (h0 == 2 && v0 == 2) {
      return "4:2:0";
    }
    if (h0 == 2 && v0 == 1) {
      return "4:2:2";
    }
    if (h0 == 1 && v0 == 1) {
      return "4:4:4";
    }
  }
  std::string s;
  for (std::uint32_t c = 0; c < count; ++c) {
    s += (c ? "," : "") + std::to_string(components[3 * c + 1] >> 4) + "x" +
         std::to_string(components[3 * c + 1] & 15);
  }
  return s;
}

}  // namespace

bool ReadJpegInfo(const std::uint8_t* data, std::size_t size, JpegInfo* info) {
  if (size < 4 || data[0] != 0xFF || data[1] != 0xD8) {
    return false;
  }
  std::size_t pos = 2;
  bool haveFrame = false;
  while (pos + 4 <= size) {
    if (data[pos] != 0xFF) {
      return false;
    }
    const std::uint8_t marker = data[pos + 1];
    if (marker == 0xFF) {
      ++pos;  // fill byte
      continue;
    }
    const std::size_t length = Be16(data + pos + 2);
    const std::uint8_t* segment = data + pos + 4;
    if (length < 2 || pos + 2 + length > size) {
      return false;
    }
    if (marker == 0xDD && length >= 4) {
      info->restartInterval = Be16(segment);
    }
    // SOF0..SOF15 except DHT (C4), JPG (C8) and DAC (CC).
    if (marker >= 0xC0 && marker <= 0xCF && marker != 0xC4 && marker != 0xC8 && marker != 0xCC) {
      if (length < 8) {
        return false;
      }
      info->height = Be16(segment + 1);
      info->width = Be16(segment + 3);
      info->components = segment[5];
      if (length < 8 + 3 * static_cast<std::size_t>(info->components)) {
        return false;
      }
      info->sampling = Sampling(segment + 6, info->components);
      haveFrame = info->width > 0 && info->height > 0 && info->components > 0;
    }
    if (marker == 0xDA) {
      break;  // the restart interval, if any, has been defined by now
    }
    pos += 2 + length;
  }
  return haveFrame;
}

}  // namespace jpegdec::bench
