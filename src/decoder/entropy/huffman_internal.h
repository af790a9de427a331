// The entropy decoder's inside, shared by its sources: huffman.cpp (the byte fetch, the plain
// symbol searches and block parts, the reference), huffman_resume_fast.cpp (their forms for the
// fast routines, which take over where bytes arrive in small pieces), huffman_tables.cpp and the
// whole-block decoder of huffman_fast_block.h. Not for use elsewhere.
#pragma once

#include <cstdint>

#include "decoder/cpu_dispatch.h"
#include "decoder/decoder_context.h"

namespace jpegdec::entropy {

inline constexpr std::uint8_t kDone = 1;  // a symbol, value or block part is complete
// What PlainAcStep returns when the block goes on after the symbol.
inline constexpr std::uint8_t kGoOn = JD_OK;  // never an outcome of the AC part itself

// What one fetch did.
enum class Fetch : std::uint8_t {
  kByteAdded,  // eight bits appended (a data byte, a stuffed 0xFF, or fill bytes before a marker)
  kFillTaken,  // fill bytes before a marker appended as eight 1 bits; the marker is still ahead
  kNeedData,   // input used up (a trailing 0xFF stays noted in ffPending)
  kMarker,     // 0xFF followed by a marker code, both consumed; the code is in *marker
};

// Drops the `count` most significant of the bits at hand.
inline void ConsumeBits(DecoderContext* context, std::uint8_t count) {
  context->bitCount = static_cast<std::uint8_t>(context->bitCount - count);
  context->bitBuffer &= (std::uint32_t{1} << context->bitCount) - 1u;
}

// ---- huffman.cpp: the plain routines ----

// Adds at most one byte's worth of bits to the bit buffer, settling a 0xFF by the byte after it
// (ffPending keeps one whose next byte is not in this piece).
Fetch FetchByte(DecoderContext* context, std::uint8_t* marker);
// FetchByte for the AC search and the extra bits, where a marker is never valid: kDone,
// JD_NEED_DATA or JD_ERR_DATA.
std::uint8_t FetchInsideBlock(DecoderContext* context);
// A marker met where a block should start: noted for the parser, scan data left.
void HandBackMarker(DecoderContext* context, std::uint8_t marker);
// FetchByte for a symbol search at a block's start, where a marker ends the scan data: kDone
// when a byte was added (the search goes on); otherwise what the search returns: JD_NEED_DATA,
// or JD_OK for fill bytes taken or a marker handed back.
std::uint8_t FetchForBlockStart(DecoderContext* context);
// The plain symbol searches (T.81 Figure F.16 over the code list, in code order), resumable at
// any length, over the selected table.
std::uint8_t SearchDcSymbol(DecoderContext* context);
std::uint8_t SearchAcSymbol(DecoderContext* context);
// The extra bits of the DC difference once its category (dcSymbol) is known.
std::uint8_t FinishDcDifference(DecoderContext* context, std::int16_t* difference);
// One step of T.81 Figure F.13 at position *position: the next symbol by the plain search, its
// run of zeros and its extra bits. kGoOn with *position past what the symbol covered; kDone at
// the end of the block (coefIndex 64); otherwise the status, with coefIndex and symbolPending
// noting where to resume.
std::uint8_t PlainAcStep(DecoderContext* context, int* position);
// Coefficients from k on, one PlainAcStep at a time.
std::uint8_t DecodeAcFrom(DecoderContext* context, int k);

// ---- huffman_resume_fast.cpp: the fast routines' forms ----

// Whether the context runs the fast routines and has a table selected for them.
inline bool FastSymbolsUsable(const DecoderContext* context) {
  return context->routineLevel != kRoutinesPlain && context->curFast != nullptr;
}
// DecodeDcSymbol and DecodeAcSymbol for the fast routines.
std::uint8_t FastDcSymbol(DecoderContext* context);
std::uint8_t FastAcSymbol(DecoderContext* context);
// The DC part of a block (symbol and extra bits); `pendingExtra`: a resume with symbolPending.
std::uint8_t FastDcDifference(DecoderContext* context, std::int16_t* difference, bool pendingExtra);
// DecodeAcFrom with block[k..63] already zero; `pendingExtra`: the extra bits of acSymbol for
// position k come first (a resume with symbolPending).
std::uint8_t DecodeAcFromFast(DecoderContext* context, int k, bool pendingExtra);

}  // namespace jpegdec::entropy
