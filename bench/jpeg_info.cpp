// Describes a file from the public frame-header probe (jpegdec/jpegdec_probe.h).
#include "jpeg_info.h"

#include "jpegdec/jpegdec_probe.h"

namespace jpegdec::bench {
namespace {

std::string Sampling(const JpegDecFrameInfo& frame) {
  const std::uint32_t count = frame.componentCount;
  if (count == 1) {
    return "grey";
  }
  const std::uint32_t h0 = frame.horizontal[0];
  const std::uint32_t v0 = frame.vertical[0];
  bool chromaOne = count == 3;
  for (std::uint32_t c = 1; c < count && chromaOne; ++c) {
    chromaOne = frame.horizontal[c] == 1 && frame.vertical[c] == 1;
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
    s += (c ? "," : "") + std::to_string(frame.horizontal[c]) + "x" +
         std::to_string(frame.vertical[c]);
  }
  return s;
}

}  // namespace

bool ReadJpegInfo(const std::uint8_t* data, std::size_t size, JpegInfo* info) {
  JpegDecFrameInfo frame;
  if (JpegDecProbeFrame(data, size, &frame) != JPEGDEC_PROBE_FRAME || frame.width == 0 ||
      frame.height == 0 || frame.componentCount > JPEGDEC_PROBE_MAX_COMPONENTS) {
    return false;
  }
  info->width = frame.width;
  info->height = frame.height;
  info->components = frame.componentCount;
  info->restartInterval = frame.restartInterval;
  info->sampling = Sampling(frame);
  return true;
}

}  // namespace jpegdec::bench
