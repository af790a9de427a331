// Band output: the colour converters' exact fixed-point results and the interleave of a band's
// component segments into image rows.
#include "decoder/output/band_output.h"

#include <gtest/gtest.h>

#include <array>
#include <cstdlib>
#include <vector>

#include "decoder/band_geometry.h"
#include "decoder/transform/reconstruct.h"

namespace jpegdec {
namespace {

// A zeroed context holding a band of the given frame: components at maxH x maxV, the band
// buffer owned by the test.
struct Band {
  DecoderContext* c;
  std::vector<std::uint8_t> buffer;

  Band(std::uint16_t width, std::uint16_t height, std::uint8_t components, std::uint8_t maxH,
       std::uint8_t maxV)
      : c(static_cast<DecoderContext*>(std::calloc(1, sizeof(DecoderContext)))) {
    c->width = width;
    c->height = height;
    c->numComponents = components;
    c->maxH = maxH;
    c->maxV = maxV;
    buffer.assign(BandBufferSize(c), 0);
    c->bandBuffer = buffer.data();
  }
  ~Band() { std::free(c); }
  Band(const Band&) = delete;
  Band& operator=(const Band&) = delete;

  std::size_t Segment() const { return c->width + 8u * c->maxH; }
  std::uint8_t& At(std::size_t comp, std::size_t y, std::size_t x) {
    return buffer[BandHeadroom(c) + y * Segment() * c->numComponents + comp * Segment() + x];
  }
};

struct Pixel {
  std::uint8_t a, b, c;
};

TEST(ConvertYCbCrToRgb, FixedPointExamples) {
  struct Case {
    Pixel ycc, rgb;
  };
  const Case cases[] = {
      {{128, 128, 128}, {128, 128, 128}}, {{100, 128, 127}, {99, 101, 100}},
      {{100, 128, 129}, {101, 99, 100}},  {{100, 200, 50}, {0, 131, 228}},  // R clamped from -9
      {{255, 255, 255}, {255, 121, 255}}, {{0, 0, 0}, {0, 135, 0}},
  };
  for (const Case& k : cases) {
    Band band(3, 8, 3, 1, 1);
    for (std::size_t x = 0; x < 3; ++x) {
      band.At(0, 5, x) = k.ycc.a;
      band.At(1, 5, x) = k.ycc.b;
      band.At(2, 5, x) = k.ycc.c;
    }
    band.At(1, 5, 3) = 77;  // margin: left alone
    ConvertYCbCrToRgb(band.c);
    for (std::size_t x = 0; x < 3; ++x) {
      EXPECT_EQ(band.At(0, 5, x), k.rgb.a)
          << int{k.ycc.a} << "," << int{k.ycc.b} << "," << int{k.ycc.c};
      EXPECT_EQ(band.At(1, 5, x), k.rgb.b);
      EXPECT_EQ(band.At(2, 5, x), k.rgb.c);
    }
    EXPECT_EQ(band.At(1, 5, 3), 77);
  }
}

TEST(ConvertYcck, InvertsTheFourthComponentAndConvertsTheRest) {
  const std::uint8_t fourth[] = {0, 255, 37, 128};
  const std::uint8_t inverted[] = {255, 0, 218, 127};
  Band band(4, 8, 4, 1, 1);
  for (std::size_t x = 0; x < 4; ++x) {
    band.At(0, 7, x) = 100;
    band.At(1, 7, x) = 200;
    band.At(2, 7, x) = 50;
    band.At(3, 7, x) = fourth[x];
  }
  ConvertYcck(band.c);
  for (std::size_t x = 0; x < 4; ++x) {
    EXPECT_EQ(band.At(0, 7, x), 0);
    EXPECT_EQ(band.At(1, 7, x), 131);
    EXPECT_EQ(band.At(2, 7, x), 228);
    EXPECT_EQ(band.At(3, 7, x), inverted[x]);
  }
}

// Sample of component c at (y, x), distinct across components and positions that matter.
std::uint8_t Sample(std::size_t c, std::size_t y, std::size_t x) {
  return static_cast<std::uint8_t>(c * 61 + y * 17 + x * 3 + 1);
}

// Every component count, a width that is no multiple of the MCU (13 of 16), with and without
// vertical sampling: rows of exactly width x components bytes in frame order, margin dropped.
TEST(InterleaveBand, RowsOfEveryComponentCount) {
  for (std::uint8_t components = 1; components <= 4; ++components) {
    for (std::uint8_t maxV = 1; maxV <= 2; ++maxV) {
      SCOPED_TRACE(testing::Message() << int{components} << " components, maxV " << int{maxV});
      Band band(13, 100, components, 2, maxV);
      const std::size_t lines = 8u * maxV;
      for (std::size_t c = 0; c < components; ++c) {
        for (std::size_t y = 0; y < lines; ++y) {
          for (std::size_t x = 0; x < band.Segment(); ++x) {
            band.At(c, y, x) = x < 13 ? Sample(c, y, x) : 0;
          }
        }
      }
      ConvertNone(band.c);
      ASSERT_EQ(InterleaveBand(band.c), lines);
      EXPECT_EQ(band.c->rowsOutput, lines);
      for (std::size_t y = 0; y < lines; ++y) {
        for (std::size_t x = 0; x < 13; ++x) {
          for (std::size_t c = 0; c < components; ++c) {
            ASSERT_EQ(band.buffer[(y * 13 + x) * components + c], Sample(c, y, x))
                << "row " << y << " pixel " << x << " component " << c;
          }
        }
      }
    }
  }
}

// Height 20 in bands of 16 lines: 16 rows, then 4, then none. A DNL segment that lowers the
// height below the rows already emitted gives no rows either, rather than a wrapped count.
TEST(InterleaveBand, RowsStopAtTheImageHeight) {
  struct Case {
    std::uint16_t height;
    std::uint16_t rowsOutput;
    std::uint16_t rows;
  };
  const Case cases[] = {{20, 0, 16}, {20, 16, 4}, {20, 20, 0}, {16, 0, 16},
                        {17, 16, 1}, {10, 16, 0}, {1, 16, 0}};
  for (const Case& k : cases) {
    Band band(5, k.height, 3, 1, 2);
    band.c->rowsOutput = k.rowsOutput;
    for (std::size_t y = 0; y < 16; ++y) {
      for (std::size_t x = 0; x < 5; ++x) {
        for (std::size_t c = 0; c < 3; ++c) {
          band.At(c, y, x) = Sample(c, y, x);
        }
      }
    }
    EXPECT_EQ(InterleaveBand(band.c), k.rows) << k.height << " after " << k.rowsOutput;
    EXPECT_EQ(band.c->rowsOutput, k.rowsOutput + k.rows);
    for (std::size_t y = 0; y < k.rows; ++y) {
      EXPECT_EQ(band.buffer[(y * 5 + 4) * 3 + 2], Sample(2, y, 4));
    }
  }
}

}  // namespace
}  // namespace jpegdec
