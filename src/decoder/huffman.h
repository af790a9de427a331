// Huffman tables and entropy decoding of baseline scan data (ITU-T T.81 F.2.2).
#pragma once

#include <cstdint>

#include "decoder/decoder_context.h"

namespace jpegdec {

// DHT segment: 0 = read, 1 = more input needed; a malformed segment stores a failure status
// through `failure` and returns 0.
int ReadHuffmanTables(DecoderContext* context, Status* failure);

// Defines the table of this DHT class-and-id byte (0x00, 0x01, 0x10, 0x11) from ITU-T T.81
// Annex K, for scans that select a table no DHT segment defined. false: no standard table for
// that byte.
bool LoadStandardHuffmanTable(DecoderContext* context, std::uint8_t classAndId);

// T.81 Figures C.1 and C.2: sizes, symbols and codes in code order from BITS followed by HUFFVAL.
void GenerateHuffmanCodes(const std::uint8_t* counts, std::int16_t capacity, std::uint8_t* sizes,
                          std::uint8_t* symbols, std::uint16_t* codes);

// Block-level entropy decoding. Results: 1 done, JD_NEED_DATA, JD_ERR_DATA, or JD_OK (DC only:
// a marker handed back, or a fill byte taken).
std::uint8_t DecodeDcDifference(DecoderContext* context, std::int16_t* difference);
std::uint8_t ResumeDcDifference(DecoderContext* context, std::int16_t* difference);
std::uint8_t DecodeAcCoefficients(DecoderContext* context);
std::uint8_t ResumeAcCoefficients(DecoderContext* context);

// Symbol-level routines, exposed for tests.
std::uint8_t DecodeDcSymbol(DecoderContext* context);
std::uint8_t DecodeAcSymbol(DecoderContext* context);
std::uint8_t ReceiveExtend(std::uint8_t n, DecoderContext* context, std::int16_t* value);

}  // namespace jpegdec
