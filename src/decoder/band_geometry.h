// The band buffer's layout, computed in one place for the band decoder, block placement and the
// band output.
//
// A band is one row of MCUs across the image, 8 x maxV sample lines high. Its buffer holds those
// lines after a headroom (BandHeadroom); each line is made of one segment per component of
// S = width + 8 x maxH bytes, every component at the full resolution that maxH and maxV define,
// the last 8 x maxH bytes of a segment being a margin for the part of the last MCU beyond the
// right edge. The sample of component c at band line y and column x is byte
// BandHeadroom + y x L + c x S + x, with L = numComponents x S (BandLineBytes). The band output
// writes the band's image rows from the buffer's first byte on, row after row: a row is narrower
// than a line, so rows y and y + 1 end before line y begins, and the rows are written straight
// into the buffer while the lines they come from are read.
#pragma once

#include <cstddef>
#include <cstdint>

#include "decoder/decoder_context.h"

namespace jpegdec {

// Two interleaved rows, rounded up to a cache line.
inline std::size_t BandHeadroom(const DecoderContext* context) {
  constexpr std::size_t kCacheLine = 64;
  const std::size_t rows = 2 * std::size_t{context->width} * context->numComponents;
  return (rows + kCacheLine - 1) / kCacheLine * kCacheLine;
}

// S: the image width plus a margin of one MCU.
inline std::size_t SegmentWidth(const DecoderContext* context) {
  return static_cast<std::size_t>(context->width) +
         kBlockSide * static_cast<std::size_t>(context->maxH);
}

// L: one band line, a segment per component.
inline std::size_t BandLineBytes(const DecoderContext* context) {
  return SegmentWidth(context) * context->numComponents;
}

// The sample lines of a band: 8 x maxV.
inline std::size_t BandLines(const DecoderContext* context) {
  return kBlockSide * static_cast<std::size_t>(context->maxV);
}

// Bytes of one band buffer for the context's frame. The factors are at most 65535 + 32, 4 and
// 32, so the product fits in 32 bits and in any size_t.
inline std::size_t BandBufferSize(const DecoderContext* context) {
  return BandHeadroom(context) + BandLineBytes(context) * BandLines(context);
}

// Where the band's lines begin: line 0 of component 0.
inline std::uint8_t* BandLineOrigin(const DecoderContext* context) {
  return context->bandBuffer + BandHeadroom(context);
}

// ceil(8 x maxFactor / factor): band samples covered by one block along an axis.
inline std::uint16_t BlockExpansion(std::uint8_t maxFactor, std::uint8_t factor) {
  const unsigned full = kBlockSide * static_cast<unsigned>(maxFactor);
  return static_cast<std::uint16_t>((full + factor - 1u) / factor);
}

// Where a block goes in the band: its first sample, the band's segment and line widths, the
// area's first column (within its component's segment) and first line, the band's sample lines,
// and how far the block's samples spread along a line and down the lines.
struct BlockPlace {
  std::uint8_t* origin;
  std::size_t segment;  // S
  std::size_t line;     // L
  std::size_t column;
  std::size_t top;
  std::size_t lines;  // 8 x maxV
  std::uint16_t expandX;
  std::uint16_t expandY;
};

// The place of the current block (comp[curComp], blockCol and blockRow of the MCU at mcuX). The
// expansion is kept in the context for the component last placed (ratioComponent) and computed
// again only when the component changes.
inline BlockPlace PlaceBlock(DecoderContext* c) {
  if (c->curComp != c->ratioComponent) {
    const ComponentInfo& ci = c->comp[c->curComp];
    c->expandX = BlockExpansion(c->maxH, ci.h);
    c->expandY = BlockExpansion(c->maxV, ci.v);
    c->ratioComponent = c->curComp;
  }
  BlockPlace place{};
  place.segment = SegmentWidth(c);
  place.line = place.segment * c->numComponents;
  place.column = c->mcuX + static_cast<std::size_t>(c->expandX) * (c->blockCol - 1u);
  place.top = static_cast<std::size_t>(c->expandY) * (c->blockRow - 1u);
  place.origin =
      BandLineOrigin(c) + c->curComp * place.segment + place.column + place.top * place.line;
  place.lines = BandLines(c);
  place.expandX = c->expandX;
  place.expandY = c->expandY;
  return place;
}

}  // namespace jpegdec
