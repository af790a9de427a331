// What the tool tells from the input besides the frame header: whether it is JPEG data at all,
// the page's resolution from its JFIF segment, the frame type's name, and whether (and where) the
// image's end marker arrived. The headers are walked by the frame probe alone.
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

// Where the headers end in the input's first bytes `head`, as the frame probe walks them: the
// shortest prefix after which the probe has read all it reads (the first scan header, where the
// native decoder stops, or what breaks the file off before its frame header). `size` when the
// headers go on past the head.
std::size_t HeadersEnd(const std::uint8_t* head, std::size_t size);

// Finds the image's end marker in the bytes after the headers, fed as they are read. Before the
// headers' end an end-of-image byte pair may sit inside a segment (an embedded thumbnail's); after
// it the first one ends the image: entropy-coded data cannot hold one, and a damaged scan may hold
// a false marker whose length field is noise, which must not hide the end marker that follows.
class EndMarkerFinder {
 public:
  void Feed(const std::uint8_t* data, std::size_t size);
  bool seen() const { return seen_; }
  // Bytes fed after the end marker.
  std::uint64_t trailing() const { return trailing_; }

 private:
  bool afterPrefix_ = false;  // the last byte fed was a marker's 0xFF (or a fill byte)
  bool seen_ = false;
  std::uint64_t trailing_ = 0;
};

// The native decoder takes baseline and extended sequential Huffman frames of 8-bit samples.
bool NativeDecoderTakes(unsigned int marker, unsigned int precision);

// GDI+ decodes those whatever their tables and scans, and progressive JPEG of 8-bit samples;
// not lossless, hierarchical or arithmetic-coded frames, nor 12-bit samples.
bool GdiplusDecodes(unsigned int marker, unsigned int precision);

}  // namespace jpegdec_cli
