// Huffman tables and entropy decoding of baseline scan data (ITU-T T.81 F.2.2).
//
// Resumption contract
// -------------------
// Every routine below reads the caller's input in place (inPtr/inAvail) and keeps all of its
// progress in the context. JD_NEED_DATA always means the current piece is used up (inAvail 0);
// every byte read went into bitBuffer, except a 0xFF whose meaning depends on the byte after
// it: that one is consumed and remembered in ffPending (kFfOne: one 0xFF; kFfFill: 0xFF 0xFF,
// the first a fill byte). The next fetch settles it with the following byte exactly as if the
// bytes had come in one piece, so the result never depends on where the input was split.
//
// After JD_NEED_DATA the caller adopts more input and calls the resume form of the same part:
//
//   stopped in           kept for the resume call                         call next
//   DC symbol search     codeLen, codeIndex, bits, table selection         ResumeDcDifference
//   DC extra bits        dcSymbol, symbolPending = 1, bits                 ResumeDcDifference
//   AC symbol search     coefIndex = k, codeLen, codeIndex, bits,          ResumeAcCoefficients
//                        table selection; block[1..k-1] written
//   AC extra bits        coefIndex = position being read, acSymbol,       ResumeAcCoefficients
//                        symbolPending = 1; the run's zeros written
//
// Between a fresh call and its resume calls nothing but the input fields may change. A resume
// call with no input returns JD_NEED_DATA again, state unchanged.
//
// JD_OK from the DC decoders: either a marker was met where the next block's DC code should
// start (marker/markerPending/phase set, the block abandoned; the parser resets the scan state
// before the next block), or fill bytes before a marker were taken as eight 1 bits, phase
// still in scan data: the caller then calls DecodeDcDifference again, which continues the
// kept search and meets the marker. After JD_ERR_DATA the state carries no meaning.
#pragma once

#include <cstdint>

#include "decoder/decoder_context.h"

namespace jpegdec {

// ffPending values.
inline constexpr std::uint8_t kFfNone = 0;
inline constexpr std::uint8_t kFfOne = 1;   // one 0xFF consumed, not yet settled
inline constexpr std::uint8_t kFfFill = 2;  // 0xFF 0xFF consumed; the first was a fill byte

// DHT segment: 0 = read, 1 = more input needed (the whole segment must be present before any
// table is stored). A malformed segment (length below 2 or not matching its tables, a table
// with more codes than its capacity or more codes of a length than fit) stores JD_ERR_DATA
// through `failure` and returns 0; `failure` is written only then. Class-and-id bytes other
// than 0x00, 0x01 and 0x10 to 0x13 are skipped with their table.
int ReadHuffmanTables(DecoderContext* context, Status* failure);

// T.81 Figures C.1 and C.2: sizes, symbols and codes in code order from BITS followed by
// HUFFVAL. Entries from the total on keep size 0; nothing past `capacity` is written.
void GenerateHuffmanCodes(const std::uint8_t* counts, std::int16_t capacity, std::uint8_t* sizes,
                          std::uint8_t* symbols, std::uint16_t* codes);

// The standard tables of T.81 Annex K (K.3/K.5 for id 0, K.4/K.6 for id 1) as DC table
// (classAndId 0x00, 0x01) or AC table (0x10, 0x11), codes and lookups built, defined bit set.
// False, nothing changed, for any other byte.
bool LoadStandardHuffmanTable(DecoderContext* context, std::uint8_t classAndId);

// At a scan header: makes ready the DC and AC tables that the scan selects for `component` (a
// table no DHT segment defined takes the standard table of its id, where T.81 Annex K has one)
// and notes in fewestBlockBits the fewest bits a block of the component can take with them: the
// shortest DC code, then the end-of-block code or, where that is longer or missing, four of the
// shortest AC codes (a block that ends without one needs at least four codes to reach its last
// coefficient). False when a table is neither defined nor standard.
bool PrepareComponentTables(DecoderContext* context, int component);

// The next block's coefficients, resumable at any byte: the DC part, its difference added to the
// component's predictor exactly once (block[0] the predicted DC), then the AC part
// (block[1..63], zig-zag order), continuing where the last call stopped (dcDone,
// resumePending). 1: the block is complete; JD_NEED_DATA: the input ran out; JD_OK: a marker
// was met where the block begins (handed back: marker, markerPending, phase) or fill bytes were
// taken as bits (phase unchanged: call again); JD_ERR_DATA: codes that cannot be, or a marker
// inside the block (handed back as well). Where the fast path may take the block that starts
// (FastBlockEligible), it decodes it whole in one go (DecodeBlockFast), both parts at once.
std::uint8_t DecodeNextBlock(DecoderContext* context);

// The two parts of a block, as DecodeNextBlock calls them (exposed for tests). Results: 1 done,
// JD_NEED_DATA, JD_ERR_DATA, or JD_OK (DC only: a marker handed back, or fill bytes taken). On 1
// the DC difference has been written and coefIndex is 1; the AC forms have written block[1..63] in
// zig-zag order, zeros included. A selected table that was never defined gives JD_ERR_DATA. A
// marker met inside a block (in the DC part's extra bits or the AC part) gives JD_ERR_DATA with the
// marker handed back as a DC decoder hands one back (marker, markerPending, phase): the band
// decoder decides what it means.
std::uint8_t DecodeDcDifference(DecoderContext* context, std::int16_t* difference);
std::uint8_t ResumeDcDifference(DecoderContext* context, std::int16_t* difference);
std::uint8_t DecodeAcCoefficients(DecoderContext* context);
std::uint8_t ResumeAcCoefficients(DecoderContext* context);

// Skips scan data up to the next marker and takes it: 1 with its code in *marker, or JD_NEED_DATA
// when the input runs out first (a trailing 0xFF waits in ffPending). Bits still buffered are
// dropped. A data byte skipped (anything but the 0xFF fill bytes before the marker; a stuffed
// 0xFF 0x00 counts as one) sets `damaged`: after the image's last MCU, or in search of the next
// restart marker after damage, the scan data should hold nothing more.
std::uint8_t SkipToNextMarker(DecoderContext* context, std::uint8_t* marker);

// At the end of a restart interval (restartDue set by the band decoder after the interval's last
// MCU), before the next block: what remains of the current byte is padding, of any bit value, and
// the restart marker should follow, possibly after 0xFF fill bytes (T.81 B.1.1.2, F.1.2.3).
// 1: a marker follows; it is taken, its code in *marker, and the bits at hand are dropped.
// JD_ERR_DATA: a data byte follows instead (the marker is missing); nothing but fill bytes has
// been consumed. JD_NEED_DATA when the input runs out first (a trailing 0xFF waits in
// ffPending).
std::uint8_t SeekRestartMarker(DecoderContext* context, std::uint8_t* marker);

// Symbol-level routines over the selected table (curBits ... curLongCodes), exposed for tests.
std::uint8_t DecodeDcSymbol(DecoderContext* context);
std::uint8_t DecodeAcSymbol(DecoderContext* context);
// T.81 F.2.2.1 RECEIVE and EXTEND of n extra bits; n = 0 gives 0 without reading.
std::uint8_t ReceiveExtend(std::uint8_t n, DecoderContext* context, std::int16_t* value);

}  // namespace jpegdec
