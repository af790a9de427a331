// SSE2 block reconstruction: dequantisation, the flat-block shortcut, the inverse DCT in 16-bit
// lanes (idct_words.h) and the store with replication (idct_lanes.h). Bit for bit the plain
// routines of reconstruct.cpp (see reconstruct_fast.h).
#include <emmintrin.h>

#include <cstring>

#include "decoder/transform/idct_lanes.h"
#include "decoder/transform/idct_words.h"
#include "decoder/transform/reconstruct_fast.h"

namespace jpegdec {

namespace {

constexpr int kSide = 8;

// The 32-bit side of the 16-bit-lane transform (idct_words.h): eight lanes in two registers.
struct Sse2Ops {
  struct Wide {
    __m128i low;   // lanes 0..3
    __m128i high;  // lanes 4..7
  };
  static Wide Pairs(__m128i a, __m128i b) {
    return {_mm_unpacklo_epi16(a, b), _mm_unpackhi_epi16(a, b)};
  }
  static Wide Madd(Wide w, std::int32_t first, std::int32_t second) {
    const __m128i f = _mm_set1_epi32(IdctFactorPair(first, second));
    return {_mm_madd_epi16(w.low, f), _mm_madd_epi16(w.high, f)};
  }
  static Wide Add(Wide w, Wide v) {
    return {_mm_add_epi32(w.low, v.low), _mm_add_epi32(w.high, v.high)};
  }
  static Wide Sub(Wide w, Wide v) {
    return {_mm_sub_epi32(w.low, v.low), _mm_sub_epi32(w.high, v.high)};
  }
  static Wide AddHalf(Wide w) {
    const __m128i half = _mm_set1_epi32(kIdctHalf);
    return {_mm_add_epi32(w.low, half), _mm_add_epi32(w.high, half)};
  }
  // The arithmetic shift leaves values in the signed 16-bit range, which the pack keeps.
  static void High(Wide w, Wide v, __m128i* a, __m128i* b) {
    *a = _mm_packs_epi32(_mm_srai_epi32(w.low, kIdctFractionBits),
                         _mm_srai_epi32(w.high, kIdctFractionBits));
    *b = _mm_packs_epi32(_mm_srai_epi32(v.low, kIdctFractionBits),
                         _mm_srai_epi32(v.high, kIdctFractionBits));
  }
};

// The same for a first pass whose lanes 4..7 all hold zeros (rows 4..7 of a block whose
// coefficients lie in its top-left 4x4 corner): only lanes 0..3 are summed, in one register, and
// lanes 4..7 of the results are zero, as the whole sums would give.
struct Sse2LowOps {
  using Wide = __m128i;  // lanes 0..3
  static Wide Pairs(__m128i a, __m128i b) { return _mm_unpacklo_epi16(a, b); }
  static Wide Madd(Wide w, std::int32_t first, std::int32_t second) {
    return _mm_madd_epi16(w, _mm_set1_epi32(IdctFactorPair(first, second)));
  }
  static Wide Add(Wide w, Wide v) { return _mm_add_epi32(w, v); }
  static Wide Sub(Wide w, Wide v) { return _mm_sub_epi32(w, v); }
  static Wide AddHalf(Wide w) { return _mm_add_epi32(w, _mm_set1_epi32(kIdctHalf)); }
  static void High(Wide w, Wide v, __m128i* a, __m128i* b) {
    const __m128i zero = _mm_setzero_si128();
    *a = _mm_packs_epi32(_mm_srai_epi32(w, kIdctFractionBits), zero);
    *b = _mm_packs_epi32(_mm_srai_epi32(v, kIdctFractionBits), zero);
  }
};

// Whether every coefficient outside the block's top-left 4x4 corner is zero (x[u]: column u,
// rows 0..7).
[[gnu::always_inline]] inline bool InTopLeftCorner(const __m128i* x) {
  const __m128i lowerRows = _mm_setr_epi16(0, 0, 0, 0, -1, -1, -1, -1);
  const __m128i left = _mm_or_si128(_mm_or_si128(x[0], x[1]), _mm_or_si128(x[2], x[3]));
  const __m128i right = _mm_or_si128(_mm_or_si128(x[4], x[5]), _mm_or_si128(x[6], x[7]));
  const __m128i outside = _mm_or_si128(_mm_and_si128(left, lowerRows), right);
  return _mm_movemask_epi8(_mm_cmpeq_epi8(outside, _mm_setzero_si128())) == 0xFFFF;
}

// The inverse DCT of a block given column by column, in 16-bit lanes: row k of 16-bit samples in
// rows[k]. A block whose coefficients all lie in the top-left 4x4 corner, as most blocks of
// smooth photographs do, takes the passes for zero x4..x7 (idct_words.h), the first over rows
// 0..3 alone.
[[gnu::always_inline]] inline void TransformRows(const std::int16_t* cols, __m128i* rows) {
  __m128i x[kSide];
#pragma GCC unroll 8
  for (int u = 0; u < kSide; ++u) {
    x[u] = _mm_loadu_si128(reinterpret_cast<const __m128i*>(cols + kSide * u));
  }
  if (!InTopLeftCorner(x)) {
    InverseDctWords<Sse2Ops>(cols, rows);
    return;
  }
  __m128i y[kSide];
  InverseDct1dWordsTop4<Sse2LowOps>(x, y);
  TransposeWords<Sse2Ops>(y, x);  // x[4..7], rows 4..7 of the first pass, are zero
  InverseDct1dWordsTop4<Sse2Ops>(x, y);
  const __m128i level = _mm_set1_epi16(kIdctLevelShift);
#pragma GCC unroll 8
  for (int k = 0; k < kSide; ++k) {
    rows[k] = _mm_add_epi16(_mm_srai_epi16(y[k], kIdctOutputShift), level);
  }
}

void InverseDctColumns(const std::int16_t* cols, std::int16_t* out) {
  __m128i rows[kSide];
  TransformRows(cols, rows);
#pragma GCC unroll 8
  for (int k = 0; k < kSide; ++k) {
    _mm_storeu_si128(reinterpret_cast<__m128i*>(out + kSide * k), rows[k]);
  }
}

inline void ClearColumns(std::int16_t* columns) {
  constexpr int kPerVector = static_cast<int>(sizeof(__m128i) / sizeof(columns[0]));
#pragma GCC unroll 8
  for (int i = 0; i < kBlockSize; i += kPerVector) {
    _mm_storeu_si128(reinterpret_cast<__m128i*>(columns + i), _mm_setzero_si128());
  }
}

}  // namespace

void InverseDct8x8Sse2(std::int16_t* block) {
  alignas(16) std::int16_t cols[kBlockSize];
  for (int u = 0; u < kSide; ++u) {
    for (int r = 0; r < kSide; ++r) {
      cols[kSide * u + r] = block[kSide * r + u];
    }
  }
  InverseDctColumns(cols, block);
}

void ReconstructBlockSse2(DecoderContext* context) {
  DecoderContext* c = context;
  const std::uint8_t* q = c->quantTables[c->comp[c->curComp].quantTable].values;
  alignas(16) std::int16_t t[kBlockSize];
  const __m128i zero = _mm_setzero_si128();
  // Every lane but the DC's.
  __m128i ac = zero;
  for (int i = 0; i < kSide; ++i) {
    const __m128i coef = _mm_loadu_si128(reinterpret_cast<const __m128i*>(c->block + kSide * i));
    const __m128i factor =
        _mm_unpacklo_epi8(_mm_loadl_epi64(reinterpret_cast<const __m128i*>(q + kSide * i)), zero);
    // The low 16 bits of the product: the plain code's truncated 16-bit product.
    const __m128i product = _mm_mullo_epi16(coef, factor);
    _mm_store_si128(reinterpret_cast<__m128i*>(t + kSide * i), product);
    ac = _mm_or_si128(ac, i == 0 ? _mm_srli_si128(product, 2) : product);
  }
  if (_mm_movemask_epi8(_mm_cmpeq_epi16(ac, zero)) == 0xFFFF) {
    c->block[0] = FlatBlockSample(t[0]);
    c->blockIsFlat = 1;
    return;
  }
  c->blockIsFlat = 0;
  alignas(16) std::int16_t cols[kBlockSize];
  for (int i = 0; i < kBlockSize; ++i) {
    cols[i] = t[kZigZagByColumn[static_cast<std::size_t>(i)]];
  }
  InverseDctColumns(cols, c->block);
}

bool DequantiseToColumnsSse2(const DecoderContext* context, std::int16_t* columns) {
  const DecoderContext* c = context;
  const std::uint8_t* q = c->quantTables[c->comp[c->curComp].quantTable].values;
  alignas(16) std::int16_t t[kBlockSize];
  const __m128i zero = _mm_setzero_si128();
  constexpr int kPerPair = 2 * kSide;
  std::uint32_t zeroMask[kBlockSize / kPerPair];
  for (int p = 0; p < kBlockSize / kPerPair; ++p) {
    __m128i zeroLanes[2];
    for (int i = 0; i < 2; ++i) {
      const int at = kPerPair * p + kSide * i;
      const __m128i coef = _mm_loadu_si128(reinterpret_cast<const __m128i*>(c->block + at));
      const __m128i factor =
          _mm_unpacklo_epi8(_mm_loadl_epi64(reinterpret_cast<const __m128i*>(q + at)), zero);
      // The low 16 bits of the product: the plain code's truncated 16-bit product.
      const __m128i product = _mm_mullo_epi16(coef, factor);
      _mm_store_si128(reinterpret_cast<__m128i*>(t + at), product);
      zeroLanes[i] = _mm_cmpeq_epi16(product, zero);
    }
    zeroMask[p] =
        static_cast<std::uint32_t>(_mm_movemask_epi8(_mm_packs_epi16(zeroLanes[0], zeroLanes[1])));
  }
  ClearColumns(columns);
  const std::uint32_t low = ~(zeroMask[0] | (zeroMask[1] << kPerPair));
  const std::uint32_t high = ~(zeroMask[2] | (zeroMask[3] << kPerPair));
  ScatterToColumns(t, low, 0, columns);
  ScatterToColumns(t, high, 2 * kPerPair, columns);
  return ((low & ~1u) | high) != 0;
}

void TransformColumnsSse2(std::int16_t* columns, std::int16_t* out) {
  InverseDctColumns(columns, out);
  ClearColumns(columns);
}

void TransformToBandSse2(std::int16_t* columns, std::uint8_t* origin, std::size_t line, int repeatX,
                         int repeatY) {
  __m128i rows[kSide];
  TransformRows(columns, rows);
  ClearColumns(columns);
  __m128i pairs[kSide / 2];
#pragma GCC unroll 8
  for (int k = 0; k < kSide / 2; ++k) {
    // Clamped to 0..255 as ClampSample does.
    pairs[k] = _mm_packus_epi16(rows[2 * k], rows[2 * k + 1]);
  }
  StoreBlockRows<Sse2Ops>(pairs, origin, line, repeatX, repeatY);
}

}  // namespace jpegdec
