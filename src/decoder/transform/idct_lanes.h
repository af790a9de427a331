// The inverse DCT's fixed-point factors, and its one-dimensional transform written once for any
// vector of 32-bit lanes, so that the SSE2 and AVX2 routines compute exactly what the plain
// InverseDct1d in reconstruct.cpp computes, lane by lane.
//
// The lane operations come from the instantiating file as a struct `Ops` (declared in that file's
// anonymous namespace, which keeps each instantiation inside the file compiled for its
// instruction set):
//   Ops::V                       the vector type
//   Ops::Add(a, b), Ops::Sub(a, b)  lane-wise, modulo 2^32
//   Ops::Mul<factor>(a)          lane-wise a x factor, modulo 2^32 (0 < factor < 2^16)
//   Ops::Descale(a)              lane-wise (a + 2^15) >> 16, arithmetic shift
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
inline std::int16_t FlatBlockSample(std::int16_t dc) {
  const std::int32_t rows = (dc * kIdctCos4 + kIdctHalf) >> kIdctFractionBits;
  const std::int32_t columns = (rows * kIdctCos4 + kIdctHalf) >> kIdctFractionBits;
  return static_cast<std::int16_t>((columns >> kIdctOutputShift) + kIdctLevelShift);
}

// One-dimensional inverse DCT at twice the standard scale over lanes: x[0..7] in, y[0..7] out,
// each lane an independent transform (T.81 A.3.3, in the factorisation of reconstruct.cpp).
// With kDescaled false, the outputs are left as the sums before their final Descale.
template <class Ops, bool kDescaled = true>
[[gnu::always_inline]] inline void InverseDct1dLanes(const typename Ops::V* x, typename Ops::V* y) {
  using V = typename Ops::V;
  // Even part.
  const V a0 = Ops::template Mul<kIdctCos4>(Ops::Add(x[0], x[4]));
  const V a1 = Ops::template Mul<kIdctCos4>(Ops::Sub(x[0], x[4]));
  const V a2 = Ops::Add(Ops::template Mul<kIdctCos2>(x[2]), Ops::template Mul<kIdctSin2>(x[6]));
  const V a3 = Ops::Sub(Ops::template Mul<kIdctSin2>(x[2]), Ops::template Mul<kIdctCos2>(x[6]));
  const V e0 = Ops::Add(a0, a2);
  const V e1 = Ops::Add(a1, a3);
  const V e2 = Ops::Sub(a1, a3);
  const V e3 = Ops::Sub(a0, a2);
  // Odd part, after a rounded rotation of x3 and x5 by pi/4.
  const V p = Ops::Descale(Ops::template Mul<kIdctCos4>(Ops::Add(x[3], x[5])));
  const V q = Ops::Descale(Ops::template Mul<kIdctCos4>(Ops::Sub(x[3], x[5])));
  const V b0 = Ops::Add(x[1], p);
  const V b1 = Ops::Sub(x[1], p);
  const V b2 = Ops::Add(x[7], q);
  const V b3 = Ops::Sub(x[7], q);
  const V o0 = Ops::Add(Ops::template Mul<kIdctCos1>(b0), Ops::template Mul<kIdctSin1>(b2));
  const V o1 = Ops::Sub(Ops::template Mul<kIdctCos3>(b1), Ops::template Mul<kIdctSin3>(b3));
  const V o2 = Ops::Add(Ops::template Mul<kIdctCos3>(b3), Ops::template Mul<kIdctSin3>(b1));
  const V o3 = Ops::Sub(Ops::template Mul<kIdctSin1>(b0), Ops::template Mul<kIdctCos1>(b2));

  y[0] = Ops::Add(e0, o0);
  y[1] = Ops::Add(e1, o1);
  y[2] = Ops::Add(e2, o2);
  y[3] = Ops::Add(e3, o3);
  y[4] = Ops::Sub(e3, o3);
  y[5] = Ops::Sub(e2, o2);
  y[6] = Ops::Sub(e1, o1);
  y[7] = Ops::Sub(e0, o0);
  if constexpr (kDescaled) {
#pragma GCC unroll 8
    for (int k = 0; k < 8; ++k) {
      y[k] = Ops::Descale(y[k]);
    }
  }
}

// Stores two rows of 8 samples, the 16 bytes of `rows` (the first row in the low half): the first
// at `dst`, the second kRepeatY lines (of `line` bytes) below it; each sample is repeated
// kRepeatX times along its line, each line kRepeatY times (1 or 2 each). Templated on the file's
// Ops so that every instruction set's file keeps its own copy.
template <class Ops, int kRepeatX, int kRepeatY>
inline void StoreTwoRows(__m128i rows, std::uint8_t* dst, std::size_t line) {
  constexpr auto kLines = static_cast<std::size_t>(kRepeatY);
  if constexpr (kRepeatX == 2) {
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
// sample repeated repeatX times along its line and each line repeatY times (1 or 2 each).
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
  if (repeatX == 2) {
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
