// The one frame-header probe of the tools, tests, benchmarks and fuzz targets (never part of
// the library): walks a JPEG file's marker segments (ITU-T T.81 B.1.1.2, B.2) up to the first
// scan header and reports the frame header's size, components and sampling, and the restart
// interval defined before the scan. A host uses it the way a driver knows the page size before
// the data arrives. It is lenient as a probe must be: bytes between segments are skipped, and
// a file cut inside a segment yields what was found before the cut.
#pragma once

#include <cstddef>
#include <cstdint>

namespace jpegdec::probe {

inline constexpr std::size_t kMaxProbeComponents = 4;

struct FrameHeader {
  bool found = false;          // a frame header was read whole up to its component count
  bool scanReached = false;    // the walk reached a scan header (SOS) or the end marker
  std::uint8_t marker = 0;     // the frame header's marker (0xC0 baseline, 0xC2 progressive...)
  std::uint8_t precision = 0;  // bits per sample
  std::uint32_t width = 0;
  std::uint32_t height = 0;
  std::uint32_t components = 0;
  std::uint8_t sampling[kMaxProbeComponents] = {};  // H << 4 | V of the first four components
  std::uint32_t restartInterval = 0;                // from a DRI before the first scan; 0 none
  std::int32_t adobeTransform = -1;  // the colour-transform flag of an "Adobe" APP14; -1 none
};

// SOF0..SOF15 except DHT (0xC4), JPG (0xC8) and DAC (0xCC) (T.81 Table B.1).
inline bool IsFrameMarker(std::uint8_t marker) {
  return marker >= 0xC0 && marker <= 0xCF && marker != 0xC4 && marker != 0xC8 && marker != 0xCC;
}

inline std::uint32_t ProbeBe16(const std::uint8_t* p) {
  return static_cast<std::uint32_t>(p[0]) << 8 | p[1];
}

// Reads `size` bytes from `data`. The first frame header counts; the walk goes on to the first
// scan header for the restart interval.
inline FrameHeader ProbeFrameHeader(const std::uint8_t* data, std::size_t size) {
  FrameHeader frame;
  std::size_t i = 0;
  while (i + 1 < size) {
    if (data[i] != 0xFF || data[i + 1] == 0xFF) {
      ++i;  // a byte between segments, or a fill byte before a marker
      continue;
    }
    const std::uint8_t marker = data[i + 1];
    // Markers without a segment: SOI, RSTn, TEM, and a stuffed zero.
    if (marker == 0xD8 || (marker >= 0xD0 && marker <= 0xD7) || marker == 0x01 || marker == 0) {
      i += 2;
      continue;
    }
    if (marker == 0xD9 || marker == 0xDA) {
      frame.scanReached = true;
      break;
    }
    if (i + 3 >= size) {
      break;
    }
    const std::size_t length = ProbeBe16(data + i + 2);
    const std::uint8_t* segment = data + i + 4;
    const std::size_t available = size - (i + 4);
    if (marker == 0xDD && length >= 4 && available >= 2) {
      frame.restartInterval = ProbeBe16(segment);
    }
    // APP14 "Adobe": identifier, version, two flag words, then the transform byte.
    constexpr std::size_t kAdobeTransformAt = 11;
    if (marker == 0xEE && length >= 2 + kAdobeTransformAt + 1 && available > kAdobeTransformAt &&
        segment[0] == 'A' && segment[1] == 'd' && segment[2] == 'o' && segment[3] == 'b' &&
        segment[4] == 'e') {
      frame.adobeTransform = segment[kAdobeTransformAt];
    }
    if (IsFrameMarker(marker) && !frame.found && available >= 6) {
      frame.found = true;
      frame.marker = marker;
      frame.precision = segment[0];
      frame.height = ProbeBe16(segment + 1);
      frame.width = ProbeBe16(segment + 3);
      frame.components = segment[5];
      for (std::size_t c = 0; c < kMaxProbeComponents && c < frame.components; ++c) {
        if (available >= 6 + 3 * c + 2) {
          frame.sampling[c] = segment[6 + 3 * c + 1];
        }
      }
    }
    i += 2 + length;
  }
  return frame;
}

}  // namespace jpegdec::probe
