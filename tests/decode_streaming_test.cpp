// Streaming decode of images made here with libjpeg's encoder, through the public operations as a
// driver calls them: rows against libjpeg-turbo's own decode, the same rows however the input is
// split, DNL, trailing bytes, truncation and frames this decoder refuses.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstddef>
#include <cstdio>
#include <string>
#include <tuple>
#include <utility>
#include <vector>

#include "jpegdec/jpegdec.h"
#include "support/compare.h"
#include "support/host_driver.h"
#include "support/jpeg_builder.h"
#include "support/libjpeg_reference.h"

#if defined(JPEGDEC_HAVE_LIBJPEG)

namespace jpegdec::test {
namespace {

// Restart intervals of 1, 2 and 3 MCUs and of every MCU row, the last byte of each padded with 1
// bits (as libjpeg writes them) and with 0 bits, for grey and the common samplings.
std::vector<EncodeRecipe> RestartCases() {
  const EncodeRecipe images[] = {
      MakeRecipe(Colour::kGrey, 41, 23),
      MakeRecipe(Colour::kYCbCr, 64, 48, k420),
      MakeRecipe(Colour::kYCbCr, 77, 50, k422),
      MakeRecipe(Colour::kYCbCr, 64, 48, k444),
  };
  std::vector<EncodeRecipe> cases;
  for (const EncodeRecipe& image : images) {
    for (const unsigned mcus : {1u, 2u, 3u}) {
      cases.push_back(WithRestart(image, mcus));
      cases.push_back(ZeroPadded(WithRestart(image, mcus)));
    }
    cases.push_back(WithRestart(image, 0, 1));
    cases.push_back(ZeroPadded(WithRestart(image, 0, 1)));
  }
  return cases;
}

EncodeRecipe Optimised(EncodeRecipe recipe) {
  recipe.optimize = true;
  return recipe;
}

EncodeRecipe WithQuality(EncodeRecipe recipe, int quality) {
  recipe.quality = quality;
  return recipe;
}

std::vector<EncodeRecipe> SelfMadeCases() {
  std::vector<EncodeRecipe> cases = {
      // Sampling layouts.
      MakeRecipe(Colour::kGrey, 64, 48),
      MakeRecipe(Colour::kYCbCr, 40, 24, k444),
      MakeRecipe(Colour::kYCbCr, 40, 24, k422),
      MakeRecipe(Colour::kYCbCr, 35, 29, k420),
      MakeRecipe(Colour::kYCbCr, 67, 19, k411),
      MakeRecipe(Colour::kYCbCr, 23, 41, k440),
      MakeRecipe(Colour::kYCbCr, 50, 37, {{2, 2}, {2, 1}, {1, 2}}),
      MakeRecipe(Colour::kYCbCr, 70, 20, {{4, 1}, {2, 1}, {1, 1}}),  // 2 where the largest is 4
      MakeRecipe(Colour::kYCbCr, 45, 21, {{3, 1}, {1, 1}, {1, 1}}),
      // A one-component frame declaring 2x2: decoded as one block per MCU.
      MakeRecipe(Colour::kGrey, 37, 29, {{2, 2}}),
      // Odd sizes.
      MakeRecipe(Colour::kYCbCr, 1, 1, k420),
      MakeRecipe(Colour::kYCbCr, 7, 9, k420),
      MakeRecipe(Colour::kYCbCr, 17, 33, k420),
      MakeRecipe(Colour::kYCbCr, 1000, 1, k420),
      MakeRecipe(Colour::kYCbCr, 1, 1000, k422),
      MakeRecipe(Colour::kGrey, 1, 1),
      MakeRecipe(Colour::kGrey, 1000, 1),
      MakeRecipe(Colour::kGrey, 1, 1000),
      // Wider than 2048 pixels: the streaming input buffer grows with the width.
      MakeRecipe(Colour::kYCbCr, 2100, 24, k422),
      WithRestart(MakeRecipe(Colour::kYCbCr, 1200, 40, k420), 7),
      // A restart marker after every MCU of a wide strip: thousands of markers, none a step.
      WithRestart(MakeRecipe(Colour::kGrey, 2560, 64), 1),
      // Optimised Huffman tables.
      Optimised(MakeRecipe(Colour::kYCbCr, 48, 40, k420)),
      Optimised(MakeRecipe(Colour::kGrey, 31, 17)),
      Optimised(WithRestart(MakeRecipe(Colour::kYCbCr, 61, 35, k411), 5)),
      ZeroPadded(Optimised(WithRestart(MakeRecipe(Colour::kYCbCr, 61, 35, k411), 5))),
      // Extreme quantisation.
      WithQuality(MakeRecipe(Colour::kYCbCr, 40, 40, k420), 100),
      WithQuality(MakeRecipe(Colour::kYCbCr, 40, 40, k444), 5),
      // Colour models.
      MakeRecipe(Colour::kRgb, 33, 18, k444),
      MakeRecipe(Colour::kRgb, 34, 18, {{2, 2}, {1, 1}, {1, 1}}),
      MakeRecipe(Colour::kYCbCrAdobe, 30, 20, k420),
      MakeRecipe(Colour::kCmyk, 31, 19),
      MakeRecipe(Colour::kCmyk, 36, 20, {{2, 2}, {1, 1}, {1, 1}, {2, 2}}),
      MakeRecipe(Colour::kYcck, 29, 21),
      MakeRecipe(Colour::kYcck, 40, 26, {{2, 2}, {1, 1}, {1, 1}, {2, 2}}),
      MakeRecipe(Colour::kCmykNoAdobe, 24, 16),
      ZeroPadded(
          WithRestart(MakeRecipe(Colour::kCmyk, 36, 20, {{2, 2}, {1, 1}, {1, 1}, {2, 2}}), 2)),
  };
  // Restart intervals: every MCU, every few MCUs, every MCU row.
  for (const EncodeRecipe& recipe : RestartCases()) {
    cases.push_back(recipe);
  }
  return cases;
}

std::string CaseName(const ::testing::TestParamInfo<EncodeRecipe>& info) {
  return info.param.Name();
}

std::vector<std::uint8_t> Encode(const EncodeRecipe& recipe) {
  std::string error;
  std::vector<std::uint8_t> file = EncodeJpeg(recipe, &error);
  EXPECT_FALSE(file.empty()) << recipe.Name() << ": " << error;
  return file;
}

HostResult Decode(const std::vector<std::uint8_t>& file, const PieceSchedule& schedule,
                  std::int32_t mode = JPEGDEC_MODE_STREAMING, std::int32_t divisor = 1) {
  HostOptions options;
  options.mode = mode;
  options.memoryDivisor = divisor;
  return DecodeThroughHost(file, options, schedule);
}

// Samples converted from YCbCr or YCCK differ more from the reference than those output as
// decoded.
int Tolerance(Colour colour) {
  const bool raw = colour == Colour::kGrey || colour == Colour::kRgb || colour == Colour::kCmyk;
  return raw ? kReferenceToleranceRaw : kReferenceToleranceConverted;
}

// Compares the host's rows with the reference image; returns the largest difference.
int ExpectMatchesReference(const HostResult& result, const ReferenceImage& reference,
                           const std::string& what, int tolerance) {
  EXPECT_EQ(result.end, HostEnd::kEnd) << what << ": " << result.Summary();
  EXPECT_EQ(result.rows, reference.height) << what;
  EXPECT_TRUE(result.rowLengthsAgree) << what;
  EXPECT_EQ(result.rowLength, reference.width * reference.components) << what;
  const ImageDifference diff = CompareImages(
      View(result.pixels, result.rowLength, reference.components),
      View(reference.pixels, reference.width * reference.components, reference.components));
  EXPECT_TRUE(diff.sameShape) << what << ": " << diff.Describe();
  EXPECT_LE(diff.maxDiff, tolerance) << what << ": " << diff.Describe();
  return diff.maxDiff;
}

// Largest difference seen over the self-made images, printed when the suite ends.
int worstSelfMade = 0;
std::string worstSelfMadeName;

class SelfMadeImage : public ::testing::TestWithParam<EncodeRecipe> {
 public:
  static void TearDownTestSuite() {
    std::printf("largest difference from the reference over the self-made images: %d (%s)\n",
                worstSelfMade, worstSelfMadeName.c_str());
  }
};

TEST_P(SelfMadeImage, RowsMatchTheReference) {
  const std::vector<std::uint8_t> file = Encode(GetParam());
  const ReferenceImage reference = DecodeReference(file);
  ASSERT_TRUE(reference.ok) << reference.error;
  const HostResult result = Decode(file, PieceSchedule::Whole());
  EXPECT_EQ(result.isStreaming, 1);
  const int diff =
      ExpectMatchesReference(result, reference, GetParam().Name(), Tolerance(GetParam().colour));
  if (diff > worstSelfMade) {
    worstSelfMade = diff;
    worstSelfMadeName = GetParam().Name();
  }
}

// Reads that answered 1 in a decode that ended with 2: the host writes a piece after each (or
// ends the input), and a decoder that asks for more only once it has used what it holds answers
// so about once a piece (restart markers, say, cost none).
std::uint64_t ReadsAskingForMore(const HostResult& result, std::size_t pieces) {
  const std::uint64_t writes = pieces + result.refusedWrites;
  return result.calls - writes - result.rows - 1;  // the last Read ended the image
}

TEST_P(SelfMadeImage, SameRowsHoweverTheInputIsSplit) {
  const std::vector<std::uint8_t> file = Encode(GetParam());
  const HostResult whole = Decode(file, PieceSchedule::Whole());
  ASSERT_EQ(whole.end, HostEnd::kEnd) << whole.Summary();
  EXPECT_LE(ReadsAskingForMore(whole, 1), 2u) << "whole: " << whole.Summary();
  EXPECT_EQ(whole.refusedWrites, 0u);
  const PieceSchedule schedules[] = {
      PieceSchedule::Fixed(1),       PieceSchedule::Fixed(7),        PieceSchedule::Random(1, 64),
      PieceSchedule::Random(2, 300), PieceSchedule::Random(3, 4096),
  };
  for (const PieceSchedule& schedule : schedules) {
    const HostResult split = Decode(file, schedule);
    EXPECT_EQ(split.end, whole.end) << schedule.Describe() << ": " << split.Summary();
    EXPECT_EQ(split.rows, whole.rows) << schedule.Describe();
    EXPECT_EQ(split.digest, whole.digest) << schedule.Describe() << ": rows differ";
    const std::size_t pieces = PieceLengths(schedule, file.size()).size();
    EXPECT_LE(ReadsAskingForMore(split, pieces), pieces + 2) << schedule.Describe();
  }
  // Single bytes are gathered where they cannot let a row out: a host that reads once more
  // before each byte (so that every byte is decoded before the next comes) has had the same rows
  // handed out at every byte.
  HostOptions traced;
  traced.traceRows = true;
  traced.keepRows = false;
  const HostResult gathered = DecodeThroughHost(file, traced, PieceSchedule::Fixed(1));
  traced.readAgainBeforeWriting = true;
  const HostResult eager = DecodeThroughHost(file, traced, PieceSchedule::Fixed(1));
  ASSERT_EQ(gathered.rowsAtWrite.size(), file.size());
  const auto held = std::mismatch(gathered.rowsAtWrite.begin(), gathered.rowsAtWrite.end(),
                                  eager.rowsAtWrite.begin(), eager.rowsAtWrite.end());
  EXPECT_TRUE(held.first == gathered.rowsAtWrite.end())
      << "rows held back at byte " << (held.first - gathered.rowsAtWrite.begin());
  EXPECT_EQ(gathered.digest, whole.digest);
  // The buffered way feeds the same decoder from its copy of the file.
  const HostResult buffered = Decode(file, PieceSchedule::Random(4, 500), JPEGDEC_MODE_BUFFERED);
  EXPECT_EQ(buffered.end, whole.end) << "buffered: " << buffered.Summary();
  EXPECT_EQ(buffered.digest, whole.digest) << "buffered: rows differ";
}

// Where a self-made file's scan data lies: the first data byte, each restart marker, and the end
// marker that closes it.
struct ScanLayout {
  std::size_t data = 0;
  std::vector<std::size_t> restarts;
  std::size_t end = 0;
  std::uint32_t interval = 0;  // MCUs per restart interval (the DRI segment's; 0: none)
};

ScanLayout LayoutOf(const std::vector<std::uint8_t>& file) {
  ScanLayout layout;
  std::size_t i = 2;
  while (i + 4 <= file.size() && file[i] == 0xFF) {
    const std::uint8_t code = file[i + 1];
    const std::size_t length = (std::size_t{file[i + 2]} << 8) | file[i + 3];
    if (code == 0xDD) {
      layout.interval = (std::uint32_t{file[i + 4]} << 8) | file[i + 5];
    }
    i += 2 + length;
    if (code == 0xDA) {
      break;
    }
  }
  layout.data = i;
  for (; i + 1 < file.size(); ++i) {
    if (file[i] == 0xFF && file[i + 1] >= 0xD0 && file[i + 1] <= 0xD7) {
      layout.restarts.push_back(i);
    } else if (file[i] == 0xFF && file[i + 1] == 0xD9) {
      layout.end = i;
    }
  }
  return layout;
}

// The image rows that MCUs of restart interval `k` cover.
std::pair<std::uint32_t, std::uint32_t> RowsOfInterval(const EncodeRecipe& recipe,
                                                       std::uint32_t interval, std::size_t k) {
  int maxH = 1;
  int maxV = 1;
  if (ComponentCount(recipe.colour) > 1) {
    for (const auto& [h, v] : recipe.factors) {
      maxH = std::max(maxH, h);
      maxV = std::max(maxV, v);
    }
  }
  const std::uint32_t mcuWidth = 8 * static_cast<std::uint32_t>(maxH);
  const std::uint32_t mcuHeight = 8 * static_cast<std::uint32_t>(maxV);
  const std::uint32_t perRow = (recipe.width + mcuWidth - 1) / mcuWidth;
  const std::uint32_t first = static_cast<std::uint32_t>(k) * interval / perRow;
  const std::uint32_t last = (static_cast<std::uint32_t>(k + 1) * interval - 1) / perRow;
  return {first * mcuHeight, std::min((last + 1) * mcuHeight, recipe.height)};
}

// Damage in transfer never ends as a complete image, and where restart markers are present it
// costs only the interval it is in: data left over before the end marker or a restart marker, a
// restart marker lost at the first, a middle and the last interval (the interval behind it is
// filled), an interval cut short. Every row still comes out, those outside the damaged interval
// as in the intact file; whole, and for a middle interval in 1-byte and random pieces and in
// buffered mode.
TEST_P(SelfMadeImage, DamageCostsOnlyTheRestartIntervalItIsIn) {
  const EncodeRecipe& recipe = GetParam();
  const std::vector<std::uint8_t> file = Encode(recipe);
  const HostResult intact = Decode(file, PieceSchedule::Whole());
  ASSERT_EQ(intact.end, HostEnd::kEnd);
  const ScanLayout layout = LayoutOf(file);
  ASSERT_GT(layout.end, layout.data);
  struct Damage {
    std::string what;
    std::vector<std::uint8_t> file;
    std::ptrdiff_t interval;  // whose rows may differ; -1: none
    bool everyWay;
  };
  auto inserted = [&](std::size_t at) {
    std::vector<std::uint8_t> damaged = file;
    damaged.insert(damaged.begin() + static_cast<std::ptrdiff_t>(at), 0x00);
    return damaged;
  };
  auto erased = [&](std::size_t at, std::size_t count) {
    std::vector<std::uint8_t> damaged = file;
    const auto from = damaged.begin() + static_cast<std::ptrdiff_t>(at);
    damaged.erase(from, from + static_cast<std::ptrdiff_t>(count));
    return damaged;
  };
  std::vector<Damage> damages = {
      {"a byte left over before the end marker", inserted(layout.end), -1, false}};
  if (layout.interval != 0 && layout.restarts.size() >= 2) {
    const std::size_t last = layout.restarts.size() - 1;
    const std::size_t middle = layout.restarts.size() / 2;
    const auto next = [](std::size_t m) { return static_cast<std::ptrdiff_t>(m + 1); };
    damages.push_back({"the first restart marker lost", erased(layout.restarts[0], 2), 1, false});
    damages.push_back(
        {"a middle restart marker lost", erased(layout.restarts[middle], 2), next(middle), true});
    damages.push_back(
        {"the last restart marker lost", erased(layout.restarts[last], 2), next(last), false});
    damages.push_back(
        {"a byte left over before a restart marker", inserted(layout.restarts[middle]), -1, false});
    damages.push_back({"an interval cut short", erased(layout.restarts[middle] - 1, 1),
                       static_cast<std::ptrdiff_t>(middle), true});
  }
  const struct {
    std::int32_t mode;
    PieceSchedule schedule;
    bool always;
  } ways[] = {
      {JPEGDEC_MODE_STREAMING, PieceSchedule::Whole(), true},
      {JPEGDEC_MODE_STREAMING, PieceSchedule::Fixed(1), false},
      {JPEGDEC_MODE_STREAMING, PieceSchedule::Random(31, 100), false},
      {JPEGDEC_MODE_BUFFERED, PieceSchedule::Whole(), false},
  };
  const std::size_t rowBytes = intact.rowLength;
  for (const Damage& damage : damages) {
    std::uint32_t firstOwn = recipe.height;
    std::uint32_t endOwn = recipe.height;
    if (damage.interval >= 0) {
      std::tie(firstOwn, endOwn) =
          RowsOfInterval(recipe, layout.interval, static_cast<std::size_t>(damage.interval));
    }
    for (const auto& way : ways) {
      if (!way.always && !damage.everyWay) {
        continue;
      }
      SCOPED_TRACE(damage.what + ", mode " + std::to_string(way.mode) + ", " +
                   way.schedule.Describe());
      const HostResult result = Decode(damage.file, way.schedule, way.mode);
      EXPECT_EQ(result.end, HostEnd::kFailed) << result.Summary();
      ASSERT_EQ(result.rows, recipe.height) << result.Summary();
      for (std::uint32_t y = 0; y < recipe.height; ++y) {
        if (y >= firstOwn && y < endOwn) {
          continue;
        }
        const auto at = static_cast<std::ptrdiff_t>(y * rowBytes);
        ASSERT_TRUE(std::equal(result.pixels.begin() + at,
                               result.pixels.begin() + at + static_cast<std::ptrdiff_t>(rowBytes),
                               intact.pixels.begin() + at))
            << "row " << y << " (the damaged interval's rows: " << firstOwn << " to " << endOwn
            << ")";
      }
    }
  }
}

TEST_P(SelfMadeImage, AutomaticModeThatStreamsGivesTheSameRows) {
  const std::vector<std::uint8_t> file = Encode(GetParam());
  const HostResult streaming = Decode(file, PieceSchedule::Whole());
  const HostResult automatic =
      Decode(file, PieceSchedule::Random(5, 1000), JPEGDEC_MODE_AUTO, kTinyBudgetDivisor);
  EXPECT_EQ(automatic.isStreaming, 1);
  EXPECT_EQ(automatic.end, streaming.end) << automatic.Summary();
  EXPECT_EQ(automatic.digest, streaming.digest);
}

INSTANTIATE_TEST_SUITE_P(Encoded, SelfMadeImage, ::testing::ValuesIn(SelfMadeCases()), CaseName);

// The tolerance is loose enough for the two inverse DCTs and tight enough for real faults: the
// library's rows, compared with a reference that has its channels swapped, two blocks exchanged,
// smoothing upsampling or one row of offset, differ by more than it allows.
TEST(ReferenceTolerance, CatchesSwappedChannelsMisplacedBlocksAndWrongUpsampling) {
  const std::vector<std::uint8_t> file = Encode(MakeRecipe(Colour::kYCbCr, 64, 48, k420));
  const HostResult result = Decode(file, PieceSchedule::Whole());
  const ReferenceImage reference = DecodeReference(file);
  ASSERT_TRUE(reference.ok);
  const std::uint32_t stride = reference.width * 3;
  auto maxDiffFrom = [&](const std::vector<std::uint8_t>& expected) {
    return CompareImages(View(result.pixels, result.rowLength, 3), View(expected, stride, 3))
        .maxDiff;
  };
  ASSERT_LE(maxDiffFrom(reference.pixels), kReferenceToleranceConverted);

  std::vector<std::uint8_t> swapped = reference.pixels;
  for (std::size_t i = 0; i + 2 < swapped.size(); i += 3) {
    std::swap(swapped[i], swapped[i + 2]);
  }
  EXPECT_GT(maxDiffFrom(swapped), kReferenceToleranceConverted) << "R and B swapped";

  std::vector<std::uint8_t> exchanged = reference.pixels;  // 16x16 blocks at x 16 and 32
  for (std::uint32_t y = 0; y < 16; ++y) {
    auto* row = exchanged.data() + static_cast<std::size_t>(y) * stride;
    std::swap_ranges(row + 16 * 3, row + 32 * 3, row + 32 * 3);
  }
  EXPECT_GT(maxDiffFrom(exchanged), kReferenceToleranceConverted) << "blocks exchanged";

  const ReferenceImage fancy = DecodeReference(file, true);
  ASSERT_TRUE(fancy.ok);
  EXPECT_GT(maxDiffFrom(fancy.pixels), kReferenceToleranceConverted) << "smooth upsampling";

  const auto rowBytes = static_cast<std::ptrdiff_t>(stride);
  std::vector<std::uint8_t> shifted(reference.pixels.begin() + rowBytes, reference.pixels.end());
  shifted.insert(shifted.end(), reference.pixels.end() - rowBytes, reference.pixels.end());
  EXPECT_GT(maxDiffFrom(shifted), kReferenceToleranceConverted) << "one row off";
}

// A 600-dpi A4 page written as drivers receive it: in single bytes, 4 KiB, 256 KiB or 1 MiB USB
// transfers, or the whole file at once, each refused piece offered again whole after a Read. A
// run of long comment segments at the front keeps a segment of almost 64 KiB waiting when a
// 256 KiB piece arrives. Every way gives the 4 KiB rows; the input buffer grows at most to the
// largest piece plus the waiting segment, never with the image.
TEST(PieceSize, AnyPieceIsTakenAndGivesTheSameRows) {
  constexpr std::uint32_t kWidth = 4960;  // A4 at 600 dpi
  constexpr std::uint32_t kHeight = 7016;
  constexpr std::uint32_t kInitialCapacity = kWidth * 48 + 4096;
  constexpr std::uint32_t kLongestTail = 2 + 65535;  // a marker and its longest segment
  std::vector<std::uint8_t> file = Encode(MakeRecipe(Colour::kYCbCr, kWidth, kHeight, k420));
  ASSERT_GT(file.size(), 1u << 20) << "the page must outgrow a 1 MiB piece";
  std::vector<std::uint8_t> comments;
  for (int i = 0; i < 5; ++i) {
    comments.insert(comments.end(), {0xFF, 0xFE, 0xFF, 0xFF});
    comments.insert(comments.end(), 65533, static_cast<std::uint8_t>('a' + i));
  }
  file.insert(file.begin() + 2, comments.begin(), comments.end());
  HostOptions options;
  options.keepRows = false;
  const HostResult expected = DecodeThroughHost(file, options, PieceSchedule::Fixed(4096));
  ASSERT_EQ(expected.end, HostEnd::kEnd) << expected.Summary();
  ASSERT_EQ(expected.rows, kHeight);
  EXPECT_EQ(expected.inputCapacity, kInitialCapacity);
  const std::uint32_t kMiB = 1u << 20;
  const struct {
    PieceSchedule schedule;
    std::uint32_t largestPiece;
  } cases[] = {
      {PieceSchedule::Fixed(1), 1},
      {PieceSchedule::Fixed(256 * 1024), 256 * 1024},
      {PieceSchedule::Fixed(kMiB), kMiB},
      {PieceSchedule::Whole(), static_cast<std::uint32_t>(file.size())},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.schedule.Describe());
    const HostResult result = DecodeThroughHost(file, options, c.schedule);
    EXPECT_EQ(result.end, HostEnd::kEnd) << result.Summary();
    EXPECT_EQ(result.rows, kHeight);
    EXPECT_EQ(result.digest, expected.digest) << "rows differ from 4 KiB pieces";
    EXPECT_LE(result.inputCapacity, std::max(kInitialCapacity, c.largestPiece + kLongestTail));
    std::printf("%s: input buffer %u bytes, %u writes refused\n", c.schedule.Describe().c_str(),
                result.inputCapacity, result.refusedWrites);
  }
}

// --- Files patched after encoding -------------------------------------------------------------

// The 0-bit padding of the self-made images changes only the padding: encoded afresh with 1 bits
// the scan data is libjpeg's to the byte, and libjpeg decodes the 0-padded file to the same
// pixels without a warning.
TEST(ZeroPadding, OnlyThePaddingBitsChange) {
  const EncodeRecipe recipes[] = {
      WithRestart(MakeRecipe(Colour::kYCbCr, 64, 48, k420), 1),
      Optimised(WithRestart(MakeRecipe(Colour::kYCbCr, 61, 35, k411), 5)),
      WithRestart(MakeRecipe(Colour::kGrey, 41, 23), 0, 1),
  };
  for (const EncodeRecipe& recipe : recipes) {
    SCOPED_TRACE(recipe.Name());
    const std::vector<std::uint8_t> file = Encode(recipe);
    std::string error;
    EXPECT_EQ(ReencodeWithPadding(file, 1, &error), file) << error;
    const std::vector<std::uint8_t> zero = ReencodeWithPadding(file, 0, &error);
    ASSERT_EQ(zero.size(), file.size()) << error;
    EXPECT_NE(zero, file) << "no padding bit at all";
    const ReferenceImage original = DecodeReference(file);
    const ReferenceImage padded = DecodeReference(zero);
    ASSERT_TRUE(padded.ok) << padded.error;
    EXPECT_EQ(padded.warnings, 0);
    EXPECT_EQ(padded.pixels, original.pixels);
  }
}

// Offset of the first frame header's marker (0xFF 0xC0 or 0xC1), or 0.
std::size_t FrameHeaderAt(const std::vector<std::uint8_t>& file) {
  for (std::size_t i = 2; i + 1 < file.size(); ++i) {
    if (file[i] == 0xFF && (file[i + 1] == 0xC0 || file[i + 1] == 0xC1 || file[i + 1] == 0xC2)) {
      return i;
    }
  }
  return 0;
}

void SetFrameHeight(std::vector<std::uint8_t>* file, std::uint16_t height) {
  const std::size_t at = FrameHeaderAt(*file);
  ASSERT_NE(at, 0u);
  (*file)[at + 5] = static_cast<std::uint8_t>(height >> 8);
  (*file)[at + 6] = static_cast<std::uint8_t>(height & 0xFF);
}

// Inserts a DNL segment (0xFF 0xDC, length 4, the height) before the end-of-image marker.
void InsertDnl(std::vector<std::uint8_t>* file, std::uint16_t height) {
  ASSERT_GE(file->size(), 2u);
  ASSERT_EQ((*file)[file->size() - 2], 0xFF);
  ASSERT_EQ((*file)[file->size() - 1], 0xD9);
  const Bytes dnl = JpegBuilder().Dnl(height).Take();
  file->insert(file->end() - 2, dnl.begin(), dnl.end());
}

// A DNL segment after the scan sets a height below the frame header's. The scan holds three MCU
// rows (4:2:0, 37 lines: bands of 16), so the frame header's height decides how many rows the
// last band carries; rows already emitted are not taken back, so the rows past the DNL height are
// those of the padding lines, as the encoder wrote them.
TEST(DnlSegment, RowsAlreadyEmittedStandAndTheImageEnds) {
  constexpr std::uint32_t kTrueHeight = 37;
  const std::vector<std::uint8_t> original =
      Encode(MakeRecipe(Colour::kYCbCr, 40, kTrueHeight, k420));
  struct Case {
    std::uint16_t frameHeight;
    std::uint32_t rows;  // rows the host receives
  } const cases[] = {
      {64, 48},  // the third band is whole: 16 rows
      {48, 48},
      {40, 40},  // the frame header's height ends the third band at row 40
  };
  for (const Case& c : cases) {
    std::vector<std::uint8_t> file = original;
    SetFrameHeight(&file, c.frameHeight);
    InsertDnl(&file, kTrueHeight);
    // The reference: the same data with a frame header naming exactly the rows received.
    std::vector<std::uint8_t> plain = original;
    SetFrameHeight(&plain, static_cast<std::uint16_t>(c.rows));
    const ReferenceImage reference = DecodeReference(plain);
    ASSERT_TRUE(reference.ok) << reference.error;
    const std::string what = "frame height " + std::to_string(c.frameHeight);
    const HostResult whole = Decode(file, PieceSchedule::Whole());
    ExpectMatchesReference(whole, reference, what, kReferenceToleranceConverted);
    for (const PieceSchedule& schedule : {PieceSchedule::Fixed(1), PieceSchedule::Random(9, 50)}) {
      const HostResult split = Decode(file, schedule);
      EXPECT_EQ(split.end, whole.end) << what << ", " << schedule.Describe();
      EXPECT_EQ(split.digest, whole.digest) << what << ", " << schedule.Describe();
    }
  }
}

// Inserts `segment` before the end-of-image marker.
void InsertBeforeEnd(std::vector<std::uint8_t>* file, const std::vector<std::uint8_t>& segment) {
  ASSERT_GE(file->size(), 2u);
  file->insert(file->end() - 2, segment.begin(), segment.end());
}

// A page of unknown length: the frame header's height 0, the lines in a DNL segment after the
// scan. Its rows are those of the same file with its height in the frame header, on every
// sampling layout, line counts that are and are not a multiple of the band, with restart
// intervals; in streaming and buffered mode and automatic mode when it streams, however the
// input is split.
TEST(OpenPage, GivesTheRowsOfTheSameImageWithItsHeight) {
  const EncodeRecipe recipes[] = {
      MakeRecipe(Colour::kGrey, 41, 23),
      MakeRecipe(Colour::kGrey, 16, 32),
      MakeRecipe(Colour::kGrey, 24, 8),  // one band
      MakeRecipe(Colour::kYCbCr, 40, 24, k444),
      MakeRecipe(Colour::kYCbCr, 40, 37, k422),
      MakeRecipe(Colour::kYCbCr, 35, 48, k420),
      MakeRecipe(Colour::kYCbCr, 35, 29, k420),
      MakeRecipe(Colour::kYCbCr, 67, 19, k411),
      MakeRecipe(Colour::kYCbCr, 23, 41, k440),
      MakeRecipe(Colour::kYCbCr, 50, 37, {{2, 2}, {2, 1}, {1, 2}}),
      MakeRecipe(Colour::kYCbCr, 70, 20, {{4, 1}, {2, 1}, {1, 1}}),
      MakeRecipe(Colour::kYCbCr, 45, 21, {{3, 1}, {1, 1}, {1, 1}}),
      MakeRecipe(Colour::kYcck, 40, 26, {{2, 2}, {1, 1}, {1, 1}, {2, 2}}),
      WithRestart(MakeRecipe(Colour::kYCbCr, 64, 48, k420), 1),
      WithRestart(MakeRecipe(Colour::kYCbCr, 77, 50, k422), 0, 1),
      ZeroPadded(WithRestart(MakeRecipe(Colour::kGrey, 41, 23), 3)),
      // 0 padding bits read as blocks must not be taken for a further band (nor its rows).
      ZeroPadded(MakeRecipe(Colour::kGrey, 120, 97)),
      ZeroPadded(WithRestart(MakeRecipe(Colour::kYCbCr, 48, 72, k420), 2)),
  };
  const struct {
    std::int32_t mode;
    std::int32_t divisor;
    PieceSchedule schedule;
  } ways[] = {
      {JPEGDEC_MODE_STREAMING, 1, PieceSchedule::Whole()},
      {JPEGDEC_MODE_STREAMING, 1, PieceSchedule::Fixed(1)},
      {JPEGDEC_MODE_STREAMING, 1, PieceSchedule::Random(21, 64)},
      {JPEGDEC_MODE_BUFFERED, 1, PieceSchedule::Whole()},
      {JPEGDEC_MODE_BUFFERED, 1, PieceSchedule::Random(22, 300)},
      {JPEGDEC_MODE_AUTO, kTinyBudgetDivisor, PieceSchedule::Random(23, 300)},
  };
  for (const EncodeRecipe& recipe : recipes) {
    SCOPED_TRACE(recipe.Name());
    const std::vector<std::uint8_t> file = Encode(recipe);
    const HostResult expected = Decode(file, PieceSchedule::Whole());
    ASSERT_EQ(expected.end, HostEnd::kEnd) << expected.Summary();
    std::vector<std::uint8_t> open = file;
    SetFrameHeight(&open, 0);
    InsertDnl(&open, static_cast<std::uint16_t>(recipe.height));
    for (const auto& way : ways) {
      SCOPED_TRACE("mode " + std::to_string(way.mode) + ", " + way.schedule.Describe());
      const HostResult result = Decode(open, way.schedule, way.mode, way.divisor);
      EXPECT_EQ(result.end, HostEnd::kEnd) << result.Summary();
      EXPECT_EQ(result.rows, recipe.height);
      EXPECT_EQ(result.digest, expected.digest) << "rows differ";
    }
  }
}

// The DNL segment's lines decide the page's end. 4:2:0, bands of 16 lines: the scan data holds
// three bands (48 lines) for a 37-line image. Lines within the data give exactly that many rows
// (the rows below them never go out); lines below the rows already handed out (32 once the third
// band has begun), more lines than the data held, 0 lines, and a scan left without the segment
// fail, after the rows the page is known to hold.
TEST(OpenPage, TheDnlSegmentsLinesDecideTheEnd) {
  const std::vector<std::uint8_t> file = Encode(MakeRecipe(Colour::kYCbCr, 40, 37, k420));
  std::vector<std::uint8_t> allLines = file;
  SetFrameHeight(&allLines, 48);
  const HostResult reference = Decode(allLines, PieceSchedule::Whole());
  ASSERT_EQ(reference.rows, 48u) << reference.Summary();
  const std::vector<std::uint8_t> comment = {0xFF, 0xFE, 0x00, 0x04, 'e', 'n'};
  const std::vector<std::uint8_t> restart = {0xFF, 0xD0};
  struct Case {
    const char* what;
    int lines;                         // the DNL segment's; -1: none
    std::vector<std::uint8_t> before;  // inserted before the DNL segment (or the end marker)
    HostEnd end;
    std::uint32_t rows;
  };
  const Case cases[] = {
      {"the image's own lines", 37, {}, HostEnd::kEnd, 37},
      {"fewer, inside the last band", 33, {}, HostEnd::kEnd, 33},
      {"on a band boundary", 32, {}, HostEnd::kEnd, 32},
      {"the padding lines too", 48, {}, HostEnd::kEnd, 48},
      {"below the rows handed out", 31, {}, HostEnd::kFailed, 32},
      {"one band", 16, {}, HostEnd::kFailed, 32},
      {"more than the data held", 49, {}, HostEnd::kFailed, 48},
      {"0 lines", 0, {}, HostEnd::kFailed, 32},
      {"no DNL segment", -1, {}, HostEnd::kFailed, 32},
      {"a comment instead", -1, comment, HostEnd::kFailed, 32},
      {"a comment before it", 37, comment, HostEnd::kFailed, 32},
      {"a stray restart marker before it", 37, restart, HostEnd::kEnd, 37},
  };
  for (const Case& c : cases) {
    std::vector<std::uint8_t> open = file;
    SetFrameHeight(&open, 0);
    InsertBeforeEnd(&open, c.before);
    if (c.lines >= 0) {
      InsertDnl(&open, static_cast<std::uint16_t>(c.lines));
    }
    for (const std::int32_t mode : {JPEGDEC_MODE_STREAMING, JPEGDEC_MODE_BUFFERED}) {
      for (const PieceSchedule& schedule : {PieceSchedule::Whole(), PieceSchedule::Fixed(1)}) {
        SCOPED_TRACE(std::string(c.what) + ", mode " + std::to_string(mode) + ", " +
                     schedule.Describe());
        const HostResult result = Decode(open, schedule, mode);
        EXPECT_EQ(result.end, c.end) << result.Summary();
        EXPECT_EQ(result.rows, c.rows);
        EXPECT_TRUE(
            std::equal(result.pixels.begin(), result.pixels.end(), reference.pixels.begin()))
            << "not the page's first rows";
      }
    }
  }
}

// Fill bytes (0xFF) may precede any marker. Inserted before every restart marker and before the
// end-of-image marker, they change nothing: the same rows, the same ending, however the input is
// split (a piece may end after 0xFF or 0xFF 0xFF).
TEST(FillBytes, BeforeRestartAndEndMarkersChangeNothing) {
  const std::vector<std::uint8_t> plain =
      Encode(WithRestart(MakeRecipe(Colour::kYCbCr, 48, 32, k420), 1));
  const HostResult expected = Decode(plain, PieceSchedule::Whole());
  ASSERT_EQ(expected.end, HostEnd::kEnd);
  for (const std::size_t fill : {std::size_t{1}, std::size_t{2}, std::size_t{5}}) {
    std::vector<std::uint8_t> file;
    // Scan data holds no 0xFF followed by anything but 0x00 except the markers themselves.
    const std::size_t scanStart = FrameHeaderAt(plain);
    for (std::size_t i = 0; i < plain.size(); ++i) {
      const bool marker = i > scanStart && i + 1 < plain.size() && plain[i] == 0xFF &&
                          ((plain[i + 1] >= 0xD0 && plain[i + 1] <= 0xD7) || plain[i + 1] == 0xD9);
      if (marker) {
        file.insert(file.end(), fill, 0xFF);
      }
      file.push_back(plain[i]);
    }
    for (const PieceSchedule& schedule :
         {PieceSchedule::Whole(), PieceSchedule::Fixed(1), PieceSchedule::Random(12, 20)}) {
      const HostResult result = Decode(file, schedule);
      EXPECT_EQ(result.end, HostEnd::kEnd)
          << fill << " fill bytes, " << schedule.Describe() << ": " << result.Summary();
      EXPECT_EQ(result.digest, expected.digest) << fill << " fill bytes, " << schedule.Describe();
    }
  }
}

// Streaming: the bytes after the end marker in the piece that held it (here the whole file).
// Buffered: the bytes after it in the whole collected file, however many pieces the decoder was
// fed (5,000 trailing bytes span two of its pieces).
TEST(Finish, ReportsTheBytesAfterTheEndMarker) {
  const std::vector<std::uint8_t> image = Encode(MakeRecipe(Colour::kYCbCr, 24, 24, k420));
  const struct {
    std::uint32_t trailing;
    std::int32_t mode;
    PieceSchedule schedule;
  } cases[] = {
      {0, JPEGDEC_MODE_STREAMING, PieceSchedule::Whole()},
      {1, JPEGDEC_MODE_STREAMING, PieceSchedule::Whole()},
      {10, JPEGDEC_MODE_STREAMING, PieceSchedule::Whole()},
      {300, JPEGDEC_MODE_STREAMING, PieceSchedule::Whole()},
      {0, JPEGDEC_MODE_BUFFERED, PieceSchedule::Whole()},
      {300, JPEGDEC_MODE_BUFFERED, PieceSchedule::Fixed(7)},
      {5000, JPEGDEC_MODE_BUFFERED, PieceSchedule::Whole()},
      {5000, JPEGDEC_MODE_BUFFERED, PieceSchedule::Random(3, 900)},
      {20000, JPEGDEC_MODE_BUFFERED, PieceSchedule::Whole()},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(std::to_string(c.trailing) + " bytes, mode " + std::to_string(c.mode) + ", " +
                 c.schedule.Describe());
    std::vector<std::uint8_t> file = image;
    for (std::uint32_t i = 0; i < c.trailing; ++i) {
      file.push_back(static_cast<std::uint8_t>(0xA5 ^ i));
    }
    const HostResult result = Decode(file, c.schedule, c.mode);
    EXPECT_EQ(result.end, HostEnd::kEnd) << result.Summary();
    EXPECT_EQ(result.leftover, c.trailing);
    EXPECT_EQ(result.rows, 24u);
  }
}

// Reads after EndOfInput that may still answer 1 before the end: each does a share of the work
// left (at most 30 decoder steps).
constexpr std::uint32_t kIdleReadsAfterInputEnded = 4;

// A file cut anywhere before its end marker never ends as a complete image: once every byte is
// written and EndOfInput called, Read gives the rows decoded and -1 within a few calls, and the
// rows are exactly the first rows of the whole image. Every sampling layout, with and without
// restart intervals, a page of unknown length too; streaming, buffered, and automatic mode
// when it streams; whole, 1-byte and random pieces.
TEST(Truncation, RowsBeforeTheCutAreTheImagesFirstRows) {
  std::vector<std::vector<std::uint8_t>> files = {
      Encode(WithRestart(MakeRecipe(Colour::kYCbCr, 48, 64, k420), 2)),
      Encode(MakeRecipe(Colour::kGrey, 41, 23)),
      Encode(MakeRecipe(Colour::kYCbCr, 40, 24, k444)),
      Encode(WithRestart(MakeRecipe(Colour::kYCbCr, 77, 50, k422), 0, 1)),
      Encode(MakeRecipe(Colour::kYCbCr, 67, 19, k411)),
      Encode(MakeRecipe(Colour::kYCbCr, 23, 41, k440)),
      Encode(MakeRecipe(Colour::kYCbCr, 45, 21, {{3, 1}, {1, 1}, {1, 1}})),
      Encode(MakeRecipe(Colour::kYcck, 40, 26, {{2, 2}, {1, 1}, {1, 1}, {2, 2}})),
  };
  std::vector<std::uint8_t> openPage = files[0];
  SetFrameHeight(&openPage, 0);
  InsertDnl(&openPage, 64);
  files.push_back(openPage);
  const struct {
    std::int32_t mode;
    std::int32_t divisor;
    PieceSchedule schedule;
  } ways[] = {
      {JPEGDEC_MODE_STREAMING, 1, PieceSchedule::Random(11, 200)},
      {JPEGDEC_MODE_STREAMING, 1, PieceSchedule::Whole()},
      {JPEGDEC_MODE_STREAMING, 1, PieceSchedule::Fixed(1)},
      {JPEGDEC_MODE_AUTO, kTinyBudgetDivisor, PieceSchedule::Random(12, 300)},
      {JPEGDEC_MODE_BUFFERED, 1, PieceSchedule::Random(13, 500)},
  };
  constexpr int kCuts = 40;
  for (std::size_t f = 0; f < files.size(); ++f) {
    const std::vector<std::uint8_t>& file = files[f];
    const HostResult whole = Decode(file, PieceSchedule::Whole());
    ASSERT_EQ(whole.end, HostEnd::kEnd) << "file " << f;
    for (int i = 1; i < kCuts; ++i) {
      const std::size_t cut = file.size() * static_cast<std::size_t>(i) / kCuts;
      const std::vector<std::uint8_t> prefix(file.begin(),
                                             file.begin() + static_cast<std::ptrdiff_t>(cut));
      for (const auto& way : ways) {
        if (way.schedule.kind == PieceSchedule::Kind::kFixed && i % 8 != 0) {
          continue;  // 1-byte pieces at every eighth cut
        }
        SCOPED_TRACE("file " + std::to_string(f) + ", cut at " + std::to_string(cut) + ", mode " +
                     std::to_string(way.mode) + ", " + way.schedule.Describe());
        const HostResult result = Decode(prefix, way.schedule, way.mode, way.divisor);
        // 2 only for a cut after the last row's data (the file lacks only its end marker).
        EXPECT_TRUE(result.end == HostEnd::kFailed ||
                    (result.end == HostEnd::kEnd && result.rows == whole.rows))
            << result.Summary();
        EXPECT_LE(result.idleAfterInputEnded, kIdleReadsAfterInputEnded) << result.Summary();
        ASSERT_LE(result.pixels.size(), whole.pixels.size());
        EXPECT_TRUE(std::equal(result.pixels.begin(), result.pixels.end(), whole.pixels.begin()));
      }
    }
  }
}

// Frames outside what this decoder takes end with Read -1 before any row.
TEST(Refused, FramesOutsideTheProfileFailWithoutRows) {
  EncodeRecipe progressive = MakeRecipe(Colour::kYCbCr, 40, 40, k420);
  progressive.progressive = true;
  EncodeRecipe arithmetic = MakeRecipe(Colour::kYCbCr, 40, 40, k420);
  arithmetic.arithmetic = true;
  const struct {
    const char* what;
    std::vector<std::uint8_t> file;
  } cases[] = {
      {"progressive", Encode(progressive)},
      {"arithmetic", Encode(arithmetic)},
  };
  for (const auto& c : cases) {
    for (const PieceSchedule& schedule : {PieceSchedule::Whole(), PieceSchedule::Fixed(1)}) {
      const HostResult result = Decode(c.file, schedule);
      EXPECT_EQ(result.end, HostEnd::kFailed) << c.what << ": " << result.Summary();
      EXPECT_EQ(result.rows, 0u) << c.what;
    }
  }
}

}  // namespace
}  // namespace jpegdec::test

#else

TEST(DecodeStreaming, NeedsLibjpeg) { GTEST_SKIP() << "built without libjpeg: no reference"; }

#endif  // JPEGDEC_HAVE_LIBJPEG
