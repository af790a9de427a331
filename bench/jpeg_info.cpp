// Describes a file from the shared frame-header probe (tools/common/jpeg_frame_probe.h).
#include "jpeg_info.h"

#include "jpeg_frame_probe.h"

namespace jpegdec::bench {
namespace {

// `factors` holds H << 4 | V per component.
std::string Sampling(const std::uint8_t* factors, std::uint32_t count) {
  if (count == 1) {
    return "grey";
  }
  const std::uint32_t h0 = factors[0] >> 4;
  const std::uint32_t v0 = factors[0] & 15;
  bool chromaOne = count == 3;
  for (std::uint32_t c = 1; c < count && chromaOne; ++c) {
    chromaOne = factors[c] == 0x11;
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
    s += (c ? "," : "") + std::to_string(factors[c] >> 4) + "x" + std::to_string(factors[c] & 15);
  }
  return s;
}

}  // namespace

bool ReadJpegInfo(const std::uint8_t* data, std::size_t size, JpegInfo* info) {
  if (size < 4 || data[0] != 0xFF || data[1] != 0xD8) {
    return false;
  }
  const probe::FrameHeader frame = probe::ProbeFrameHeader(data, size);
  if (!frame.found || frame.width == 0 || frame.height == 0 || frame.components == 0 ||
      frame.components > probe::kMaxProbeComponents) {
    return false;
  }
  info->width = frame.width;
  info->height = frame.height;
  info->components = frame.components;
  info->restartInterval = frame.restartInterval;
  info->sampling = Sampling(frame.sampling, frame.components);
  return true;
}

}  // namespace jpegdec::bench
