// SSE2 block reconstruction: dequantisation, the flat-block shortcut, the inverse DCT in 32-bit
// lanes and the store with replication by 1 or 2. Bit for bit the plain routines of
// reconstruct.cpp (see reconstruct_fast.h).
#include <emmintrin.h>

#include <cstring>

#include "decoder/transform/idct_lanes.h"
#include "decoder/transform/reconstruct_fast.h"

namespace jpegdec {

namespace {

constexpr int kSide = 8;

// Four 32-bit lanes. SSE2 has no 32-bit multiply that keeps the low half, so a x f (f < 2^16)
// is put together from 16-bit products: with a = hi x 2^16 + lo, the low 32 bits of a x f are
// lo x f + ((hi x f) mod 2^16) x 2^16. _mm_mullo_epi16 gives lo x f mod 2^16 in the low half of
// each lane and (hi x f) mod 2^16 in the high half; _mm_mulhi_epu16 the high half of lo x f,
// which belongs in the high half too. Wraps modulo 2^32 exactly as the plain arithmetic does.
struct Sse2Ops {
  using V = __m128i;
  static V Add(V a, V b) { return _mm_add_epi32(a, b); }
  static V Sub(V a, V b) { return _mm_sub_epi32(a, b); }
  template <std::int32_t kFactor>
  static V Mul(V a) {
    static_assert(kFactor > 0 && kFactor < 65536);
    const __m128i f = _mm_set1_epi16(static_cast<std::int16_t>(kFactor));
    const __m128i low = _mm_mullo_epi16(a, f);
    const __m128i high = _mm_mulhi_epu16(a, f);
    return _mm_add_epi32(low, _mm_slli_epi32(high, 16));
  }
  static V Descale(V a) {
    return _mm_srai_epi32(_mm_add_epi32(a, _mm_set1_epi32(kIdctHalf)), kIdctFractionBits);
  }
};

[[gnu::always_inline]] inline void Transpose4x4(__m128i r0, __m128i r1, __m128i r2, __m128i r3,
                                                __m128i* out) {
  const __m128i t0 = _mm_unpacklo_epi32(r0, r1);
  const __m128i t1 = _mm_unpacklo_epi32(r2, r3);
  const __m128i t2 = _mm_unpackhi_epi32(r0, r1);
  const __m128i t3 = _mm_unpackhi_epi32(r2, r3);
  out[0] = _mm_unpacklo_epi64(t0, t1);
  out[1] = _mm_unpackhi_epi64(t0, t1);
  out[2] = _mm_unpacklo_epi64(t2, t3);
  out[3] = _mm_unpackhi_epi64(t2, t3);
}

// (a >> 2) + 128 in each lane, cut to its low 16 bits and sign-extended again, so that the
// saturating pack that follows keeps the value: the plain code stores it as a signed 16-bit
// value, which wraps.
inline __m128i FinalSample(__m128i a) {
  const __m128i v =
      _mm_add_epi32(_mm_srai_epi32(a, kIdctOutputShift), _mm_set1_epi32(kIdctLevelShift));
  return _mm_srai_epi32(_mm_slli_epi32(v, 16), 16);
}

// The inverse DCT of a block given column by column (cols[8u + r] = coefficient of row r,
// column u). The first pass runs over the rows, four rows
// at a time, one row per lane; its outputs come out as the rows of the intermediate array, whose
// columns the second pass needs: two 4x4 transposes per half give them. Row k of 16-bit samples
// in rows[k].
[[gnu::always_inline]] inline void TransformRows(const std::int16_t* cols, __m128i* rows) {
  __m128i x[kSide];
  __m128i b[2][kSide];  // b[h][k]: lanes 4h..4h+3 of the intermediate array's row k
#pragma GCC unroll 8
  for (int h = 0; h < 2; ++h) {
#pragma GCC unroll 8
    for (int u = 0; u < kSide; ++u) {
      const __m128i v = _mm_loadu_si128(reinterpret_cast<const __m128i*>(cols + kSide * u));
      const __m128i half = h == 0 ? _mm_unpacklo_epi16(v, v) : _mm_unpackhi_epi16(v, v);
      x[u] = _mm_srai_epi32(half, 16);
    }
    InverseDct1dLanes<Sse2Ops>(x, b[h]);
  }
  __m128i z[2][kSide];  // z[h][k]: columns 4h..4h+3 of output row k
#pragma GCC unroll 8
  for (int h = 0; h < 2; ++h) {
    Transpose4x4(b[0][4 * h], b[0][4 * h + 1], b[0][4 * h + 2], b[0][4 * h + 3], x);
    Transpose4x4(b[1][4 * h], b[1][4 * h + 1], b[1][4 * h + 2], b[1][4 * h + 3], x + 4);
    InverseDct1dLanes<Sse2Ops>(x, z[h]);
  }
#pragma GCC unroll 8
  for (int k = 0; k < kSide; ++k) {
    rows[k] = _mm_packs_epi32(FinalSample(z[0][k]), FinalSample(z[1][k]));
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

inline std::uint8_t ClampFlat(std::int16_t v) {
  return static_cast<std::uint8_t>(v < 0 ? 0 : (v > 255 ? 255 : v));
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

void StoreBlockSse2(const DecoderContext* context, std::uint8_t* origin, std::size_t line,
                    int repeatX, int repeatY) {
  const DecoderContext* c = context;
  if (c->blockIsFlat != 0) {
    const __m128i fill = _mm_set1_epi8(static_cast<char>(ClampFlat(c->block[0])));
    const int lines = kSide * repeatY;
    for (int l = 0; l < lines; ++l) {
      auto* dst = reinterpret_cast<__m128i*>(origin + static_cast<std::size_t>(l) * line);
      if (repeatX == 2) {
        _mm_storeu_si128(dst, fill);
      } else {
        _mm_storel_epi64(dst, fill);
      }
    }
    return;
  }
  for (int r = 0; r < kSide; ++r) {
    const __m128i s = _mm_loadu_si128(reinterpret_cast<const __m128i*>(c->block + kSide * r));
    __m128i bytes = _mm_packus_epi16(s, s);  // clamps to 0..255 as ClampSample does
    if (repeatX == 2) {
      bytes = _mm_unpacklo_epi8(bytes, bytes);
    }
    for (int k = 0; k < repeatY; ++k) {
      auto* dst =
          reinterpret_cast<__m128i*>(origin + static_cast<std::size_t>(r * repeatY + k) * line);
      if (repeatX == 2) {
        _mm_storeu_si128(dst, bytes);
      } else {
        _mm_storel_epi64(dst, bytes);
      }
    }
  }
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
