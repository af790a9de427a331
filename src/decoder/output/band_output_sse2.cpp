// SSE2 band output: YCbCr to RGB in 32-bit products fused with the interleave, and the plain
// interleaves of one to four components, 16 pixels at a time. Bit for bit what the plain
// converters followed by InterleaveBand leave in the band's rows (band_output_fast.h).
#include <emmintrin.h>

#include <cstring>

#include "decoder/band_geometry.h"
#include "decoder/output/band_output_fast.h"

namespace jpegdec {

namespace {

constexpr std::size_t kLanes = 16;  // pixels per step
constexpr int kByteBits = 8;        // shifts a 16-bit lane's high byte to its low byte and back

inline __m128i Load(const std::uint8_t* p) {
  return _mm_loadu_si128(reinterpret_cast<const __m128i*>(p));
}
inline void Store(std::uint8_t* p, __m128i v) {
  _mm_storeu_si128(reinterpret_cast<__m128i*>(p), v);
}
// The low byte of every 16-bit lane: the first of each two bytes (pixels, or a chroma sample the
// band holds twice).
inline __m128i LowBytes() { return _mm_set1_epi16(0x00FF); }

// Calls step(x) for x = 0, 16, ... while 16 pixels remain, then once more for the last 16
// pixels of the line when the width is not a multiple of 16: that step repeats a few pixels,
// writing the same bytes again. Needs width >= 16.
template <class Step>
inline void ForEachStep(std::size_t width, Step step) {
  std::size_t x = 0;
  for (; x + kLanes <= width; x += kLanes) {
    step(x);
  }
  if (x < width) {
    step(width - kLanes);
  }
}

// A (Cr', Cb') multiplier pair as one 32-bit lane: Cr's factor in the low half.
inline int Pair(std::int16_t crFactor, std::int16_t cbFactor) {
  return static_cast<int>((static_cast<std::uint32_t>(static_cast<std::uint16_t>(cbFactor)) << 16) |
                          static_cast<std::uint16_t>(crFactor));
}

// (pairs . factors + 2^15) >> 16 for the eight (Cr', Cb') pairs of crcb0 and crcb1, as eight
// 16-bit values. _mm_madd_epi16 forms each sum exactly in 32 bits.
inline __m128i Fraction(__m128i crcb0, __m128i crcb1, __m128i factors) {
  const __m128i half = _mm_set1_epi32(kYccHalf);
  const __m128i lo =
      _mm_srai_epi32(_mm_add_epi32(_mm_madd_epi16(crcb0, factors), half), kYccFractionBits);
  const __m128i hi =
      _mm_srai_epi32(_mm_add_epi32(_mm_madd_epi16(crcb1, factors), half), kYccFractionBits);
  return _mm_packs_epi32(lo, hi);  // |value| < 2^8: the pack keeps it
}

// Eight pixels in 16-bit lanes: Y, Cb' = Cb - 128, Cr' = Cr - 128 in; R, G, B (unclamped) out.
inline void ConvertEight(__m128i y, __m128i cb, __m128i cr, __m128i* r, __m128i* g, __m128i* b) {
  const __m128i crcb0 = _mm_unpacklo_epi16(cr, cb);
  const __m128i crcb1 = _mm_unpackhi_epi16(cr, cb);
  // Factors of 2^16 and more do not fit a 16-bit multiplier; their whole multiples of 2^16 are
  // added outside the product, which the shift by 16 leaves exact.
  const __m128i rf = _mm_set1_epi32(Pair(kCrToRPart, 0));
  const __m128i gf = _mm_set1_epi32(Pair(kCrToGPart, kCbToGPart));
  const __m128i bf = _mm_set1_epi32(Pair(0, kCbToBPart));
  *r = _mm_add_epi16(_mm_add_epi16(y, cr), Fraction(crcb0, crcb1, rf));
  *g = _mm_add_epi16(_mm_sub_epi16(y, cr), Fraction(crcb0, crcb1, gf));
  *b = _mm_add_epi16(_mm_add_epi16(y, _mm_add_epi16(cb, cb)), Fraction(crcb0, crcb1, bf));
}

// Sixteen pixels: Y, Cb, Cr bytes in; R, G, B bytes out, clamped to 0..255 by the pack.
inline void ConvertSixteen(__m128i y, __m128i cb, __m128i cr, __m128i* r, __m128i* g, __m128i* b) {
  const __m128i zero = _mm_setzero_si128();
  const __m128i chromaZero = _mm_set1_epi16(kChromaZero);
  __m128i r0, g0, b0, r1, g1, b1;
  ConvertEight(_mm_unpacklo_epi8(y, zero), _mm_sub_epi16(_mm_unpacklo_epi8(cb, zero), chromaZero),
               _mm_sub_epi16(_mm_unpacklo_epi8(cr, zero), chromaZero), &r0, &g0, &b0);
  ConvertEight(_mm_unpackhi_epi8(y, zero), _mm_sub_epi16(_mm_unpackhi_epi8(cb, zero), chromaZero),
               _mm_sub_epi16(_mm_unpackhi_epi8(cr, zero), chromaZero), &r1, &g1, &b1);
  *r = _mm_packus_epi16(r0, r1);
  *g = _mm_packus_epi16(g0, g1);
  *b = _mm_packus_epi16(b0, b1);
}

// What the chroma of a pixel pair adds to both pixels' Y, in 16-bit lanes, for R, G and B: lane
// i for pixels 2i and 2i + 1 (see band_output_fast.h for the split factors).
struct PairTerms {
  __m128i r;
  __m128i g;
  __m128i b;
};

// The terms of eight (Cb', Cr') values in 16-bit lanes: R = Y + Cr' + frac, G = Y - Cr' + frac,
// B = Y + 2 Cb' + frac, each sum taken modulo 2^16 like ConvertEight's.
inline PairTerms EightTerms(__m128i cb, __m128i cr) {
  const __m128i crcb0 = _mm_unpacklo_epi16(cr, cb);
  const __m128i crcb1 = _mm_unpackhi_epi16(cr, cb);
  const __m128i rf = _mm_set1_epi32(Pair(kCrToRPart, 0));
  const __m128i gf = _mm_set1_epi32(Pair(kCrToGPart, kCbToGPart));
  const __m128i bf = _mm_set1_epi32(Pair(0, kCbToBPart));
  return {_mm_add_epi16(cr, Fraction(crcb0, crcb1, rf)),
          _mm_sub_epi16(Fraction(crcb0, crcb1, gf), cr),
          _mm_add_epi16(_mm_add_epi16(cb, cb), Fraction(crcb0, crcb1, bf))};
}

// The terms of sixteen pixels whose chroma sample covers two pixels (chroma at half the
// horizontal resolution, which the band holds twice, from an even column): formed once per
// pair from the low byte of each 16-bit lane.
inline PairTerms PairedTerms(__m128i cb, __m128i cr) {
  const __m128i lowBytes = LowBytes();
  const __m128i chromaZero = _mm_set1_epi16(kChromaZero);
  return EightTerms(_mm_sub_epi16(_mm_and_si128(cb, lowBytes), chromaZero),
                    _mm_sub_epi16(_mm_and_si128(cr, lowBytes), chromaZero));
}

inline void StoreLow(std::uint8_t* p, __m128i v) {
  _mm_storel_epi64(reinterpret_cast<__m128i*>(p), v);
}
// movhps, which needs no alignment (the store through a double pointer that _mm_storeh_pd is
// written as would claim eight-byte alignment).
inline void StoreHigh(std::uint8_t* p, __m128i v) {
  _mm_storeh_pi(reinterpret_cast<__m64*>(p), _mm_castsi128_ps(v));
}

// Sixteen pixels into their 48 interleaved bytes at dst, given as three vectors of 16-bit lanes
// whose lane i holds two bytes of the pixel pair 2i, 2i + 1 in the row's order: rg (R and G of
// pixel 2i), br (B of pixel 2i, R of pixel 2i + 1) and gb (G and B of pixel 2i + 1). A pair's
// six bytes go out in one 8-byte store whose last two bytes the next pair's store overwrites;
// the last pair's store starts two bytes early (writing the G and B of the pair before it
// again), so that nothing lands past dst + 48. SSE2 has no byte shuffle; this takes about half
// the instructions of widening each pixel to 32 bits and squeezing out the fourth bytes.
inline void StorePairs(std::uint8_t* dst, __m128i rg, __m128i br, __m128i gb) {
  const __m128i low = _mm_unpacklo_epi16(rg, br);   // pairs 0..3: (rg, br) in 32-bit lanes
  const __m128i high = _mm_unpackhi_epi16(rg, br);  // pairs 4..7
  const __m128i gbLow = _mm_unpacklo_epi16(gb, gb);
  const __m128i gbHigh = _mm_unpackhi_epi16(gb, gb);
  // Two pairs each: rg br gb gb of one pair, then of the next.
  const __m128i pairs01 = _mm_unpacklo_epi32(low, gbLow);
  const __m128i pairs23 = _mm_unpackhi_epi32(low, gbLow);
  const __m128i pairs45 = _mm_unpacklo_epi32(high, gbHigh);
  const __m128i pairs67 = _mm_unpackhi_epi32(high, gbHigh);
  constexpr std::size_t kPairBytes = 6;
  constexpr std::size_t kGbBytes = 2;  // a pair's last 16-bit lane
  StoreLow(dst, pairs01);
  StoreHigh(dst + kPairBytes, pairs01);
  StoreLow(dst + 2 * kPairBytes, pairs23);
  StoreHigh(dst + 3 * kPairBytes, pairs23);
  StoreLow(dst + 4 * kPairBytes, pairs45);
  StoreHigh(dst + 5 * kPairBytes, pairs45);
  StoreLow(dst + 6 * kPairBytes, pairs67);
  // gb of pair 6, then pair 7: pairs67 from the second copy of pair 6's gb on.
  StoreLow(dst + 7 * kPairBytes - kGbBytes, _mm_srli_si128(pairs67, kPairBytes));
}

// Sixteen pixels of Y bytes with the terms of their pairs into 48 interleaved bytes at dst:
// the even and the odd pixels of the pairs apart, each with its pair's terms, clamped by the
// packs.
inline void ApplyPairTerms(__m128i y, const PairTerms& t, std::uint8_t* dst) {
  const __m128i even = _mm_and_si128(y, LowBytes());
  const __m128i odd = _mm_srli_epi16(y, kByteBits);
  // R and B of the even pixels; G of the even, R of the odd ones; G and B of the odd ones.
  const __m128i rbEven = _mm_packus_epi16(_mm_add_epi16(even, t.r), _mm_add_epi16(even, t.b));
  const __m128i gEvenROdd = _mm_packus_epi16(_mm_add_epi16(even, t.g), _mm_add_epi16(odd, t.r));
  const __m128i gbOdd = _mm_packus_epi16(_mm_add_epi16(odd, t.g), _mm_add_epi16(odd, t.b));
  StorePairs(dst, _mm_unpacklo_epi8(rbEven, gEvenROdd), _mm_unpackhi_epi8(rbEven, gEvenROdd),
             _mm_unpacklo_epi8(gbOdd, _mm_srli_si128(gbOdd, 8)));
}

// Sixteen pixels of three planes into 48 interleaved bytes at dst.
inline void StoreThree(std::uint8_t* dst, __m128i a, __m128i b, __m128i c) {
  const __m128i lowBytes = LowBytes();
  const __m128i highBytes = _mm_slli_epi16(lowBytes, kByteBits);
  StorePairs(dst, _mm_or_si128(_mm_and_si128(a, lowBytes), _mm_slli_epi16(b, kByteBits)),
             _mm_or_si128(_mm_and_si128(c, lowBytes), _mm_and_si128(a, highBytes)),
             _mm_or_si128(_mm_srli_epi16(b, kByteBits), _mm_and_si128(c, highBytes)));
}

// Sixteen pixels of four planes into 64 interleaved bytes at dst.
inline void StoreFour(std::uint8_t* dst, __m128i a, __m128i b, __m128i c, __m128i d) {
  const __m128i ab0 = _mm_unpacklo_epi8(a, b);
  const __m128i ab1 = _mm_unpackhi_epi8(a, b);
  const __m128i cd0 = _mm_unpacklo_epi8(c, d);
  const __m128i cd1 = _mm_unpackhi_epi8(c, d);
  Store(dst, _mm_unpacklo_epi16(ab0, cd0));
  Store(dst + 16, _mm_unpackhi_epi16(ab0, cd0));
  Store(dst + 32, _mm_unpacklo_epi16(ab1, cd1));
  Store(dst + 48, _mm_unpackhi_epi16(ab1, cd1));
}

// One band line (its segments s[0..components-1]) into one interleaved row at dst.
void OutputLine(const std::uint8_t* const* s, std::size_t components, BandKind kind,
                std::size_t width, std::uint8_t* dst) {
  switch (components) {
    case 2:
      ForEachStep(width, [&](std::size_t x) {
        const __m128i a = Load(s[0] + x);
        const __m128i b = Load(s[1] + x);
        Store(dst + 2 * x, _mm_unpacklo_epi8(a, b));
        Store(dst + 2 * x + kLanes, _mm_unpackhi_epi8(a, b));
      });
      break;
    case 3:
      if (kind == BandKind::kYCbCr) {
        ForEachStep(width, [&](std::size_t x) {
          __m128i r, g, b;
          ConvertSixteen(Load(s[0] + x), Load(s[1] + x), Load(s[2] + x), &r, &g, &b);
          StoreThree(dst + 3 * x, r, g, b);
        });
      } else {
        ForEachStep(width, [&](std::size_t x) {
          StoreThree(dst + 3 * x, Load(s[0] + x), Load(s[1] + x), Load(s[2] + x));
        });
      }
      break;
    case 4:
      if (kind == BandKind::kYcck) {
        const __m128i ones = _mm_set1_epi8(-1);
        ForEachStep(width, [&](std::size_t x) {
          __m128i r, g, b;
          ConvertSixteen(Load(s[0] + x), Load(s[1] + x), Load(s[2] + x), &r, &g, &b);
          // 255 - k is k with every bit flipped.
          StoreFour(dst + 4 * x, r, g, b, _mm_xor_si128(Load(s[3] + x), ones));
        });
      } else {
        ForEachStep(width, [&](std::size_t x) {
          StoreFour(dst + 4 * x, Load(s[0] + x), Load(s[1] + x), Load(s[2] + x), Load(s[3] + x));
        });
      }
      break;
    default:
      std::memcpy(dst, s[0], width);
      break;
  }
}

// YCbCr lines whose chroma lies at half the horizontal resolution (4:2:2, 4:2:0), into rows at
// dst[0..lines-1]: the chroma terms are formed once per pixel pair and, for two lines with the
// same chroma (4:2:0), once for both lines. s0: the first line's Y; s1, s2: its Cb and Cr;
// `line`: from one band line to the next.
void OutputPairedLines(const std::uint8_t* s0, const std::uint8_t* s1, const std::uint8_t* s2,
                       std::size_t line, std::size_t lines, std::size_t width,
                       std::uint8_t* const* dst) {
  ForEachStep(width, [&](std::size_t x) {
    if (x % 2 != 0) {  // the last step of an odd width: the pairs start at odd columns
      for (std::size_t k = 0; k < lines; ++k) {
        __m128i r, g, b;
        ConvertSixteen(Load(s0 + k * line + x), Load(s1 + x), Load(s2 + x), &r, &g, &b);
        StoreThree(dst[k] + 3 * x, r, g, b);
      }
      return;
    }
    const PairTerms terms = PairedTerms(Load(s1 + x), Load(s2 + x));
    for (std::size_t k = 0; k < lines; ++k) {
      ApplyPairTerms(Load(s0 + k * line + x), terms, dst[k] + 3 * x);
    }
  });
}

}  // namespace

void OutputRowsSse2(DecoderContext* context, BandKind kind, std::size_t rows) {
  DecoderContext* c = context;
  const std::size_t width = c->width;
  const std::size_t components = c->numComponents;
  const std::size_t segment = SegmentWidth(c);
  const std::size_t line = BandLineBytes(c);
  const std::size_t rowBytes = width * components;
  // Rows y and y + 1 end before line y begins (BandHeadroom): rows are written straight in place.
  std::uint8_t* const band = c->bandBuffer;
  const std::uint8_t* const lines = BandLineOrigin(c);
  // Chroma at half the horizontal resolution lies in the band as equal pairs from column 0 on;
  // at half the vertical resolution as equal pairs of lines from band line 0 on. Two lines share
  // their terms, in the 32-bit build too: that costs less than forming them again even where
  // the eight vector registers send them to the stack for the second line (measured under Wine).
  if (kind == BandKind::kYCbCr && components == 3 && 2 * c->comp[1].h == c->maxH &&
      2 * c->comp[2].h == c->maxH) {
    const bool pairedLines = 2 * c->comp[1].v == c->maxV && 2 * c->comp[2].v == c->maxV;
    std::size_t y = 0;
    while (y < rows) {
      const std::size_t count = pairedLines && y + 1 < rows ? 2 : 1;
      const std::uint8_t* s0 = lines + y * line;
      std::uint8_t* const dst[2] = {band + y * rowBytes, band + (y + 1) * rowBytes};
      OutputPairedLines(s0, s0 + segment, s0 + 2 * segment, line, count, width, dst);
      y += count;
    }
    return;
  }
  for (std::size_t y = 0; y < rows; ++y) {
    const std::uint8_t* src = lines + y * line;
    const std::uint8_t* segments[kMaxComponents] = {src, src + segment, src + 2 * segment,
                                                    src + 3 * segment};
    OutputLine(segments, components, kind, width, band + y * rowBytes);
  }
}

}  // namespace jpegdec
