// Block reconstruction: dequantisation, the inverse DCT, and the placement of blocks in the band
// buffer that band_geometry.h lays out, expanded to the full sampling grid.
#pragma once

#include <cstddef>
#include <cstdint>

#include "decoder/band_geometry.h"
#include "decoder/cpu_dispatch.h"
#include "decoder/decoder_context.h"
#include "decoder/transform/idct_lanes.h"

namespace jpegdec {

// The current block (context->block: coefficients in zig-zag order, the DC one predicted) into
// the band at `place` (PlaceBlock's for curComp, blockCol, blockRow and mcuX): dequantised,
// transformed, clamped and expanded over the area one block of its component covers, with the
// frame's routines. The band buffer must be there.
void ReconstructAndStore(DecoderContext* context, const BlockPlace& place);

// A flat block's one sample, clamped, over its area at `origin` (lines `line` bytes apart): 8 x
// repeatX samples along 8 x repeatY lines, as the fast store places a block.
void FillFlatBlock(std::int16_t sample, std::uint8_t* origin, std::size_t line, int repeatX,
                   int repeatY);

// Placement of the fast block loop's whole blocks (DecodeWholeBlocks): each block's
// coefficients, dequantised in column order, go into the band at the current MCU (mcuX), a flat
// block as its one sample, the others through the frame's transform, so that the loop keeps no
// more than two blocks' coefficients. The band buffer must be there.
class WholeBlockPlacer {
 public:
  explicit WholeBlockPlacer(DecoderContext* context) : c_(context) {}
  WholeBlockPlacer(const WholeBlockPlacer&) = delete;
  WholeBlockPlacer& operator=(const WholeBlockPlacer&) = delete;

  // Before the first block: the frame's MCU order (laid out in mcuSlots the first time in a
  // frame) and cleared coefficient buffers.
  void Begin();
  // The component of block `index` of the MCU, and the buffer to decode it into.
  int Component(int index) const { return slots_[index].component; }
  std::int16_t* Columns() { return columns_[current_]; }
  // Block `index` of the MCU at column mcuX, decoded into Columns(), into the band buffer
  // `band`. Inline, for the loop's registers.
  [[gnu::always_inline]] void Place(int index, std::int16_t* columns, bool anyAc,
                                    std::uint8_t* band, std::uint32_t mcuX) {
    const McuSlot& slot = slots_[index];
    if (slot.repeatX == 0) {
      PlaceUnserved(slot, columns, mcuX);
      return;
    }
    std::uint8_t* origin = band + mcuX + slot.offset;
    if (!anyAc) {
      FillFlatBlock(FlatBlockSample(columns[0]), origin, line_, slot.repeatX, slot.repeatY);
      columns[0] = 0;
      return;
    }
    TransformPending();
    pendingOrigin_ = origin;
    pendingBuffer_ = current_;
    pendingRepeatX_ = slot.repeatX;
    pendingRepeatY_ = slot.repeatY;
    current_ ^= 1;
  }
  // After the last block: the block still waiting for its transform, and the current position
  // (curComp, blockCol, blockRow) at block `index`.
  void Finish(int index);

 private:
  // A block whose sampling ratio the fast store does not serve: the plain placement.
  void PlaceUnserved(const McuSlot& slot, std::int16_t* columns, std::uint32_t mcuX);
  [[gnu::always_inline]] void TransformPending() {
    if (pendingOrigin_ != nullptr) {
      routines_->transformToBand(columns_[pendingBuffer_], pendingOrigin_, line_, pendingRepeatX_,
                                 pendingRepeatY_);
      pendingOrigin_ = nullptr;
    }
  }

  DecoderContext* c_;
  const RoutineTable* routines_ = nullptr;
  std::size_t segment_ = 0;  // the band's layout (band_geometry.h), set by Begin
  std::size_t line_ = 0;
  std::size_t lines_ = 0;
  std::uint16_t expandX_[kMaxComponents] = {};
  std::uint16_t expandY_[kMaxComponents] = {};
  // A copy of the frame's MCU order of its own: the band's stores could be the context's bytes
  // for all the compiler knows.
  McuSlot slots_[kMaxBlocksPerMcu];  // set by Begin
  // The coefficients of two blocks: a block is decoded into one while the block before it, in
  // the other, waits for its transform. Transformed straight after its decoding, a block's
  // vector loads would meet its coefficients' narrow stores still on their way to memory and
  // stall until they land; one block later they have. Each waiting block's area in the band is
  // its own, so the order of the stores does not matter; nothing waits past the run's end.
  alignas(32) std::int16_t columns_[2][kBlockSize];  // cleared by Begin
  int current_ = 0;
  std::uint8_t* pendingOrigin_ = nullptr;  // null: no block waits
  int pendingBuffer_ = 0;
  int pendingRepeatX_ = 0;
  int pendingRepeatY_ = 0;
};

// Dequantises (16-bit products, as T.81 A.3.4 leaves them to the decoder), leaves zig-zag order
// and transforms the current block into samples: the plain form of RoutineTable's
// reconstructBlock.
void ReconstructBlock(DecoderContext* context);

// 8x8 integer inverse DCT in place: natural-order coefficients in, samples (+128, not clamped)
// out. Any input is accepted; intermediate sums wrap modulo 2^32 instead of overflowing.
void InverseDct8x8(std::int16_t* block);

// Clamps the current block to 0..255 into the band buffer at `place` (the current block's), and
// expands it over the area one block of that component covers.
void StoreBlock(DecoderContext* context, const BlockPlace& place);

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
