// AVX2 block reconstruction: dequantisation, the flat-block shortcut and the inverse DCT in
// 16-bit lanes, two 8-lane vectors per register. Compiled with -mavx2 and called only after the
// processor was found to support AVX2 (cpu_dispatch.h). Bit for bit the plain routines of
// reconstruct.cpp (see reconstruct_fast.h).
#include <immintrin.h>

#include "decoder/transform/idct_lanes.h"
#include "decoder/transform/idct_words.h"
#include "decoder/transform/reconstruct_fast.h"

namespace jpegdec {

namespace {

constexpr int kSide = 8;

// Ties the shared templates' instantiations to this file (see idct_lanes.h).
struct Avx2Tag {};

// The inverse DCT in 16-bit lanes, as idct_words.h explains it, with two 8-lane vectors in one
// register "by halves": D(a, b) holds a's lanes 0..3 then b's lanes 0..3 in its low 128 bits, a's
// lanes 4..7 then b's lanes 4..7 in its high 128 bits. Lane-wise 16-bit arithmetic then treats
// two vectors at once; _mm256_unpacklo_epi16(D(a, b), D(c, d)) gives the pair (a_k, c_k) in
// 32-bit lane k, the unpackhi the pairs (b_k, d_k); the signed pack of two sets of eight 32-bit
// lanes w and v gives D(w, v); and every step stays within a 128-bit half but the transpose.

// D(a.first, b.first) and D(a.second, b.second) of D-form registers a and b.
inline __m256i Firsts(__m256i a, __m256i b) { return _mm256_unpacklo_epi64(a, b); }
inline __m256i Seconds(__m256i a, __m256i b) { return _mm256_unpackhi_epi64(a, b); }

// D(a, b) of a register holding the vector a in its low 128 bits and b in its high ones.
inline __m256i ByHalves(__m256i whole) { return _mm256_permute4x64_epi64(whole, 0xD8); }

inline __m256i Madd(__m256i pairs, std::int32_t first, std::int32_t second) {
  return _mm256_madd_epi16(pairs, _mm256_set1_epi32(IdctFactorPair(first, second)));
}
inline __m256i AddHalf(__m256i v) { return _mm256_add_epi32(v, _mm256_set1_epi32(kIdctHalf)); }

// D(high halves of w, high halves of v) of two sets of eight 32-bit sums, one half already added:
// the arithmetic shift leaves values in the signed 16-bit range, which the pack keeps.
inline __m256i RoundedHigh(__m256i w, __m256i v) {
  return _mm256_packs_epi32(_mm256_srai_epi32(w, kIdctFractionBits),
                            _mm256_srai_epi32(v, kIdctFractionBits));
}

// The four 32-bit sums of one side of the butterfly (even e0..e3 or odd o0..o3), by halves.
struct Sums {
  __m256i s0, s1, s2, s3;
};

// The last step of both first-pass forms: out[0..3] = D(y0, y1), D(y3, y2), D(y7, y6),
// D(y4, y5) from the even sums e and the odd sums o (y_k = e_k + o_k, y_(7-k) = e_k - o_k), each
// rounded to its high 16 bits, plus the 2^16 parts the factors leave out (wrap...).
[[gnu::always_inline]] inline void CombineHalves(const Sums& e, const Sums& o, __m256i wrapE01,
                                                 __m256i wrapE32, __m256i wrapO01, __m256i wrapO32,
                                                 __m256i* out) {
  out[0] = _mm256_add_epi16(RoundedHigh(_mm256_add_epi32(e.s0, o.s0), _mm256_add_epi32(e.s1, o.s1)),
                            _mm256_add_epi16(wrapE01, wrapO01));
  out[1] = _mm256_add_epi16(RoundedHigh(_mm256_add_epi32(e.s3, o.s3), _mm256_add_epi32(e.s2, o.s2)),
                            _mm256_add_epi16(wrapE32, wrapO32));
  out[2] = _mm256_add_epi16(RoundedHigh(_mm256_sub_epi32(e.s0, o.s0), _mm256_sub_epi32(e.s1, o.s1)),
                            _mm256_sub_epi16(wrapE01, wrapO01));
  out[3] = _mm256_add_epi16(RoundedHigh(_mm256_sub_epi32(e.s3, o.s3), _mm256_sub_epi32(e.s2, o.s2)),
                            _mm256_sub_epi16(wrapE32, wrapO32));
}

// One pass, InverseDct1dWords of idct_words.h with the 16-bit values by halves: in[0..3] =
// D(x0, x2), D(x1, x3), D(x4, x6), D(x7, x5); out[0..3] = D(y0, y1), D(y3, y2), D(y7, y6),
// D(y4, y5).
[[gnu::always_inline]] inline void InverseDct1dHalves(const __m256i* in, __m256i* out) {
  const __m256i x02 = in[0];
  const __m256i x13 = in[1];
  const __m256i x46 = in[2];
  const __m256i x75 = in[3];
  const __m256i zero = _mm256_setzero_si256();
  // D(+1, -1) and D(-1, +1), for _mm256_sign_epi16.
  const __m256i plusMinus =
      _mm256_setr_epi16(1, 1, 1, 1, -1, -1, -1, -1, 1, 1, 1, 1, -1, -1, -1, -1);
  const __m256i minusPlus = _mm256_sub_epi16(zero, plusMinus);

  // The 2^16 parts of the even sums: D(a0 + a2, a1 + a3) and D(a0 - a2, a1 - a3).
  const __m256i sumDiff04 = _mm256_add_epi16(
      Firsts(x02, x02), _mm256_sign_epi16(Firsts(x46, x46), plusMinus));  // D(x0 + x4, x0 - x4)
  const __m256i x2x6 = _mm256_sign_epi16(Seconds(x02, x46), plusMinus);   // D(x2, -x6)
  const __m256i wrapE01 = _mm256_add_epi16(sumDiff04, x2x6);
  const __m256i wrapE32 = _mm256_sub_epi16(sumDiff04, x2x6);

  // D(p, q), whole.
  const __m256i pair35 = _mm256_unpackhi_epi16(x13, x75);
  const __m256i sumDiff35 = _mm256_add_epi16(
      Seconds(x13, x13), _mm256_sign_epi16(Seconds(x75, x75), plusMinus));  // D(x3 + x5, x3 - x5)
  const __m256i pq = _mm256_add_epi16(RoundedHigh(AddHalf(Madd(pair35, kIdctWordC4, kIdctWordC4)),
                                                  AddHalf(Madd(pair35, kIdctWordC4, -kIdctWordC4))),
                                      sumDiff35);

  // The 2^16 parts of the odd sums: D(o0, o1) and D(o3, o2), from D(b0, b2) and D(b1, b3).
  const __m256i x17 = Firsts(x13, x75);
  const __m256i b02 = _mm256_add_epi16(x17, pq);
  const __m256i b13 = _mm256_sub_epi16(x17, pq);
  const __m256i wrapO01 = _mm256_sub_epi16(Firsts(b02, b13), Seconds(zero, b13));  // D(b0, b1 - b3)
  const __m256i wrapO32 = _mm256_add_epi16(
      Firsts(zero, b13), _mm256_sign_epi16(Seconds(b02, b13), minusPlus));  // D(-b2, b1 + b3)

  // The rest of each output's sum.
  const __m256i pair04 = _mm256_unpacklo_epi16(x02, x46);
  const __m256i pair26 = _mm256_unpackhi_epi16(x02, x46);
  const __m256i a0 = AddHalf(Madd(pair04, kIdctWordC4, kIdctWordC4));
  const __m256i a1 = AddHalf(Madd(pair04, kIdctWordC4, -kIdctWordC4));
  const __m256i a2 = Madd(pair26, kIdctWordC2, kIdctWordS2);
  const __m256i a3 = Madd(pair26, kIdctWordS2, -kIdctWordC2);
  const __m256i e0 = _mm256_add_epi32(a0, a2);
  const __m256i e1 = _mm256_add_epi32(a1, a3);
  const __m256i e2 = _mm256_sub_epi32(a1, a3);
  const __m256i e3 = _mm256_sub_epi32(a0, a2);
  const __m256i pair1p = _mm256_unpacklo_epi16(x17, pq);
  const __m256i pair7q = _mm256_unpackhi_epi16(x17, pq);
  const __m256i o0 = _mm256_add_epi32(Madd(pair1p, kIdctWordC1, kIdctWordC1),
                                      Madd(pair7q, kIdctWordS1, kIdctWordS1));
  const __m256i o1 = _mm256_add_epi32(Madd(pair1p, kIdctWordC3, -kIdctWordC3),
                                      Madd(pair7q, -kIdctWordS3, kIdctWordS3));
  const __m256i o2 = _mm256_add_epi32(Madd(pair1p, kIdctWordS3, -kIdctWordS3),
                                      Madd(pair7q, kIdctWordC3, -kIdctWordC3));
  const __m256i o3 = _mm256_add_epi32(Madd(pair1p, kIdctWordS1, kIdctWordS1),
                                      Madd(pair7q, -kIdctWordC1, -kIdctWordC1));
  CombineHalves(Sums{e0, e1, e2, e3}, Sums{o0, o1, o2, o3}, wrapE01, wrapE32, wrapO01, wrapO32,
                out);
}

// InverseDct1dHalves for inputs whose x4..x7 are all zero: the sums of InverseDct1dWordsTop4
// (idct_words.h), each a single pmaddwd of the pairs (x0, x2) or (x1, p) plus its 2^16 part.
// in[0..1] = D(x0, x2), D(x1, x3); out[0..3] as InverseDct1dHalves gives them.
[[gnu::always_inline]] inline void InverseDct1dHalvesTop4(const __m256i* in, __m256i* out) {
  const __m256i x02 = in[0];
  const __m256i x13 = in[1];
  const __m256i zero = _mm256_setzero_si256();

  // p = Descale(x3 c4), whole, as D(p, p).
  const __m256i x3Rest = AddHalf(Madd(_mm256_unpackhi_epi16(x13, zero), kIdctWordC4, 0));
  const __m256i x3Rounded = _mm256_srai_epi32(x3Rest, kIdctFractionBits);
  const __m256i pp =
      _mm256_add_epi16(_mm256_packs_epi32(x3Rounded, x3Rounded), _mm256_unpackhi_epi64(x13, x13));

  const __m256i pair02 = _mm256_unpacklo_epi16(x02, _mm256_shuffle_epi32(x02, 0x4E));
  const __m256i pair1p = _mm256_unpacklo_epi16(x13, pp);
  const __m256i e0 = AddHalf(Madd(pair02, kIdctWordC4, kIdctWordC2));
  const __m256i e1 = AddHalf(Madd(pair02, kIdctWordC4, kIdctWordS2));
  const __m256i e2 = AddHalf(Madd(pair02, kIdctWordC4, -kIdctWordS2));
  const __m256i e3 = AddHalf(Madd(pair02, kIdctWordC4, -kIdctWordC2));
  const __m256i o0 = Madd(pair1p, kIdctWordC1, kIdctTop4P0);
  const __m256i o1 = Madd(pair1p, kIdctWordC3, kIdctTop4P1);
  const __m256i o2 = Madd(pair1p, kIdctWordS3, kIdctTop4P2);
  const __m256i o3 = Madd(pair1p, kIdctWordS1, kIdctTop4P3);

  // The 2^16 parts: D(x0 + x2, x0) and D(x0 - x2, x0) for the even sums, D(x1 + p, x1) and
  // D(-p, x1 - p) for the odd ones.
  const __m256i x0x0 = _mm256_unpacklo_epi64(x02, x02);
  const __m256i x2Only = _mm256_unpackhi_epi64(x02, zero);
  const __m256i wrapE01 = _mm256_add_epi16(x0x0, x2Only);
  const __m256i wrapE32 = _mm256_sub_epi16(x0x0, x2Only);
  const __m256i wrapO01 =
      _mm256_add_epi16(_mm256_unpacklo_epi64(x13, x13), _mm256_unpacklo_epi64(pp, zero));
  const __m256i wrapO32 = _mm256_sub_epi16(_mm256_unpacklo_epi64(zero, x13), pp);

  CombineHalves(Sums{e0, e1, e2, e3}, Sums{o0, o1, o2, o3}, wrapE01, wrapE32, wrapO01, wrapO32,
                out);
}

// The second pass's inputs from the first pass's outputs (see InverseDct1dHalves), whose lane r
// belongs to block row r: the transpose, whose lane k then belongs to block column k.
[[gnu::always_inline]] inline void TransposeHalves(const __m256i* y, __m256i* x) {
  const __m256i y04 = Firsts(y[0], y[3]);
  const __m256i y15 = Seconds(y[0], y[3]);
  const __m256i y26 = Seconds(y[1], y[2]);
  const __m256i y37 = Firsts(y[1], y[2]);
  // Within each 128-bit half (rows 0..3 below, 4..7 above): lanes interleaved by 2, 4, then 8.
  const __m256i u01 = _mm256_unpacklo_epi16(y04, y15);
  const __m256i u45 = _mm256_unpackhi_epi16(y04, y15);
  const __m256i u23 = _mm256_unpacklo_epi16(y26, y37);
  const __m256i u67 = _mm256_unpackhi_epi16(y26, y37);
  const __m256i v0123a = _mm256_unpacklo_epi32(u01, u23);
  const __m256i v0123b = _mm256_unpackhi_epi32(u01, u23);
  const __m256i v4567a = _mm256_unpacklo_epi32(u45, u67);
  const __m256i v4567b = _mm256_unpackhi_epi32(u45, u67);
  const __m256i x04 = ByHalves(Firsts(v0123a, v4567a));
  const __m256i x15 = ByHalves(Seconds(v0123a, v4567a));
  const __m256i x26 = ByHalves(Firsts(v0123b, v4567b));
  const __m256i x37 = ByHalves(Seconds(v0123b, v4567b));
  x[0] = Firsts(x04, x26);
  x[1] = Firsts(x15, x37);
  x[2] = Seconds(x04, x26);
  x[3] = Seconds(x37, x15);
}

// Whether every coefficient outside the block's top-left 4x4 corner is zero, of a block loaded
// as four registers of 16 coefficients (columns 2k and 2k + 1, rows 0..7 each, in loaded[k]).
[[gnu::always_inline]] inline bool InTopLeftCorner(const __m256i* loaded) {
  const __m256i lowerRows =
      _mm256_setr_epi16(0, 0, 0, 0, -1, -1, -1, -1, 0, 0, 0, 0, -1, -1, -1, -1);
  const __m256i outside =
      _mm256_or_si256(_mm256_and_si256(_mm256_or_si256(loaded[0], loaded[1]), lowerRows),
                      _mm256_or_si256(loaded[2], loaded[3]));
  return _mm256_testz_si256(outside, outside) != 0;
}

// The inverse DCT of a block given column by column (cols[8u + r] = coefficient of row r,
// column u): the first pass holds one row per lane, the second, after the transpose, one column.
// The 16-bit samples (unclamped, +128, as the plain code stores them) of rows (0, 1), (3, 2),
// (7, 6) and (4, 5), by halves, in samples[0..3]. A block whose coefficients all lie in the
// top-left 4x4 corner, as most blocks of smooth photographs do, takes the passes for zero x4..x7.
[[gnu::always_inline]] inline void TransformBlock(const std::int16_t* cols, __m256i* samples) {
  __m256i loaded[4];
#pragma GCC unroll 4
  for (int k = 0; k < 4; ++k) {
    loaded[k] = _mm256_loadu_si256(reinterpret_cast<const __m256i*>(cols + 16 * k));
  }
  __m256i x[4];
  __m256i y[4];
  if (InTopLeftCorner(loaded)) {
    const __m256i whole0 = ByHalves(loaded[0]);
    const __m256i whole1 = ByHalves(loaded[1]);
    x[0] = Firsts(whole0, whole1);
    x[1] = Seconds(whole0, whole1);
    InverseDct1dHalvesTop4(x, y);
    TransposeHalves(y, x);  // x[2] and x[3], rows 4..7 of the first pass, are zero
    InverseDct1dHalvesTop4(x, y);
  } else {
    __m256i whole[4];
#pragma GCC unroll 4
    for (int k = 0; k < 4; ++k) {
      whole[k] = ByHalves(loaded[k]);
    }
    x[0] = Firsts(whole[0], whole[1]);
    x[1] = Seconds(whole[0], whole[1]);
    x[2] = Firsts(whole[2], whole[3]);
    x[3] = Seconds(whole[3], whole[2]);
    InverseDct1dHalves(x, y);
    TransposeHalves(y, x);
    InverseDct1dHalves(x, y);
  }
  const __m256i level = _mm256_set1_epi16(kIdctLevelShift);
#pragma GCC unroll 4
  for (int k = 0; k < 4; ++k) {
    samples[k] = _mm256_add_epi16(_mm256_srai_epi16(y[k], kIdctOutputShift), level);
  }
}

void InverseDctColumns(const std::int16_t* cols, std::int16_t* out) {
  __m256i samples[4];
  TransformBlock(cols, samples);
  // Rows (0, 1) and (4, 5) are in order by halves; (3, 2) and (7, 6) swapped.
  constexpr int kInOrder = 0xD8;
  constexpr int kSwapped = 0x8D;
  auto* rows = reinterpret_cast<__m256i*>(out);
  _mm256_storeu_si256(rows, _mm256_permute4x64_epi64(samples[0], kInOrder));
  _mm256_storeu_si256(rows + 1, _mm256_permute4x64_epi64(samples[1], kSwapped));
  _mm256_storeu_si256(rows + 2, _mm256_permute4x64_epi64(samples[3], kInOrder));
  _mm256_storeu_si256(rows + 3, _mm256_permute4x64_epi64(samples[2], kSwapped));
}

inline void ClearColumns(std::int16_t* columns) {
  constexpr int kPerVector = static_cast<int>(sizeof(__m256i) / sizeof(columns[0]));
#pragma GCC unroll 8
  for (int i = 0; i < kBlockSize; i += kPerVector) {
    _mm256_storeu_si256(reinterpret_cast<__m256i*>(columns + i), _mm256_setzero_si256());
  }
}

}  // namespace

void InverseDct8x8Avx2(std::int16_t* block) {
  alignas(32) std::int16_t cols[kBlockSize];
  for (int u = 0; u < kSide; ++u) {
    for (int r = 0; r < kSide; ++r) {
      cols[kSide * u + r] = block[kSide * r + u];
    }
  }
  InverseDctColumns(cols, block);
}

void ReconstructBlockAvx2(DecoderContext* context) {
  DecoderContext* c = context;
  const std::uint8_t* q = c->quantTables[c->comp[c->curComp].quantTable].values;
  alignas(32) std::int16_t t[kBlockSize];
  constexpr int kPerVector = 16;
  // Every lane but the DC's.
  const __m256i notDc =
      _mm256_set_epi16(-1, -1, -1, -1, -1, -1, -1, -1, -1, -1, -1, -1, -1, -1, -1, 0);
  __m256i ac = _mm256_setzero_si256();
  for (int i = 0; i < kBlockSize / kPerVector; ++i) {
    const __m256i coef =
        _mm256_loadu_si256(reinterpret_cast<const __m256i*>(c->block + kPerVector * i));
    const __m256i factor =
        _mm256_cvtepu8_epi16(_mm_loadu_si128(reinterpret_cast<const __m128i*>(q + kPerVector * i)));
    // The low 16 bits of the product: the plain code's truncated 16-bit product.
    const __m256i product = _mm256_mullo_epi16(coef, factor);
    _mm256_store_si256(reinterpret_cast<__m256i*>(t + kPerVector * i), product);
    ac = _mm256_or_si256(ac, i == 0 ? _mm256_and_si256(product, notDc) : product);
  }
  if (_mm256_testz_si256(ac, ac) != 0) {
    c->block[0] = FlatBlockSample(t[0]);
    c->blockIsFlat = 1;
    return;
  }
  c->blockIsFlat = 0;
  alignas(32) std::int16_t cols[kBlockSize];
  for (int i = 0; i < kBlockSize; ++i) {
    cols[i] = t[kZigZagByColumn[static_cast<std::size_t>(i)]];
  }
  InverseDctColumns(cols, c->block);
}

bool DequantiseToColumnsAvx2(const DecoderContext* context, std::int16_t* columns) {
  const DecoderContext* c = context;
  const std::uint8_t* q = c->quantTables[c->comp[c->curComp].quantTable].values;
  alignas(32) std::int16_t t[kBlockSize];
  constexpr int kPerVector = 16;
  constexpr int kPerHalf = 2 * kPerVector;
  std::uint32_t nonzero[2];
  for (int h = 0; h < 2; ++h) {
    __m256i zeroLanes[2];
    for (int i = 0; i < 2; ++i) {
      const int at = kPerHalf * h + kPerVector * i;
      const __m256i coef = _mm256_loadu_si256(reinterpret_cast<const __m256i*>(c->block + at));
      const __m256i factor =
          _mm256_cvtepu8_epi16(_mm_loadu_si128(reinterpret_cast<const __m128i*>(q + at)));
      // The low 16 bits of the product: the plain code's truncated 16-bit product.
      const __m256i product = _mm256_mullo_epi16(coef, factor);
      _mm256_store_si256(reinterpret_cast<__m256i*>(t + at), product);
      zeroLanes[i] = _mm256_cmpeq_epi16(product, _mm256_setzero_si256());
    }
    // The pack works within 128-bit halves; the permute puts the 32 bytes back in order.
    const __m256i bytes =
        _mm256_permute4x64_epi64(_mm256_packs_epi16(zeroLanes[0], zeroLanes[1]), 0xD8);
    nonzero[h] = ~static_cast<std::uint32_t>(_mm256_movemask_epi8(bytes));
  }
  ClearColumns(columns);
  ScatterToColumns(t, nonzero[0], 0, columns);
  ScatterToColumns(t, nonzero[1], kPerHalf, columns);
  return ((nonzero[0] & ~1u) | nonzero[1]) != 0;
}

void TransformColumnsAvx2(std::int16_t* columns, std::int16_t* out) {
  InverseDctColumns(columns, out);
  ClearColumns(columns);
}

void TransformToBandAvx2(std::int16_t* columns, std::uint8_t* origin, std::size_t line, int repeatX,
                         int repeatY) {
  __m256i samples[4];
  TransformBlock(columns, samples);
  ClearColumns(columns);
  // Clamped to 0..255 as ClampSample does. The pack of rows (0, 1) and (3, 2) by halves leaves
  // 4-byte groups 0lo 1lo 3lo 2lo | 0hi 1hi 3hi 2hi; the permute puts rows 0..3 in order (and so
  // for rows 4..7).
  const __m256i order = _mm256_setr_epi32(0, 4, 1, 5, 3, 7, 2, 6);
  const __m256i rows0123 =
      _mm256_permutevar8x32_epi32(_mm256_packus_epi16(samples[0], samples[1]), order);
  const __m256i rows4567 =
      _mm256_permutevar8x32_epi32(_mm256_packus_epi16(samples[3], samples[2]), order);
  const __m128i pairs[kSide / 2] = {
      _mm256_castsi256_si128(rows0123), _mm256_extracti128_si256(rows0123, 1),
      _mm256_castsi256_si128(rows4567), _mm256_extracti128_si256(rows4567, 1)};
  StoreBlockRows<Avx2Tag>(pairs, origin, line, repeatX, repeatY);
}

}  // namespace jpegdec
