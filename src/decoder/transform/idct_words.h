// The one-dimensional inverse DCT of reconstruct.cpp over eight 16-bit lanes (SSE2 registers),
// bit for bit the plain InverseDct1d for every input, with no bound on the coefficients.
//
// How it stays exact: every product the plain code forms is a 16-bit value times a factor below
// 2^16, kept modulo 2^32. A factor f >= 2^15 is split as 2^16 + (f - 2^16), both parts' products
// then fit a signed 16 x 16-bit multiply, and pairs of them are summed by _mm_madd_epi16. The
// 2^16 parts, v x 2^16, do not touch the low half of a 32-bit sum, and their effect on its high
// half depends only on v modulo 2^16: they are added after the rounding shift, in 16-bit lanes,
// to the high half of the rest of the sum,
//   ((R + v x 2^16 + 2^15) >> 16) mod 2^16 = (((R + 2^15) >> 16) + v) mod 2^16,
// with R and every 16-bit sum wrapping freely. The plain code's rounded values (Descale of a
// 32-bit sum) always lie in the signed 16-bit range, so these low 16 bits are the whole value.
// The plain code's intermediate sums x1 + p, x7 - q and the like may need 17 bits; they enter
// here only through such 2^16 parts, or split into their 16-bit summands.
//
// Like idct_lanes.h, the template parameter only keeps each instantiation inside the file that
// instantiates it (a type from that file's anonymous namespace), so that a file compiled for a
// wider instruction set never lends its copy to another.
#pragma once

#include <emmintrin.h>

#include <cstdint>

#include "decoder/transform/idct_lanes.h"

namespace jpegdec {

inline constexpr std::int32_t kIdctWrap = 65536;  // 2^16: a factor f is used as 2^16 + (f - 2^16)

// The 16-bit-lane helpers, members of a template on the instantiating file's tag for the reason
// above.
template <class Tag>
struct IdctWords {
  // A multiplier pair for _mm_madd_epi16: `first` for the first value of each interleaved pair.
  static __m128i Factors(std::int32_t first, std::int32_t second) {
    const auto low = static_cast<std::uint32_t>(static_cast<std::uint16_t>(first));
    const auto high = static_cast<std::uint32_t>(static_cast<std::uint16_t>(second));
    return _mm_set1_epi32(static_cast<int>(low | (high << 16)));
  }

  // Lanes 0..3 (high false) or 4..7 of a and b interleaved: a0 b0 a1 b1 ...
  static __m128i Pairs(bool high, __m128i a, __m128i b) {
    return high ? _mm_unpackhi_epi16(a, b) : _mm_unpacklo_epi16(a, b);
  }

