#include "input_facts.h"

#include <cstdio>

namespace jpegdec_cli {
namespace {

constexpr std::uint8_t kMarkerPrefix = 0xFF;
constexpr std::uint8_t kMarkerSoi = 0xD8;
constexpr std::uint8_t kSof0 = 0xC0;  // baseline
constexpr std::uint8_t kSof1 = 0xC1;  // extended sequential, Huffman
constexpr std::uint8_t kSof2 = 0xC2;  // progressive, Huffman
constexpr std::uint8_t kNativePrecision = 8;

// JFIF density units.
constexpr int kJfifUnitsAspect = 0;
constexpr int kJfifUnitsPerInch = 1;
constexpr int kJfifUnitsPerCm = 2;
constexpr std::uint32_t kTenthMillimetresPerInch = 254;  // an inch is 0.0254 m

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

Resolution JfifResolution(const JpegDecFrameInfo& frame) {
  Resolution resolution;
  const std::uint32_t x = frame.jfifXDensity;
  const std::uint32_t y = frame.jfifYDensity;
  if (frame.jfifUnits < 0 || x == 0 || y == 0) {
    return resolution;
  }
  if (frame.jfifUnits == kJfifUnitsPerInch) {
    resolution.unit = Resolution::Unit::kMetre;
    resolution.x = (x * 10000 + kTenthMillimetresPerInch / 2) / kTenthMillimetresPerInch;
    resolution.y = (y * 10000 + kTenthMillimetresPerInch / 2) / kTenthMillimetresPerInch;
  } else if (frame.jfifUnits == kJfifUnitsPerCm) {
    resolution.unit = Resolution::Unit::kMetre;
    resolution.x = x * 100;
    resolution.y = y * 100;
  } else if (frame.jfifUnits == kJfifUnitsAspect && x != y) {
    resolution.unit = Resolution::Unit::kAspectOnly;
    resolution.x = x;
    resolution.y = y;
  }
  return resolution;
}

std::string FrameTypeName(unsigned int marker) {
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

bool NativeDecoderTakes(unsigned int marker, unsigned int precision) {
  return (marker == kSof0 || marker == kSof1) && precision == kNativePrecision;
}

bool GdiplusDecodes(unsigned int marker, unsigned int precision) {
  return precision == kNativePrecision &&
         (marker == kSof2 || NativeDecoderTakes(marker, precision));
}

}  // namespace jpegdec_cli
