// Fast band output: the colour conversion fused with the interleave, so that each band line is
// read once and its row written once. Beside the plain ConvertYCbCrToRgb / ConvertYcck /
// InterleaveBand of band_output.cpp, which stay the reference; OutputBand (band_output.h) calls
// the frame's through its routine table (cpu_dispatch.h).
#pragma once

#include <cstddef>
#include <cstdint>

#include "decoder/decoder_context.h"

namespace jpegdec {

// JFIF YCbCr to RGB factors, 2^16 times the value, rounded as the output must reproduce.
inline constexpr std::int32_t kCrToR = 91882;    // 1.402 * 2^16 = 91881.47, kept at 91882
inline constexpr std::int32_t kCrToG = 46802;    // 0.714136 * 2^16 = 46801.62
inline constexpr std::int32_t kCbToG = 22553;    // 0.344136 * 2^16 = 22553.30
inline constexpr std::int32_t kCbToB = 116130;   // 1.772 * 2^16 = 116129.79
inline constexpr std::int32_t kYccHalf = 32768;  // 0.5 * 2^16
inline constexpr int kYccFractionBits = 16;
inline constexpr std::int32_t kChromaZero = 128;  // chroma is coded around 128

// The same factors for 16-bit multipliers: factor = whole x 2^16 + part with |part| < 2^15. The
// whole multiples pass the shift by 16 exactly, so R = Y + Cr' + ((part x Cr' + 2^15) >> 16),
// G = Y - Cr' + ((part x Cr' + part x Cb' + 2^15) >> 16), B = Y + 2 Cb' + ((part x Cb' + 2^15) >>
// 16).
inline constexpr std::int32_t kYccOne = 1 << kYccFractionBits;
inline constexpr std::int16_t kCrToRPart = static_cast<std::int16_t>(kCrToR - kYccOne);
inline constexpr std::int16_t kCrToGPart = static_cast<std::int16_t>(kYccOne - kCrToG);
inline constexpr std::int16_t kCbToGPart = static_cast<std::int16_t>(-kCbToG);
inline constexpr std::int16_t kCbToBPart = static_cast<std::int16_t>(kCbToB - 2 * kYccOne);
static_assert(kCrToRPart == kCrToR - kYccOne && kCrToGPart == kYccOne - kCrToG &&
              kCbToGPart == -kCbToG && kCbToBPart == kCbToB - 2 * kYccOne);

// The narrowest image the fast routines take: one vector of samples per line.
inline constexpr std::size_t kFastOutputMinWidth = 16;

// Leaves in the band's first `rows` rows exactly what the converter of `kind` followed by
// InterleaveBand leaves there. The width is at least kFastOutputMinWidth; rowsOutput is left
// to the caller.
void OutputRowsSse2(DecoderContext* context, BandKind kind, std::size_t rows);
void OutputRowsAvx2(DecoderContext* context, BandKind kind, std::size_t rows);

}  // namespace jpegdec
