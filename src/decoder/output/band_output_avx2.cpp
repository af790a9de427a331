// AVX2 band output for the common case, YCbCr to RGB fused with the interleave, 32 pixels at a
// time; the other band kinds go to the SSE2 routines. Compiled with -mavx2 and called only after
// the processor was found to support AVX2 (cpu_dispatch.h). Bit for bit what ConvertYCbCrToRgb
// followed by InterleaveBand leaves in the band's rows (band_output_fast.h).
#include <immintrin.h>

#include <array>

#include "decoder/band_geometry.h"
#include "decoder/output/band_output_fast.h"

namespace jpegdec {

namespace {

constexpr std::size_t kLanes = 32;  // pixels per step

inline __m256i Load(const std::uint8_t* p) {
  return _mm256_loadu_si256(reinterpret_cast<const __m256i*>(p));
}
inline void Store(std::uint8_t* p, __m256i v) {
  _mm256_storeu_si256(reinterpret_cast<__m256i*>(p), v);
}

inline int Pair(std::int16_t crFactor, std::int16_t cbFactor) {
  return static_cast<int>((static_cast<std::uint32_t>(static_cast<std::uint16_t>(cbFactor)) << 16) |
                          static_cast<std::uint16_t>(crFactor));
}

// (Cr', Cb') pairs . factors, + 2^15, >> 16, exact in 32 bits, as 16-bit values. The unpacks
// before and the pack here work within 128-bit halves, so the pixel order comes back unchanged.
inline __m256i Fraction(__m256i crcb0, __m256i crcb1, __m256i factors) {
  const __m256i half = _mm256_set1_epi32(kYccHalf);
  const __m256i lo = _mm256_srai_epi32(_mm256_add_epi32(_mm256_madd_epi16(crcb0, factors), half),
                                       kYccFractionBits);
  const __m256i hi = _mm256_srai_epi32(_mm256_add_epi32(_mm256_madd_epi16(crcb1, factors), half),
                                       kYccFractionBits);
  return _mm256_packs_epi32(lo, hi);
}

// What the chroma of thirty-two pixels adds to their Y, in 16-bit lanes, for R, G and B: [0]
// for the pixels the low byte unpack takes (0..7 and 16..23), [1] for the others (see
// band_output_fast.h for the split factors). R = Y + Cr' + frac, G = Y - Cr' + frac, B = Y + 2 Cb'
// + frac, each sum taken modulo 2^16 like the 16-bit adds of the conversion itself.
struct ChromaTerms {
  __m256i r[2];
  __m256i g[2];
  __m256i b[2];
};

// The terms of sixteen (Cb', Cr') values in 16-bit lanes.
inline void SixteenTerms(__m256i cb, __m256i cr, __m256i* r, __m256i* g, __m256i* b) {
  const __m256i crcb0 = _mm256_unpacklo_epi16(cr, cb);
  const __m256i crcb1 = _mm256_unpackhi_epi16(cr, cb);
  const __m256i rf = _mm256_set1_epi32(Pair(kCrToRPart, 0));
  const __m256i gf = _mm256_set1_epi32(Pair(kCrToGPart, kCbToGPart));
  const __m256i bf = _mm256_set1_epi32(Pair(0, kCbToBPart));
  *r = _mm256_add_epi16(cr, Fraction(crcb0, crcb1, rf));
  *g = _mm256_sub_epi16(Fraction(crcb0, crcb1, gf), cr);
  *b = _mm256_add_epi16(_mm256_add_epi16(cb, cb), Fraction(crcb0, crcb1, bf));
}

// Thirty-two pixels of Cb and Cr bytes.
inline ChromaTerms Terms(__m256i cb, __m256i cr) {
  const __m256i zero = _mm256_setzero_si256();
  const __m256i chromaZero = _mm256_set1_epi16(kChromaZero);
  ChromaTerms t;
  SixteenTerms(_mm256_sub_epi16(_mm256_unpacklo_epi8(cb, zero), chromaZero),
               _mm256_sub_epi16(_mm256_unpacklo_epi8(cr, zero), chromaZero), &t.r[0], &t.g[0],
               &t.b[0]);
  SixteenTerms(_mm256_sub_epi16(_mm256_unpackhi_epi8(cb, zero), chromaZero),
               _mm256_sub_epi16(_mm256_unpackhi_epi8(cr, zero), chromaZero), &t.r[1], &t.g[1],
               &t.b[1]);
  return t;
}

// The same where each chroma sample covers two pixels (chroma at half the horizontal resolution,
// so that the band holds every chroma sample twice): the terms are formed once per pair. The
// low byte of each 16-bit lane of cb and cr is then the sample of one pixel pair, pairs in
// order, and unpacking the pair terms with themselves puts them back in pixel order.
inline ChromaTerms PairedTerms(__m256i cb, __m256i cr) {
  const __m256i lowBytes = _mm256_set1_epi16(0x00FF);
  const __m256i chromaZero = _mm256_set1_epi16(kChromaZero);
  __m256i r, g, b;
  SixteenTerms(_mm256_sub_epi16(_mm256_and_si256(cb, lowBytes), chromaZero),
               _mm256_sub_epi16(_mm256_and_si256(cr, lowBytes), chromaZero), &r, &g, &b);
  ChromaTerms t;
  t.r[0] = _mm256_unpacklo_epi16(r, r);
  t.r[1] = _mm256_unpackhi_epi16(r, r);
  t.g[0] = _mm256_unpacklo_epi16(g, g);
  t.g[1] = _mm256_unpackhi_epi16(g, g);
  t.b[0] = _mm256_unpacklo_epi16(b, b);
  t.b[1] = _mm256_unpackhi_epi16(b, b);
  return t;
}

// Thirty-two pixels of Y bytes with their chroma terms to R, G, B bytes, clamped by the pack.
inline void ApplyTerms(__m256i y, const ChromaTerms& t, __m256i* r, __m256i* g, __m256i* b) {
  const __m256i zero = _mm256_setzero_si256();
  const __m256i y0 = _mm256_unpacklo_epi8(y, zero);
  const __m256i y1 = _mm256_unpackhi_epi8(y, zero);
  *r = _mm256_packus_epi16(_mm256_add_epi16(y0, t.r[0]), _mm256_add_epi16(y1, t.r[1]));
  *g = _mm256_packus_epi16(_mm256_add_epi16(y0, t.g[0]), _mm256_add_epi16(y1, t.g[1]));
  *b = _mm256_packus_epi16(_mm256_add_epi16(y0, t.b[0]), _mm256_add_epi16(y1, t.b[1]));
}

// Byte shuffles that gather output bytes 16 k .. 16 k + 15 of three interleaved planes from
// plane `plane` (0x80: none from this plane).
using Shuffle = std::array<std::int8_t, 16>;
constexpr Shuffle MakeShuffle(int k, int plane) {
  Shuffle s{};
  for (int i = 0; i < 16; ++i) {
    const int p = 16 * k + i;
    s[static_cast<std::size_t>(i)] =
        static_cast<std::int8_t>(p % 3 == plane ? p / 3 : static_cast<std::int8_t>(0x80));
  }
  return s;
}
constexpr Shuffle kShuffles[3][3] = {
    {MakeShuffle(0, 0), MakeShuffle(0, 1), MakeShuffle(0, 2)},
    {MakeShuffle(1, 0), MakeShuffle(1, 1), MakeShuffle(1, 2)},
    {MakeShuffle(2, 0), MakeShuffle(2, 1), MakeShuffle(2, 2)},
};

inline __m256i ShuffleMask(const Shuffle& s) {
  const __m128i m = _mm_loadu_si128(reinterpret_cast<const __m128i*>(s.data()));
  return _mm256_broadcastsi128_si256(m);
}

// Thirty-two pixels of three planes into 96 interleaved bytes at dst: each 128-bit half makes
// 48 bytes, which the permutes put in order.
inline void StoreThree(std::uint8_t* dst, __m256i a, __m256i b, __m256i c) {
  __m256i out[3];
  for (int k = 0; k < 3; ++k) {
    out[k] = _mm256_or_si256(_mm256_or_si256(_mm256_shuffle_epi8(a, ShuffleMask(kShuffles[k][0])),
                                             _mm256_shuffle_epi8(b, ShuffleMask(kShuffles[k][1]))),
                             _mm256_shuffle_epi8(c, ShuffleMask(kShuffles[k][2])));
  }
  Store(dst, _mm256_permute2x128_si256(out[0], out[1], 0x20));
  Store(dst + 32, _mm256_permute2x128_si256(out[2], out[0], 0x30));
  Store(dst + 64, _mm256_permute2x128_si256(out[1], out[2], 0x31));
}

}  // namespace

void OutputRowsAvx2(DecoderContext* context, BandKind kind, std::size_t rows) {
  DecoderContext* c = context;
  const std::size_t width = c->width;
  if (kind != BandKind::kYCbCr || c->numComponents != 3 || width < kLanes) {
    OutputRowsSse2(context, kind, rows);
    return;
  }
  const std::size_t segment = SegmentWidth(c);
  const std::size_t line = BandLineBytes(c);
  const std::size_t rowBytes = width * 3;
  // Rows y and y + 1 end before line y begins (BandHeadroom): rows are written straight in place.
  std::uint8_t* const band = c->bandBuffer;
  const std::uint8_t* const bandLines = BandLineOrigin(c);
  // Chroma at half the horizontal resolution lies in the band as equal pairs from column 0 on;
  // at half the vertical resolution as equal pairs of lines from band line 0 on. Two lines with
  // the same chroma share its terms, in the 32-bit build too, where the eight vector registers
  // send them to the stack for the second line: that still costs less than forming them again
  // (about +3 % on 4:2:0 files in the DLL, measured under Wine).
  const bool paired = 2 * c->comp[1].h == c->maxH && 2 * c->comp[2].h == c->maxH;
  const bool pairedLines = 2 * c->comp[1].v == c->maxV && 2 * c->comp[2].v == c->maxV;
  std::size_t y = 0;
  while (y < rows) {
    const std::size_t lines = pairedLines && y + 1 < rows ? 2 : 1;
    const std::uint8_t* s0 = bandLines + y * line;
    std::uint8_t* const rows0 = band + y * rowBytes;
    const std::uint8_t* s1 = s0 + segment;
    const std::uint8_t* s2 = s1 + segment;
    // The last step takes the line's last 32 pixels, repeating a few: same bytes again. Paired
    // chroma is taken in pairs only from an even column.
    std::size_t x = 0;
    for (;;) {
      const ChromaTerms terms = paired && x % 2 == 0 ? PairedTerms(Load(s1 + x), Load(s2 + x))
                                                     : Terms(Load(s1 + x), Load(s2 + x));
      for (std::size_t k = 0; k < lines; ++k) {
        __m256i r, g, b;
        ApplyTerms(Load(s0 + k * line + x), terms, &r, &g, &b);
        StoreThree(rows0 + k * rowBytes + 3 * x, r, g, b);
      }
      if (x + kLanes == width) {
        break;
      }
      x = x + 2 * kLanes <= width ? x + kLanes : width - kLanes;
    }
    y += lines;
  }
}

}  // namespace jpegdec
