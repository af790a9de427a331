// The fast routines against the plain ones, bit for bit: the inverse DCT on random and extreme
// blocks, the flat-block shortcut on every DC value, dequantisation and reorder, and whole
// images (self-made and the corpus) decoded with every routine level the processor offers.
#include <gtest/gtest.h>

#include <algorithm>
#include <array>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <random>
#include <string>
#include <vector>

#include "decoder/band_geometry.h"
#include "decoder/cpu_dispatch.h"
#include "decoder/cpu_dispatch_testing.h"
#include "decoder/decoder.h"
#include "decoder/decoder_context.h"
#include "decoder/output/band_output.h"
#include "decoder/output/band_output_fast.h"
#include "decoder/transform/idct_lanes.h"
#include "decoder/transform/reconstruct.h"
#include "decoder/transform/reconstruct_fast.h"
#include "support/files.h"
#include "support/host_driver.h"
#include "support/routine_levels.h"
#include "support/stage_context.h"
#if defined(JPEGDEC_HAVE_LIBJPEG)
#include "support/libjpeg_reference.h"
#endif

namespace jpegdec {
namespace {

using test::DecodeThroughHost;
using test::HostOptions;
using test::HostResult;
using test::PieceSchedule;

// Sample sizes: generous natively, smaller where every operation is checked (sanitizers) or
// emulated (Wine), so that each build's whole test run stays well inside its budget.
#if defined(__SANITIZE_ADDRESS__) || defined(_WIN32)
constexpr int kRandomBlocks = 200000;
constexpr std::size_t kCorpusStride = 7;         // every 7th corpus file
constexpr std::uint32_t kTripleBandStride = 11;  // every 11th band of (Y, Cb, Cr) triples
#else
constexpr int kRandomBlocks = 2000000;
constexpr std::size_t kCorpusStride = 1;
constexpr std::uint32_t kTripleBandStride = 1;
#endif

using Block = std::array<std::int16_t, kBlockSize>;
using BlockRoutine = void (*)(std::int16_t*);

struct FastIdct {
  const char* name;
  std::uint8_t level;
  BlockRoutine routine;
};
const FastIdct kFastIdcts[] = {
    {"SSE2", kRoutinesSse2, InverseDct8x8Sse2},
    {"AVX2", kRoutinesAvx2, InverseDct8x8Avx2},
};

// The levels above plain this processor runs.
std::vector<std::uint8_t> FastLevels() {
  std::vector<std::uint8_t> levels;
  const std::uint8_t limit = RoutineLevelLimit();
  LimitRoutineLevel(kRoutinesAvx2);
  for (std::uint8_t level = kRoutinesSse2; level <= DetectRoutineLevel(); ++level) {
    levels.push_back(level);
  }
  LimitRoutineLevel(limit);
  return levels;
}

bool Runs(std::uint8_t level) {
  for (const std::uint8_t l : FastLevels()) {
    if (l == level) {
      return true;
    }
  }
  return false;
}

// The reason a test of the fast routines cannot run here ("" when it can). A level the processor
// lacks is noted: its rows of the test's table are passed over.
std::string WhyNotCompared() {
  const std::string missing = test::MissingRoutineLevel(kRoutinesSse2);
  if (missing.empty() && !test::MissingRoutineLevel(kRoutinesAvx2).empty()) {
    std::printf("this processor lacks AVX2: only the SSE2 routines are compared\n");
  }
  return missing;
}

// Restores the routine cap however a test ends.
class LevelCap {
 public:
  explicit LevelCap(std::uint8_t level) : saved_(RoutineLevelLimit()) { LimitRoutineLevel(level); }
  ~LevelCap() { LimitRoutineLevel(saved_); }
  LevelCap(const LevelCap&) = delete;
  LevelCap& operator=(const LevelCap&) = delete;

