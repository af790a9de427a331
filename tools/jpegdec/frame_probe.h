// Reads the frame header's size from a JPEG file, as a driver knows the page size before the
// data arrives: it sizes Start's buffers and tells the row layout of the output.
#pragma once

#include <cstdint>
#include <vector>

namespace jpegdec_cli {

struct FrameInfo {
  bool found = false;
  std::uint32_t width = 0;
  std::uint32_t height = 0;
  std::uint32_t components = 0;
  std::uint8_t marker = 0;     // the frame header's marker (0xC0 baseline, 0xC2 progressive...)
  std::uint8_t precision = 0;  // bits per sample
};

// Walks the marker segments up to the first frame header (or the first scan, or the end).
FrameInfo ProbeFrame(const std::vector<std::uint8_t>& file);

}  // namespace jpegdec_cli
