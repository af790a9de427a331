// Fast block reconstruction, beside the plain routines of reconstruct.cpp, which stay the
// reference. One set per instruction set, in files compiled for it (*_sse2.cpp, *_avx2.cpp);
// the frame's routine table (cpu_dispatch.h, select_routines.cpp) holds those of its level. Every
// routine gives exactly the bytes of its plain counterpart.
#pragma once

#include <bit>
#include <cstddef>
#include <cstdint>

#include "decoder/decoder_context.h"
#include "decoder/transform/reconstruct.h"

namespace jpegdec {

// Dequantises the zig-zag coefficients of context->block with the current component's table
// and reconstructs the block: block holds the 64 samples of the plain ReconstructBlock after
// the call, except when every dequantised AC coefficient is 0: then blockIsFlat is set and only
// block[0] holds the (unclamped) sample that every position takes.
void ReconstructBlockSse2(DecoderContext* context);
void ReconstructBlockAvx2(DecoderContext* context);

// Dequantises the zig-zag coefficients of context->block with the current component's table
// into `columns`, in the column order TransformToBand* take: `columns` is cleared, then only the
// products that are not zero are written, found from a mask rather than by visiting all 64
// positions (a block completed a byte at a time seldom has many). True when an AC product is
// not zero; otherwise the block is flat, its sample FlatBlockSample(columns[0]).
bool DequantiseToColumnsSse2(const DecoderContext* context, std::int16_t* columns);
bool DequantiseToColumnsAvx2(const DecoderContext* context, std::int16_t* columns);

// Copies the products t[base + i] whose bit i is set in `nonzero` to their places in `columns`.
// Always inlined (see FlatBlockSample).
[[gnu::always_inline]] inline void ScatterToColumns(const std::int16_t* t, std::uint32_t nonzero,
                                                    int base, std::int16_t* columns) {
  while (nonzero != 0) {
    const auto k = static_cast<std::size_t>(base + std::countr_zero(nonzero));
    columns[kColumnOfZigZag[k]] = t[k];
    nonzero &= nonzero - 1u;
  }
}

// The same transform as InverseDct8x8, in place, natural order in and out.
void InverseDct8x8Sse2(std::int16_t* block);
void InverseDct8x8Avx2(std::int16_t* block);

// The inverse DCT of a block given column by column, dequantised (DecodeWholeBlocks):
// TransformColumns* leave the samples, unclamped, in natural order in `out`; TransformToBand*
// clamp them into the band at `origin` (lines `line` bytes apart), each sample repeated repeatX
// times along a line (1, 2 or 4) and each line repeatY times (1 or 2), as StoreBlock would. Both
// leave `columns` all zeros, ready for the next block.
void TransformColumnsSse2(std::int16_t* columns, std::int16_t* out);
void TransformColumnsAvx2(std::int16_t* columns, std::int16_t* out);
void TransformToBandSse2(std::int16_t* columns, std::uint8_t* origin, std::size_t line, int repeatX,
                         int repeatY);
void TransformToBandAvx2(std::int16_t* columns, std::uint8_t* origin, std::size_t line, int repeatX,
                         int repeatY);

}  // namespace jpegdec
