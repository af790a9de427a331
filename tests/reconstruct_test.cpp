// Block reconstruction: the inverse DCT's exact arithmetic, the zig-zag table, block placement
// and the replication of sub-sampled components over the band.
#include "decoder/reconstruct.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <array>
#include <cmath>
#include <cstdlib>
#include <cstring>
#include <random>
#include <vector>

namespace jpegdec {
namespace {

using Block = std::array<std::int16_t, kBlockSize>;

Block Transform(Block b) {
  InverseDct8x8(b.data());
  return b;
}

Block Single(int position, std::int16_t value) {
  Block b{};
  b[static_cast<std::size_t>(position)] = value;
  return b;
}

// --- Inverse DCT ------------------------------------------------------------------------------

TEST(InverseDct, DcOnlyBlocksAreFlat) {
  struct Case {
    std::int16_t dc;
    std::int16_t sample;
  };
  const Case cases[] = {{0, 128}, {8, 129}, {-1024, 0}, {1016, 255}, {-8, 127}};
  for (const Case& c : cases) {
    const Block out = Transform(Single(0, c.dc));
    for (std::int16_t s : out) {
      ASSERT_EQ(s, c.sample) << "DC " << c.dc;
    }
  }
}

// The two passes lose precision at different points, so a horizontal and a vertical frequency
// of the same amplitude give slightly different profiles.
TEST(InverseDct, FirstHorizontalAndVerticalFrequencies) {
  const std::int16_t horizontal[8] = {145, 142, 138, 131, 124, 118, 113, 110};
  const std::int16_t vertical[8] = {145, 142, 137, 131, 124, 118, 113, 110};
  const Block h = Transform(Single(1, 100));
  const Block v = Transform(Single(8, 100));
  for (int y = 0; y < 8; ++y) {
    for (int x = 0; x < 8; ++x) {
      EXPECT_EQ(h[static_cast<std::size_t>(8 * y + x)], horizontal[x]) << "row " << y;
      EXPECT_EQ(v[static_cast<std::size_t>(8 * y + x)], vertical[y]) << "column " << x;
    }
  }
}

// Against the textbook transform (T.81 A.3.3) in floating point: the fixed point's rounding and
// the final shift, which rounds down, stay within one and a half levels; a wrong constant, sign
// or output order is off by far more.
TEST(InverseDct, AgreesWithTheRealTransform) {
  std::mt19937 rng(1234);
  std::uniform_int_distribution<int> amplitude(-300, 300);
  std::uniform_int_distribution<int> position(0, 63);
  const double pi = std::acos(-1.0);
  double worst = 0;
  for (int n = 0; n < 500; ++n) {
    Block in{};
    in[0] = static_cast<std::int16_t>(amplitude(rng) * 3);
    for (int k = 0; k < 6; ++k) {
      in[static_cast<std::size_t>(position(rng))] = static_cast<std::int16_t>(amplitude(rng));
    }
    const Block out = Transform(in);
    for (int y = 0; y < 8; ++y) {
      for (int x = 0; x < 8; ++x) {
        double sum = 0;
        for (int v = 0; v < 8; ++v) {
          for (int u = 0; u < 8; ++u) {
            const double cu = u == 0 ? std::sqrt(0.5) : 1.0;
            const double cv = v == 0 ? std::sqrt(0.5) : 1.0;
            sum += cu * cv * in[static_cast<std::size_t>(8 * v + u)] *
                   std::cos((2 * x + 1) * u * pi / 16) * std::cos((2 * y + 1) * v * pi / 16);
          }
        }
        const double expected = sum / 4 + 128;
        worst = std::max(worst, std::fabs(expected - out[static_cast<std::size_t>(8 * y + x)]));
      }
    }
  }
  EXPECT_LT(worst, 1.5);
}

// Dequantised coefficients may span the whole signed 16-bit range; the transform's sums then
// exceed 32 bits. Run under the sanitizer build, these must raise no signed-overflow report.
// Single coefficients that do not overflow keep their exact values.
TEST(InverseDct, ExtremeCoefficientsAreWellDefined) {
  std::vector<Block> blocks;
  Block all{};
  all.fill(32767);
  blocks.push_back(all);
  all.fill(-32768);
  blocks.push_back(all);
  Block alternating{};
  for (std::size_t i = 0; i < alternating.size(); ++i) {
    alternating[i] = (i % 2 == 0) ? std::int16_t{32767} : std::int16_t{-32768};
  }
  blocks.push_back(alternating);
  std::mt19937 rng(99);
  std::uniform_int_distribution<int> full(-32768, 32767);
  for (int n = 0; n < 200; ++n) {
    Block b{};
    for (auto& v : b) {
      v = static_cast<std::int16_t>(full(rng));
    }
    blocks.push_back(b);
  }
  for (const Block& b : blocks) {
    const Block first = Transform(b);
    EXPECT_EQ(first, Transform(b));
  }
  // -32768 / 8 + 128 = -3968 (before clamping); 32767 gives 4223.875, rounded to 4224.
  EXPECT_EQ(Transform(Single(0, -32768))[27], -3968);
  EXPECT_EQ(Transform(Single(0, 32767))[27], 4224);
}

TEST(ZigZag, IsTheInverseOfTheZigZagWalk) {
  // Walk the anti-diagonals of the block as T.81 Figure A.6 draws them: up and to the right on
  // even diagonals, down and to the left on odd ones.
  int k = 0;
  for (int d = 0; d < 15; ++d) {
    for (int i = 0; i <= d; ++i) {
      const int row = (d % 2 == 0) ? d - i : i;
      const int col = d - row;
      if (row > 7 || col > 7) {
        continue;
      }
      EXPECT_EQ(ZigZagIndex[8 * row + col], k) << "row " << row << " column " << col;
      ++k;
    }
  }
  EXPECT_EQ(k, 64);
}

// --- Replication ------------------------------------------------------------------------------

// Copies of source sample j, for every pair of factors below the maximum; each row sums to
// ceil(8 x maxFactor / factor), the block's area along the axis.
TEST(ReplicateSamples, SpreadsEightSamplesOverTheArea) {
  struct Case {
    std::uint8_t maxFactor;
    std::uint8_t factor;
    int copies[8];
  };
  const Case cases[] = {
      {2, 1, {2, 2, 2, 2, 2, 2, 2, 2}}, {3, 1, {3, 3, 3, 3, 3, 3, 3, 3}},
      {4, 1, {4, 4, 4, 4, 4, 4, 4, 4}}, {3, 2, {2, 1, 2, 1, 2, 1, 2, 1}},
      {4, 2, {2, 2, 2, 2, 2, 2, 2, 2}}, {4, 3, {2, 1, 1, 2, 1, 1, 2, 1}},
  };
  for (const Case& c : cases) {
    int expand = 0;
    for (int n : c.copies) {
      expand += n;
    }
    ASSERT_EQ(expand, (8 * c.maxFactor + c.factor - 1) / c.factor);
    for (std::size_t step : {std::size_t{1}, std::size_t{5}}) {
      // One line of samples 1..8 in a buffer of sentinels, `step` bytes apart, plus room beyond.
      std::vector<std::uint8_t> buf(static_cast<std::size_t>(expand + 4) * step, 0xEE);
      for (std::size_t j = 0; j < 8; ++j) {
        buf[j * step] = static_cast<std::uint8_t>(j + 1);
      }
      ReplicateSamples(1, 0, buf.data(), step, c.maxFactor, c.factor,
                       static_cast<std::int16_t>(expand), static_cast<std::int16_t>(expand));
      std::size_t out = 0;
      for (int j = 0; j < 8; ++j) {
        for (int n = 0; n < c.copies[j]; ++n, ++out) {
          EXPECT_EQ(buf[out * step], j + 1) << int{c.factor} << " of " << int{c.maxFactor};
        }
      }
      for (; out < static_cast<std::size_t>(expand + 4); ++out) {
        EXPECT_EQ(buf[out * step], 0xEE) << "written past the area";
      }
    }
  }
}

TEST(ReplicateSamples, FullResolutionIsLeftAloneAndRoomCutsTheArea) {
  std::uint8_t line[16];
  for (std::uint8_t i = 0; i < 16; ++i) {
    line[i] = i;
  }
  ReplicateSamples(1, 0, line, 1, 2, 2, 8, 8);
  for (std::uint8_t i = 0; i < 16; ++i) {
    EXPECT_EQ(line[i], i);
  }
  // 3 of 4: 11 samples, cut at 10; the 11th position stays as it was.
  ReplicateSamples(1, 0, line, 1, 4, 3, 11, 10);
  const std::uint8_t expected[11] = {0, 0, 1, 2, 3, 3, 4, 5, 6, 6, 10};
  for (int i = 0; i < 11; ++i) {
    EXPECT_EQ(line[i], expected[i]) << i;
  }
}

// --- Block placement --------------------------------------------------------------------------

constexpr std::uint8_t kSentinel = 0;  // stored samples below are never 0

// A frame on a zeroed context, with a band buffer of exactly the band's size followed by a guard.
struct Frame {
  DecoderContext* c;
  std::vector<std::uint8_t> storage;
  std::size_t bandSize = 0;
  static constexpr std::size_t kGuard = 64;

