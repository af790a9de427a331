// Colour conversion and interleaving of a finished band, in place.
#pragma once

#include <cstdint>

#include "decoder/decoder_context.h"

namespace jpegdec {

void ConvertYCbCrToRgb(DecoderContext* context);
void ConvertYcck(DecoderContext* context);
void ConvertNone(DecoderContext* context);

// Rewrites the band as consecutive interleaved rows; returns the number of image rows.
std::uint16_t InterleaveBand(DecoderContext* context);

}  // namespace jpegdec
