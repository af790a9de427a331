#include "input_facts.h"

#include <cstdio>
#include <cstring>

namespace jpegdec_cli {
namespace {

constexpr std::uint8_t kMarkerPrefix = 0xFF;
constexpr std::uint8_t kMarkerSoi = 0xD8;
constexpr std::uint8_t kMarkerEoi = 0xD9;
constexpr std::size_t kMarkerBytes = 2;
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

std::size_t HeadersEnd(const std::uint8_t* head, std::size_t size) {
  // The probe has walked all it walks once it reached the first scan header, stopped where the
  // decoder stops, or met what breaks the file off; that only grows with the bytes given, so
  // the shortest such prefix is where its walk ended.
  const auto walked = [head](std::size_t prefix) {
    JpegDecFrameInfo frame;
    const int result = JpegDecProbeFrame(head, prefix, &frame);
    return result == JPEGDEC_PROBE_INVALID ||
           (result == JPEGDEC_PROBE_FRAME && frame.complete != 0);
  };
  if (size <= kMarkerBytes || !walked(size)) {
    return size;
  }
  std::size_t unwalked = kMarkerBytes;  // not walked
  std::size_t walkedPrefix = size;
  while (walkedPrefix - unwalked > 1) {
    const std::size_t middle = unwalked + (walkedPrefix - unwalked) / 2;
    (walked(middle) ? walkedPrefix : unwalked) = middle;
  }
  // An end marker the walk stopped at belongs to the image, not to the headers.
  if (head[walkedPrefix - 2] == kMarkerPrefix && head[walkedPrefix - 1] == kMarkerEoi) {
    return walkedPrefix - kMarkerBytes;
  }
  return walkedPrefix;
}

void EndMarkerFinder::Feed(const std::uint8_t* data, std::size_t size) {
  if (seen_) {
    trailing_ += size;
    return;
  }
  std::size_t i = 0;
  while (i < size) {
    if (afterPrefix_) {
      if (data[i] == kMarkerEoi) {
        seen_ = true;
        trailing_ += size - i - 1;
        return;
      }
      afterPrefix_ = data[i] == kMarkerPrefix;  // a fill byte keeps the marker open
      ++i;
      continue;
    }
    const void* found = std::memchr(data + i, kMarkerPrefix, size - i);
    if (found == nullptr) {
      return;
    }
    i = static_cast<std::size_t>(static_cast<const std::uint8_t*>(found) - data) + 1;
    afterPrefix_ = true;
  }
}

bool NativeDecoderTakes(unsigned int marker, unsigned int precision) {
  return (marker == kSof0 || marker == kSof1) && precision == kNativePrecision;
}

bool GdiplusDecodes(unsigned int marker, unsigned int precision) {
  return precision == kNativePrecision &&
         (marker == kSof2 || NativeDecoderTakes(marker, precision));
}

}  // namespace jpegdec_cli
