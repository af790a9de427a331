// Block reconstruction (prediction, dequantisation, inverse DCT) and MCU band assembly, into the
// band buffer that band_geometry.h lays out.
#pragma once

#include <cstddef>
#include <cstdint>

#include "decoder/decoder_context.h"

namespace jpegdec {

// Decodes blocks until a band is complete, input runs out, a marker is met or an error occurs.
// MCUs are counted against the restart interval; after an interval's last MCU the restart marker
// is looked for before the next block (SeekRestartMarker).
// Fills result->status (JD_OK, JD_NEED_DATA, or a failure) and result->count; with a completed
// band, count is its byte count and data the band, now owned by the caller, who releases it with
// platform::HeapRelease. A completed band of no rows (the image height already reached) is
// released here and reported as JD_OK with count 0, like a marker, so that the caller simply
// steps on.
void DecodeBand(DecoderContext* context, StepResult* result);

// The entropy decoder failed inside the current block (JD_ERR_DATA) where a step resumed the
// block's AC part itself: JD_OK when decoding goes on (damage confined by restart intervals, or
// a marker now pending for the parser), else the failure that ends the decode.
Status BlockFailedOutsideBand(DecoderContext* context);

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
