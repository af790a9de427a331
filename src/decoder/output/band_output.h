// Colour conversion and interleaving of a finished band, in place.
//
// On input the band buffer is laid out as block reconstruction leaves it: after the headroom
// (BandHeadroom), 8 x maxV lines, each made of one segment of S = width + 8 x maxH bytes per
// component. On output it starts with the band's image rows, width x numComponents bytes each,
// pixel-interleaved in frame order, the rows following one another without gaps; they are
// written straight there, since rows y and y + 1 end before line y begins.
#pragma once

#include <cstddef>
#include <cstdint>

#include "decoder/decoder_context.h"

namespace jpegdec {

// YCbCr to R, G, B in segments 0, 1, 2 (T.81 leaves the colour space to JFIF, whose equations
// these are, in 16.16 fixed point). Every band line, image columns only.
void ConvertYCbCrToRgb(DecoderContext* context);
// The same, and segment 3 replaced by 255 minus its value (YCCK to CMYK as "Adobe" files store
// it, inverted).
void ConvertYcck(DecoderContext* context);
// Leaves the band unchanged (grey, two components, or data without colour transform).
void ConvertNone(DecoderContext* context);

// Rewrites the band as consecutive interleaved rows, dropping the margin and the lines below the
// image's last row; advances rowsOutput and returns the number of image rows now at the start of
// the buffer. Once rowsOutput has reached the height (a DNL segment may have lowered it below
// the rows already emitted) a band yields 0 rows.
std::uint16_t InterleaveBand(DecoderContext* context);

// The rows the band about to be interleaved yields: 8 x maxV, fewer for the image's last band,
// 0 once rowsOutput has reached the height.
std::size_t RowsToOutput(const DecoderContext* context);

// The chosen converter (colorConvert), then InterleaveBand; where the frame's routines have a
// fast output (outputRows), the two in one pass over the band, giving the same rows.
std::uint16_t OutputBand(DecoderContext* context);

}  // namespace jpegdec
