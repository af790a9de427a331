// What the tool tells from the input's first bytes besides the frame header: whether it is JPEG
// data at all, the page's resolution from its JFIF segment, and the frame type's name.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>

#include "image_writer.h"
#include "jpegdec/jpegdec_probe.h"

namespace jpegdec_cli {

// "" when the data starts with a JPEG start-of-image marker, else what it starts with:
// "Not a JPEG file: starts with 0x68 0x65".
std::string NotJpegMessage(const std::uint8_t* data, std::size_t size);

// The density of the JFIF segment the frame probe found: dots per inch or per centimetre as
// pixels per metre (rounded), or only the pixels' aspect ratio. Unit kNone when there is no such
// segment or its densities are 0.
Resolution JfifResolution(const JpegDecFrameInfo& frame);

// "progressive (0xC2)", "baseline (0xC0)"... for a start-of-frame marker.
std::string FrameTypeName(unsigned int marker);

// The native decoder takes baseline and extended sequential Huffman frames of 8-bit samples.
bool NativeDecoderTakes(unsigned int marker, unsigned int precision);

// GDI+ decodes those whatever their tables and scans, and progressive JPEG of 8-bit samples;
// not lossless, hierarchical or arithmetic-coded frames, nor 12-bit samples.
bool GdiplusDecodes(unsigned int marker, unsigned int precision);

}  // namespace jpegdec_cli
