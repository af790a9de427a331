// The one-dimensional inverse DCT of reconstruct.cpp over eight 16-bit lanes, bit for bit the
// plain InverseDct1d for every input, with no bound on the coefficients.
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
// The 16-bit values stay in SSE2 registers; the 32-bit sums, eight per output, in whatever the
// instantiating file gives as `Ops` (declared in its anonymous namespace, which also keeps each
// instantiation inside the file compiled for its instruction set):
//   Ops::Wide                    eight 32-bit lanes (two SSE2 registers, say)
//   Ops::Pairs(a, b)             lane k holds lanes k of the 16-bit vectors a (low half) and b
//   Ops::Madd(w, f, g)           lane-wise low half x f + high half x g (f, g signed 16-bit)
//   Ops::Add(w, v), Ops::Sub(w, v), Ops::AddHalf(w)   lane-wise modulo 2^32; + 2^15
//   Ops::High(w, v, &a, &b)      the signed high halves of w's lanes into a, of v's into b
#pragma once

#include <emmintrin.h>

#include <cstdint>

#include "decoder/transform/idct_lanes.h"

namespace jpegdec {

inline constexpr std::int32_t kIdctWrap = 65536;  // 2^16: a factor f is used as 2^16 + (f - 2^16)

// The transform's factors as the signed 16-bit multipliers take them: those of 2^15 and more
// less 2^16 (their 2^16 part is added after the rounding shift), the others whole.
inline constexpr std::int32_t kIdctWordC4 = kIdctCos4 - kIdctWrap;
inline constexpr std::int32_t kIdctWordC2 = kIdctCos2 - kIdctWrap;
inline constexpr std::int32_t kIdctWordC1 = kIdctCos1 - kIdctWrap;
inline constexpr std::int32_t kIdctWordC3 = kIdctCos3 - kIdctWrap;
inline constexpr std::int32_t kIdctWordS3 = kIdctSin3 - kIdctWrap;
inline constexpr std::int32_t kIdctWordS1 = kIdctSin1;
inline constexpr std::int32_t kIdctWordS2 = kIdctSin2;
static_assert(kIdctWordS1 < 32768 && kIdctWordS2 < 32768, "factors below 2^15 are used whole");

// A multiplier pair for pmaddwd as one 32-bit lane: `first` for the low half of each lane.
[[gnu::always_inline]] inline constexpr std::int32_t IdctFactorPair(std::int32_t first,
                                                                    std::int32_t second) {
  return static_cast<std::int32_t>(
      static_cast<std::uint32_t>(static_cast<std::uint16_t>(first)) |
      (static_cast<std::uint32_t>(static_cast<std::uint16_t>(second)) << 16));
}

// x[0..7] in, y[0..7] out, each of the eight 16-bit lanes one transform: y_k exactly as
// InverseDct1d gives out[k * 8] for that lane's inputs.
template <class Ops>
[[gnu::always_inline]] inline void InverseDct1dWords(const __m128i* x, __m128i* y) {
  using Wide = typename Ops::Wide;

  // The 2^16 parts of the even sums, in 16-bit lanes: a0 = (x0 + x4) c4, a1 = (x0 - x4) c4,
  // a2 = x2 c2 + x6 s2, a3 = x2 s2 - x6 c2.
  const __m128i sum04 = _mm_add_epi16(x[0], x[4]);
  const __m128i diff04 = _mm_sub_epi16(x[0], x[4]);
  const __m128i wrapE0 = _mm_add_epi16(sum04, x[2]);   // a0 + a2
  const __m128i wrapE3 = _mm_sub_epi16(sum04, x[2]);   // a0 - a2
  const __m128i wrapE1 = _mm_sub_epi16(diff04, x[6]);  // a1 + a3
  const __m128i wrapE2 = _mm_add_epi16(diff04, x[6]);  // a1 - a3

  // p = Descale((x3 + x5) c4), q = Descale((x3 - x5) c4), whole, in 16-bit lanes.
  const Wide pair35 = Ops::Pairs(x[3], x[5]);
  __m128i p;
  __m128i q;
  Ops::High(Ops::AddHalf(Ops::Madd(pair35, kIdctWordC4, kIdctWordC4)),
            Ops::AddHalf(Ops::Madd(pair35, kIdctWordC4, -kIdctWordC4)), &p, &q);
  p = _mm_add_epi16(p, _mm_add_epi16(x[3], x[5]));
  q = _mm_add_epi16(q, _mm_sub_epi16(x[3], x[5]));

  // The 2^16 parts of the odd sums, with b0 = x1 + p, b1 = x1 - p, b2 = x7 + q, b3 = x7 - q:
  // o0 = b0 c1 + b2 s1, o1 = b1 c3 - b3 s3, o2 = b3 c3 + b1 s3, o3 = b0 s1 - b2 c1.
  const __m128i b1 = _mm_sub_epi16(x[1], p);
  const __m128i b3 = _mm_sub_epi16(x[7], q);
  const __m128i wrapO0 = _mm_add_epi16(x[1], p);
  const __m128i wrapO1 = _mm_sub_epi16(b1, b3);
  const __m128i wrapO2 = _mm_add_epi16(b1, b3);
  const __m128i wrapO3 = _mm_sub_epi16(_mm_setzero_si128(), _mm_add_epi16(x[7], q));

  // The rest of each output's sum, rounded.
  const Wide pair04 = Ops::Pairs(x[0], x[4]);
  const Wide pair26 = Ops::Pairs(x[2], x[6]);
  const Wide a0 = Ops::AddHalf(Ops::Madd(pair04, kIdctWordC4, kIdctWordC4));
  const Wide a1 = Ops::AddHalf(Ops::Madd(pair04, kIdctWordC4, -kIdctWordC4));
  const Wide a2 = Ops::Madd(pair26, kIdctWordC2, kIdctWordS2);
  const Wide a3 = Ops::Madd(pair26, kIdctWordS2, -kIdctWordC2);
  const Wide e0 = Ops::Add(a0, a2);
  const Wide e1 = Ops::Add(a1, a3);
  const Wide e2 = Ops::Sub(a1, a3);
  const Wide e3 = Ops::Sub(a0, a2);
  const Wide pair1p = Ops::Pairs(x[1], p);
  const Wide pair7q = Ops::Pairs(x[7], q);
  const Wide o0 = Ops::Add(Ops::Madd(pair1p, kIdctWordC1, kIdctWordC1),
                           Ops::Madd(pair7q, kIdctWordS1, kIdctWordS1));
  const Wide o1 = Ops::Add(Ops::Madd(pair1p, kIdctWordC3, -kIdctWordC3),
                           Ops::Madd(pair7q, -kIdctWordS3, kIdctWordS3));
  const Wide o2 = Ops::Add(Ops::Madd(pair1p, kIdctWordS3, -kIdctWordS3),
                           Ops::Madd(pair7q, kIdctWordC3, -kIdctWordC3));
  const Wide o3 = Ops::Add(Ops::Madd(pair1p, kIdctWordS1, kIdctWordS1),
                           Ops::Madd(pair7q, -kIdctWordC1, -kIdctWordC1));
  __m128i rest[8];
  Ops::High(Ops::Add(e0, o0), Ops::Sub(e0, o0), &rest[0], &rest[7]);
  Ops::High(Ops::Add(e1, o1), Ops::Sub(e1, o1), &rest[1], &rest[6]);
  Ops::High(Ops::Add(e2, o2), Ops::Sub(e2, o2), &rest[2], &rest[5]);
  Ops::High(Ops::Add(e3, o3), Ops::Sub(e3, o3), &rest[3], &rest[4]);
  y[0] = _mm_add_epi16(rest[0], _mm_add_epi16(wrapE0, wrapO0));
  y[1] = _mm_add_epi16(rest[1], _mm_add_epi16(wrapE1, wrapO1));
  y[2] = _mm_add_epi16(rest[2], _mm_add_epi16(wrapE2, wrapO2));
  y[3] = _mm_add_epi16(rest[3], _mm_add_epi16(wrapE3, wrapO3));
  y[4] = _mm_add_epi16(rest[4], _mm_sub_epi16(wrapE3, wrapO3));
  y[5] = _mm_add_epi16(rest[5], _mm_sub_epi16(wrapE2, wrapO2));
  y[6] = _mm_add_epi16(rest[6], _mm_sub_epi16(wrapE1, wrapO1));
  y[7] = _mm_add_epi16(rest[7], _mm_sub_epi16(wrapE0, wrapO0));
}

// The 16-bit parts of p's factors in o0..o3 when x5 = x7 = 0, so that p = q and each odd sum is
// x1 times one factor plus p times another (see InverseDct1dWordsTop4): c1 + s1, s3 - c3, and
// -(c3 + s3), which is 2^16 less than -2^16 + this part, and s1 - c1.
inline constexpr std::int32_t kIdctTop4P0 = (kIdctCos1 - kIdctWrap) + kIdctSin1;
inline constexpr std::int32_t kIdctTop4P1 = (kIdctSin3 - kIdctWrap) - (kIdctCos3 - kIdctWrap);
inline constexpr std::int32_t kIdctTop4P2 =
    -((kIdctCos3 - kIdctWrap) + (kIdctSin3 - kIdctWrap)) - kIdctWrap;
inline constexpr std::int32_t kIdctTop4P3 = kIdctSin1 - (kIdctCos1 - kIdctWrap);
static_assert(kIdctTop4P0 >= -32768 && kIdctTop4P0 < 32768 && kIdctTop4P1 >= -32768 &&
                  kIdctTop4P1 < 32768 && kIdctTop4P2 >= -32768 && kIdctTop4P2 < 32768 &&
                  kIdctTop4P3 >= -32768 && kIdctTop4P3 < 32768,
              "the combined factors are 16-bit");

// InverseDct1dWords for inputs whose x4..x7 are all zero, as in both passes of a block whose
// coefficients all lie in its top-left 4x4 corner (the pass over rows then leaves rows 4..7
// zero, which are the second pass's x4..x7). With x5 = 0 the rotation gives p = q, and with the
// whole factors the sums reduce to pairs (x0, x2) and (x1, p):
//   e0 = x0 c4 + x2 c2, e1 = x0 c4 + x2 s2, e2 = x0 c4 - x2 s2, e3 = x0 c4 - x2 c2,
//   o0 = x1 c1 + p (c1 + s1), o1 = x1 c3 + p (s3 - c3), o2 = x1 s3 - p (c3 + s3),
//   o3 = x1 s1 + p (s1 - c1).
// Each factor splits as 2^16 times a whole part plus a 16-bit part (kIdctTop4P* for p's), and
// the 2^16 parts come to x0 + x2, x0, x0, x0 - x2 and x1 + p, x1, x1 - p, -p. x[0..3] in,
// y[0..7] out, as InverseDct1dWords gives them for zero x[4..7].
template <class Ops>
[[gnu::always_inline]] inline void InverseDct1dWordsTop4(const __m128i* x, __m128i* y) {
  using Wide = typename Ops::Wide;
  const __m128i zero = _mm_setzero_si128();

  // p = Descale(x3 c4), whole.
  const Wide x3Rest = Ops::AddHalf(Ops::Madd(Ops::Pairs(x[3], zero), kIdctWordC4, 0));
  __m128i p;
  __m128i same;
  Ops::High(x3Rest, x3Rest, &p, &same);
  p = _mm_add_epi16(p, x[3]);

  const Wide pair02 = Ops::Pairs(x[0], x[2]);
  const Wide pair1p = Ops::Pairs(x[1], p);
  const Wide e0 = Ops::AddHalf(Ops::Madd(pair02, kIdctWordC4, kIdctWordC2));
  const Wide e1 = Ops::AddHalf(Ops::Madd(pair02, kIdctWordC4, kIdctWordS2));
  const Wide e2 = Ops::AddHalf(Ops::Madd(pair02, kIdctWordC4, -kIdctWordS2));
  const Wide e3 = Ops::AddHalf(Ops::Madd(pair02, kIdctWordC4, -kIdctWordC2));
  const Wide o0 = Ops::Madd(pair1p, kIdctWordC1, kIdctTop4P0);
  const Wide o1 = Ops::Madd(pair1p, kIdctWordC3, kIdctTop4P1);
  const Wide o2 = Ops::Madd(pair1p, kIdctWordS3, kIdctTop4P2);
  const Wide o3 = Ops::Madd(pair1p, kIdctWordS1, kIdctTop4P3);
  __m128i rest[8];
  Ops::High(Ops::Add(e0, o0), Ops::Sub(e0, o0), &rest[0], &rest[7]);
  Ops::High(Ops::Add(e1, o1), Ops::Sub(e1, o1), &rest[1], &rest[6]);
  Ops::High(Ops::Add(e2, o2), Ops::Sub(e2, o2), &rest[2], &rest[5]);
  Ops::High(Ops::Add(e3, o3), Ops::Sub(e3, o3), &rest[3], &rest[4]);

  const __m128i wrapE0 = _mm_add_epi16(x[0], x[2]);
  const __m128i wrapE3 = _mm_sub_epi16(x[0], x[2]);
  const __m128i wrapO0 = _mm_add_epi16(x[1], p);
  const __m128i wrapO2 = _mm_sub_epi16(x[1], p);
  y[0] = _mm_add_epi16(rest[0], _mm_add_epi16(wrapE0, wrapO0));
  y[1] = _mm_add_epi16(rest[1], _mm_add_epi16(x[0], x[1]));
  y[2] = _mm_add_epi16(rest[2], _mm_add_epi16(x[0], wrapO2));
  y[3] = _mm_add_epi16(rest[3], _mm_sub_epi16(wrapE3, p));
  y[4] = _mm_add_epi16(rest[4], _mm_add_epi16(wrapE3, p));
  y[5] = _mm_add_epi16(rest[5], _mm_sub_epi16(x[0], wrapO2));
  y[6] = _mm_add_epi16(rest[6], _mm_sub_epi16(x[0], x[1]));
  y[7] = _mm_add_epi16(rest[7], _mm_sub_epi16(wrapE0, wrapO0));
}

// The 8x8 transpose of 16-bit lanes: out[j] lane k = in[k] lane j.
template <class Ops>
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
template <class Ops>
[[gnu::always_inline]] inline void InverseDctWords(const std::int16_t* cols, __m128i* rows) {
  __m128i x[8];
  __m128i y[8];
#pragma GCC unroll 8
  for (int u = 0; u < 8; ++u) {
    x[u] = _mm_loadu_si128(reinterpret_cast<const __m128i*>(cols + 8 * u));
  }
  InverseDct1dWords<Ops>(x, y);
  TransposeWords<Ops>(y, x);
  InverseDct1dWords<Ops>(x, y);
  const __m128i level = _mm_set1_epi16(kIdctLevelShift);
#pragma GCC unroll 8
  for (int k = 0; k < 8; ++k) {
    rows[k] = _mm_add_epi16(_mm_srai_epi16(y[k], kIdctOutputShift), level);
  }
}

}  // namespace jpegdec
