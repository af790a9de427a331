// Marker search, segment readers and parser phases. Internal to the decoder; exposed for tests.
#pragma once

#include <cstdint>

#include "decoder/decoder_context.h"

namespace jpegdec {

// Marker codes: the byte that follows 0xFF (ITU-T T.81 Table B.1).
inline constexpr std::uint8_t kMarkerSof0 = 0xC0;  // baseline sequential DCT
inline constexpr std::uint8_t kMarkerSof1 = 0xC1;  // extended sequential DCT, Huffman
inline constexpr std::uint8_t kMarkerSof2 = 0xC2;  // progressive DCT (refused)
inline constexpr std::uint8_t kMarkerDht = 0xC4;
inline constexpr std::uint8_t kMarkerRst0 = 0xD0;  // RST0 .. RST7 are 0xD0 .. 0xD7
inline constexpr std::uint8_t kMarkerRst7 = 0xD7;
inline constexpr std::uint8_t kMarkerSoi = 0xD8;
inline constexpr std::uint8_t kMarkerEoi = 0xD9;
inline constexpr std::uint8_t kMarkerSos = 0xDA;
inline constexpr std::uint8_t kMarkerDqt = 0xDB;
inline constexpr std::uint8_t kMarkerDnl = 0xDC;
inline constexpr std::uint8_t kMarkerDri = 0xDD;
inline constexpr std::uint8_t kMarkerApp0 = 0xE0;  // APP0 .. APP15 are 0xE0 .. 0xEF
inline constexpr std::uint8_t kMarkerApp14 = 0xEE;
inline constexpr std::uint8_t kMarkerApp15 = 0xEF;
inline constexpr std::uint8_t kMarkerCom = 0xFE;
inline constexpr std::uint8_t kMarkerPrefix = 0xFF;
// Not a T.81 marker: the code the decoder refuses as out of order.
inline constexpr std::uint8_t kMarkerReserved02 = 0x02;

// Segment readers: 0 = segment read, 1 = more input needed (the same reader runs again at the
// next step). A reader that finds the segment malformed or unsupported stores a failure status
// through `failure` and returns 0. Readers with a length field follow one protocol: the length
// is consumed as soon as both of its bytes are present (`segRemaining` then counts the payload);
// the payload is interpreted only once it is wholly present, except for APPn segments, which are
// skipped piece by piece once their first bytes have been examined.
int ReadFrameHeader(DecoderContext* context, Status* failure);
// After a frame header: maxH, maxV, blocksPerMcu and the frame's routines.
void PrepareFrame(DecoderContext* context);
int ReadScanHeader(DecoderContext* context, Status* failure);
int ReadQuantTables(DecoderContext* context, Status* failure);
int ReadAppSegment(DecoderContext* context, Status* failure);
int ReadDriSegment(DecoderContext* context, Status* failure);
int ReadDnlSegment(DecoderContext* context, Status* failure);
int SkipSegment(DecoderContext* context, Status* failure);

// The converter for the frame's component count and the "Adobe" transform byte.
ColorConverter ChooseColorConverter(const DecoderContext* context);

// Entropy and prediction state, cleared at a scan header and at every restart marker. The MCU
// position and the band under construction are kept.
void ResetScanState(DecoderContext* context);

}  // namespace jpegdec
