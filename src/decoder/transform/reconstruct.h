// Block reconstruction: dequantisation, the inverse DCT, and the placement of blocks in the band
// buffer that band_geometry.h lays out, expanded to the full sampling grid.
#pragma once

#include <cstddef>
#include <cstdint>

#include "decoder/decoder_context.h"

namespace jpegdec {

// The current block (context->block: coefficients in zig-zag order, the DC one predicted) into
// the band at the position given by curComp, blockCol, blockRow and mcuX: dequantised,
// transformed, clamped and expanded over the area one block of its component covers, with the
// frame's routines. The band buffer must be there.
void ReconstructAndStore(DecoderContext* context);

// The current block's area in the band filled with `sample` (clamped), as StoreBlock would place
// a block of 64 such samples.
void FillBlockWith(DecoderContext* context, std::int16_t sample);

// How often the fast store repeats each sample along an axis: 1 at full resolution, 2 where the
// factor is half the maximum, and along a line also 4 where it is a quarter (4:1:1); 0 for any
// other ratio, which the plain replication handles.
inline int FastRepeat(std::uint8_t maxFactor, std::uint8_t factor) {
  if (factor == maxFactor) {
    return 1;
  }
  return 2 * factor == maxFactor ? 2 : 0;
}
inline int FastRepeatAlongLine(std::uint8_t maxFactor, std::uint8_t factor) {
  return 4 * factor == maxFactor ? 4 : FastRepeat(maxFactor, factor);
}

// A flat block's one sample, clamped, over its area at `origin` (lines `line` bytes apart): 8 x
// repeatX samples along 8 x repeatY lines, as the fast store would place the block.
void FillFlatBlock(std::int16_t sample, std::uint8_t* origin, std::size_t line, int repeatX,
                   int repeatY);

// Dequantises (16-bit products, as T.81 A.3.4 leaves them to the decoder), leaves zig-zag order
// and transforms the current block into samples: the plain form of RoutineTable's
// reconstructBlock.
void ReconstructBlock(DecoderContext* context);

// 8x8 integer inverse DCT in place: natural-order coefficients in, samples (+128, not clamped)
// out. Any input is accepted; intermediate sums wrap modulo 2^32 instead of overflowing.
void InverseDct8x8(std::int16_t* block);

// Clamps the current block to 0..255 into the band buffer at the position given by curComp,
// blockCol, blockRow and mcuX, and expands it over the area one block of that component covers.
void StoreBlock(DecoderContext* context);

// In-place replication along one axis. `lines` lines are treated, the first beginning at
// `start` and each next one `lineStep` bytes further; sample j of a line lies j x `sampleStep`
// bytes from its beginning. The line's first 8 samples, at sampling factor `factor` of
// `maxFactor`, are spread over `expand` samples: groups of `factor` samples yield `maxFactor`
// samples each (a last, shorter group yields expand mod maxFactor), the first samples of a group
// taking one copy more where the counts do not divide evenly. Nothing is written at or beyond
// sample `room` of a line, so an area that reaches past the band's last line is cut there.
void ReplicateSamples(std::int16_t lines, std::size_t lineStep, std::uint8_t* start,
                      std::size_t sampleStep, std::uint8_t maxFactor, std::uint8_t factor,
                      std::int16_t expand, std::int16_t room);

}  // namespace jpegdec