  // Signed 16-bit high halves of four 32-bit sums in `low` and four in `high`, one half already
  // added: the rounded >> 16, always in the 16-bit range, so that the pack keeps it.
  static __m128i RoundedHigh(__m128i low, __m128i high) {
    return _mm_packs_epi32(_mm_srai_epi32(low, kIdctFractionBits),
                           _mm_srai_epi32(high, kIdctFractionBits));
  }
};

// x[0..7] in, y[0..7] out, each of the eight 16-bit lanes one transform: y_k exactly as
// InverseDct1d gives out[k * 8] for that lane's inputs.
template <class Tag>
[[gnu::always_inline]] inline void InverseDct1dWords(const __m128i* x, __m128i* y) {
  using W = IdctWords<Tag>;
  constexpr std::int32_t kWrap = kIdctWrap;
  constexpr std::int32_t kC4 = kIdctCos4 - kWrap;
  constexpr std::int32_t kC2 = kIdctCos2 - kWrap;
  constexpr std::int32_t kC1 = kIdctCos1 - kWrap;
  constexpr std::int32_t kC3 = kIdctCos3 - kWrap;
  constexpr std::int32_t kS3 = kIdctSin3 - kWrap;
  static_assert(kIdctSin1 < 32768 && kIdctSin2 < 32768, "factors below 2^15 are used whole");
  const __m128i half = _mm_set1_epi32(kIdctHalf);

  // The 2^16 parts of the even sums, in 16-bit lanes: a0 = (x0 + x4) c4, a1 = (x0 - x4) c4,
  // a2 = x2 c2 + x6 s2, a3 = x2 s2 - x6 c2.
  const __m128i sum04 = _mm_add_epi16(x[0], x[4]);
  const __m128i diff04 = _mm_sub_epi16(x[0], x[4]);
  const __m128i wrapE0 = _mm_add_epi16(sum04, x[2]);   // a0 + a2
  const __m128i wrapE3 = _mm_sub_epi16(sum04, x[2]);   // a0 - a2
  const __m128i wrapE1 = _mm_sub_epi16(diff04, x[6]);  // a1 + a3
  const __m128i wrapE2 = _mm_add_epi16(diff04, x[6]);  // a1 - a3

  // p = Descale((x3 + x5) c4), q = Descale((x3 - x5) c4), whole, in 16-bit lanes.
  __m128i roundP[2];
  __m128i roundQ[2];
#pragma GCC unroll 2
  for (int h = 0; h < 2; ++h) {
    const __m128i pair35 = W::Pairs(h != 0, x[3], x[5]);
    roundP[h] = _mm_add_epi32(_mm_madd_epi16(pair35, W::Factors(kC4, kC4)), half);
    roundQ[h] = _mm_add_epi32(_mm_madd_epi16(pair35, W::Factors(kC4, -kC4)), half);
  }
  const __m128i p = _mm_add_epi16(W::RoundedHigh(roundP[0], roundP[1]), _mm_add_epi16(x[3], x[5]));
  const __m128i q = _mm_add_epi16(W::RoundedHigh(roundQ[0], roundQ[1]), _mm_sub_epi16(x[3], x[5]));

  // The 2^16 parts of the odd sums, with b0 = x1 + p, b1 = x1 - p, b2 = x7 + q, b3 = x7 - q:
  // o0 = b0 c1 + b2 s1, o1 = b1 c3 - b3 s3, o2 = b3 c3 + b1 s3, o3 = b0 s1 - b2 c1.
  const __m128i b1 = _mm_sub_epi16(x[1], p);
  const __m128i b3 = _mm_sub_epi16(x[7], q);
  const __m128i wrapO0 = _mm_add_epi16(x[1], p);
  const __m128i wrapO1 = _mm_sub_epi16(b1, b3);
  const __m128i wrapO2 = _mm_add_epi16(b1, b3);
  const __m128i wrapO3 = _mm_sub_epi16(_mm_setzero_si128(), _mm_add_epi16(x[7], q));

  // The rest of each output's sum, rounded, for lanes 0..3 and 4..7.
  __m128i rest[2][8];
#pragma GCC unroll 2
  for (int h = 0; h < 2; ++h) {
    const bool high = h != 0;
    const __m128i pair04 = W::Pairs(high, x[0], x[4]);
    const __m128i pair26 = W::Pairs(high, x[2], x[6]);
    const __m128i a0 = _mm_add_epi32(_mm_madd_epi16(pair04, W::Factors(kC4, kC4)), half);
    const __m128i a1 = _mm_add_epi32(_mm_madd_epi16(pair04, W::Factors(kC4, -kC4)), half);
    const __m128i a2 = _mm_madd_epi16(pair26, W::Factors(kC2, kIdctSin2));
    const __m128i a3 = _mm_madd_epi16(pair26, W::Factors(kIdctSin2, -kC2));
    const __m128i e0 = _mm_add_epi32(a0, a2);
    const __m128i e1 = _mm_add_epi32(a1, a3);
    const __m128i e2 = _mm_sub_epi32(a1, a3);
    const __m128i e3 = _mm_sub_epi32(a0, a2);

    const __m128i pair1p = W::Pairs(high, x[1], p);
    const __m128i pair7q = W::Pairs(high, x[7], q);
    const __m128i o0 = _mm_add_epi32(_mm_madd_epi16(pair1p, W::Factors(kC1, kC1)),
                                     _mm_madd_epi16(pair7q, W::Factors(kIdctSin1, kIdctSin1)));
    const __m128i o1 = _mm_add_epi32(_mm_madd_epi16(pair1p, W::Factors(kC3, -kC3)),
                                     _mm_madd_epi16(pair7q, W::Factors(-kS3, kS3)));
    const __m128i o2 = _mm_add_epi32(_mm_madd_epi16(pair1p, W::Factors(kS3, -kS3)),
                                     _mm_madd_epi16(pair7q, W::Factors(kC3, -kC3)));
    const __m128i o3 = _mm_add_epi32(_mm_madd_epi16(pair1p, W::Factors(kIdctSin1, kIdctSin1)),
                                     _mm_madd_epi16(pair7q, W::Factors(-kC1, -kC1)));
    rest[h][0] = _mm_add_epi32(e0, o0);
    rest[h][1] = _mm_add_epi32(e1, o1);
    rest[h][2] = _mm_add_epi32(e2, o2);
    rest[h][3] = _mm_add_epi32(e3, o3);
    rest[h][4] = _mm_sub_epi32(e3, o3);
    rest[h][5] = _mm_sub_epi32(e2, o2);
    rest[h][6] = _mm_sub_epi32(e1, o1);
    rest[h][7] = _mm_sub_epi32(e0, o0);
  }
  y[0] = _mm_add_epi16(W::RoundedHigh(rest[0][0], rest[1][0]), _mm_add_epi16(wrapE0, wrapO0));
  y[1] = _mm_add_epi16(W::RoundedHigh(rest[0][1], rest[1][1]), _mm_add_epi16(wrapE1, wrapO1));
  y[2] = _mm_add_epi16(W::RoundedHigh(rest[0][2], rest[1][2]), _mm_add_epi16(wrapE2, wrapO2));
  y[3] = _mm_add_epi16(W::RoundedHigh(rest[0][3], rest[1][3]), _mm_add_epi16(wrapE3, wrapO3));
  y[4] = _mm_add_epi16(W::RoundedHigh(rest[0][4], rest[1][4]), _mm_sub_epi16(wrapE3, wrapO3));
  y[5] = _mm_add_epi16(W::RoundedHigh(rest[0][5], rest[1][5]), _mm_sub_epi16(wrapE2, wrapO2));
  y[6] = _mm_add_epi16(W::RoundedHigh(rest[0][6], rest[1][6]), _mm_sub_epi16(wrapE1, wrapO1));
  y[7] = _mm_add_epi16(W::RoundedHigh(rest[0][7], rest[1][7]), _mm_sub_epi16(wrapE0, wrapO0));
}

// The 8x8 transpose of 16-bit lanes: out[j] lane k = in[k] lane j.
template <class Tag>
[[gnu::always_inline]] inline void TransposeWords(const __m128i* in, __m128i* out) {
  const __m128i a0 = _mm_unpacklo_epi16(in[0], in[1]);
  const __m128i a1 = _mm_unpackhi_epi16(in[0], in[1]);
  const __m128i a2 = _mm_unpacklo_epi16(in[2], in[3]);
  const __m128i a3 = _mm_unpackhi_epi16(in[2], in[3]);
  const __m128i a4 = _mm_unpacklo_epi16(in[4], in[5]);
  const __m128i a5 = _mm_unpackhi_epi16(in[4], in[5]);
  const __m128i a6 = _mm_unpacklo_epi16(in[6], in[7]);
  const __m128i a7 = _mm_unpackhi_epi16(in[6], in[7]);
  const __m128i b0 = _mm_unpacklo_epi32(a0, a2);
  const __m128i b1 = _mm_unpackhi_epi32(a0, a2);
  const __m128i b2 = _mm_unpacklo_epi32(a1, a3);
  const __m128i b3 = _mm_unpackhi_epi32(a1, a3);
  const __m128i b4 = _mm_unpacklo_epi32(a4, a6);
  const __m128i b5 = _mm_unpackhi_epi32(a4, a6);
  const __m128i b6 = _mm_unpacklo_epi32(a5, a7);
  const __m128i b7 = _mm_unpackhi_epi32(a5, a7);
  out[0] = _mm_unpacklo_epi64(b0, b4);
  out[1] = _mm_unpackhi_epi64(b0, b4);
  out[2] = _mm_unpacklo_epi64(b1, b5);
  out[3] = _mm_unpackhi_epi64(b1, b5);
  out[4] = _mm_unpacklo_epi64(b2, b6);
  out[5] = _mm_unpackhi_epi64(b2, b6);
  out[6] = _mm_unpacklo_epi64(b3, b7);
  out[7] = _mm_unpackhi_epi64(b3, b7);
}

// The inverse DCT of a block given column by column (cols[8u + r] = coefficient of row r,
// column u): the first pass runs over the rows, one row per lane; one transpose gives the
// columns the second pass needs, whose outputs are the sample rows. Row k of 16-bit samples
// (unclamped, +128, as the plain code stores them) in rows[k].
template <class Tag>
[[gnu::always_inline]] inline void InverseDctWords(const std::int16_t* cols, __m128i* rows) {
  __m128i x[8];
  __m128i y[8];
#pragma GCC unroll 8
  for (int u = 0; u < 8; ++u) {
    x[u] = _mm_loadu_si128(reinterpret_cast<const __m128i*>(cols + 8 * u));
  }
  InverseDct1dWords<Tag>(x, y);
  TransposeWords<Tag>(y, x);
  InverseDct1dWords<Tag>(x, y);
  const __m128i level = _mm_set1_epi16(kIdctLevelShift);
#pragma GCC unroll 8
  for (int k = 0; k < 8; ++k) {
    rows[k] = _mm_add_epi16(_mm_srai_epi16(y[k], kIdctOutputShift), level);
  }
}

}  // namespace jpegdec
