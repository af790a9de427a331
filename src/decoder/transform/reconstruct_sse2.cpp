// SSE2 block reconstruction: dequantisation, the flat-block shortcut, the inverse DCT in 16-bit
// lanes (idct_words.h) and the store with replication by 1 or 2. Bit for bit the plain routines of
// reconstruct.cpp (see reconstruct_fast.h).
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

// The inverse DCT of a block given column by column, in 16-bit lanes: row k of 16-bit samples in
// rows[k].
[[gnu::always_inline]] inline void TransformRows(const std::int16_t* cols, __m128i* rows) {
  InverseDctWords<Sse2Ops>(cols, rows);
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
