// Block reconstruction (prediction, dequantisation, inverse DCT) and MCU band assembly.
#pragma once

#include <cstdint>

#include "decoder/decoder_context.h"

namespace jpegdec {

// Decodes blocks until a band is complete, input runs out, a marker is met or an error occurs.
void DecodeBand(DecoderContext* context, StepResult* result);

// 8x8 integer inverse DCT in place: natural-order coefficients in, samples (+128) out.
void InverseDct8x8(std::int16_t* block);

// Clamps the current block into the band buffer and expands it over its area.
void StoreBlock(DecoderContext* context);

}  // namespace jpegdec
