// The inverse DCT's fixed-point factors, shared by the plain transform of reconstruct.cpp and
// the 16-bit-lane forms (idct_words.h), and the stores the SSE2 and AVX2 routines share.
//
// The templates here take a type from the instantiating file's anonymous namespace (its `Ops`
// or tag), which keeps each instantiation inside the file compiled for its instruction set.
#pragma once

#include <emmintrin.h>

#include <cstddef>
#include <cstdint>

namespace jpegdec {

// Fixed-point factors of the inverse DCT, 2^16 times the value, rounded to the nearest integer.
inline constexpr std::int32_t kIdctCos4 = 46341;  // cos(pi/4) * 2^16 = 46340.95
inline constexpr std::int32_t kIdctCos2 = 60547;  // cos(pi/8) * 2^16 = 60547.37
inline constexpr std::int32_t kIdctSin2 = 25080;  // sin(pi/8) * 2^16 = 25079.54
inline constexpr std::int32_t kIdctCos1 = 64277;  // cos(pi/16) * 2^16 = 64276.74
inline constexpr std::int32_t kIdctSin1 = 12785;  // sin(pi/16) * 2^16 = 12785.44
inline constexpr std::int32_t kIdctCos3 = 54491;  // cos(3pi/16) * 2^16 = 54491.19
inline constexpr std::int32_t kIdctSin3 = 36410;  // sin(3pi/16) * 2^16 = 36409.85
inline constexpr std::int32_t kIdctHalf = 32768;  // 0.5 * 2^16: rounds a product to an integer
inline constexpr int kIdctFractionBits = 16;
inline constexpr int kIdctOutputShift = 2;            // two passes: four times the standard scale
inline constexpr std::int32_t kIdctLevelShift = 128;  // T.81 A.3.1: samples coded around 0

// The sample every position of a block takes when its only non-zero coefficient is `dc` at
// position 0, before clamping: both passes then reduce to one rounded product per value. No
// intermediate value leaves 32 bits for any 16-bit dc (|dc x 46341| < 2^31).
// Always inlined, like every plain function of the headers the instruction sets' files share: an
// out-of-line copy compiled for AVX2 could otherwise be the one the linker keeps for all callers.
[[gnu::always_inline]] inline std::int16_t FlatBlockSample(std::int16_t dc) {
  const std::int32_t rows = (dc * kIdctCos4 + kIdctHalf) >> kIdctFractionBits;
  const std::int32_t columns = (rows * kIdctCos4 + kIdctHalf) >> kIdctFractionBits;
  return static_cast<std::int16_t>((columns >> kIdctOutputShift) + kIdctLevelShift);
}

// Stores two rows of 8 samples, the 16 bytes of `rows` (the first row in the low half): the first
// at `dst`, the second kRepeatY lines (of `line` bytes) below it; each sample is repeated
// kRepeatX times along its line (1, 2 or 4), each line kRepeatY times (1 or 2). Templated on the
// file's Ops so that every instruction set's file keeps its own copy.
template <class Ops, int kRepeatX, int kRepeatY>
inline void StoreTwoRows(__m128i rows, std::uint8_t* dst, std::size_t line) {
  constexpr auto kLines = static_cast<std::size_t>(kRepeatY);
  constexpr std::size_t kHalfLine = 16;
  if constexpr (kRepeatX == 4) {
    const __m128i first = _mm_unpacklo_epi8(rows, rows);
    const __m128i second = _mm_unpackhi_epi8(rows, rows);
    const __m128i firstLeft = _mm_unpacklo_epi16(first, first);
    const __m128i firstRight = _mm_unpackhi_epi16(first, first);
    const __m128i secondLeft = _mm_unpacklo_epi16(second, second);
    const __m128i secondRight = _mm_unpackhi_epi16(second, second);
#pragma GCC unroll 8
    for (std::size_t k = 0; k < kLines; ++k) {
      std::uint8_t* const upper = dst + k * line;
      std::uint8_t* const lower = dst + (kLines + k) * line;
      _mm_storeu_si128(reinterpret_cast<__m128i*>(upper), firstLeft);
      _mm_storeu_si128(reinterpret_cast<__m128i*>(upper + kHalfLine), firstRight);
      _mm_storeu_si128(reinterpret_cast<__m128i*>(lower), secondLeft);
      _mm_storeu_si128(reinterpret_cast<__m128i*>(lower + kHalfLine), secondRight);
    }
  } else if constexpr (kRepeatX == 2) {
    const __m128i first = _mm_unpacklo_epi8(rows, rows);
    const __m128i second = _mm_unpackhi_epi8(rows, rows);
#pragma GCC unroll 8
    for (std::size_t k = 0; k < kLines; ++k) {
      _mm_storeu_si128(reinterpret_cast<__m128i*>(dst + k * line), first);
      _mm_storeu_si128(reinterpret_cast<__m128i*>(dst + (kLines + k) * line), second);
    }
  } else {
    const __m128i second = _mm_unpackhi_epi64(rows, rows);
#pragma GCC unroll 8
    for (std::size_t k = 0; k < kLines; ++k) {
      _mm_storel_epi64(reinterpret_cast<__m128i*>(dst + k * line), rows);
      _mm_storel_epi64(reinterpret_cast<__m128i*>(dst + (kLines + k) * line), second);
    }
  }
}

// A block's eight rows of samples, two rows per entry of `pairs`, stored at `origin` with each
// sample repeated repeatX times along its line (1, 2 or 4) and each line repeatY times (1 or 2).
template <class Ops, int kRepeatX, int kRepeatY>
inline void StoreBlockRows(const __m128i* pairs, std::uint8_t* origin, std::size_t line) {
  constexpr auto kPairLines = static_cast<std::size_t>(2 * kRepeatY);
#pragma GCC unroll 8
  for (std::size_t k = 0; k < 4; ++k) {
    StoreTwoRows<Ops, kRepeatX, kRepeatY>(pairs[k], origin + k * kPairLines * line, line);
  }
}

template <class Ops>
inline void StoreBlockRows(const __m128i* pairs, std::uint8_t* origin, std::size_t line,
                           int repeatX, int repeatY) {
  if (repeatX == 4) {
    if (repeatY == 2) {
      StoreBlockRows<Ops, 4, 2>(pairs, origin, line);
    } else {
      StoreBlockRows<Ops, 4, 1>(pairs, origin, line);
    }
  } else if (repeatX == 2) {
    if (repeatY == 2) {
      StoreBlockRows<Ops, 2, 2>(pairs, origin, line);
    } else {
      StoreBlockRows<Ops, 2, 1>(pairs, origin, line);
    }
  } else if (repeatY == 2) {
    StoreBlockRows<Ops, 1, 2>(pairs, origin, line);
  } else {
    StoreBlockRows<Ops, 1, 1>(pairs, origin, line);
  }
}

}  // namespace jpegdec
