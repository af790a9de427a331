// Block reconstruction: dequantisation, leaving zig-zag order, the integer inverse DCT, and the
// placement of each block in the band buffer with its expansion to the full sampling grid; the
// plain forms, and the fast store that transforms straight into the band.
#include "decoder/transform/reconstruct.h"

#include <algorithm>
#include <cstdlib>
#include <cstring>

#include "decoder/band_geometry.h"
#include "decoder/cpu_dispatch.h"
#include "decoder/transform/idct_lanes.h"
#include "decoder/transform/reconstruct_fast.h"

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

void StoreBlockFast(DecoderContext* c, const BlockPlace& place) {
  // Only components the fast store does not serve come here (ReconstructIntoBand takes the
  // others): the plain store, after spreading a flat block's one sample over the block.
  if (c->blockIsFlat != 0) {
    std::fill(c->block + 1, c->block + kBlockSize, c->block[0]);
    c->blockIsFlat = 0;
  }
  StoreBlock(c, place);
}

// Whether the fast store serves the current block's component (factors dividing the maximum by 1
// or 2 along both axes).
inline bool FastStoreServes(const DecoderContext* c) {
  const ComponentInfo& ci = c->comp[c->curComp];
  return FastRepeatAlongLine(c->maxH, ci.h) != 0 && FastRepeat(c->maxV, ci.v) != 0;
}

// Writes a flat block's one sample, clamped, over its area in the band: kLines lines of kWidth
// bytes (fixed, so that the stores unroll).
template <std::size_t kWidth, int kLines>
inline void FillArea(std::uint8_t value, std::uint8_t* origin, std::size_t line) {
  for (int l = 0; l < kLines; ++l) {
    std::memset(origin + static_cast<std::size_t>(l) * line, value, kWidth);
  }
}

// The fast reconstruction and StoreBlockFast in one, where the fast store serves the component: the
// coefficients go dequantised into the column order of the fast block loop, whose transform
// writes the band (or whose fill, for a flat block), sparing the reorder of all 64 positions and
// the separate store. context->block keeps the coefficients.
void ReconstructIntoBand(DecoderContext* c, const BlockPlace& place) {
  alignas(32) std::int16_t columns[kBlockSize];  // cleared by dequantiseToColumns
  const bool anyAc = c->routines->dequantiseToColumns(c, columns);
  const ComponentInfo& ci = c->comp[c->curComp];
  const int repeatX = FastRepeatAlongLine(c->maxH, ci.h);
  const int repeatY = FastRepeat(c->maxV, ci.v);
  if (!anyAc) {
    FillFlatBlock(FlatBlockSample(columns[0]), place.origin, place.line, repeatX, repeatY);
  } else {
    c->routines->transformToBand(columns, place.origin, place.line, repeatX, repeatY);
  }
  c->blockIsFlat = 0;
}
// The MCU order of the frame's blocks as the fast block loop places them (mcuSlots).
void LayOutMcu(DecoderContext* c) {
  const std::size_t segment = SegmentWidth(c);
  const std::size_t line = BandLineBytes(c);
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
        McuSlot& slot = c->mcuSlots[count++];
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
  c->mcuSlotsReady = 1;
}

}  // namespace

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
void ReconstructAndStore(DecoderContext* context, const BlockPlace& place) {
  DecoderContext* c = context;
  if (c->routineLevel == kRoutinesPlain) {
    ReconstructBlock(c);
    StoreBlock(c, place);
  } else if (FastStoreServes(c)) {
    ReconstructIntoBand(c, place);
  } else {
    c->routines->reconstructBlock(c);
    StoreBlockFast(c, place);
  }
}

void WholeBlockPlacer::Begin() {
  DecoderContext* c = c_;
  routines_ = c->routines;
  segment_ = SegmentWidth(c);
  line_ = BandLineBytes(c);
  lines_ = BandLines(c);
  for (int i = 0; i < c->numComponents; ++i) {
    expandX_[i] = BlockExpansion(c->maxH, c->comp[i].h);
    expandY_[i] = BlockExpansion(c->maxV, c->comp[i].v);
  }
  if (c->mcuSlotsReady == 0) {
    LayOutMcu(c);
  }
  std::memcpy(slots_, c->mcuSlots, sizeof(McuSlot) * c->blocksPerMcu);
  std::memset(columns_, 0, sizeof(columns_));
}

void WholeBlockPlacer::PlaceUnserved(const McuSlot& slot, std::int16_t* columns,
                                     std::uint32_t mcuX) {
  DecoderContext* c = c_;
  routines_->transformColumns(columns, c->block);
  c->mcuX = mcuX;
  c->curComp = slot.component;
  c->blockCol = slot.col;
  c->blockRow = slot.row;
  // The place as PlaceBlock gives it, from the MCU's layout.
  BlockPlace place{};
  place.expandX = expandX_[slot.component];
  place.expandY = expandY_[slot.component];
  place.segment = segment_;
  place.line = line_;
  place.column = mcuX + static_cast<std::size_t>(place.expandX) * (slot.col - 1u);
  place.top = static_cast<std::size_t>(place.expandY) * (slot.row - 1u);
  place.origin = c->bandBuffer + mcuX + slot.offset;
  place.lines = lines_;
  StoreBlock(c, place);
}

void WholeBlockPlacer::Finish(int index) {
  TransformPending();
  const McuSlot& slot = slots_[index];
  c_->curComp = slot.component;
  c_->blockCol = slot.col;
  c_->blockRow = slot.row;
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

void StoreBlock(DecoderContext* context, const BlockPlace& place) {
  DecoderContext* c = context;
  const ComponentInfo& ci = c->comp[c->curComp];
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
  const auto expandX = static_cast<std::int16_t>(place.expandX);
  const auto expandY = static_cast<std::int16_t>(place.expandY);
  const auto roomRight =
      static_cast<std::int16_t>(std::min<std::size_t>(place.expandX, place.segment - place.column));
  const auto roomBelow =
      static_cast<std::int16_t>(std::min<std::size_t>(place.expandY, place.lines - place.top));
  ReplicateSamples(kBlockSide, line, origin, 1, c->maxH, ci.h, expandX, roomRight);
  ReplicateSamples(roomRight, 1, origin, line, c->maxV, ci.v, expandY, roomBelow);
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
