// The fast entropy path: whole blocks at a time through a wide bit buffer and lookahead tables,
// beside the byte-resumable routines of huffman.h, which stay the reference.
//
// It runs only at the start of a block, with no search, extra bits or 0xFF pending, and commits
// only a block it could decode completely from the input at hand. Scan data is taken as the
// plain routines take it (0xFF 0x00 is a data byte 0xFF); any other 0xFF ends what it can read.
// Anything else (a piece ending inside the block, a marker, a code that does not exist, a run
// past the block's end, a DC category above 11) makes it give up with the context untouched
// apart from the scratch contents of block[1..63], and the plain routines decode the block from
// its start: every error, JD_NEED_DATA and marker is theirs.
//
// After a committed block the context is exactly what the plain routines leave at the same
// point. The plain routines fetch a byte only when its bits are needed, so they end a block
// holding fewer than 8 bits fetched inside it; the fast path hands the whole bytes it read ahead
// back to the input (a stuffed 0xFF 0x00 counting as one), which gives the same inPtr, inAvail,
// bitBuffer and bitCount.
#pragma once

#include <cstddef>
#include <cstdint>

#include "decoder/cpu_dispatch.h"
#include "decoder/decoder_context.h"
#include "decoder/entropy/huffman.h"

namespace jpegdec {

// A block is worth trying only with this many bytes of input ahead; with fewer, most attempts
// would run into the end of the piece and the plain routines would decode the block again anyway.
inline constexpr std::int32_t kFastInputAhead = 32;

// The fast path's view of the scan data: `bits` unused bits left-aligned in `acc`, then the bytes
// from p to end. Opened on a context at a block start; several blocks may then be decoded in a
// row; closing it writes back to the context what the plain routines would hold at that point.
struct FastReader {
  std::uintptr_t acc;  // a register's width (see huffman_fast_block.h)
  int bits;
  const std::uint8_t* p;
  const std::uint8_t* end;
  const std::uint8_t* start;  // where the reader was opened
  bool stuffed;               // a byte pair 0xFF 0x00 has been read since then
};

// What the blocks of one component are decoded with.
struct FastBlockTables {
  const FastHuffmanTable* dc;
  const std::int32_t* dcFolded;
  const std::uint8_t* dcVals;
  const FastHuffmanTable* ac;
  const std::int32_t* acFolded;
  const std::uint64_t* acPairs;
  const std::uint8_t* acVals;
  const std::uint8_t* quant;  // quantisation table, zig-zag order
};

// Fills the fast form of DC table t (fastDc[t], fastDcFolded[t]) or AC table t (fastAc[t],
// fastAcFolded[t], fastAcPairs[t]) from its code list; called whenever the table is defined.
void BuildFastDcTable(DecoderContext* context, int t);
void BuildFastAcTable(DecoderContext* context, int t);

// Whether the fast path may try the block that starts now: the frame runs fast routines, the
// plain search is at its start, nothing is pending, and enough input lies ahead.
// Inline, the input first: a host writing single bytes asks at every block start, and the answer
// is then no.
inline bool FastBlockEligible(const DecoderContext* context) {
  return context->inAvail >= kFastInputAhead && context->codeLen == 1 && context->codeIndex == 0 &&
         context->ffPending == kFfNone && context->symbolPending == 0 &&
         context->routineLevel != kRoutinesPlain;
}

// Decodes the whole current block (DC difference into *difference, AC coefficients into
// block[1..63]) with the tables of comp[curComp]; both must be defined. True when committed:
// the bit buffer, input position, dcSymbol, acSymbol and coefIndex (1) are then as the plain
// DC routine leaves them after this block's AC part, apart from coefIndex, which the caller's AC
// step sets. False: the context is unchanged, except block[1..63].
bool DecodeBlockFast(DecoderContext* context, std::int16_t* difference);

// The tables of component `component` (its entropy tables must be defined and its quantisation
// table index in range); false when they are not.
bool FastTablesFor(const DecoderContext* context, int component, FastBlockTables* tables);

// Opens a reader where the context stands (a block start where FastBlockEligible holds), and
// closes it again: the whole bytes read ahead go back to the input, so that inPtr, inAvail,
// bitBuffer and bitCount become what the plain routines leave after the same blocks.
void OpenFastReader(const DecoderContext* context, FastReader* reader);
void CloseFastReader(DecoderContext* context, const FastReader& reader);

// Bytes of input the reader has not looked at yet.
inline std::ptrdiff_t FastReaderAhead(const FastReader& reader) { return reader.end - reader.p; }

// DecodeBlockToColumns, the whole-block decoder of the band decoder's block loop, is inline in
// huffman_fast_block.h.

}  // namespace jpegdec
