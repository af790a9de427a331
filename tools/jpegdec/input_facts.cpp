#include "input_facts.h"

#include <cstdio>

namespace jpegdec_cli {
namespace {

constexpr std::uint8_t kMarkerPrefix = 0xFF;
constexpr std::uint8_t kMarkerSoi = 0xD8;
constexpr std::uint8_t kMarkerSos = 0xDA;
constexpr std::uint8_t kMarkerEoi = 0xD9;
constexpr std::uint8_t kMarkerApp0 = 0xE0;
constexpr std::uint8_t kSof0 = 0xC0;  // baseline
constexpr std::uint8_t kSof1 = 0xC1;  // extended sequential, Huffman
constexpr std::uint8_t kNativePrecision = 8;

// The JFIF APP0 segment after its length: "JFIF\0", version (2 bytes), units, X density,
// Y density (2 bytes each, big-endian), thumbnail size...
constexpr std::size_t kJfifUnitsAt = 7;
constexpr std::size_t kJfifLength = 12;  // up to the Y density
constexpr std::uint8_t kJfifUnitsAspect = 0;
constexpr std::uint8_t kJfifUnitsPerInch = 1;
constexpr std::uint8_t kJfifUnitsPerCm = 2;
constexpr std::uint32_t kTenthMillimetresPerInch = 254;  // an inch is 0.0254 m

std::uint32_t Be16(const std::uint8_t* p) { return static_cast<std::uint32_t>(p[0]) << 8 | p[1]; }

}  // namespace

std::string NotJpegMessage(const std::uint8_t* data, std::size_t size) {
  if (size >= 2 && data[0] == kMarkerPrefix && data[1] == kMarkerSoi) {
    return "";
  }
  if (size == 0) {
    return "Not a JPEG file: it is empty";
  }
  char text[64];
  if (size == 1) {
    std::snprintf(text, sizeof text, "Not a JPEG file: it is one byte, 0x%02x", data[0]);
  } else {
    std::snprintf(text, sizeof text, "Not a JPEG file: starts with 0x%02x 0x%02x", data[0],
                  data[1]);
  }
  return text;
}

Resolution ReadJfifResolution(const std::uint8_t* data, std::size_t size) {
  Resolution resolution;
  std::size_t i = 2;  // after the start-of-image marker
  while (i + 4 <= size && data[i] == kMarkerPrefix) {
    const std::uint8_t marker = data[i + 1];
    if (marker == kMarkerPrefix) {
      ++i;  // a fill byte
      continue;
    }
    if (marker == kMarkerSos || marker == kMarkerEoi) {
      break;
    }
    const std::size_t length = Be16(data + i + 2);
    const std::uint8_t* segment = data + i + 4;
    if (marker == kMarkerApp0 && length >= 2 + kJfifLength && i + 2 + length <= size &&
        segment[0] == 'J' && segment[1] == 'F' && segment[2] == 'I' && segment[3] == 'F' &&
        segment[4] == 0) {
      const std::uint8_t units = segment[kJfifUnitsAt];
      const std::uint32_t x = Be16(segment + kJfifUnitsAt + 1);
      const std::uint32_t y = Be16(segment + kJfifUnitsAt + 3);
      if (x == 0 || y == 0) {
        return resolution;
      }
      if (units == kJfifUnitsPerInch) {
        resolution.unit = Resolution::Unit::kMetre;
        resolution.x = (x * 10000 + kTenthMillimetresPerInch / 2) / kTenthMillimetresPerInch;
        resolution.y = (y * 10000 + kTenthMillimetresPerInch / 2) / kTenthMillimetresPerInch;
      } else if (units == kJfifUnitsPerCm) {
        resolution.unit = Resolution::Unit::kMetre;
        resolution.x = x * 100;
        resolution.y = y * 100;
      } else if (units == kJfifUnitsAspect && x != y) {
        resolution.unit = Resolution::Unit::kAspectOnly;
        resolution.x = x;
        resolution.y = y;
      }
      return resolution;
    }
    i += 2 + length;
  }
  return resolution;
}

std::string FrameTypeName(std::uint8_t marker) {
  static const char* const kNames[16] = {"baseline",
                                         "extended sequential",
                                         "progressive",
                                         "lossless",
                                         nullptr,
                                         "differential sequential",
                                         "differential progressive",
                                         "differential lossless",
                                         nullptr,
                                         "arithmetic-coded sequential",
                                         "arithmetic-coded progressive",
                                         "arithmetic-coded lossless",
                                         nullptr,
                                         "arithmetic-coded differential sequential",
                                         "arithmetic-coded differential progressive",
                                         "arithmetic-coded differential lossless"};
  char code[8];
  std::snprintf(code, sizeof code, "0x%02X", marker);
  const bool frame = (marker & 0xF0) == kSof0 && kNames[marker & 0x0F] != nullptr;
  return frame ? std::string(kNames[marker & 0x0F]) + " (" + code + ")"
               : std::string("unknown (") + code + ")";
}

bool NativeDecoderTakes(std::uint8_t marker, std::uint8_t precision) {
  return (marker == kSof0 || marker == kSof1) && precision == kNativePrecision;
}

}  // namespace jpegdec_cli