  Frame(std::uint16_t width, std::vector<std::array<std::uint8_t, 2>> factors)
      : c(static_cast<DecoderContext*>(std::calloc(1, sizeof(DecoderContext)))) {
    c->width = width;
    c->numComponents = static_cast<std::uint8_t>(factors.size());
    c->ratioComponent = kNoComponent;
    for (std::size_t i = 0; i < factors.size(); ++i) {
      c->comp[i].h = factors[i][0];
      c->comp[i].v = factors[i][1];
      c->maxH = std::max(c->maxH, factors[i][0]);
      c->maxV = std::max(c->maxV, factors[i][1]);
      c->blocksPerMcu = static_cast<std::uint8_t>(c->blocksPerMcu + factors[i][0] * factors[i][1]);
    }
    bandSize = BandBufferSize(c);
    storage.assign(bandSize + kGuard, kSentinel);
    c->bandBuffer = storage.data();
  }
  ~Frame() { std::free(c); }
  Frame(const Frame&) = delete;
  Frame& operator=(const Frame&) = delete;

  std::size_t Segment() const { return c->width + 8u * c->maxH; }
  std::uint8_t& At(int comp, std::size_t y, std::size_t x) {
    return storage[y * Segment() * c->numComponents + static_cast<std::size_t>(comp) * Segment() +
                   x];
  }
  void Store(std::uint8_t comp, std::uint8_t col, std::uint8_t row, std::uint32_t mcuX,
             const Block& samples) {
    c->curComp = comp;
    c->blockCol = col;
    c->blockRow = row;
    c->mcuX = mcuX;
    std::memcpy(c->block, samples.data(), sizeof(c->block));
    StoreBlock(c);
  }
  bool GuardIntact() const {
    return std::all_of(storage.begin() + static_cast<std::ptrdiff_t>(bandSize), storage.end(),
                       [](std::uint8_t b) { return b == kSentinel; });
  }
};

Block Pattern(int base) {
  Block b{};
  for (int i = 0; i < kBlockSize; ++i) {
    b[static_cast<std::size_t>(i)] = static_cast<std::int16_t>(base + i);
  }
  return b;
}

TEST(StoreBlock, LumaTwoByTwoChromaOneByOne) {
  Frame f(40, {{2, 2}, {1, 1}, {1, 1}});
  ASSERT_EQ(f.c->blocksPerMcu, 6);
  const std::uint32_t mcuX = 16;
  const std::uint8_t luma[4] = {10, 20, 30, 40};
  for (std::uint8_t i = 0; i < 4; ++i) {
    Block b{};
    b.fill(luma[i]);
    f.Store(0, static_cast<std::uint8_t>(i % 2 + 1), static_cast<std::uint8_t>(i / 2 + 1), mcuX, b);
  }
  f.Store(1, 1, 1, mcuX, Pattern(100));
  f.Store(2, 1, 1, mcuX, Pattern(180));
  for (std::size_t y = 0; y < 16; ++y) {
    for (std::size_t x = 0; x < 16; ++x) {
      EXPECT_EQ(f.At(0, y, mcuX + x), luma[(y / 8) * 2 + x / 8]) << y << "," << x;
      // Each chroma sample as a 2 x 2 square.
      EXPECT_EQ(f.At(1, y, mcuX + x), 100 + 8 * (y / 2) + x / 2) << y << "," << x;
      EXPECT_EQ(f.At(2, y, mcuX + x), 180 + 8 * (y / 2) + x / 2) << y << "," << x;
    }
    EXPECT_EQ(f.At(0, y, mcuX - 1), kSentinel);
    EXPECT_EQ(f.At(1, y, mcuX + 16), kSentinel);
  }
  EXPECT_TRUE(f.GuardIntact());
}

TEST(StoreBlock, ClampsSamplesToBytes) {
  Frame f(8, {{1, 1}});
  Block b{};
  b[0] = -1;
  b[1] = -32768;
  b[2] = 256;
  b[3] = 32767;
  b[4] = 255;
  b[5] = 1;
  f.Store(0, 1, 1, 0, b);
  const std::uint8_t expected[6] = {0, 0, 255, 255, 255, 1};
  for (std::size_t x = 0; x < 6; ++x) {
    EXPECT_EQ(f.At(0, 0, x), expected[x]);
  }
}

// Every block of one sub-sampled component in the band's last MCU, the image width chosen so
// the MCU's area reaches the margin's last column: the component's area is filled completely,
// nothing outside it (the band's other lines and columns, the other components, past the band)
// is touched, even where the last block row's area reaches below the band.
TEST(StoreBlock, SubSampledAreasFillExactlyWithinTheBand) {
  struct Case {
    std::uint8_t maxH, maxV, h, v;
  };
  const Case cases[] = {{4, 4, 3, 3}, {4, 4, 3, 1}, {4, 2, 3, 2}, {3, 3, 2, 2}, {3, 3, 2, 1},
                        {4, 4, 2, 2}, {4, 4, 1, 1}, {2, 2, 1, 1}, {2, 1, 1, 1}, {1, 2, 1, 1}};
  for (const Case& k : cases) {
    SCOPED_TRACE(testing::Message() << "factors " << int{k.h} << "x" << int{k.v} << " of "
                                    << int{k.maxH} << "x" << int{k.maxV});
    const std::uint16_t mcuWidth = static_cast<std::uint16_t>(8 * k.maxH);
    const std::uint16_t width = static_cast<std::uint16_t>(mcuWidth + 1);  // last MCU: 1 column
    Frame f(width, {{k.maxH, k.maxV}, {k.h, k.v}});
    const std::size_t expandX = (8u * k.maxH + k.h - 1) / k.h;
    const std::size_t expandY = (8u * k.maxV + k.v - 1) / k.v;
    for (std::uint8_t row = 1; row <= k.v; ++row) {
      for (std::uint8_t col = 1; col <= k.h; ++col) {
        f.Store(1, col, row, mcuWidth, Pattern(1 + (row * k.h + col) % 3));
      }
    }
    const std::size_t right = std::min<std::size_t>(mcuWidth + k.h * expandX, f.Segment());
    const std::size_t bandLines = 8u * k.maxV;
    ASSERT_LE(k.v * expandY, bandLines + 1);
    for (std::size_t y = 0; y < bandLines; ++y) {
      for (std::size_t x = 0; x < f.Segment(); ++x) {
        const bool inArea = x >= mcuWidth && x < right;
        EXPECT_EQ(f.At(1, y, x) != kSentinel, inArea) << "line " << y << " column " << x;
        EXPECT_EQ(f.At(0, y, x), kSentinel);
      }
    }
    EXPECT_TRUE(f.GuardIntact());
  }
}

}  // namespace
}  // namespace jpegdec