 private:
  std::uint8_t saved_;
};

std::string BlockText(const Block& b) {
  std::string s;
  for (const std::int16_t v : b) {
    s += std::to_string(v) + " ";
  }
  return s;
}

// --- Inverse DCT ------------------------------------------------------------------------------

// Block shapes that reach the corners of the arithmetic: the full 16-bit range (wrapping sums),
// only the extremes, sparse blocks as real images give, small values, and one magnitude with the
// signs of one output sample's weights: the largest sums that sample's intermediates reach (the
// second pass's 32-bit sums wrap from magnitudes of about 1160 on, its x1 + p and the like need
// more than 16 bits from about 2570 on).
enum class Shape {
  kUniform,
  kExtremes,
  kSparse,
  kSmall,
  kWorstSigns,
  kCorner,  // one of the shapes above cut to the top-left 4x4 corner, as smooth images give
};

Block MakeBlock(Shape shape, std::mt19937& rng) {
  Block b{};
  std::uniform_int_distribution<int> any(-32768, 32767);
  switch (shape) {
    case Shape::kUniform:
      for (auto& v : b) {
        v = static_cast<std::int16_t>(any(rng));
      }
      break;
    case Shape::kExtremes: {
      static constexpr std::int16_t kValues[] = {-32768, 32767, -32767, 0, 1, -1, 16384, -16385};
      std::uniform_int_distribution<std::size_t> pick(0, std::size(kValues) - 1);
      for (auto& v : b) {
        v = kValues[pick(rng)];
      }
      break;
    }
    case Shape::kSparse: {
      std::uniform_int_distribution<std::size_t> where(0, kBlockSize - 1);
      std::uniform_int_distribution<int> count(1, 6);
      for (int i = count(rng); i > 0; --i) {
        b[where(rng)] = static_cast<std::int16_t>(any(rng));
      }
      break;
    }
    case Shape::kSmall: {
      std::uniform_int_distribution<int> small(-1024, 1023);
      for (auto& v : b) {
        v = static_cast<std::int16_t>(small(rng) >> (rng() % 8));
      }
      break;
    }
    case Shape::kWorstSigns: {
      // The weight of coefficient (r, u) in sample (j, k) has the sign of
      // cos((2j + 1) r pi / 16) x cos((2k + 1) u pi / 16).
      static constexpr int kMagnitudes[] = {1100, 1200, 1400, 4096, 16384, 32767};
      const int magnitude = kMagnitudes[rng() % std::size(kMagnitudes)];
      const int j = static_cast<int>(rng() % 8);
      const int k = static_cast<int>(rng() % 8);
      const bool negate = rng() % 2 != 0;
      for (int r = 0; r < 8; ++r) {
        for (int u = 0; u < 8; ++u) {
          // cos(m pi / 16) < 0 exactly when m mod 32 lies in 9..23 (m mod 32 = 8 or 24: zero).
          const int rowPhase = ((2 * j + 1) * r) % 32;
          const int columnPhase = ((2 * k + 1) * u) % 32;
          const bool negative =
              (rowPhase > 8 && rowPhase < 24) != (columnPhase > 8 && columnPhase < 24);
          b[static_cast<std::size_t>(8 * r + u)] =
              static_cast<std::int16_t>(negative != negate ? -magnitude : magnitude);
        }
      }
      break;
    }
    case Shape::kCorner: {
      static constexpr Shape kWhole[] = {Shape::kUniform, Shape::kExtremes, Shape::kSmall,
                                         Shape::kWorstSigns};
      b = MakeBlock(kWhole[rng() % std::size(kWhole)], rng);
      for (std::size_t at = 0; at < kBlockSize; ++at) {
        if (at / 8 >= 4 || at % 8 >= 4) {
          b[at] = 0;
        }
      }
      break;
    }
  }
  return b;
}

TEST(FastInverseDct, MatchesThePlainTransformOnRandomAndExtremeBlocks) {
  if (const std::string why = WhyNotCompared(); !why.empty()) {
    GTEST_SKIP() << why;
  }
  const Shape shapes[] = {Shape::kUniform, Shape::kExtremes,   Shape::kSparse,
                          Shape::kSmall,   Shape::kWorstSigns, Shape::kCorner};
  for (const FastIdct& fast : kFastIdcts) {
    if (!Runs(fast.level)) {
      continue;
    }
    SCOPED_TRACE(fast.name);
    std::mt19937 rng(20261207);
    int mismatches = 0;
    for (int i = 0; i < kRandomBlocks && mismatches < 5; ++i) {
      const Block input = MakeBlock(shapes[static_cast<std::size_t>(i) % std::size(shapes)], rng);
      Block plain = input;
      Block quick = input;
      InverseDct8x8(plain.data());
      fast.routine(quick.data());
      if (plain != quick) {
        ++mismatches;
        ADD_FAILURE() << "input " << BlockText(input) << "\nplain " << BlockText(plain)
                      << "\nfast  " << BlockText(quick);
      }
    }
  }
}

// A block whose only non-zero coefficient is its DC value is flat: the shortcut's one sample is
// what the plain transform gives at every position, for every 16-bit value.
TEST(FastInverseDct, FlatBlockSampleIsThePlainTransformForEveryDcValue) {
  for (int dc = -32768; dc <= 32767; ++dc) {
    Block b{};
    b[0] = static_cast<std::int16_t>(dc);
    InverseDct8x8(b.data());
    const std::int16_t flat = FlatBlockSample(static_cast<std::int16_t>(dc));
    for (const std::int16_t v : b) {
      ASSERT_EQ(v, flat) << "dc " << dc;
    }
  }
}

// --- Dequantisation, reorder and transform ------------------------------------------------------

using ReconstructRoutine = void (*)(DecoderContext*);
using DequantiseRoutine = bool (*)(const DecoderContext*, std::int16_t*);
struct FastReconstruct {
  const char* name;
  std::uint8_t level;
  ReconstructRoutine routine;
  // The same block by the other fast route: dequantised into column order, then transformed.
  DequantiseRoutine toColumns;
  void (*transformColumns)(std::int16_t*, std::int16_t*);
};
const FastReconstruct kFastReconstructs[] = {
    {"SSE2", kRoutinesSse2, ReconstructBlockSse2, DequantiseToColumnsSse2, TransformColumnsSse2},
    {"AVX2", kRoutinesAvx2, ReconstructBlockAvx2, DequantiseToColumnsAvx2, TransformColumnsAvx2},
};

// Zig-zag coefficients and a quantisation table in, samples out: the plain steps, as DecodeBand
// runs them (16-bit products, reorder, transform).
Block PlainReconstruct(const Block& zigzag, const std::uint8_t* q) {
  Block t{};
  for (std::size_t k = 0; k < kBlockSize; ++k) {
    t[k] = static_cast<std::int16_t>(zigzag[k] * q[k]);
  }
  Block natural{};
  for (std::size_t n = 0; n < kBlockSize; ++n) {
    natural[n] = t[ZigZagIndex[n]];
  }
  InverseDct8x8(natural.data());
  return natural;
}

TEST(FastReconstruct, MatchesDequantiseReorderAndTransform) {
  if (const std::string why = WhyNotCompared(); !why.empty()) {
    GTEST_SKIP() << why;
  }
  test::ContextPtr context = test::NewDecoderContext();
  ASSERT_NE(context, nullptr);
  DecoderContext* c = context.get();
  c->curComp = 1;
  c->comp[1].quantTable = 2;
  const Shape shapes[] = {Shape::kSparse,   Shape::kSmall,      Shape::kUniform,
                          Shape::kExtremes, Shape::kWorstSigns, Shape::kCorner};
  for (const FastReconstruct& fast : kFastReconstructs) {
    if (!Runs(fast.level)) {
      continue;
    }
    SCOPED_TRACE(fast.name);
    std::mt19937 rng(7);
    int flat = 0;
    const int blocks = kRandomBlocks / 10;
    for (int i = 0; i < blocks; ++i) {
      // Tables from all ones to all 255, and zero entries (a table may hold them) that turn
      // coefficients into zeros; products that wrap to 0 as well (256 x 256).
      std::uint8_t* q = c->quantTables[2].values;
      const int table = i % 4;
      for (std::size_t k = 0; k < kBlockSize; ++k) {
        const unsigned value =
            table == 0   ? 1u
            : table == 1 ? 255u
                         : static_cast<unsigned>(rng() % static_cast<unsigned>(table * 40));
        q[k] = static_cast<std::uint8_t>(value);
      }
      Block input = MakeBlock(shapes[static_cast<std::size_t>(i) % std::size(shapes)], rng);
      if (i % 3 == 0) {  // DC only, or AC that the table or the wrap cancels
        std::fill(input.begin() + 1, input.end(), std::int16_t{0});
        if (i % 6 == 0) {
          input[5] = 256;
          q[5] = 0;
        }
      }
      const Block plain = PlainReconstruct(input, q);
      std::memcpy(c->block, input.data(), sizeof(c->block));
      // Columns holding leftovers of an earlier block: the routine clears them first.
      alignas(32) std::int16_t columns[kBlockSize];
      std::fill(std::begin(columns), std::end(columns), static_cast<std::int16_t>(i));
      Block viaColumns{};
      if (fast.toColumns(c, columns)) {
        fast.transformColumns(columns, viaColumns.data());
      } else {
        ASSERT_TRUE(
            std::all_of(columns + 1, std::end(columns), [](std::int16_t v) { return v == 0; }))
            << "input " << BlockText(input);
        viaColumns.fill(FlatBlockSample(columns[0]));
      }
      ASSERT_EQ(plain, viaColumns) << "by columns, input " << BlockText(input);
      fast.routine(c);
      Block quick{};
      if (c->blockIsFlat != 0) {
        ++flat;
        quick.fill(c->block[0]);
      } else {
        std::memcpy(quick.data(), c->block, sizeof(c->block));
      }
      ASSERT_EQ(plain, quick) << "input " << BlockText(input);
    }
    EXPECT_GT(flat, blocks / 4) << "the flat shortcut was hardly taken";
  }
}

// --- Transform straight into the band ---------------------------------------------------------

using ToBandRoutine = void (*)(std::int16_t*, std::uint8_t*, std::size_t, int, int);
using ToSamplesRoutine = void (*)(std::int16_t*, std::int16_t*);
struct FastTransform {
  const char* name;
  std::uint8_t level;
  ToBandRoutine toBand;
  ToSamplesRoutine toSamples;
};
const FastTransform kFastTransforms[] = {
    {"SSE2", kRoutinesSse2, TransformToBandSse2, TransformColumnsSse2},
    {"AVX2", kRoutinesAvx2, TransformToBandAvx2, TransformColumnsAvx2},
};

// A block in the column-by-column order the fast loop keeps coefficients in.
struct alignas(32) ColumnBlock {
  std::array<std::int16_t, kBlockSize> v;
};
ColumnBlock ColumnsOf(const Block& natural) {
  ColumnBlock c{};
  for (std::size_t u = 0; u < 8; ++u) {
    for (std::size_t r = 0; r < 8; ++r) {
      c.v[8 * u + r] = natural[8 * r + u];
    }
  }
  return c;
}

// The transform's samples, clamped and repeated, land in their area of a band and nowhere else;
// the samples alone equal the plain transform's; both leave the coefficient block cleared.
TEST(FastTransform, BandAreaAndSamplesMatchThePlainTransform) {
  if (const std::string why = WhyNotCompared(); !why.empty()) {
    GTEST_SKIP() << why;
  }
  constexpr std::uint8_t kCanary = 0xA5;
  constexpr std::size_t kLine = 40;   // band line length: room on both sides of the area
  constexpr std::size_t kLines = 20;  // 16 lines of the tallest area, and a margin
  constexpr std::size_t kOrigin = 2 * kLine + 5;
  const Shape shapes[] = {Shape::kUniform, Shape::kExtremes,   Shape::kSparse,
                          Shape::kSmall,   Shape::kWorstSigns, Shape::kCorner};
  const ColumnBlock cleared{};
  for (const FastTransform& fast : kFastTransforms) {
    if (!Runs(fast.level)) {
      continue;
    }
    SCOPED_TRACE(fast.name);
    std::mt19937 rng(1207);
    for (int i = 0; i < kRandomBlocks / 20; ++i) {
      const Block input = MakeBlock(shapes[static_cast<std::size_t>(i) % std::size(shapes)], rng);
      Block plain = input;
      InverseDct8x8(plain.data());
      // Every shape with every repeat.
      const auto round = static_cast<std::size_t>(i) / std::size(shapes);
      const int repeatX = 1 + static_cast<int>(round % 2);
      const int repeatY = 1 + static_cast<int>(round / 2 % 2);
      std::vector<std::uint8_t> band(kLine * kLines, kCanary);
      ColumnBlock columns = ColumnsOf(input);
      fast.toBand(columns.v.data(), band.data() + kOrigin, kLine, repeatX, repeatY);
      ASSERT_EQ(columns.v, cleared.v) << "coefficients left behind";
      for (std::size_t at = 0; at < band.size(); ++at) {
        const std::size_t y = at / kLine - kOrigin / kLine;
        const std::size_t x = at % kLine - kOrigin % kLine;
        const bool inside = at >= kOrigin && at % kLine >= kOrigin % kLine &&
                            y < 8u * static_cast<unsigned>(repeatY) &&
                            x < 8u * static_cast<unsigned>(repeatX);
        const std::int16_t sample = inside ? plain[8 * (y / static_cast<unsigned>(repeatY)) +
                                                   x / static_cast<unsigned>(repeatX)]
                                           : 0;
        const std::uint8_t want =
            inside ? static_cast<std::uint8_t>(std::clamp<int>(sample, 0, 255)) : kCanary;
        ASSERT_EQ(band[at], want) << "repeat " << repeatX << "x" << repeatY << ", byte " << at
                                  << ", input " << BlockText(input);
      }
      columns = ColumnsOf(input);
      Block samples{};
      fast.toSamples(columns.v.data(), samples.data());
      ASSERT_EQ(samples, plain) << "input " << BlockText(input);
      ASSERT_EQ(columns.v, cleared.v);
    }
  }
}

// --- Band output
// ----------------------------------------------------------------------------------

using OutputRoutine = void (*)(DecoderContext*, BandKind, std::size_t);
struct FastOutput {
  const char* name;
  std::uint8_t level;
  OutputRoutine routine;
};
const FastOutput kFastOutputs[] = {
    {"SSE2", kRoutinesSse2, OutputRowsSse2},
    {"AVX2", kRoutinesAvx2, OutputRowsAvx2},
};

// A context holding one band of `width` x 8 lines (factors 1x1).
struct BandContext {
  test::ContextPtr context;
  std::vector<std::uint8_t> band;

