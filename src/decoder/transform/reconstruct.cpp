// Block reconstruction and MCU band assembly: DC prediction, dequantisation, reordering out of
// zig-zag order, the integer inverse DCT, placement of each block in the band buffer with its
// expansion to the full sampling grid, and completion of a band.
#include "decoder/transform/reconstruct.h"

#include <algorithm>
#include <cstdlib>
#include <cstring>

#include "decoder/band_geometry.h"
#include "decoder/cpu_dispatch.h"
#include "decoder/entropy/huffman.h"
#include "decoder/entropy/huffman_fast.h"
#include "decoder/entropy/huffman_fast_block.h"
#include "decoder/marker_parser.h"
#include "decoder/output/band_output.h"
#include "decoder/transform/idct_lanes.h"
#include "decoder/transform/reconstruct_fast.h"
#include "platform/platform.h"

namespace jpegdec {

namespace {

// The fixed-point factors of the inverse DCT (idct_lanes.h), under the names used below.
constexpr std::int32_t kCos4 = kIdctCos4;
constexpr std::int32_t kCos2 = kIdctCos2;
constexpr std::int32_t kSin2 = kIdctSin2;
constexpr std::int32_t kCos1 = kIdctCos1;
constexpr std::int32_t kSin1 = kIdctSin1;
constexpr std::int32_t kCos3 = kIdctCos3;
constexpr std::int32_t kSin3 = kIdctSin3;
constexpr std::int32_t kHalf = kIdctHalf;
constexpr int kFractionBits = kIdctFractionBits;
constexpr int kOutputShift = kIdctOutputShift;
constexpr std::int32_t kLevelShift = kIdctLevelShift;

// The transform's sums wrap modulo 2^32 like the hardware adds them: coefficients spanning the
// whole signed 16-bit range can exceed 32 bits in the products, and signed overflow would be
// undefined. Where nothing overflows the results are those of plain 32-bit arithmetic.
inline std::int32_t Add(std::int32_t a, std::int32_t b) {
  return static_cast<std::int32_t>(static_cast<std::uint32_t>(a) + static_cast<std::uint32_t>(b));
}
inline std::int32_t Sub(std::int32_t a, std::int32_t b) {
  return static_cast<std::int32_t>(static_cast<std::uint32_t>(a) - static_cast<std::uint32_t>(b));
}
inline std::int32_t Mul(std::int32_t a, std::int32_t factor) {
  return static_cast<std::int32_t>(static_cast<std::uint32_t>(a) *
                                   static_cast<std::uint32_t>(factor));
}
// A 16.16 value brought back to an integer: add one half, shift right arithmetically.
inline std::int32_t Descale(std::int32_t v) { return Add(v, kHalf) >> kFractionBits; }

// One-dimensional inverse DCT at twice the standard scale: x[0..7] in, out[k * 8] = y_k.
void InverseDct1d(const std::int32_t* x, std::int32_t* out) {
  // Even part.
  const std::int32_t a0 = Mul(Add(x[0], x[4]), kCos4);
  const std::int32_t a1 = Mul(Sub(x[0], x[4]), kCos4);
  const std::int32_t a2 = Add(Mul(x[2], kCos2), Mul(x[6], kSin2));
  const std::int32_t a3 = Sub(Mul(x[2], kSin2), Mul(x[6], kCos2));
  const std::int32_t e0 = Add(a0, a2);
  const std::int32_t e1 = Add(a1, a3);
  const std::int32_t e2 = Sub(a1, a3);
  const std::int32_t e3 = Sub(a0, a2);
  // Odd part, after a rounded rotation of x3 and x5 by pi/4.
  const std::int32_t p = Descale(Mul(Add(x[3], x[5]), kCos4));
  const std::int32_t q = Descale(Mul(Sub(x[3], x[5]), kCos4));
  const std::int32_t b0 = Add(x[1], p);
  const std::int32_t b1 = Sub(x[1], p);
  const std::int32_t b2 = Add(x[7], q);
  const std::int32_t b3 = Sub(x[7], q);
  const std::int32_t o0 = Add(Mul(b0, kCos1), Mul(b2, kSin1));
  const std::int32_t o1 = Sub(Mul(b1, kCos3), Mul(b3, kSin3));
  const std::int32_t o2 = Add(Mul(b3, kCos3), Mul(b1, kSin3));
  const std::int32_t o3 = Sub(Mul(b0, kSin1), Mul(b2, kCos1));

  out[0 * kBlockSide] = Descale(Add(e0, o0));
  out[1 * kBlockSide] = Descale(Add(e1, o1));
  out[2 * kBlockSide] = Descale(Add(e2, o2));
  out[3 * kBlockSide] = Descale(Add(e3, o3));
  out[4 * kBlockSide] = Descale(Sub(e3, o3));
  out[5 * kBlockSide] = Descale(Sub(e2, o2));
  out[6 * kBlockSide] = Descale(Sub(e1, o1));
  out[7 * kBlockSide] = Descale(Sub(e0, o0));
}

inline std::uint8_t ClampSample(std::int16_t v) {
  if (v < 0) {
    return 0;
  }
  if (v > 255) {
    return 255;
  }
  return static_cast<std::uint8_t>(v);
}

// Where the current block goes: StoreBlock's first two steps (the block area of the component,
// recomputed when the component changed, and the block's origin in the band).
struct BlockPlace {
  std::uint8_t* origin;
  std::size_t segment;  // S
  std::size_t line;     // L
  std::size_t column;   // first column of the block's area within its segment
  std::size_t top;      // first band line of the block's area
};

BlockPlace PlaceBlock(DecoderContext* c) {
  const ComponentInfo& ci = c->comp[c->curComp];
  if (c->curComp != c->ratioComponent) {
    c->expandX = BlockExpansion(c->maxH, ci.h);
    c->expandY = BlockExpansion(c->maxV, ci.v);
  }
  BlockPlace place{};
  place.segment = SegmentWidth(c);
  place.line = place.segment * c->numComponents;
  place.column = c->mcuX + static_cast<std::size_t>(c->expandX) * (c->blockCol - 1u);
  place.top = static_cast<std::size_t>(c->expandY) * (c->blockRow - 1u);
  place.origin =
      BandLineOrigin(c) + c->curComp * place.segment + place.column + place.top * place.line;
  return place;
}

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

void StoreBlockFast(DecoderContext* c) {
  // Only components the fast store does not serve come here (ReconstructIntoBandFast takes the
  // others): the plain store, after spreading a flat block's one sample over the block.
  if (c->blockIsFlat != 0) {
    std::fill(c->block + 1, c->block + kBlockSize, c->block[0]);
    c->blockIsFlat = 0;
  }
  StoreBlock(c);
}

// Whether the fast store serves the current block's component (factors dividing the maximum by 1
// or 2 along both axes).
inline bool FastStoreServes(const DecoderContext* c) {
  const ComponentInfo& ci = c->comp[c->curComp];
  return FastRepeatAlongLine(c->maxH, ci.h) != 0 && FastRepeat(c->maxV, ci.v) != 0;
}

// Counts a finished MCU against the restart interval. True when it was the interval's last: the
// restart marker is then looked for (SeekRestartMarker) before the next block, by the plain and
// the fast block loop alike.
inline bool EndsRestartInterval(DecoderContext* c) {
  if (c->restartInterval == 0 || --c->mcusToRestart != 0) {
    return false;
  }
  c->restartDue = 1;
  return true;
}

// A buffer for a new band: the band given back last (ReturnBand) if it has the frame's band size,
// otherwise a new one; null when memory is short.
std::uint8_t* TakeBandBuffer(DecoderContext* c) {
  const std::size_t size = BandBufferSize(c);
  std::uint8_t* spare = c->spareBand;
  c->spareBand = nullptr;
  if (spare != nullptr) {
    if (c->spareBandSize == size) {
      return spare;
    }
    platform::HeapRelease(spare);
  }
  return static_cast<std::uint8_t*>(platform::HeapAllocate(size));
}

// ---- The fast block loop ----
//
// Where the fast routines run and input lies well ahead, whole blocks go from the scan data to
// the band in one go: the entropy decoder leaves them dequantised in the order the transform
// takes them, the transform stores its samples straight into the band, and the bit reader stays
// open from block to block. Whatever it cannot do (a block the input does not complete, a marker
// near) it leaves to the block-by-block loop of DecodeBand, from the start of that block, with
// the context as that loop would have left it.

constexpr int kMaxBlocksPerMcu = kMaxComponents * kMaxSamplingFactor * kMaxSamplingFactor;

// One block of the MCU order.
struct McuSlot {
  std::uint8_t component;
  std::uint8_t col;      // 1-based, as blockCol
  std::uint8_t row;      // 1-based, as blockRow
  std::uint8_t repeatX;  // FastRepeatAlongLine; 0: the general replication of StoreBlock
  std::uint8_t repeatY;
  std::size_t offset;  // of the block's area from the band buffer's start, MCU column 0
};

enum class FastRun : std::uint8_t { kStopped, kBandDone, kOutOfMemory };

// A decoded block of the fast loop waiting for its transform: where it goes in the band, which
// of the loop's two coefficient buffers holds it, and its repeats.
struct PendingBlock {
  std::uint8_t* origin;  // null: none waits
  std::uint8_t buffer;
  std::uint8_t repeatX;
  std::uint8_t repeatY;
};

// Writes a flat block's one sample, clamped, over its area in the band: kLines lines of kWidth
// bytes (fixed, so that the stores unroll).
template <std::size_t kWidth, int kLines>
inline void FillArea(std::uint8_t value, std::uint8_t* origin, std::size_t line) {
  for (int l = 0; l < kLines; ++l) {
    std::memset(origin + static_cast<std::size_t>(l) * line, value, kWidth);
  }
}

void FillFlatBlock(std::int16_t sample, std::uint8_t* origin, std::size_t line, int repeatX,
                   int repeatY) {
  const std::uint8_t value = ClampSample(sample);
  constexpr std::size_t kSide = kBlockSide;
  if (repeatX == 4) {
    if (repeatY == 2) {
      FillArea<4 * kSide, 2 * kBlockSide>(value, origin, line);
    } else {
      FillArea<4 * kSide, kBlockSide>(value, origin, line);
    }
  } else if (repeatX == 2) {
    if (repeatY == 2) {
      FillArea<2 * kSide, 2 * kBlockSide>(value, origin, line);
    } else {
      FillArea<2 * kSide, kBlockSide>(value, origin, line);
    }
  } else if (repeatY == 2) {
    FillArea<kSide, 2 * kBlockSide>(value, origin, line);
  } else {
    FillArea<kSide, kBlockSide>(value, origin, line);
  }
}

// ReconstructBlockFast and StoreBlockFast in one, where the fast store serves the component: the
// coefficients go dequantised into the column order of the fast block loop, whose transform
// writes the band (or whose fill, for a flat block), sparing the reorder of all 64 positions and
// the separate store. context->block keeps the coefficients.
void ReconstructIntoBandFast(DecoderContext* c) {
  alignas(32) std::int16_t columns[kBlockSize];  // cleared by dequantiseToColumns
  const bool anyAc = c->routines->dequantiseToColumns(c, columns);
  const ComponentInfo& ci = c->comp[c->curComp];
  const int repeatX = FastRepeatAlongLine(c->maxH, ci.h);
  const int repeatY = FastRepeat(c->maxV, ci.v);
  const BlockPlace place = PlaceBlock(c);
  if (!anyAc) {
    FillFlatBlock(FlatBlockSample(columns[0]), place.origin, place.line, repeatX, repeatY);
  } else {
    c->routines->transformToBand(columns, place.origin, place.line, repeatX, repeatY);
  }
  c->blockIsFlat = 0;
  c->ratioComponent = c->curComp;
}

// Leaves the current position (curComp, blockCol, blockRow, blocksDone) at slot `index`.
void SetPosition(DecoderContext* c, const McuSlot& slot, int index) {
  c->curComp = slot.component;
  c->blockCol = slot.col;
  c->blockRow = slot.row;
  c->blocksDone = static_cast<std::uint8_t>(index);
  c->coefIndex = 0;
}

FastRun RunFastBlocks(DecoderContext* c) {
  if (c->dcDone != 0 || c->resumePending != 0 || c->restartDue != 0 || !FastBlockEligible(c) ||
      c->blocksPerMcu > kMaxBlocksPerMcu || c->blocksDone >= c->blocksPerMcu) {
    return FastRun::kStopped;
  }
  FastBlockTables tables[kMaxComponents];
  for (int i = 0; i < c->numComponents; ++i) {
    if (!FastTablesFor(c, i, &tables[i])) {
      return FastRun::kStopped;
    }
  }
  const std::size_t segment = SegmentWidth(c);
  const std::size_t line = segment * c->numComponents;
  McuSlot slots[kMaxBlocksPerMcu];
  int count = 0;
  for (int i = 0; i < c->numComponents; ++i) {
    const ComponentInfo& ci = c->comp[i];
    const std::size_t expandX = BlockExpansion(c->maxH, ci.h);
    const std::size_t expandY = BlockExpansion(c->maxV, ci.v);
    const auto repeatX = static_cast<std::uint8_t>(FastRepeatAlongLine(c->maxH, ci.h));
    const auto repeatY = static_cast<std::uint8_t>(FastRepeat(c->maxV, ci.v));
    const bool fastStore = repeatX != 0 && repeatY != 0;
    for (int row = 1; row <= ci.v; ++row) {
      for (int col = 1; col <= ci.h; ++col) {
        McuSlot& slot = slots[count++];
        slot.component = static_cast<std::uint8_t>(i);
        slot.col = static_cast<std::uint8_t>(col);
        slot.row = static_cast<std::uint8_t>(row);
        slot.repeatX = fastStore ? repeatX : 0;
        slot.repeatY = fastStore ? repeatY : 0;
        slot.offset = BandHeadroom(c) + static_cast<std::size_t>(i) * segment +
                      expandX * static_cast<std::size_t>(col - 1) +
                      expandY * static_cast<std::size_t>(row - 1) * line;
      }
    }
  }
  const RoutineTable& routines = *c->routines;
  const std::size_t mcuWidth = kBlockSide * static_cast<std::size_t>(c->maxH);

  FastReader reader{};
  OpenFastReader(c, &reader);
  FastRun outcome = FastRun::kStopped;
  int index = c->blocksDone;
  // The coefficients of two blocks: a block is decoded into one while the block before it, in
  // the other, waits for its transform. Transformed straight after its decoding, a block's
  // vector loads would meet its coefficients' narrow stores still on their way to memory and
  // stall until they land; one block later they have. Each waiting block's area in the band is
  // its own, so the order of the stores does not matter; nothing waits past the loop's end.
  alignas(32) std::int16_t columns[2][kBlockSize] = {};
  int current = 0;
  PendingBlock pending{};
  const auto transform = [&routines, line, &columns](const PendingBlock& block) {
    routines.transformToBand(columns[block.buffer], block.origin, line, block.repeatX,
                             block.repeatY);
  };
  while (FastReaderAhead(reader) >= kFastInputAhead) {
    const McuSlot& slot = slots[index];
    const FastBlockTables& t = tables[slot.component];
    std::int16_t* const decoded = columns[current];
    std::int16_t difference = 0;
    bool anyAc = false;
    if (!DecodeBlockToColumns(&reader, t, &difference, decoded, &anyAc)) {
      break;
    }
    std::int16_t& predictor = c->dcPred[slot.component];
    predictor = static_cast<std::int16_t>(predictor + difference);  // wraps like the register
    decoded[0] = static_cast<std::int16_t>(predictor * t.quant[0]);
    if (c->bandBuffer == nullptr) {
      c->bandBuffer = TakeBandBuffer(c);
      if (c->bandBuffer == nullptr) {
        outcome = FastRun::kOutOfMemory;
        break;
      }
    }
    std::uint8_t* origin = c->bandBuffer + c->mcuX + slot.offset;
    if (slot.repeatX != 0) {
      if (!anyAc) {
        FillFlatBlock(FlatBlockSample(decoded[0]), origin, line, slot.repeatX, slot.repeatY);
        decoded[0] = 0;
      } else {
        if (pending.origin != nullptr) {
          transform(pending);
        }
        pending =
            PendingBlock{origin, static_cast<std::uint8_t>(current), slot.repeatX, slot.repeatY};
        current ^= 1;
      }
    } else {
      routines.transformColumns(decoded, c->block);
      SetPosition(c, slot, index);
      StoreBlock(c);
    }
    if (++index == c->blocksPerMcu) {
      index = 0;
      c->mcuX += static_cast<std::uint32_t>(mcuWidth);  // 32-bit: never wraps
      const bool intervalEnds = EndsRestartInterval(c);
      if (c->mcuX >= c->width) {
        outcome = FastRun::kBandDone;
        break;
      }
      if (intervalEnds) {
        break;  // the block loop looks for the restart marker
      }
    }
  }
  if (pending.origin != nullptr) {
    transform(pending);
  }
  CloseFastReader(c, reader);
  SetPosition(c, slots[index], index);
  return outcome;
}

// The frame header's limits as this code relies on them; the marker parser refuses frames
// outside them, this only keeps a frame that slipped through from indexing past a table or
// writing past the band.
bool FrameLayoutIsSound(const DecoderContext* c) {
  if (c->numComponents < 1 || c->numComponents > kMaxComponents || c->maxH < 1 ||
      c->maxH > kMaxSamplingFactor || c->maxV < 1 || c->maxV > kMaxSamplingFactor) {
    return false;
  }
  unsigned blocks = 0;
  for (int i = 0; i < c->numComponents; ++i) {
    const ComponentInfo& ci = c->comp[i];
    if (ci.h < 1 || ci.h > c->maxH || ci.v < 1 || ci.v > c->maxV || ci.quantTable >= kNumTables) {
      return false;
    }
    blocks += static_cast<unsigned>(ci.h) * ci.v;
  }
  return blocks == c->blocksPerMcu;
}

// DC then AC part of the current block, resumable: 1 when the block's coefficients are complete,
// otherwise the entropy decoder's status. The DC difference is applied to the predictor exactly
// once, when it is complete.
std::uint8_t DecodeCoefficients(DecoderContext* c) {
  std::uint8_t r = 0;
  if (c->dcDone == 0) {
    std::int16_t difference = 0;
    if (c->resumePending != 0) {
      c->resumePending = 0;
      r = ResumeDcDifference(c, &difference);
    } else {
      r = DecodeDcDifference(c, &difference);
    }
    if (r == JD_NEED_DATA) {
      c->resumePending = 1;
    }
    if (r != 1) {
      return r;
    }
    std::int16_t& predictor = c->dcPred[c->curComp];
    predictor = static_cast<std::int16_t>(predictor + difference);  // wraps like the register
    c->block[0] = predictor;
    c->dcDone = 1;
  }
  if (c->resumePending != 0) {
    c->resumePending = 0;
    r = ResumeAcCoefficients(c);
  } else {
    r = DecodeAcCoefficients(c);
  }
  if (r == JD_NEED_DATA) {
    c->resumePending = 1;
  }
  if (r != 1) {
    return r;
  }
  c->dcDone = 0;
  return 1;
}

// Moves to the next block of the MCU order: blockCol fastest, then blockRow, then the component.
// Returns true when the MCU is complete (blocksDone back at 0; mcuX at the next MCU).
bool AdvanceBlock(DecoderContext* c) {
  c->blocksDone = static_cast<std::uint8_t>(c->blocksDone + 1);
  c->coefIndex = 0;
  c->blockCol = static_cast<std::uint8_t>(c->blockCol + 1);
  if (c->blockCol > c->comp[c->curComp].h) {
    c->blockCol = 1;
    c->blockRow = static_cast<std::uint8_t>(c->blockRow + 1);
    if (c->blockRow > c->comp[c->curComp].v) {
      c->blockRow = 1;
      c->curComp = static_cast<std::uint8_t>(c->curComp + 1);
      if (c->curComp > c->numComponents - 1) {
        c->curComp = 0;
      }
    }
  }
  if (c->blocksDone != c->blocksPerMcu) {
    return false;
  }
  c->blocksDone = 0;
  c->mcuX += kBlockSide * static_cast<std::uint32_t>(c->maxH);  // 32-bit: never wraps
  return true;
}

// AdvanceBlock, counting a finished MCU against the restart interval. Returns true when the
// band is complete.
bool AdvancePosition(DecoderContext* c) {
  if (!AdvanceBlock(c)) {
    return false;
  }
  EndsRestartInterval(c);
  return c->mcuX >= c->width;
}

// Converts and interleaves the finished band and hands it over. A band of no rows (the image
// height was reached before it) is released instead and reported as no band. A band of a page of
// unknown length is held back instead, until the next band begins or the page's lines are known.
void FinishBand(DecoderContext* c, StepResult* result) {
  const std::uint16_t rows = OutputBand(c);
  const std::int32_t count = static_cast<std::int32_t>(c->width) * c->numComponents * rows;
  if (count > 0 && c->openPage != 0 && c->linesKnown == 0) {
    c->heldBand = c->bandBuffer;
    c->heldRows = rows;
    c->heldAt = InputPosition(c);
  } else if (count > 0) {
    result->count = count;
    result->data = c->bandBuffer;
  } else {
    platform::HeapRelease(c->bandBuffer);
  }
  c->bandBuffer = nullptr;
  c->mcuX = 0;
}

// A page of unknown length: whether the band held back is known to lie within the page. The
// next band has begun (a block of it is stored), and input has been taken as scan data since the
// held band's last MCU: a whole byte more than the bits that padded its last byte, settled (no
// 0xFF waiting to be told from a marker). Blocks decoded from those padding bits alone (0 bits
// read as codes) prove nothing: the page may end with them.
bool HeldBandIsWithinPage(const DecoderContext* c) {
  return InputPosition(c) > c->heldAt && c->ffPending == kFfNone;
}

// After a block is stored and the position moved on (bandDone: the band is complete): finishes
// the band when it is complete. A band held back for a page of unknown length goes out once the
// next band is known to be real (or complete, in which case the earlier one is taken to be within
// the page as well). True when a band went out (result) or was finished without rows.
bool BandStep(DecoderContext* c, bool bandDone, StepResult* result) {
  if (c->heldBand != nullptr && (bandDone || HeldBandIsWithinPage(c))) {
    std::uint8_t* earlier = c->heldBand;
    const std::uint16_t earlierRows = c->heldRows;
    c->heldBand = nullptr;
    if (bandDone) {
      FinishBand(c, result);  // held back in turn
    }
    result->count = static_cast<std::int32_t>(c->width) * c->numComponents * earlierRows;
    result->data = earlier;
    return true;
  }
  if (bandDone) {
    FinishBand(c, result);
    return true;
  }
  return false;
}

// ---- Damage and restart recovery ----
//
// The scan data contradicts the frame where a marker comes before the scan's (or a restart
// interval's) last MCU, where data is left over after it, where a restart marker is missing or
// out of sequence, or where the entropy decoder finds codes that cannot be. All of these set
// `damaged`, and a damaged image never ends as complete (the parser fails it at its end).
// Without restart intervals damage also ends the decode where it is found, since nothing tells
// where the data would be sound again (a marker met early is left to the parser, which fails
// the image at its end marker). With restart intervals it costs only the intervals it touches:
// the decoder looks for the next restart marker, fills the rest of the damaged interval and the
// intervals whose markers its number says were lost (modulo 8) with mid-grey, and decodes on
// from the MCU where the found marker's interval begins, so the rest of the image comes out as
// in the intact file. An end marker found that way fills the rest of the image before it is
// handed to the parser. A page of unknown length ends wherever its DNL segment (or end marker)
// comes: the blocks decoded since the last whole MCU row are padding, dropped with the band.

constexpr std::uint32_t kFillToEnd = UINT32_MAX;  // mcusToFill: up to the image's last row
constexpr std::int16_t kMidGrey = 128;            // the sample of a block whose DC level is 0

inline std::uint8_t RestartNumber(std::uint8_t code) {
  return static_cast<std::uint8_t>(code - kMarkerRst0);
}

// The entropy decoder's state at an interval's start; the MCU position is kept.
void StartInterval(DecoderContext* c) {
  ResetScanState(c);  // predictors, bits, pending parts, the interval's MCU count
  c->coefIndex = 0;
  c->fastBlockDone = 0;
  c->blockIsFlat = 0;
}

// Restart marker `code` ends the current interval, which is complete: decoding goes on after it.
// A number other than the one due is noted as damage but taken as due: the interval before it
// decoded to its last MCU with no data left over, so its marker, not the count, is what changed.
void TakeRestartMarker(DecoderContext* c, std::uint8_t code) {
  if (RestartNumber(code) != c->restartNumber) {
    c->damaged = 1;
  }
  c->restartNumber = static_cast<std::uint8_t>((c->restartNumber + 1) % kRestartNumbers);
  StartInterval(c);
}

// Restart marker `code` found after damage (or before the interval's last MCU): the rest of the
// current interval and the intervals lost before the marker are filled, then decoding resumes
// where the marker's interval begins.
void ResyncAtRestartMarker(DecoderContext* c, std::uint8_t code) {
  const auto lost = static_cast<std::uint32_t>(
      (RestartNumber(code) + kRestartNumbers - c->restartNumber) % kRestartNumbers);
  c->damaged = 1;
  c->resyncing = 0;
  c->mcusToFill = c->mcusToRestart + lost * std::uint32_t{c->restartInterval};
  c->restartNumber = static_cast<std::uint8_t>((RestartNumber(code) + 1) % kRestartNumbers);
  StartInterval(c);
}

// Hands a marker met in the scan data to the parser.
void HandMarkerToParser(DecoderContext* c, std::uint8_t code) {
  c->marker = code;
  c->markerPending = 1;
  c->phase = kPhaseOutsideScan;
}

// A marker met in the scan data before the scan's last MCU, where a block begins, inside one
// (the block broken off), or in search of a restart marker after damage (`sought`). True:
// decoding goes on here (resync, fill); false: the band decoder returns with result->status
// (JD_OK with the marker handed to the parser).
bool MarkerInScan(DecoderContext* c, std::uint8_t code, bool sought, StepResult* result) {
  const bool intervals = c->restartInterval != 0;
  const bool openPage = c->openPage != 0 && c->linesKnown == 0;
  if (IsRestartMarker(code)) {
    if (intervals) {
      ResyncAtRestartMarker(c, code);
      return true;
    }
    // A marker without a DRI segment resets the state and counts nothing. Before a frame's last
    // MCU it is damage; a page of unknown length may have reached its end (as after a frame's
    // last MCU, where such a marker is passed over).
    if (!openPage) {
      c->damaged = 1;
    }
    StartInterval(c);
    return true;
  }
  if (code == kMarkerDnl || (code == kMarkerEoi && (openPage || !sought))) {
    // The end of a page of unknown length, lines that end a frame early, or a frame's data cut
    // short, which the parser fails at its end marker after the rows decoded before the cut.
    HandMarkerToParser(c, code);
    result->status = JD_OK;
    return false;
  }
  c->damaged = 1;
  if (!intervals) {
    // The parser fails the image at its end marker, refuses the marker, or reads its segment
    // and searches on; in no case can the image end as complete.
    HandMarkerToParser(c, code);
    result->status = JD_OK;
    return false;
  }
  if (code == kMarkerEoi) {
    // Data skipped since the damage: the intervals it held were lost, up to the image's end.
    c->marker = code;
    c->markerAfterFill = 1;
    c->mcusToFill = kFillToEnd;
    StartInterval(c);
    return true;
  }
  c->resyncing = 1;  // any other code is taken for damaged data
  return true;
}

// The entropy decoder failed inside the current block (result JD_ERR_DATA), on codes that
// cannot be or on a marker (then handed back). True: decoding goes on (recovery); false: the
// band decoder returns with result->status.
bool BlockFailed(DecoderContext* c, StepResult* result) {
  const bool markerMet = c->phase != kPhaseInScan;
  const std::uint8_t code = c->marker;
  if (markerMet && c->openPage != 0 && c->linesKnown == 0 &&
      (code == kMarkerDnl || code == kMarkerEoi)) {
    // A page of unknown length ends inside blocks that padding bits began: they are dropped.
    result->status = JD_OK;
    return false;
  }
  c->damaged = 1;
  if (c->restartInterval == 0) {
    result->status = JD_ERR_DATA;
    return false;
  }
  if (!markerMet) {
    c->resyncing = 1;
    return true;
  }
  c->markerPending = 0;
  c->phase = kPhaseInScan;
  return MarkerInScan(c, code, false, result);
}

// Fills the current block's area with mid-grey.
void FillBlock(DecoderContext* c) {
  std::fill(c->block, c->block + kBlockSize, kMidGrey);
  StoreBlock(c);
}

// Fills MCUs (mcusToFill) from the current block on, up to the image's last row at most. True
// when the band decoder returns: a band went out, the marker that waited for the fill went to the
// parser, or memory was short (result).
bool FillMcus(DecoderContext* c, StepResult* result) {
  while (c->mcusToFill != 0 && c->rowsOutput < c->height) {
    if (c->bandBuffer == nullptr) {
      c->bandBuffer = TakeBandBuffer(c);
      if (c->bandBuffer == nullptr) {
        result->status = JD_ERR_NOMEM;
        return true;
      }
    }
    FillBlock(c);
    const bool mcuDone = AdvanceBlock(c);
    if (mcuDone && c->mcusToFill != kFillToEnd) {
      --c->mcusToFill;
    }
    if (BandStep(c, mcuDone && c->mcuX >= c->width, result)) {
      return true;
    }
  }
  c->mcusToFill = 0;
  c->mcusToRestart = c->restartInterval;
  c->restartDue = 0;
  if (c->markerAfterFill != 0) {
    c->markerAfterFill = 0;
    HandMarkerToParser(c, c->marker);
    return true;
  }
  return false;
}

// Once every row of the image is out, what is left of the scan data up to the next marker should
// be padding and fill bytes; data there is damage. Restart markers are passed over (some encoders
// end the last interval with one). False with result->status JD_OK: the marker went to the parser.
void SkipAfterLastRow(DecoderContext* c, StepResult* result) {
  for (;;) {
    std::uint8_t code = 0;
    const std::uint8_t r = SkipToNextMarker(c, &code);
    if (r != 1) {
      result->status = r;
      return;
    }
    if (!IsRestartMarker(code)) {
      HandMarkerToParser(c, code);
      return;
    }
  }
}

}  // namespace

void DecodeBand(DecoderContext* context, StepResult* result) {
  DecoderContext* c = context;
  result->status = JD_OK;
  result->count = 0;
  // Checked until the band has its buffer: the layout is the frame header's, which is read once
  // per image, so a band under construction keeps the layout it was checked with (a host
  // writing single bytes comes here about once a block).
  if (c->bandBuffer == nullptr && !FrameLayoutIsSound(c)) {
    result->status = JD_ERR_UNSUPPORTED;
    return;
  }
  for (;;) {
    if (c->mcusToFill != 0) {
      if (FillMcus(c, result)) {
        return;
      }
      continue;
    }
    if (c->resyncing != 0) {
      std::uint8_t code = 0;
      const std::uint8_t r = SkipToNextMarker(c, &code);
      if (r != 1) {
        result->status = r;
        return;
      }
      if (!MarkerInScan(c, code, true, result)) {
        return;
      }
      continue;
    }
    if (c->rowsOutput >= c->height) {
      // Every row of the image is out: what is left up to the next marker is padding (of any
      // bit value), and is skipped rather than decoded.
      SkipAfterLastRow(c, result);
      return;
    }
    if (c->restartDue != 0) {
      // The restart interval ended with the latest MCU: its marker comes before the next block.
      std::uint8_t code = 0;
      const std::uint8_t r = SeekRestartMarker(c, &code);
      if (r == JD_NEED_DATA) {
        result->status = r;
        return;
      }
      c->restartDue = 0;
      if (r != 1) {
        c->damaged = 1;  // data where the marker should be
        c->resyncing = 1;
        continue;
      }
      if (IsRestartMarker(code)) {
        TakeRestartMarker(c, code);
      } else if (!MarkerInScan(c, code, false, result)) {
        return;
      }
      continue;
    }
    // A band held back for a page of unknown length goes out once the next band is known to be
    // real, which the block-by-block loop below tells.
    if (c->routineLevel != kRoutinesPlain && c->heldBand == nullptr) {
      const FastRun run = RunFastBlocks(c);
      if (run == FastRun::kOutOfMemory) {
        result->status = JD_ERR_NOMEM;
        return;
      }
      if (run == FastRun::kBandDone) {
        FinishBand(c, result);
        return;
      }
      if (c->restartDue != 0) {
        continue;
      }
    }
    // A component index past the frame's last (only a frame of more than four components could
    // reach it) would index the predictors and tables out of range.
    if (c->curComp >= kMaxComponents) {
      result->status = JD_ERR_UNSUPPORTED;
      return;
    }
    const std::uint8_t r = DecodeCoefficients(c);
    if (r == JD_ERR_DATA) {
      if (!BlockFailed(c, result)) {
        return;
      }
      continue;
    }
    if (r == JD_OK && c->phase != kPhaseInScan) {
      // A marker where the block would begin.
      const std::uint8_t code = c->marker;
      c->markerPending = 0;
      c->phase = kPhaseInScan;
      if (!MarkerInScan(c, code, false, result)) {
        return;
      }
      continue;
    }
    if (r == JD_OK) {
      continue;  // fill bytes taken as bits; the search goes on and meets the marker
    }
    if (r != 1) {
      result->status = r;
      return;
    }
    const bool fast = c->routineLevel != kRoutinesPlain;
    const bool intoBand = fast && FastStoreServes(c);
    if (!intoBand) {
      c->routines->reconstructBlock(c);
    }
    // The first block of a band allocates its buffer. The test is on the buffer itself, so a
    // buffer still held for any reason is reused rather than leaked.
    if (c->bandBuffer == nullptr) {
      c->bandBuffer = TakeBandBuffer(c);
      if (c->bandBuffer == nullptr) {
        result->status = JD_ERR_NOMEM;
        return;
      }
    }
    if (intoBand) {
      ReconstructIntoBandFast(c);
    } else if (fast) {
      StoreBlockFast(c);
    } else {
      StoreBlock(c);
    }
    if (BandStep(c, AdvancePosition(c), result)) {
      return;
    }
  }
}

Status BlockFailedOutsideBand(DecoderContext* context) {
  StepResult result = {};
  result.status = JD_OK;
  return BlockFailed(context, &result) ? JD_OK : result.status;
}

// Dequantises (16-bit products, as T.81 A.3.4 leaves them to the decoder), leaves zig-zag order
// and transforms the current block into samples.
void ReconstructBlock(DecoderContext* c) {
  const std::uint8_t* q = c->quantTables[c->comp[c->curComp].quantTable].values;
  std::int16_t t[kBlockSize];
  for (int k = 0; k < kBlockSize; ++k) {
    t[k] = static_cast<std::int16_t>(c->block[k] * q[k]);
  }
  for (int n = 0; n < kBlockSize; ++n) {
    c->block[n] = t[ZigZagIndex[n]];
  }
  InverseDct8x8(c->block);
}

void InverseDct8x8(std::int16_t* block) {
  std::int32_t a[kBlockSize];
  std::int32_t b[kBlockSize];
  for (int i = 0; i < kBlockSize; ++i) {
    a[i] = block[i];
  }
  // Rows of A into the columns of B, then rows of B (the columns of the block) back into A.
  for (int r = 0; r < kBlockSide; ++r) {
    InverseDct1d(a + kBlockSide * r, b + r);
  }
  for (int r = 0; r < kBlockSide; ++r) {
    InverseDct1d(b + kBlockSide * r, a + r);
  }
  for (int i = 0; i < kBlockSize; ++i) {
    block[i] = static_cast<std::int16_t>((a[i] >> kOutputShift) + kLevelShift);
  }
}

void StoreBlock(DecoderContext* context) {
  DecoderContext* c = context;
  const ComponentInfo& ci = c->comp[c->curComp];
  const BlockPlace place = PlaceBlock(c);
  std::uint8_t* origin = place.origin;
  const std::size_t line = place.line;

  for (int r = 0; r < kBlockSide; ++r) {
    std::uint8_t* dst = origin + static_cast<std::size_t>(r) * line;
    for (int x = 0; x < kBlockSide; ++x) {
      dst[x] = ClampSample(c->block[kBlockSide * r + x]);
    }
  }
  // The area may reach one sample past the MCU (a factor of 3 where the maximum is 4): to the
  // right the margin or the next MCU's area takes it, the latter being overwritten when that MCU
  // is stored; below the band's last line there is nothing, so the expansion stops there.
  const auto expandX = static_cast<std::int16_t>(c->expandX);
  const auto expandY = static_cast<std::int16_t>(c->expandY);
  const auto roomRight =
      static_cast<std::int16_t>(std::min<std::size_t>(c->expandX, place.segment - place.column));
  const std::size_t bandLines = BandLines(c);
  const auto roomBelow =
      static_cast<std::int16_t>(std::min<std::size_t>(c->expandY, bandLines - place.top));
  ReplicateSamples(kBlockSide, line, origin, 1, c->maxH, ci.h, expandX, roomRight);
  ReplicateSamples(roomRight, 1, origin, line, c->maxV, ci.v, expandY, roomBelow);
  c->ratioComponent = c->curComp;
}

void ReplicateSamples(std::int16_t lines, std::size_t lineStep, std::uint8_t* start,
                      std::size_t sampleStep, std::uint8_t maxFactor, std::uint8_t factor,
                      std::int16_t expand, std::int16_t room) {
  if (factor == 0 || factor >= maxFactor) {
    return;  // full resolution along this axis already
  }
  const int limit = std::min(expand, room);
  const int fullGroups = kBlockSide / factor;
  const int shortGroup = kBlockSide % factor;  // samples in a last, shorter group; 0 if none
  const int groups = fullGroups + (shortGroup != 0 ? 1 : 0);
  for (int l = 0; l < lines; ++l) {
    std::uint8_t* base = start + static_cast<std::size_t>(l) * lineStep;
    std::uint8_t source[kBlockSide];
    for (int j = 0; j < kBlockSide; ++j) {
      source[j] = base[static_cast<std::size_t>(j) * sampleStep];
    }
    int out = 0;
    for (int g = 0; g < groups && out < limit; ++g) {
      const bool full = g < fullGroups;
      const int size = full ? factor : shortGroup;
      const int yield = full ? maxFactor : expand % maxFactor;
      for (int i = 0; i < size; ++i) {
        const int copies = yield / size + (i < yield % size ? 1 : 0);
        const std::uint8_t value = source[g * factor + i];
        for (int k = 0; k < copies && out < limit; ++k, ++out) {
          base[static_cast<std::size_t>(out) * sampleStep] = value;
        }
      }
    }
  }
}

}  // namespace jpegdec
