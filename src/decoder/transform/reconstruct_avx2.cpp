// AVX2 block reconstruction: dequantisation, the flat-block shortcut and the inverse DCT with
// one block row per lane, eight 32-bit lanes. Compiled with -mavx2 and called only after the
// processor was found to support AVX2 (cpu_dispatch.h). Bit for bit the plain routines of
// reconstruct.cpp (see reconstruct_fast.h).
#include <immintrin.h>

#include "decoder/transform/idct_lanes.h"
#include "decoder/transform/reconstruct_fast.h"

namespace jpegdec {

namespace {

constexpr int kSide = 8;

// Eight 32-bit lanes; the 32-bit multiply keeps the low half of the product, which is the
// product modulo 2^32 the plain code forms (measured faster here than building it from 16-bit
// products as the SSE2 file must).
struct Avx2Ops {
  using V = __m256i;
  static V Add(V a, V b) { return _mm256_add_epi32(a, b); }
  static V Sub(V a, V b) { return _mm256_sub_epi32(a, b); }
  template <std::int32_t kFactor>
  static V Mul(V a) {
    static_assert(kFactor > 0 && kFactor < 65536);
    return _mm256_mullo_epi32(a, _mm256_set1_epi32(kFactor));
  }
  static V Descale(V a) {
    return _mm256_srai_epi32(_mm256_add_epi32(a, _mm256_set1_epi32(kIdctHalf)), kIdctFractionBits);
  }
};

[[gnu::always_inline]] inline void Transpose8x8(const __m256i* r, __m256i* out) {
  const __m256i t0 = _mm256_unpacklo_epi32(r[0], r[1]);
  const __m256i t1 = _mm256_unpackhi_epi32(r[0], r[1]);
  const __m256i t2 = _mm256_unpacklo_epi32(r[2], r[3]);
  const __m256i t3 = _mm256_unpackhi_epi32(r[2], r[3]);
  const __m256i t4 = _mm256_unpacklo_epi32(r[4], r[5]);
  const __m256i t5 = _mm256_unpackhi_epi32(r[4], r[5]);
  const __m256i t6 = _mm256_unpacklo_epi32(r[6], r[7]);
  const __m256i t7 = _mm256_unpackhi_epi32(r[6], r[7]);
  const __m256i u0 = _mm256_unpacklo_epi64(t0, t2);
  const __m256i u1 = _mm256_unpackhi_epi64(t0, t2);
  const __m256i u2 = _mm256_unpacklo_epi64(t1, t3);
  const __m256i u3 = _mm256_unpackhi_epi64(t1, t3);
  const __m256i u4 = _mm256_unpacklo_epi64(t4, t6);
  const __m256i u5 = _mm256_unpackhi_epi64(t4, t6);
  const __m256i u6 = _mm256_unpacklo_epi64(t5, t7);
  const __m256i u7 = _mm256_unpackhi_epi64(t5, t7);
  out[0] = _mm256_permute2x128_si256(u0, u4, 0x20);
  out[1] = _mm256_permute2x128_si256(u1, u5, 0x20);
  out[2] = _mm256_permute2x128_si256(u2, u6, 0x20);
  out[3] = _mm256_permute2x128_si256(u3, u7, 0x20);
  out[4] = _mm256_permute2x128_si256(u0, u4, 0x31);
  out[5] = _mm256_permute2x128_si256(u1, u5, 0x31);
  out[6] = _mm256_permute2x128_si256(u2, u6, 0x31);
  out[7] = _mm256_permute2x128_si256(u3, u7, 0x31);
}

// The second pass's sum v to the output sample: Descale, then >> 2 and + 128, cut to its low 16
// bits as the plain code's 16-bit store wraps it. The two arithmetic shifts are one shift by 18.
inline __m256i FinalSample(__m256i v) {
  const __m256i shifted = _mm256_srai_epi32(_mm256_add_epi32(v, _mm256_set1_epi32(kIdctHalf)),
                                            kIdctFractionBits + kIdctOutputShift);
  return _mm256_and_si256(_mm256_add_epi32(shifted, _mm256_set1_epi32(kIdctLevelShift)),
                          _mm256_set1_epi32(0xFFFF));
}

// The inverse DCT of a block given column by column (cols[8u + r] = coefficient of row r,
// column u): the first pass holds one row per lane and leaves the intermediate array's rows; one
// transpose gives the columns the second pass needs, whose outputs are the sample rows, two rows
// of 16-bit samples per vector in rows[0..3].
[[gnu::always_inline]] inline void TransformRows(const std::int16_t* cols, __m256i* rows) {
  __m256i x[kSide];
  __m256i y[kSide];
#pragma GCC unroll 8
  for (int u = 0; u < kSide; ++u) {
    x[u] =
        _mm256_cvtepi16_epi32(_mm_loadu_si128(reinterpret_cast<const __m128i*>(cols + kSide * u)));
  }
  InverseDct1dLanes<Avx2Ops>(x, y);
  Transpose8x8(y, x);
  InverseDct1dLanes<Avx2Ops, false>(x, y);
#pragma GCC unroll 8
  for (int k = 0; k < kSide; k += 2) {
    // The pack interleaves the two rows by 128-bit halves; the permute puts them back in order.
    // Lanes of 0..65535: the unsigned pack keeps them as they are.
    const __m256i packed = _mm256_packus_epi32(FinalSample(y[k]), FinalSample(y[k + 1]));
    rows[k / 2] = _mm256_permute4x64_epi64(packed, 0xD8);
  }
}

void InverseDctColumns(const std::int16_t* cols, std::int16_t* out) {
  __m256i rows[kSide / 2];
  TransformRows(cols, rows);
#pragma GCC unroll 8
  for (int k = 0; k < kSide / 2; ++k) {
    _mm256_storeu_si256(reinterpret_cast<__m256i*>(out + 2 * kSide * k), rows[k]);
  }
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
  __m256i rows[kSide / 2];
  TransformRows(columns, rows);
  ClearColumns(columns);
  __m128i pairs[kSide / 2];
#pragma GCC unroll 8
  for (int k = 0; k < kSide / 2; ++k) {
    // Clamped to 0..255 as ClampSample does.
    pairs[k] =
        _mm_packus_epi16(_mm256_castsi256_si128(rows[k]), _mm256_extracti128_si256(rows[k], 1));
  }
  StoreBlockRows<Avx2Ops>(pairs, origin, line, repeatX, repeatY);
}

}  // namespace jpegdec
