// Band output: colour conversion in place and the interleave of a band's segments into rows.
#include "decoder/output/band_output.h"

#include <cstddef>

#include "decoder/band_geometry.h"
#include "decoder/cpu_dispatch.h"
#include "decoder/output/band_output_fast.h"

namespace jpegdec {

namespace {

constexpr std::int32_t kHalf = kYccHalf;
constexpr int kFractionBits = kYccFractionBits;
constexpr std::uint8_t kFullScale = 255;

inline std::uint8_t Clamp(std::int32_t v) {
  if (v < 0) {
    return 0;
  }
  if (v > kFullScale) {
    return kFullScale;
  }
  return static_cast<std::uint8_t>(v);
}

// YCbCr to RGB on segments 0..2 of every band line, and, when asked, inversion of segment 3.
void ConvertLines(DecoderContext* c, bool invertFourth) {
  const std::size_t segment = SegmentWidth(c);
  const std::size_t line = segment * c->numComponents;
  const std::size_t lines = BandLines(c);
  for (std::size_t y = 0; y < lines; ++y) {
    std::uint8_t* s0 = BandLineOrigin(c) + y * line;
    std::uint8_t* s1 = s0 + segment;
    std::uint8_t* s2 = s1 + segment;
    for (std::size_t x = 0; x < c->width; ++x) {
      const std::int32_t luma = s0[x];
      const std::int32_t cb = s1[x] - kChromaZero;
      const std::int32_t cr = s2[x] - kChromaZero;
      s0[x] = Clamp(luma + ((kCrToR * cr + kHalf) >> kFractionBits));
      s1[x] = Clamp(luma + ((-kCrToG * cr - kCbToG * cb + kHalf) >> kFractionBits));
      s2[x] = Clamp(luma + ((kCbToB * cb + kHalf) >> kFractionBits));
    }
    if (invertFourth) {
      std::uint8_t* s3 = s2 + segment;
      for (std::size_t x = 0; x < c->width; ++x) {
        s3[x] = static_cast<std::uint8_t>(kFullScale - s3[x]);
      }
    }
  }
}

}  // namespace

void ConvertYCbCrToRgb(DecoderContext* context) { ConvertLines(context, false); }

void ConvertYcck(DecoderContext* context) { ConvertLines(context, true); }

void ConvertNone(DecoderContext*) {}

std::uint16_t InterleaveBand(DecoderContext* context) {
  DecoderContext* c = context;
  const std::size_t rows = RowsToOutput(c);
  const std::size_t segment = SegmentWidth(c);
  const std::size_t components = c->numComponents;
  const std::size_t line = segment * components;
  const std::size_t width = c->width;
  const std::uint8_t* lines = BandLineOrigin(c);
  // Row y ends before line y begins (BandHeadroom), so each row is written straight in place.
  std::uint8_t* dst = c->bandBuffer;
  for (std::size_t y = 0; y < rows; ++y) {
    const std::uint8_t* src = lines + y * line;
    if (components == 3) {
      const std::uint8_t* s1 = src + segment;
      const std::uint8_t* s2 = s1 + segment;
      for (std::size_t x = 0; x < width; ++x, dst += 3) {
        dst[0] = src[x];
        dst[1] = s1[x];
        dst[2] = s2[x];
      }
    } else {
      for (std::size_t x = 0; x < width; ++x) {
        for (std::size_t k = 0; k < components; ++k) {
          *dst++ = src[k * segment + x];
        }
      }
    }
  }
  c->rowsOutput = static_cast<std::uint16_t>(c->rowsOutput + rows);
  return static_cast<std::uint16_t>(rows);
}

std::size_t RowsToOutput(const DecoderContext* context) {
  const std::size_t bandLines = BandLines(context);
  std::size_t rows = 0;
  if (context->rowsOutput < context->height) {
    rows = context->height - context->rowsOutput;
    if (rows > bandLines) {
      rows = bandLines;
    }
  }
  return rows;
}

std::uint16_t OutputBand(DecoderContext* context) {
  DecoderContext* c = context;
  if (c->routines->outputRows != nullptr && c->width >= kFastOutputMinWidth) {
    const std::size_t rows = RowsToOutput(c);
    c->routines->outputRows(c, c->bandKind, rows);
    c->rowsOutput = static_cast<std::uint16_t>(c->rowsOutput + rows);
    return static_cast<std::uint16_t>(rows);
  }
  if (c->colorConvert != nullptr) {
    c->colorConvert(c);
  }
  return InterleaveBand(c);
}

}  // namespace jpegdec
