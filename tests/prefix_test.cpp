// Truncated files end cleanly and never show a row they do not hold: every prefix of each
// self-made test image (and a fixed sample of prefixes of the corpus files up to 64 KiB)
// decodes in streaming and buffered mode to -1, or to 2 once every row is out (a file that lacks
// only its end marker), within a few Reads of EndOfInput; the rows handed out are exactly the
// first rows of the whole file's decode. Each self-made image is also split in two at every byte,
// the two pieces giving exactly the whole file's rows and end.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstdint>
#include <cstdio>
#include <string>
#include <utility>
#include <vector>

#include "api/jpeg_decode_instance.h"
#include "jpegdec/jpegdec.h"
#include "jpegdec/jpegdec_probe.h"
#include "support/files.h"
#include "support/host_driver.h"
#include "support/jpeg_builder.h"
#include "support/split_mix.h"

#if defined(JPEGDEC_HAVE_LIBJPEG)
#include "support/libjpeg_reference.h"
#endif

namespace jpegdec::test {
namespace {

constexpr std::size_t kLargestCorpusFile = 64 * 1024;
constexpr std::size_t kCorpusPrefixesPerFile = 24;
// Reads after EndOfInput that may answer 1 before the end (each does a share of the work left).
constexpr std::uint32_t kIdleReadsAfterInputEnded = 8;

struct Image {
  std::string name;
  Bytes bytes;
};

// Hand-built images (both builds): one-code tables, every block the bits "00".
std::vector<Image> HandBuiltImages() {
  std::vector<Image> images;
  images.push_back(
      {"grey_16x16",
       JpegBuilder().Soi().OneCodeGreyHeaders(16, 16).Sos(kGreyScan).Raw({0x00}).Eoi().Take()});
  images.push_back({"ycbcr420_32x32_adobe_comment", JpegBuilder()
                                                        .Soi()
                                                        .Adobe(1)
                                                        .Comment({'s', 'c', 'a', 'n'})
                                                        .OneCodeColourHeaders(32, 32, kYCbCr420)
                                                        .Sos(kYCbCrScan)
                                                        .Raw(Bytes(6, 0x00))
                                                        .Eoi()
                                                        .Take()});
  images.push_back({"grey_restarts", OneCodeRestartImage()});
  // A page of unknown length: height 0, its 24 lines (three bands) in a DNL segment.
  images.push_back({"grey_open_page", JpegBuilder()
                                          .Soi()
                                          .OneCodeGreyHeaders(16, 0)
                                          .Sos(kGreyScan)
                                          .Raw({0x00, 0x0F})
                                          .Dnl(24)
                                          .Eoi()
                                          .Take()});
  return images;
}

// Images encoded with libjpeg (native build): several colour models, samplings, restart
// intervals and optimised tables, small enough for every prefix.
std::vector<Image> EncodedImages() {
  std::vector<Image> images;
#if defined(JPEGDEC_HAVE_LIBJPEG)
  std::vector<EncodeRecipe> recipes;
  EncodeRecipe grey;
  grey.width = 24;
  grey.height = 20;
  grey.colour = Colour::kGrey;
  recipes.push_back(grey);
  EncodeRecipe ycc420;
  ycc420.width = 33;
  ycc420.height = 17;
  ycc420.factors = {{2, 2}, {1, 1}, {1, 1}};
  ycc420.restartInterval = 2;
  recipes.push_back(ycc420);
  EncodeRecipe ycc422;
  ycc422.width = 20;
  ycc422.height = 12;
  ycc422.factors = {{2, 1}, {1, 1}, {1, 1}};
  ycc422.optimize = true;
  recipes.push_back(ycc422);
  EncodeRecipe cmyk;
  cmyk.width = 16;
  cmyk.height = 9;
  cmyk.colour = Colour::kYcck;
  recipes.push_back(cmyk);
  EncodeRecipe grey0;  // a restart marker after every MCU, the bits before it 0s
  grey0.width = 20;
  grey0.height = 12;
  grey0.colour = Colour::kGrey;
  grey0.restartInterval = 1;
  grey0.zeroPadding = true;
  recipes.push_back(grey0);
  for (const EncodeRecipe& recipe : recipes) {
    std::string error;
    Bytes bytes = EncodeJpeg(recipe, &error);
    EXPECT_FALSE(bytes.empty()) << recipe.Name() << ": " << error;
    images.push_back({recipe.Name(), std::move(bytes)});
  }
#endif
  return images;
}

HostResult Decode(const Bytes& file, std::int32_t mode, const FrameSize& frame) {
  HostOptions options;
  options.mode = mode;
  // Start gets the whole image's size, as a driver that knows the page passes it.
  options.startWidth = frame.width;
  options.startHeight = frame.height;
  return DecodeThroughHost(file, options, PieceSchedule::Whole());
}

// The rows of `part` are the first rows of `whole`.
::testing::AssertionResult FirstRowsOf(const HostResult& part, const HostResult& whole) {
  if (part.rows > whole.rows || part.pixels.size() > whole.pixels.size()) {
    return ::testing::AssertionFailure()
           << part.rows << " rows, but the whole file has only " << whole.rows;
  }
  if (part.rows != 0 && part.rowLength != whole.rowLength) {
    return ::testing::AssertionFailure()
           << "row length " << part.rowLength << ", not " << whole.rowLength;
  }
  if (!std::equal(part.pixels.begin(), part.pixels.end(), whole.pixels.begin())) {
    return ::testing::AssertionFailure() << "rows differ from the whole file's first rows";
  }
  return ::testing::AssertionSuccess();
}

struct Counts {
  std::size_t prefixes = 0;  // prefix decodes, both modes together
  std::size_t splits = 0;
  std::size_t closed = 0;  // prefixes closed by an end marker
};

// The prefix of `length` bytes in streaming and buffered mode.
void CheckPrefix(const Bytes& file, std::size_t length, const HostResult& whole,
                 const FrameSize& frame, Counts* counts) {
  SCOPED_TRACE("prefix of " + std::to_string(length) + " bytes");
  const Bytes prefix(file.begin(), file.begin() + static_cast<std::ptrdiff_t>(length));
  // 2 only with every row of the frame out.
  const auto complete = [&](const HostResult& r) {
    return r.rows == whole.rows || (frame.height != 0 && r.rows == frame.height);
  };

  const HostResult streaming = Decode(prefix, JPEGDEC_MODE_STREAMING, frame);
  EXPECT_TRUE(streaming.end == HostEnd::kFailed ||
              (streaming.end == HostEnd::kEnd && complete(streaming)))
      << "streaming: " << streaming.Summary();
  EXPECT_LE(streaming.idleAfterInputEnded, kIdleReadsAfterInputEnded) << streaming.Summary();
  EXPECT_TRUE(FirstRowsOf(streaming, whole)) << "streaming";

  const HostResult buffered = Decode(prefix, JPEGDEC_MODE_BUFFERED, frame);
  EXPECT_TRUE(buffered.end == HostEnd::kEnd || buffered.end == HostEnd::kFailed)
      << "buffered: " << buffered.Summary();
  EXPECT_TRUE(FirstRowsOf(buffered, whole)) << "buffered";
  if (buffered.end == HostEnd::kEnd && whole.end == HostEnd::kEnd) {
    // Buffered mode ends with 2 without the end marker only once every row is out.
    EXPECT_EQ(buffered.rows, whole.rows);
  }
  counts->prefixes += 2;
}

// The whole file in two pieces, cut after `cut` bytes, through the streaming way.
HostResult DecodeInTwo(const Bytes& file, std::size_t cut, const FrameSize& frame) {
  HostResult result;
  JpegDecodeInstance* instance = CreateJpegDecodeInstance();
  if (instance == nullptr || instance->Start(frame.width, frame.height, 3, 1) != 1) {
    result.end = HostEnd::kStartFailed;
  } else {
    const std::size_t ends[] = {cut, file.size()};
    std::size_t written = 0;
    int piece = 0;
    int idle = 0;
    for (int calls = 0; calls < 1000000; ++calls) {
      std::uint8_t* row = nullptr;
      std::uint32_t length = 0;
      const std::int32_t r = instance->Read(&row, &length);
      if (r == JPEGDEC_READ_ROW) {
        result.rowLength = length;
        result.pixels.insert(result.pixels.end(), row, row + length);
        ++result.rows;
        continue;
      }
      if (r != JPEGDEC_READ_AGAIN) {
        result.end = r == JPEGDEC_READ_END ? HostEnd::kEnd : HostEnd::kFailed;
        break;
      }
      if (piece < 2) {
        const std::size_t length32 = ends[piece] - written;
        if (instance->Write(file.data() + written, static_cast<std::uint32_t>(length32)) == 1) {
          written = ends[piece++];
        }
        continue;
      }
      if (++idle > 100) {
        result.end = HostEnd::kCutShort;
        break;
      }
    }
  }
  if (instance != nullptr) {
    instance->Finish(nullptr);
    DeleteJpegDecodeInstance(instance);
  }
  return result;
}

TEST(Prefixes, EveryPrefixOfEachSelfMadeImageEndsCleanly) {
  std::vector<Image> images = HandBuiltImages();
  for (Image& image : EncodedImages()) {
    images.push_back(std::move(image));
  }
  Counts counts;
  InitializeJpegDec();
  for (const Image& image : images) {
    SCOPED_TRACE(image.name);
    const FrameSize frame = PeekFrameSize(image.bytes);
    const HostResult whole = Decode(image.bytes, JPEGDEC_MODE_STREAMING, frame);
    ASSERT_EQ(whole.end, HostEnd::kEnd) << whole.Summary();
    ASSERT_EQ(whole.rows, frame.height != 0 ? frame.height : 24);
    for (std::size_t length = 0; length < image.bytes.size(); ++length) {
      CheckPrefix(image.bytes, length, whole, frame, &counts);
    }
    for (std::size_t cut = 1; cut < image.bytes.size(); ++cut) {
      SCOPED_TRACE("split after " + std::to_string(cut) + " bytes");
      const HostResult split = DecodeInTwo(image.bytes, cut, frame);
      EXPECT_EQ(split.end, HostEnd::kEnd) << split.Summary();
      EXPECT_EQ(split.rows, whole.rows);
      EXPECT_TRUE(split.pixels == whole.pixels);
      ++counts.splits;
    }
  }
  EXPECT_EQ(UnInitializeJpegDec(), 0);
  std::printf("%zu images: %zu prefix decodes (streaming and buffered), %zu two-piece splits\n",
              images.size(), counts.prefixes, counts.splits);
}

// Where the scan data lies: from the end of the first SOS segment to the end marker that closes
// the file, or the DNL segment before it ({0, 0} when there is no scan).
std::pair<std::size_t, std::size_t> ScanData(const Bytes& b) {
  constexpr std::size_t kDnlAndEnd = 6 + 2;
  const bool dnl = b.size() > kDnlAndEnd && b[b.size() - kDnlAndEnd] == 0xFF &&
                   b[b.size() - kDnlAndEnd + 1] == 0xDC;
  std::size_t i = 2;
  while (i + 3 < b.size() && b[i] == 0xFF) {
    const std::size_t end = i + 2 + static_cast<std::size_t>(b[i + 2] << 8 | b[i + 3]);
    if (b[i + 1] == 0xDA) {
      return {end, b.size() - (dnl ? kDnlAndEnd : 2)};
    }
    i = end;
  }
  return {0, 0};
}

// The scan data cut short, closed by an end marker as a device or transfer that stops early
// sends it, or simply ended (EndOfInput): at every byte of the scan data (the hand-built images'
// blocks are 2 bits, so every cut is at a block boundary; the restart images' cuts meet every
// interval's end), whole in streaming and buffered mode, and a fixed sample of the cuts in
// 1-byte and random pieces and in automatic mode when it streams: Read -1 every time, after a
// strict prefix of the whole file's rows. (A cut between a data byte 0xFF and its stuffed 0x00
// is left out: 0xFF before the end marker is a fill byte, whose bits are taken as the data
// byte's.)
TEST(Prefixes, ScanDataCutAndClosedByTheEndMarkerFails) {
  std::vector<Image> images = HandBuiltImages();
  for (Image& image : EncodedImages()) {
    images.push_back(std::move(image));
  }
  std::size_t cuts = 0;
  InitializeJpegDec();
  for (const Image& image : images) {
    SCOPED_TRACE(image.name);
    const FrameSize frame = PeekFrameSize(image.bytes);
    const HostResult whole = Decode(image.bytes, JPEGDEC_MODE_STREAMING, frame);
    ASSERT_EQ(whole.end, HostEnd::kEnd);
    const auto [begin, end] = ScanData(image.bytes);
    ASSERT_LT(begin, end);
    for (std::size_t cut = begin; cut < end; ++cut) {
      if (image.bytes[cut - 1] == 0xFF) {
        continue;
      }
      SCOPED_TRACE("cut after " + std::to_string(cut) + " bytes");
      const Bytes open(image.bytes.begin(), image.bytes.begin() + static_cast<std::ptrdiff_t>(cut));
      Bytes closed = open;
      closed.insert(closed.end(), {0xFF, 0xD9});
      struct Way {
        const Bytes* file;
        std::int32_t mode;
        PieceSchedule schedule;
      };
      std::vector<Way> ways = {{&closed, JPEGDEC_MODE_STREAMING, PieceSchedule::Whole()},
                               {&closed, JPEGDEC_MODE_BUFFERED, PieceSchedule::Whole()},
                               {&open, JPEGDEC_MODE_STREAMING, PieceSchedule::Whole()},
                               {&open, JPEGDEC_MODE_BUFFERED, PieceSchedule::Whole()}};
      if (cuts % 5 == 0) {
        for (const Bytes* file : {static_cast<const Bytes*>(&closed), &open}) {
          ways.push_back({file, JPEGDEC_MODE_STREAMING, PieceSchedule::Fixed(1)});
          ways.push_back({file, JPEGDEC_MODE_STREAMING, PieceSchedule::Random(7, 40)});
        }
        ways.push_back({&open, JPEGDEC_MODE_AUTO, PieceSchedule::Random(8, 40)});
      }
      for (const Way& way : ways) {
        SCOPED_TRACE(std::string(way.file == &open ? "no end marker" : "end marker") + ", mode " +
                     std::to_string(way.mode) + ", " + way.schedule.Describe());
        HostOptions options;
        options.mode = way.mode;
        options.memoryDivisor = way.mode == JPEGDEC_MODE_AUTO ? 0 : 1;  // 0: automatic streams
        options.startWidth = frame.width;
        options.startHeight = frame.height;
        const HostResult result = DecodeThroughHost(*way.file, options, way.schedule);
        EXPECT_EQ(result.end, HostEnd::kFailed) << result.Summary();
        EXPECT_LT(result.rows, whole.rows);
        EXPECT_TRUE(FirstRowsOf(result, whole));
        EXPECT_LE(result.idleAfterInputEnded, kIdleReadsAfterInputEnded) << result.Summary();
        if (way.mode == JPEGDEC_MODE_AUTO) {
          EXPECT_EQ(result.isStreaming, 1);
        }
      }
      ++cuts;
    }
  }
  EXPECT_EQ(UnInitializeJpegDec(), 0);
  std::printf("%zu images: scan data cut at %zu places, closed by an end marker or not\n",
              images.size(), cuts);
}

// A fixed sample of prefix lengths: the first bytes, evenly spaced lengths and some
// pseudo-random ones (the same on every run), all below the file's size.
std::vector<std::size_t> SampleLengths(std::size_t size) {
  std::vector<std::size_t> lengths = {0, 1, 2, 3, 4, 7};
  constexpr std::size_t kEven = kCorpusPrefixesPerFile / 2;
  for (std::size_t k = 1; k < kEven; ++k) {
    lengths.push_back(size * k / kEven);
  }
  SplitMix random(size);
  while (lengths.size() < kCorpusPrefixesPerFile) {
    lengths.push_back(random.Below(size));
  }
  std::sort(lengths.begin(), lengths.end());
  lengths.erase(std::unique(lengths.begin(), lengths.end()), lengths.end());
  lengths.erase(
      std::remove_if(lengths.begin(), lengths.end(), [size](std::size_t n) { return n >= size; }),
      lengths.end());
  return lengths;
}

TEST(Prefixes, SampledPrefixesOfCorpusFilesEndCleanly) {
  std::vector<std::string> files = CorpusFiles("decodable");
  if (files.empty()) {
    GTEST_SKIP() << "the external corpus (../shared/corpus) is absent";
  }
  for (const std::string& path : CorpusFiles("corrupt")) {
    files.push_back(path);
  }
  Counts counts;
  std::size_t sampled = 0;
  InitializeJpegDec();
  for (const std::string& path : files) {
    const Bytes bytes = ReadFileBytes(path);
    if (bytes.empty() || bytes.size() > kLargestCorpusFile) {
      continue;
    }
    SCOPED_TRACE(path);
    const FrameSize frame = PeekFrameSize(bytes);
    const HostResult whole = Decode(bytes, JPEGDEC_MODE_STREAMING, frame);
    const std::size_t scan = ScanData(bytes).first;
    for (std::size_t length : SampleLengths(bytes.size())) {
      CheckPrefix(bytes, length, whole, frame, &counts);
      if (whole.end != HostEnd::kEnd || scan == 0 || length < scan) {
        continue;
      }
      // Closed by an end marker inside the scan data: never 2 before the last row.
      Bytes closed(bytes.begin(), bytes.begin() + static_cast<std::ptrdiff_t>(length));
      closed.insert(closed.end(), {0xFF, 0xD9});
      const HostResult result = Decode(closed, JPEGDEC_MODE_STREAMING, frame);
      EXPECT_TRUE(result.end == HostEnd::kFailed ||
                  (result.end == HostEnd::kEnd && result.rows == whole.rows))
          << "prefix of " << length << " bytes and an end marker: " << result.Summary();
      EXPECT_TRUE(FirstRowsOf(result, whole)) << "prefix of " << length << " and an end marker";
      ++counts.closed;
    }
    ++sampled;
  }
  EXPECT_EQ(UnInitializeJpegDec(), 0);
  std::printf(
      "%zu corpus files up to %zu bytes: %zu prefix decodes (streaming and buffered), %zu "
      "prefixes closed by an end marker\n",
      sampled, kLargestCorpusFile, counts.prefixes, counts.closed);
}

// The frame probe's answer in one line: "need more", "invalid", or the frame's fields.
std::string Probed(const JpegDecFrameInfo& f, int result) {
  if (result != JPEGDEC_PROBE_FRAME) {
    const bool cleared = f.width == 0 && f.componentCount == 0 && f.native == 0 &&
                         f.adobeTransform == -1 && f.jfifUnits == -1 && f.nativeRowBytes == 0;
    return std::string(result == JPEGDEC_PROBE_NEED_MORE ? "need more" : "invalid") +
           (cleared ? "" : " (fields left set)");
  }
  char text[200];
  std::snprintf(text, sizeof text,
                "%X %ux%ux%u %u%u,%u%u native %d complete %d adobe %d converted %d jfif %d %ux%u "
                "dri %u rows %lu %lu/%u",
                f.frameMarker, f.width, f.height, f.componentCount, f.horizontal[0], f.vertical[0],
                f.horizontal[1], f.vertical[1], f.native, f.complete, f.adobeTransform, f.converted,
                f.jfifUnits, f.jfifXDensity, f.jfifYDensity, f.restartInterval, f.nativeRowBytes,
                f.gdiplusRowBytes, f.gdiplusBytesPerPixel);
  return text;
}

// Probes every prefix of `stream`: "need more" up to some length, then one answer for good (the
// frame's own fields unchanged; `complete`, once 1, stays 1). Returns the answer for the whole.
std::string ProbeEveryPrefix(const Bytes& stream) {
  JpegDecFrameInfo first{};
  int settled = JPEGDEC_PROBE_NEED_MORE;
  int complete = 0;
  JpegDecFrameInfo f{};
  int result = JPEGDEC_PROBE_NEED_MORE;
  for (std::size_t n = 0; n <= stream.size(); ++n) {
    result = JpegDecProbeFrame(stream.data(), n, &f);
    if (settled == JPEGDEC_PROBE_NEED_MORE) {
      settled = result;
      first = f;
    }
    EXPECT_EQ(result, settled) << "prefix of " << n << " bytes";
    if (result == JPEGDEC_PROBE_FRAME) {
      EXPECT_TRUE(f.frameMarker == first.frameMarker && f.width == first.width &&
                  f.height == first.height && f.componentCount == first.componentCount &&
                  f.horizontal[0] == first.horizontal[0] && f.vertical[0] == first.vertical[0])
          << "prefix of " << n << " bytes: " << Probed(f, result);
      EXPECT_GE(f.complete, complete) << "prefix of " << n << " bytes";
      complete = f.complete;
    }
  }
  return Probed(f, result);
}

// Hand-built headers through the public frame probe, each probed at every prefix: the answer
// for the whole stream, with the row lengths of the native and GDI+ ways. "native" follows the
// marker parser's checks up to the first scan header.
TEST(Prefixes, FrameProbeAnswersOnceTheFrameHeaderIsIn) {
  const Bytes jfif300 = {'J', 'F', 'I', 'F', 0, 1, 2, 1, 0x01, 0x2C, 0x01, 0x2C, 0, 0};
  const Bytes tables = JpegBuilder().Dqt(0).Dqt(1).Take();
  const Bytes greyHeader = JpegBuilder().Sof0(16, 16, kGreyFrame).Take();
  const Bytes greyScan = JpegBuilder().Sos(kGreyScan).Take();
  auto stream = [](std::vector<Bytes> parts) {
    JpegBuilder builder;
    builder.Soi();
    for (const Bytes& part : parts) {
      builder.Raw(part);
    }
    return builder.Take();
  };
  auto sof = [](std::uint8_t code, std::uint16_t w, std::uint16_t h,
                const std::vector<FrameComponent>& c, std::uint8_t precision = 8) {
    return JpegBuilder().Sof(code, w, h, c, precision).Take();
  };
  auto sos = [](const std::vector<ScanComponent>& c) { return JpegBuilder().Sos(c).Take(); };
  auto adobe = [](std::uint8_t t) { return JpegBuilder().Adobe(t).Take(); };
  Bytes sixteenBit(129, 1);
  sixteenBit[0] = 0x10;        // Pq 1, Tq 0
  Bytes acTable2 = {0x12, 1};  // AC table 2: one 1-bit code, for symbol 0
  acTable2.resize(17);
  acTable2.push_back(0);
  Bytes overfull = {0x10, 3};  // three 1-bit codes
  overfull.resize(17 + 3);
  Bytes counts256(16);  // 254 codes of 8 bits and 2 of 9: 256 symbols, as many as a byte has
  counts256[7] = 254;
  counts256[8] = 2;
  Bytes symbols256(256);
  for (std::size_t i = 0; i < symbols256.size(); ++i) {
    symbols256[i] = static_cast<std::uint8_t>(i);
  }
  // What the decoder skips before the start marker: bytes without 0xFF, and the segments it
  // reads anywhere (here a quantisation table that the frame then uses).
  auto prefixed = [&](const Bytes& before, bool withTables = true) {
    Bytes out = before;
    const Bytes file =
        withTables ? stream({tables, greyHeader, greyScan}) : stream({greyHeader, greyScan});
    out.insert(out.end(), file.begin(), file.end());
    return out;
  };
  const std::vector<FrameComponent> five = {
      {1, 1, 1, 0}, {2, 1, 1, 0}, {3, 1, 1, 0}, {4, 1, 1, 0}, {5, 1, 1, 0}};
  const struct {
    const char* name;
    Bytes stream;
    const char* want;
  } rows[] = {
      {"grey", stream({tables, greyHeader, greyScan}),
       "C0 16x16x1 11,00 native 1 complete 1 adobe -1 converted 0 jfif -1 0x0 dri 0 rows 16 16/1"},
      {"4:2:0 with JFIF at 300 dpi, Adobe 1, a restart interval",
       stream({JpegBuilder().App(0, jfif300).Take(), adobe(1), tables, sof(0xC0, 17, 33, kYCbCr420),
               JpegBuilder().Dri(4).Take(), sos(kYCbCrScan)}),
       "C0 17x33x3 22,11 native 1 complete 1 adobe 1 converted 1 jfif 1 300x300 dri 4 rows 51 "
       "52/3"},
      {"extended sequential CMYK (Adobe 0)",
       stream({adobe(0), tables, sof(0xC1, 5, 7, kFourComponents), sos(kFourComponentScan)}),
       "C1 5x7x4 11,11 native 1 complete 1 adobe 0 converted 0 jfif -1 0x0 dri 0 rows 20 16/3"},
      {"YCCK without an Adobe segment",
       stream({tables, sof(0xC0, 5, 7, kFourComponents), sos(kFourComponentScan)}),
       "C0 5x7x4 11,11 native 1 complete 1 adobe -1 converted 1 jfif -1 0x0 dri 0 rows 20 16/3"},
      {"four components, Adobe 255 before the frame (taken as none)",
       stream({adobe(255), tables, sof(0xC0, 5, 7, kFourComponents), sos(kFourComponentScan)}),
       "C0 5x7x4 11,11 native 1 complete 1 adobe 255 converted 0 jfif -1 0x0 dri 0 rows 20 16/3"},
      {"three components, Adobe 0 after the frame",
       stream({tables, sof(0xC0, 17, 33, kYCbCr420), adobe(0), sos(kYCbCrScan)}),
       "C0 17x33x3 22,11 native 1 complete 1 adobe 0 converted 0 jfif -1 0x0 dri 0 rows 51 52/3"},
      {"height 0: the lines follow in a DNL segment",
       stream({tables, sof(0xC0, 16, 0, kGreyFrame), greyScan}),
       "C0 16x0x1 11,00 native 1 complete 1 adobe -1 converted 0 jfif -1 0x0 dri 0 rows 16 16/1"},
      {"the frame header, not yet the scan", stream({tables, greyHeader}),
       "C0 16x16x1 11,00 native 1 complete 0 adobe -1 converted 0 jfif -1 0x0 dri 0 rows 16 16/1"},
      {"junk, fill bytes and an AC table 2 of its own",
       stream({{0x00, 0x12, 0xFF, 0xFF},
               tables,
               JpegBuilder().Segment(0xC4, acTable2).Take(),
               greyHeader,
               sos({{1, 0, 2}})}),
       "C0 16x16x1 11,00 native 1 complete 1 adobe -1 converted 0 jfif -1 0x0 dri 0 rows 16 16/1"},
      {"progressive", stream({tables, sof(0xC2, 16, 16, kGreyFrame), greyScan}),
       "C2 16x16x1 11,00 native 0 complete 1 adobe -1 converted 0 jfif -1 0x0 dri 0 rows 16 16/1"},
      {"12-bit samples", stream({tables, sof(0xC1, 16, 16, kGreyFrame, 12), greyScan}),
       "C1 16x16x1 11,00 native 0 complete 1 adobe -1 converted 0 jfif -1 0x0 dri 0 rows 16 16/1"},
      {"five components", stream({tables, sof(0xC0, 3, 2, five)}),
       "C0 3x2x5 11,11 native 0 complete 1 adobe -1 converted 0 jfif -1 0x0 dri 0 rows 15 12/3"},
      {"width 0", stream({tables, sof(0xC0, 0, 8, kGreyFrame), greyScan}),
       "C0 0x8x1 11,00 native 0 complete 1 adobe -1 converted 0 jfif -1 0x0 dri 0 rows 0 0/1"},
      {"sampling factor 5", stream({tables, sof(0xC0, 8, 8, {{1, 5, 1, 0}}), greyScan}),
       "C0 8x8x1 51,00 native 0 complete 1 adobe -1 converted 0 jfif -1 0x0 dri 0 rows 8 8/1"},
      {"a first scan of one component of three",
       stream({tables, sof(0xC0, 17, 33, kYCbCr420), sos({{1, 0, 0}})}),
       "C0 17x33x3 22,11 native 0 complete 1 adobe -1 converted 1 jfif -1 0x0 dri 0 rows 51 52/3"},
      {"AC table 2 never defined", stream({tables, greyHeader, sos({{1, 0, 2}})}),
       "C0 16x16x1 11,00 native 0 complete 1 adobe -1 converted 0 jfif -1 0x0 dri 0 rows 16 16/1"},
      {"DC table 2", stream({tables, greyHeader, sos({{1, 2, 0}})}),
       "C0 16x16x1 11,00 native 0 complete 1 adobe -1 converted 0 jfif -1 0x0 dri 0 rows 16 16/1"},
      {"quantisation table not defined",
       stream({JpegBuilder().Dqt(1).Take(), greyHeader, greyScan}),
       "C0 16x16x1 11,00 native 0 complete 1 adobe -1 converted 0 jfif -1 0x0 dri 0 rows 16 16/1"},
      {"16-bit quantisation table",
       stream({JpegBuilder().Segment(0xDB, sixteenBit).Take(), greyHeader, greyScan}),
       "C0 16x16x1 11,00 native 0 complete 1 adobe -1 converted 0 jfif -1 0x0 dri 0 rows 16 16/1"},
      {"over-full Huffman table after the frame",
       stream({tables, greyHeader, JpegBuilder().Segment(0xC4, overfull).Take(), greyScan}),
       "C0 16x16x1 11,00 native 0 complete 1 adobe -1 converted 0 jfif -1 0x0 dri 0 rows 16 16/1"},
      {"DRI of length 3 after the frame",
       stream({tables, greyHeader, {0xFF, 0xDD, 0x00, 0x03, 0x00}, greyScan}),
       "C0 16x16x1 11,00 native 0 complete 1 adobe -1 converted 0 jfif -1 0x0 dri 0 rows 16 16/1"},
      {"a stuffed zero between segments", stream({tables, {0xFF, 0x00}, greyHeader, greyScan}),
       "C0 16x16x1 11,00 native 0 complete 1 adobe -1 converted 0 jfif -1 0x0 dri 0 rows 16 16/1"},
      {"a second frame header", stream({tables, greyHeader, greyHeader, greyScan}),
       "C0 16x16x1 11,00 native 0 complete 1 adobe -1 converted 0 jfif -1 0x0 dri 0 rows 16 16/1"},
      {"a restart marker before the scan", stream({tables, greyHeader, {0xFF, 0xD0}, greyScan}),
       "C0 16x16x1 11,00 native 0 complete 1 adobe -1 converted 0 jfif -1 0x0 dri 0 rows 16 16/1"},
      {"a comment of length 1 after the frame", stream({tables, greyHeader, {0xFF, 0xFE, 0, 1}}),
       "C0 16x16x1 11,00 native 0 complete 1 adobe -1 converted 0 jfif -1 0x0 dri 0 rows 16 16/1"},
      // Lengths that run past the bytes, however long: more bytes are needed.
      {"an application segment of 65535 bytes, cut",
       stream({{0xFF, 0xE1, 0xFF, 0xFF, 'E', 'x', 'i', 'f'}}), "need more"},
      {"a frame header of 65535 bytes, cut", stream({{0xFF, 0xC0, 0xFF, 0xFF, 8, 0, 8, 0, 8, 1}}),
       "need more"},
      {"an AC table of 256 symbols",
       stream(
           {tables, JpegBuilder().Dht(0x10, counts256, symbols256).Take(), greyHeader, greyScan}),
       "C0 16x16x1 11,00 native 1 complete 1 adobe -1 converted 0 jfif -1 0x0 dri 0 rows 16 16/1"},
      {"junk before the start marker", prefixed({'j', 'u', 'n', 'k'}),
       "C0 16x16x1 11,00 native 1 complete 1 adobe -1 converted 0 jfif -1 0x0 dri 0 rows 16 16/1"},
      {"a table segment before the start marker", prefixed(JpegBuilder().Dqt(0).Take(), false),
       "C0 16x16x1 11,00 native 1 complete 1 adobe -1 converted 0 jfif -1 0x0 dri 0 rows 16 16/1"},
      // Bytes without a marker: the decoder waits for one, and so does the probe.
      {"text", {'h', 'e', 'l', 'l', 'o'}, "need more"},
      {"a PNG signature", {0x89, 'P', 'N', 'G', 0x0D, 0x0A, 0x1A, 0x0A}, "need more"},
      {"a stuffed zero before the start marker", prefixed({0x12, 0xFF, 0x00}), "invalid"},
      {"a frame header before the start marker", prefixed(greyHeader), "invalid"},
      {"code 0x02 before the frame", stream({tables, {0xFF, 0x02}}), "invalid"},
      {"code 0x02 at once", {0xFF, 0x02}, "invalid"},
      {"over-full Huffman table before the frame",
       stream({tables, JpegBuilder().Segment(0xC4, overfull).Take(), greyHeader, greyScan}),
       "invalid"},
      {"DRI of length 3 before the frame",
       stream({{0xFF, 0xDD, 0x00, 0x03, 0x00}, tables, greyHeader, greyScan}), "invalid"},
      {"a length field of 1 before the frame", stream({{0xFF, 0xE0, 0x00, 0x01}, greyHeader}),
       "invalid"},
      {"a scan before the frame", stream({tables, greyScan, greyHeader}), "invalid"},
      {"the end marker before the frame", stream({tables, {0xFF, 0xD9}, greyHeader}), "invalid"},
      {"a frame of 0 components", stream({tables, sof(0xC0, 8, 8, {})}), "invalid"},
      {"a frame shorter than its components",
       stream({JpegBuilder().Segment(0xC0, {8, 0, 8, 0, 8, 2, 1, 0x11, 0}).Take()}), "invalid"},
  };
  for (const auto& row : rows) {
    SCOPED_TRACE(row.name);
    EXPECT_EQ(ProbeEveryPrefix(row.stream), row.want);
  }

  // The self-made images: the frame, every native, rows of width x components bytes.
  std::vector<Image> images = HandBuiltImages();
  for (Image& image : EncodedImages()) {
    images.push_back(std::move(image));
  }
  for (const Image& image : images) {
    SCOPED_TRACE(image.name);
    ProbeEveryPrefix(image.bytes);
    JpegDecFrameInfo f;
    ASSERT_EQ(JpegDecProbeFrame(image.bytes.data(), image.bytes.size(), &f), JPEGDEC_PROBE_FRAME);
    EXPECT_EQ(f.native, 1);
    EXPECT_EQ(f.complete, 1);
    const FrameSize frame = PeekFrameSize(image.bytes);
    EXPECT_EQ(f.nativeRowBytes, std::uint64_t{frame.width} * frame.components);
  }

  // GDI+ rows or the native decoder's, by their length (17 pixels of 3 components: 51 and 52).
  JpegDecFrameInfo f;
  JpegDecProbeFrame(rows[1].stream.data(), rows[1].stream.size(), &f);
  EXPECT_EQ(JpegDecProbeRowsAreGdiplus(&f, 51), 0);
  EXPECT_EQ(JpegDecProbeRowsAreGdiplus(&f, 52), 1);
  EXPECT_EQ(JpegDecProbeRowsAreGdiplus(&f, 68), -1);
}

}  // namespace
}  // namespace jpegdec::test
