// JPEG's own numbers, named once for the whole decoder: marker codes, the block and its two
// zig-zag orders, the limits of Huffman coding, and EXTEND (ITU-T T.81).
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>

namespace jpegdec {

// ---- The block ----

inline constexpr int kBlockSide = 8;  // samples along a block's side
inline constexpr int kBlockSize = kBlockSide * kBlockSide;
inline constexpr int kLastCoefficient = kBlockSize - 1;

// Entry n, for the natural row-major position n of an 8x8 block, holds the zig-zag index of that
// position: the inverse of the zig-zag sequence of T.81 Figure A.6.
inline constexpr std::uint8_t ZigZagIndex[kBlockSize] = {
    0,  1,  5,  6,  14, 15, 27, 28,  //
    2,  4,  7,  13, 16, 26, 29, 42,  //
    3,  8,  12, 17, 25, 30, 41, 43,  //
    9,  11, 18, 24, 31, 40, 44, 53,  //
    10, 19, 23, 32, 39, 45, 52, 54,  //
    20, 22, 33, 38, 46, 51, 55, 60,  //
    21, 34, 37, 47, 50, 56, 59, 61,  //
    35, 36, 48, 49, 57, 58, 62, 63,  //
};

// Natural order of an 8x8 block read column by column: entry 8u + r is the zig-zag index of row
// r, column u. The fast transforms take their coefficients in this order, so that the reorder
// out of zig-zag order also does the transposition their first pass needs.
inline constexpr auto kZigZagByColumn = [] {
  std::array<std::uint8_t, kBlockSize> table{};
  for (std::size_t u = 0; u < kBlockSide; ++u) {
    for (std::size_t r = 0; r < kBlockSide; ++r) {
      table[kBlockSide * u + r] = ZigZagIndex[kBlockSide * r + u];
    }
  }
  return table;
}();

// Entry k: where zig-zag coefficient k goes in a block stored column by column (the inverse of
// kZigZagByColumn).
inline constexpr auto kColumnOfZigZag = [] {
  std::array<std::uint8_t, kBlockSize> table{};
  for (std::size_t i = 0; i < kBlockSize; ++i) {
    table[kZigZagByColumn[i]] = static_cast<std::uint8_t>(i);
  }
  return table;
}();

// ---- Frames and scans (T.81 B.2.2, B.2.3) ----

inline constexpr int kMaxComponents = 4;
inline constexpr int kNumTables = 4;                   // table ids 0 to 3
inline constexpr std::uint8_t kMaxSamplingFactor = 4;  // sampling factors are 1..4
inline constexpr std::uint8_t kSamplePrecision = 8;

// ---- Markers: the byte that follows 0xFF (T.81 Table B.1) ----

inline constexpr std::uint8_t kMarkerPrefix = 0xFF;
inline constexpr std::uint8_t kStuffedZero = 0x00;  // 0xFF 0x00 in scan data: a data byte 0xFF
inline constexpr std::uint8_t kMarkerSof0 = 0xC0;   // baseline sequential DCT
inline constexpr std::uint8_t kMarkerSof1 = 0xC1;   // extended sequential DCT, Huffman
inline constexpr std::uint8_t kMarkerSof2 = 0xC2;   // progressive DCT (refused)
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
// Not a T.81 marker: the code the decoder refuses as out of order.
inline constexpr std::uint8_t kMarkerReserved02 = 0x02;

inline constexpr int kRestartNumbers = 8;  // RST0 .. RST7, then RST0 again

inline constexpr bool IsRestartMarker(std::uint8_t code) {
  return code >= kMarkerRst0 && code <= kMarkerRst7;
}

// ---- Huffman coding (T.81 Annex C, F.2.2) ----

inline constexpr int kMaxCodeBits = 16;             // the longest Huffman code
inline constexpr std::uint8_t kMaxDcCategory = 11;  // the largest 8-bit samples produce
inline constexpr std::uint8_t kDhtAcClass = 0x10;   // class-and-id byte of AC table 0
inline constexpr std::uint8_t kZrl = 0xF0;          // AC symbol: sixteen zeros
inline constexpr std::uint8_t kEob = 0x00;          // AC symbol: the rest of the block is zero
inline constexpr int kZrlRun = 16;

// T.81 Figure F.12, EXTEND: n extra bits v (n >= 1) as a signed value; values below half the
// range are negative.
inline constexpr std::int16_t Extend(std::int32_t v, int n) {
  const std::int32_t half = std::int32_t{1} << (n - 1);
  return static_cast<std::int16_t>(v < half ? v - (half << 1) + 1 : v);
}

}  // namespace jpegdec
