// What the tool tells from the input's first bytes besides the frame header: whether it is JPEG
// data at all, the page's resolution from its JFIF segment, and the frame type's name.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>

#include "image_writer.h"

namespace jpegdec_cli {

// "" when the data starts with a JPEG start-of-image marker, else what it starts with:
// "Not a JPEG file: starts with 0x68 0x65".
std::string NotJpegMessage(const std::uint8_t* data, std::size_t size);

// The density of the first JFIF APP0 segment before the first scan: dots per inch or per
// centimetre as pixels per metre (rounded), or only the pixels' aspect ratio. Unit kNone when
// there is no such segment or its densities are 0.
Resolution ReadJfifResolution(const std::uint8_t* data, std::size_t size);

// "progressive (0xC2)", "baseline (0xC0)"... for a start-of-frame marker.
std::string FrameTypeName(std::uint8_t marker);

// The native decoder takes baseline and extended sequential Huffman frames of 8-bit samples.
bool NativeDecoderTakes(std::uint8_t marker, std::uint8_t precision);

}  // namespace jpegdec_cli
