// Block reconstruction: the inverse DCT's exact arithmetic, the zig-zag table, block placement
// and the replication of sub-sampled components over the band.
#include "decoder/transform/reconstruct.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <array>
#include <cmath>
#include <cstdlib>
#include <cstring>
#include <random>
#include <vector>

#include "decoder/band_geometry.h"
#include "decoder/decoder.h"
#include "support/jpeg_builder.h"
#include "support/stage_context.h"

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
    return storage[BandHeadroom(c) + y * Segment() * c->numComponents +
                   static_cast<std::size_t>(comp) * Segment() + x];
  }
  void Store(std::uint8_t comp, std::uint8_t col, std::uint8_t row, std::uint32_t mcuX,
             const Block& samples) {
    c->curComp = comp;
    c->blockCol = col;
    c->blockRow = row;
    c->mcuX = mcuX;
    std::memcpy(c->block, samples.data(), sizeof(c->block));
    StoreBlock(c, PlaceBlock(c));
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

// --- Band assembly through the decoder --------------------------------------------------------

using test::Bytes;
using test::JpegBuilder;

// Entropy-coded flat blocks: DC differences coded with the table of T.81 Table K.3, and an AC
// table whose only code, "0", is end-of-block. Byte-stuffed, padded with 1 bits.
class FlatBlocks {
 public:
  FlatBlocks& Block(int difference) {
    int category = 0;
    for (int magnitude = difference < 0 ? -difference : difference; magnitude != 0;
         magnitude >>= 1) {
      ++category;
    }
    // K.3: categories 0..5 have 2- and 3-bit codes, from 6 on one more 1 bit each.
    static constexpr std::uint16_t kCodes[12] = {0x0, 0x2,  0x3,  0x4,  0x5,  0x6,
                                                 0xE, 0x1E, 0x3E, 0x7E, 0xFE, 0x1FE};
    static constexpr int kLengths[12] = {2, 3, 3, 3, 3, 3, 4, 5, 6, 7, 8, 9};
    Put(kCodes[category], kLengths[category]);
    const int extra = difference < 0 ? difference + (1 << category) - 1 : difference;
    Put(static_cast<std::uint32_t>(extra), category);
    Put(0, 1);  // end of block
    return *this;
  }
  FlatBlocks& Blocks(int count) {
    for (int i = 0; i < count; ++i) {
      Block(0);
    }
    return *this;
  }
  Bytes Take() {
    if (bits_ > 0) {
      Put(0xFF, 8 - bits_);
    }
    return std::move(bytes_);
  }

 private:
  void Put(std::uint32_t value, int n) {
    for (int i = n - 1; i >= 0; --i) {
      const std::uint32_t bit = (value >> i) & 1u;
      acc_ = static_cast<std::uint8_t>((static_cast<std::uint32_t>(acc_) << 1u) | bit);
      if (++bits_ == 8) {
        bytes_.push_back(acc_);
        if (acc_ == 0xFF) {
          bytes_.push_back(0x00);
        }
        acc_ = 0;
        bits_ = 0;
      }
    }
  }
  Bytes bytes_;
  std::uint8_t acc_ = 0;
  int bits_ = 0;
};

// Everything up to the scan data: quantisation tables of 1s, the K.3 DC tables and one-code AC
// tables for ids 0 and 1, the frame and the scan header; an "Adobe" segment with `adobe` < 3.
JpegBuilder Header(std::uint16_t width, std::uint16_t height,
                   const std::vector<test::FrameComponent>& frame,
                   const std::vector<test::ScanComponent>& scan, int adobe = -1) {
  const Bytes counts = {0, 1, 5, 1, 1, 1, 1, 1, 1};
  const Bytes categories = {0, 1, 2, 3, 4, 5, 6, 7, 8, 9, 10, 11};
  JpegBuilder b;
  b.Soi();
  if (adobe >= 0) {
    b.Adobe(static_cast<std::uint8_t>(adobe));
  }
  b.Dqt(0).Dqt(1).Dht(0x00, counts, categories).Dht(0x01, counts, categories);
  b.MinimalDht(0x10).MinimalDht(0x11).Sof0(width, height, frame).Sos(scan);
  return b;
}

struct Decoded {
  std::vector<Bytes> bands;
  Status last = JD_OK;
};

// Drives DecodeStep as the streaming back-end does, handing the stream over in pieces of
// `piece` bytes (0: whole); every band is copied and released.
Decoded DecodeAll(const Bytes& stream, std::size_t piece) {
  Decoded out;
  const test::ContextPtr context = test::NewDecoderContext();
  EXPECT_NE(context, nullptr);
  if (context == nullptr) {
    return out;
  }
  DecoderContext* c = context.get();
  if (piece == 0) {
    piece = stream.size();
  }
  Bytes input;
  std::size_t fed = 0;
  StepResult r{};
  r.status = JD_NEED_DATA;
  for (int steps = 0; steps < 1000000; ++steps) {
    if (r.status == JD_NEED_DATA) {
      if (fed == stream.size() && steps > 0) {
        break;
      }
      const std::size_t unread = static_cast<std::size_t>(r.count);
      input.erase(input.begin(), input.end() - static_cast<std::ptrdiff_t>(unread));
      const std::size_t n = std::min(piece, stream.size() - fed);
      input.insert(input.end(), stream.begin() + static_cast<std::ptrdiff_t>(fed),
                   stream.begin() + static_cast<std::ptrdiff_t>(fed + n));
      fed += n;
    }
    r = DecodeStep(c, input.data(), static_cast<std::int32_t>(input.size()));
    if (r.status == JD_BAND_READY) {
      out.bands.emplace_back(r.data, r.data + r.count);
      std::free(r.data);
    } else if (r.status != JD_OK && r.status != JD_NEED_DATA) {
      break;
    }
  }
  out.last = r.status;
  return out;
}

// Whole, in 1-byte pieces and in pieces of 7: the same bands and the same end, whatever byte of
// a block (DC code, DC bits, between DC and AC) a piece ends at.
Decoded DecodeEverySplit(const Bytes& stream) {
  const Decoded whole = DecodeAll(stream, 0);
  for (std::size_t piece : {std::size_t{1}, std::size_t{7}}) {
    const Decoded split = DecodeAll(stream, piece);
    EXPECT_EQ(split.last, whole.last) << "pieces of " << piece;
    EXPECT_EQ(split.bands, whole.bands) << "pieces of " << piece;
  }
  return whole;
}

// Two blocks, DC 8 and then -8 (difference -16): the prediction is applied once per block
// however the input is split.
TEST(DecodeBand, GreyBlocksWithPrediction) {
  const Bytes stream = Header(16, 8, test::kGreyFrame, test::kGreyScan)
                           .Raw(FlatBlocks().Block(8).Block(-16).Take())
                           .Eoi()
                           .Take();
  const Decoded d = DecodeEverySplit(stream);
  EXPECT_EQ(d.last, JD_END);
  ASSERT_EQ(d.bands.size(), 1u);
  ASSERT_EQ(d.bands[0].size(), 16u * 8);
  for (std::size_t y = 0; y < 8; ++y) {
    for (std::size_t x = 0; x < 16; ++x) {
      EXPECT_EQ(d.bands[0][y * 16 + x], x < 8 ? 129 : 127) << y << "," << x;
    }
  }
}

// 4:2:0, unconverted ("Adobe" transform 0), 32 x 20: two MCUs a band, bands of 16 rows then 4.
// Luma blocks in row-major order within the MCU, then Cb, then Cr; chroma over 16 x 16.
TEST(DecodeBand, FourTwoZeroPlacementAndBandHeights) {
  // Sample offsets from 128, per band, MCU and block: Y1 Y2 Y3 Y4 Cb Cr.
  const int offsets[2][2][6] = {{{1, 2, 3, 4, 10, 20}, {5, 6, 7, 8, -10, -20}},
                                {{9, 10, 11, 12, 30, 40}, {13, 14, 15, 16, -30, -40}}};
  FlatBlocks blocks;
  int pred[3] = {0, 0, 0};
  for (const auto& band : offsets) {
    for (const auto& mcu : band) {
      for (int b = 0; b < 6; ++b) {
        const int comp = b < 4 ? 0 : b - 3;
        blocks.Block(8 * mcu[b] - pred[comp]);
        pred[comp] = 8 * mcu[b];
      }
    }
  }
  const Bytes stream =
      Header(32, 20, test::kYCbCr420, test::kYCbCrScan, 0).Raw(blocks.Take()).Eoi().Take();
  const Decoded d = DecodeEverySplit(stream);
  EXPECT_EQ(d.last, JD_END);
  ASSERT_EQ(d.bands.size(), 2u);
  const std::size_t rows[2] = {16, 4};
  for (std::size_t band = 0; band < 2; ++band) {
    ASSERT_EQ(d.bands[band].size(), 32u * 3 * rows[band]);
    for (std::size_t y = 0; y < rows[band]; ++y) {
      for (std::size_t x = 0; x < 32; ++x) {
        const int* mcu = offsets[band][x / 16];
        const std::size_t quadrant = (y / 8) * 2 + (x % 16) / 8;
        const std::uint8_t* px = &d.bands[band][(y * 32 + x) * 3];
        EXPECT_EQ(px[0], 128 + mcu[quadrant]) << "band " << band << " " << y << "," << x;
        EXPECT_EQ(px[1], 128 + mcu[4]);
        EXPECT_EQ(px[2], 128 + mcu[5]);
      }
    }
  }
}

// Bands past the image height yield no rows: released by the decoder, never reported, and the
// decode goes on to the end marker. A DNL segment that lowers the height below the rows already
// emitted takes none of them back; the band after it is one of those empty bands. Scan data
// beyond the image's last MCU is damage: such an image never ends as complete.
TEST(DecodeBand, EmptyBandsAreReleasedNotReported) {
  const Bytes extraRow = Header(8, 16, test::kGreyFrame, test::kGreyScan)
                             .Raw(FlatBlocks().Blocks(3).Take())
                             .Eoi()
                             .Take();
  Decoded d = DecodeEverySplit(extraRow);
  EXPECT_EQ(d.last, JD_ERR_DATA);
  EXPECT_EQ(d.bands.size(), 2u);

  const Bytes lowered = Header(8, 24, test::kGreyFrame, test::kGreyScan)
                            .Raw(FlatBlocks().Blocks(2).Take())
                            .Dnl(8)
                            .Rst(0)
                            .Raw(FlatBlocks().Blocks(1).Take())
                            .Eoi()
                            .Take();
  d = DecodeEverySplit(lowered);
  EXPECT_EQ(d.last, JD_ERR_DATA);
  ASSERT_EQ(d.bands.size(), 2u);
  EXPECT_EQ(d.bands[1].size(), 8u * 8);
}

// Scan data that ends before its band is complete: the end marker comes, the partial band is
// released (the leak checker of the sanitizer build watches), nothing is emitted, and the image,
// cut short, fails.
TEST(DecodeBand, BandCutShortByTheEndMarker) {
  const Bytes stream = Header(24, 8, test::kGreyFrame, test::kGreyScan)
                           .Raw(FlatBlocks().Blocks(2).Take())
                           .Eoi()
                           .Take();
  const Decoded d = DecodeEverySplit(stream);
  EXPECT_EQ(d.last, JD_ERR_DATA);
  EXPECT_TRUE(d.bands.empty());
}

// Widths up to 65535: the MCU position passes 65535 at the band's end without wrapping.
TEST(DecodeBand, WidestImages) {
  struct Case {
    std::uint16_t width;
    const std::vector<test::FrameComponent>* frame;
    const std::vector<test::ScanComponent>* scan;
    int blocks;
    std::size_t components;
  };
  const Case cases[] = {{65535, &test::kGreyFrame, &test::kGreyScan, 8192, 1},
                        {65535, &test::kYCbCr420, &test::kYCbCrScan, 4096 * 6, 3},
                        {65529, &test::kYCbCr420, &test::kYCbCrScan, 4096 * 6, 3}};
  for (const Case& k : cases) {
    const Bytes stream = Header(k.width, 1, *k.frame, *k.scan)
                             .Raw(FlatBlocks().Blocks(k.blocks).Take())
                             .Eoi()
                             .Take();
    const Decoded d = DecodeAll(stream, 0);
    EXPECT_EQ(d.last, JD_END) << k.width;
    ASSERT_EQ(d.bands.size(), 1u) << k.width;
    EXPECT_EQ(d.bands[0].size(), k.width * k.components);
    EXPECT_TRUE(
        std::all_of(d.bands[0].begin(), d.bands[0].end(), [](std::uint8_t v) { return v == 128; }));
  }
}

}  // namespace
}  // namespace jpegdec