  // maxH or maxV 2: the components after the first at half that resolution. The height leaves
  // the band's last line out when maxV is 2, so that its rows are odd in number.
  BandContext(std::uint16_t width, std::uint8_t components, ColorConverter converter,
              std::uint8_t maxH = 1, std::uint8_t maxV = 1)
      : context(test::NewDecoderContext()) {
    DecoderContext* c = context.get();
    c->width = width;
    c->height = static_cast<std::uint16_t>(maxV == 1 ? 8 : 8 * maxV - 1);
    c->numComponents = components;
    c->maxH = maxH;
    c->maxV = maxV;
    for (std::uint8_t i = 0; i < components; ++i) {
      c->comp[i].h = i == 0 ? maxH : 1;
      c->comp[i].v = i == 0 ? maxV : 1;
    }
    c->colorConvert = converter;
    band.resize(BandBufferSize(c));
  }
  std::uint8_t* Segment(std::size_t line, std::size_t component) {
    const std::size_t segment = context->width + 8u * context->maxH;
    return band.data() + BandHeadroom(context.get()) + line * segment * context->numComponents +
           component * segment;
  }
  // The band's rows as the plain converter and interleave leave them, or as `fast` does.
  std::vector<std::uint8_t> Output(const FastOutput* fast) {
    std::vector<std::uint8_t> copy = band;
    DecoderContext* c = context.get();
    c->bandBuffer = copy.data();
    c->rowsOutput = 0;
    std::size_t rows = RowsToOutput(c);
    if (fast == nullptr) {
      if (c->colorConvert != nullptr) {
        c->colorConvert(c);
      }
      rows = InterleaveBand(c);
    } else {
      const BandKind kind = c->colorConvert == ConvertYCbCrToRgb ? BandKind::kYCbCr
                            : c->colorConvert == ConvertYcck     ? BandKind::kYcck
                                                                 : BandKind::kRaw;
      fast->routine(c, kind, rows);
    }
    c->bandBuffer = nullptr;
    copy.resize(rows * c->width * c->numComponents);
    return copy;
  }
};

// Every (Y, Cb, Cr) triple, 32768 to a band of 4096 x 8 pixels.
TEST(FastBandOutput, YCbCrMatchesThePlainConversionForEveryTriple) {
  if (const std::string why = WhyNotCompared(); !why.empty()) {
    GTEST_SKIP() << why;
  }
  constexpr std::uint16_t kWidth = 4096;
  constexpr std::uint32_t kPerBand = kWidth * 8u;
  BandContext b(kWidth, 3, ConvertYCbCrToRgb);
  for (const FastOutput& fast : kFastOutputs) {
    if (!Runs(fast.level)) {
      continue;
    }
    SCOPED_TRACE(fast.name);
    for (std::uint32_t first = 0; first < (1u << 24); first += kPerBand * kTripleBandStride) {
      for (std::uint32_t i = 0; i < kPerBand; ++i) {
        const std::uint32_t t = first + i;
        const std::size_t line = i / kWidth;
        const std::size_t x = i % kWidth;
        b.Segment(line, 0)[x] = static_cast<std::uint8_t>(t >> 16);
        b.Segment(line, 1)[x] = static_cast<std::uint8_t>(t >> 8);
        b.Segment(line, 2)[x] = static_cast<std::uint8_t>(t);
      }
      ASSERT_EQ(b.Output(nullptr), b.Output(&fast)) << "triples from " << first;
    }
  }
}

// Every component count and converter, widths on and off the vector sizes (the last step of a
// line repeats pixels), random samples.
TEST(FastBandOutput, EveryKindAndWidthMatchesThePlainRows) {
  if (const std::string why = WhyNotCompared(); !why.empty()) {
    GTEST_SKIP() << why;
  }
  const struct {
    std::uint8_t components;
    ColorConverter converter;
  } kKinds[] = {
      {1, ConvertNone},       {2, ConvertNone}, {3, ConvertNone}, {3, nullptr},
      {3, ConvertYCbCrToRgb}, {4, ConvertNone}, {4, ConvertYcck},
  };
  const std::uint16_t kWidths[] = {16, 17, 31, 32, 33, 47, 63, 64, 65, 100, 257};
  std::mt19937 rng(3);
  for (const auto& kind : kKinds) {
    for (const std::uint16_t width : kWidths) {
      SCOPED_TRACE(std::to_string(kind.components) + " components, width " + std::to_string(width));
      BandContext b(width, kind.components, kind.converter);
      for (auto& v : b.band) {
        v = static_cast<std::uint8_t>(rng());
      }
      const std::vector<std::uint8_t> plain = b.Output(nullptr);
      for (const FastOutput& fast : kFastOutputs) {
        if (Runs(fast.level)) {
          EXPECT_EQ(plain, b.Output(&fast)) << fast.name;
        }
      }
    }
  }
}

// Chroma at half the horizontal or vertical resolution or both, as the band holds it (each sample
// twice along that axis): the fast routines form the chroma terms once per pair and must still
// give the plain rows, for even and odd widths and an odd number of rows alike.
TEST(FastBandOutput, PairedChromaMatchesThePlainRows) {
  if (const std::string why = WhyNotCompared(); !why.empty()) {
    GTEST_SKIP() << why;
  }
  const std::uint16_t kWidths[] = {32, 33, 34, 35, 63, 64, 65, 66, 97, 258, 259};
  const struct {
    std::uint8_t maxH;
    std::uint8_t maxV;
  } kLayouts[] = {{2, 1}, {1, 2}, {2, 2}};
  std::mt19937 rng(11);
  for (const auto& layout : kLayouts) {
    for (const std::uint16_t width : kWidths) {
      SCOPED_TRACE("chroma at 1/" + std::to_string(layout.maxH) + " x 1/" +
                   std::to_string(layout.maxV) + ", width " + std::to_string(width));
      BandContext b(width, 3, ConvertYCbCrToRgb, layout.maxH, layout.maxV);
      const std::size_t segment = width + 8u * layout.maxH;
      const std::size_t lines = 8u * layout.maxV;
      for (std::size_t line = 0; line < lines; ++line) {
        for (std::size_t x = 0; x < segment; ++x) {
          b.Segment(line, 0)[x] = static_cast<std::uint8_t>(rng());
        }
        for (std::size_t component = 1; component < 3; ++component) {
          std::uint8_t* s = b.Segment(line, component);
          if (layout.maxV == 2 && line % 2 == 1) {  // the line above, again
            std::memcpy(s, b.Segment(line - 1, component), segment);
            continue;
          }
          for (std::size_t x = 0; x < segment; x += layout.maxH) {
            const auto v = static_cast<std::uint8_t>(rng());
            s[x] = v;
            if (layout.maxH == 2 && x + 1 < segment) {
              s[x + 1] = v;
            }
          }
        }
      }
      const std::vector<std::uint8_t> plain = b.Output(nullptr);
      for (const FastOutput& fast : kFastOutputs) {
        if (Runs(fast.level)) {
          EXPECT_EQ(plain, b.Output(&fast)) << fast.name;
        }
      }
    }
  }
}

// --- Whole images -------------------------------------------------------------------------------

// Everything a host can observe of one decode.
void ExpectSameDecode(const HostResult& plain, const HostResult& fast) {
  EXPECT_EQ(plain.end, fast.end);
  EXPECT_EQ(plain.rows, fast.rows);
  EXPECT_EQ(plain.rowLength, fast.rowLength);
  EXPECT_EQ(plain.rowLengthsAgree, fast.rowLengthsAgree);
  EXPECT_EQ(plain.digest, fast.digest);
  EXPECT_EQ(plain.leftover, fast.leftover);
  EXPECT_EQ(plain.bytesWritten, fast.bytesWritten);
  EXPECT_EQ(plain.calls, fast.calls);
  EXPECT_EQ(plain.refusedWrites, fast.refusedWrites);
  EXPECT_EQ(plain.writeCount, fast.writeCount);
  EXPECT_EQ(plain.readCount, fast.readCount);
  if (plain.pixels != fast.pixels && plain.pixels.size() == fast.pixels.size()) {
    for (std::size_t i = 0; i < plain.pixels.size(); ++i) {
      if (plain.pixels[i] != fast.pixels[i]) {
        ADD_FAILURE() << "first differing byte " << i << " (row "
                      << (plain.rowLength != 0 ? i / plain.rowLength : 0) << "): plain "
                      << int{plain.pixels[i]} << ", fast " << int{fast.pixels[i]};
        break;
      }
    }
  }
}

HostResult DecodeAt(std::uint8_t level, const std::vector<std::uint8_t>& file,
                    const PieceSchedule& schedule, std::int32_t mode = 3) {
  const LevelCap cap(level);
  HostOptions options;
  options.mode = mode;
  return DecodeThroughHost(file, options, schedule);
}

// Decodes `file` with the plain routines and with every fast level, whole and split, in
// streaming and buffered mode, and compares everything observable.
void ExpectSameWithEveryLevel(const std::vector<std::uint8_t>& file) {
  const PieceSchedule schedules[] = {PieceSchedule::Whole(), PieceSchedule::Random(11, 700)};
  for (const PieceSchedule& schedule : schedules) {
    for (const std::int32_t mode : {3, 2}) {
      SCOPED_TRACE(schedule.Describe() + ", mode " + std::to_string(mode));
      const HostResult plain = DecodeAt(kRoutinesPlain, file, schedule, mode);
      for (const std::uint8_t level : FastLevels()) {
        SCOPED_TRACE("level " + std::to_string(level));
        ExpectSameDecode(plain, DecodeAt(level, file, schedule, mode));
      }
    }
  }
}

#if defined(JPEGDEC_HAVE_LIBJPEG)

TEST(FastImages, SelfMadeImagesDecodeAlikeWithEveryLevel) {
  if (const std::string why = WhyNotCompared(); !why.empty()) {
    GTEST_SKIP() << why;
  }
  using test::Colour;
  using test::EncodeRecipe;
  using F = std::vector<std::pair<int, int>>;
  // Sampling layouts with every repeat the fast store takes (1, 2 and 4 along a line, 1 and 2
  // down) and ones it leaves to the plain replication (3 of 4, 1 of 3, 1 of 4 down); sizes off
  // the MCU grid; every colour model.
  const struct {
    std::uint32_t width, height;
    Colour colour;
    F factors;
    int quality;
  } kCases[] = {
      {64, 48, Colour::kYCbCr, {{2, 2}, {1, 1}, {1, 1}}, 90},
      {77, 35, Colour::kYCbCr, {{2, 2}, {1, 1}, {1, 1}}, 50},
      {100, 33, Colour::kYCbCr, {{2, 1}, {1, 1}, {1, 1}}, 75},
      {41, 57, Colour::kYCbCr, {{1, 2}, {1, 1}, {1, 1}}, 95},
      {50, 50, Colour::kYCbCr, {}, 100},
      {129, 17, Colour::kYCbCr, {{4, 1}, {2, 1}, {1, 1}}, 80},
      {71, 45, Colour::kYCbCr, {{4, 2}, {1, 1}, {1, 1}}, 80},
      {37, 66, Colour::kYCbCr, {{1, 4}, {1, 1}, {1, 1}}, 70},
      {61, 70, Colour::kYCbCr, {{2, 2}, {1, 2}, {2, 1}}, 85},
      {47, 23, Colour::kYCbCr, {{3, 1}, {1, 1}, {1, 1}}, 85},
      {90, 40, Colour::kYCbCr, {{2, 1}, {1, 1}, {2, 1}}, 70},
      {33, 33, Colour::kGrey, {}, 92},
      {300, 9, Colour::kGrey, {{2, 2}}, 20},
      {40, 31, Colour::kRgb, {}, 88},
      {35, 42, Colour::kYcck, {{2, 2}, {1, 1}, {1, 1}, {2, 2}}, 75},
      {48, 16, Colour::kCmyk, {}, 75},
      {19, 29, Colour::kCmykNoAdobe, {{1, 1}, {1, 1}, {1, 1}, {1, 1}}, 60},
  };
  for (const auto& k : kCases) {
    EncodeRecipe recipe = test::MakeRecipe(k.colour, k.width, k.height, k.factors);
    recipe.quality = k.quality;
    recipe.restartRows = k.width % 2;
    recipe.seed = k.width;
    SCOPED_TRACE(recipe.Name());
    std::string error;
    const std::vector<std::uint8_t> file = test::EncodeJpeg(recipe, &error);
    ASSERT_FALSE(file.empty()) << error;
    ExpectSameWithEveryLevel(file);
  }
}

#endif  // JPEGDEC_HAVE_LIBJPEG

TEST(FastImages, CorpusFilesDecodeAlikeWithEveryLevel) {
  if (const std::string why = WhyNotCompared(); !why.empty()) {
    GTEST_SKIP() << why;
  }
  if (test::CorpusDir().empty()) {
    GTEST_SKIP() << "the corpus (../shared/corpus beside the project) is absent: skipped";
  }
  std::size_t compared = 0;
  for (const char* folder : {"decodable", "corrupt", "fuzz"}) {
    const std::vector<std::string> files = test::CorpusFiles(folder);
    for (std::size_t i = 0; i < files.size(); i += kCorpusStride) {
      SCOPED_TRACE(files[i]);
      const std::vector<std::uint8_t> file = test::ReadFileBytes(files[i]);
      if (std::strcmp(folder, "decodable") == 0 && i % (10 * kCorpusStride) == 0) {
        ExpectSameWithEveryLevel(file);  // split and buffered as well, for a sample
      }
      const HostResult plain = DecodeAt(kRoutinesPlain, file, PieceSchedule::Whole());
      for (const std::uint8_t level : FastLevels()) {
        SCOPED_TRACE("level " + std::to_string(level));
        ExpectSameDecode(plain, DecodeAt(level, file, PieceSchedule::Whole()));
      }
      ++compared;
    }
  }
  std::printf("compared %zu corpus files at %zu fast levels\n", compared, FastLevels().size());
}

}  // namespace
}  // namespace jpegdec
