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

#include <cstdint>

#include "decoder/decoder_context.h"

namespace jpegdec {

// Fills the fast form of DC table t (fastDc[t]) or AC table t (fastAc[t], fastAcFolded[t])
// from its code list; called whenever the table is defined.
void BuildFastDcTable(DecoderContext* context, int t);
void BuildFastAcTable(DecoderContext* context, int t);

// Whether the fast path may try the block that starts now: the frame runs fast routines, the
// plain search is at its start, nothing is pending, and enough input lies ahead.
bool FastBlockEligible(const DecoderContext* context);

// Decodes the whole current block (DC difference into *difference, AC coefficients into
// block[1..63]) with the tables of comp[curComp]; both must be defined. True when committed:
// the bit buffer, input position, dcSymbol, acSymbol and coefIndex (1) are then as the plain
// DC routine leaves them after this block's AC part, apart from coefIndex, which the caller's AC
// step sets. False: the context is unchanged, except block[1..63].
bool DecodeBlockFast(DecoderContext* context, std::int16_t* difference);

}  // namespace jpegdec
