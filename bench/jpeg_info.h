// What the comparison needs to know of a JPEG file before decoding it: the frame's size, its
// components and sampling, and whether it has restart markers.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>

namespace jpegdec::bench {

struct JpegInfo {
  std::uint32_t width = 0;
  std::uint32_t height = 0;
  std::uint32_t components = 0;
  std::uint32_t restartInterval = 0;  // MCUs, 0 = none
  std::string sampling;               // "4:2:0", "4:2:2", "4:4:4", "grey" or the factors
};

// Reads the markers up to the first scan header; false when there is no frame header.
bool ReadJpegInfo(const std::uint8_t* data, std::size_t size, JpegInfo* info);

}  // namespace jpegdec::bench
