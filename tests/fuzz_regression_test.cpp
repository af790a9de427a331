// Inputs that once crashed, hung or ended wrongly, each kept as the smallest byte stream that
// showed the fault, with the end it must reach now. Every case is decoded through the public
// operations in streaming and buffered mode, whole and in small pieces, and must leave no
// instance alive.
#include <gtest/gtest.h>

#include <cstdint>
#include <string>
#include <vector>

#include "jpegdec/jpegdec.h"
#include "support/files.h"
#include "support/host_driver.h"
#include "support/jpeg_builder.h"

namespace jpegdec::test {
namespace {

// A one-component 8 x 8 frame without any DHT segment, so the standard tables apply: DC code
// "00" is category 0 and AC code "1010" is the end of block. One block is the six bits 001010.
Bytes GreyHeadersStandardTables(std::uint16_t width) {
  return JpegBuilder().Soi().Dqt(0).Sof0(width, 8, kGreyFrame).Sos(kGreyScan).Take();
}

Bytes WithScan(Bytes headers, const Bytes& scan) {
  headers.insert(headers.end(), scan.begin(), scan.end());
  return headers;
}

struct RegressionCase {
  const char* name;
  Bytes file;
  HostEnd end;         // in streaming and in buffered mode
  std::uint32_t rows;  // rows handed out before that end
};

std::vector<RegressionCase> Cases() {
  return {
      // The last block's byte was padded with 0 bits. They read as the start of a further
      // block, whose AC part then ran into the fill bytes and the end marker: Read ended in -1
      // after all rows. Once the image's last row is out, the rest of the scan is skipped.
      {"zero_padding_then_fill_bytes_and_eoi",
       WithScan(GreyHeadersStandardTables(8), {0x28, 0xFF, 0xFF, 0xD9}), HostEnd::kEnd, 8},
      {"zero_padding_then_eoi", WithScan(GreyHeadersStandardTables(8), {0x28, 0xFF, 0xD9}),
       HostEnd::kEnd, 8},
      {"zero_padding_then_many_fill_bytes",
       WithScan(GreyHeadersStandardTables(8), {0x28, 0xFF, 0xFF, 0xFF, 0xFF, 0xD9}), HostEnd::kEnd,
       8},
      // Two blocks, the second ending four bits into its byte: 0010 1000 1010 0000.
      {"two_blocks_zero_padding_then_fill",
       WithScan(GreyHeadersStandardTables(16), {0x28, 0xA0, 0xFF, 0xFF, 0xD9}), HostEnd::kEnd, 8},
      // After the last row, stuffed pairs and a restart marker are skipped as scan data; data
      // left over after the last MCU is damage, so the image does not end as complete.
      {"stuffed_bytes_and_restart_after_the_last_row",
       WithScan(GreyHeadersStandardTables(8),
                {0x2B, 0xFF, 0x00, 0x12, 0xFF, 0xD0, 0x00, 0xFF, 0xD9}),
       HostEnd::kFailed, 8},
      // Found by fuzz_decoder_step (a fault of the target, not the library): a long run of
      // restart markers costs one step each without a row; the decode must still end.
      {"long_run_of_restart_markers",
       [] {
         Bytes b = JpegBuilder().Soi().OneCodeGreyHeaders(16, 16).Sos(kGreyScan).Raw({0x3F}).Take();
         for (int i = 0; i < 200; ++i) {
           b.push_back(0xFF);
           b.push_back(static_cast<std::uint8_t>(0xD0 + i % 8));
         }
         b.insert(b.end(), {0x3F, 0xFF, 0xD0, 0x3F, 0xFF, 0xD1, 0x3F, 0xFF, 0xD9});
         return b;
       }(),
       HostEnd::kFailed, 16},  // restart markers without a DRI segment, mid-scan: damage
      // Found by fuzz_decoder_step: a few damaged bytes with restart intervals, a frame of
      // 65535 x 65535 and the end marker where a restart marker was sought. The rest of the
      // image is filled only as far as the lost data could have reached (one interval), so the
      // decode ends at once instead of filling 4 GB of rows.
      {"end_marker_sought_in_a_huge_frame",
       JpegBuilder()
           .Soi()
           .OneCodeGreyHeaders(65535, 65535)
           .Dri(1)
           .Sos(kGreyScan)
           .Raw({0x3F, 0x12})  // one block, then data where the restart marker should be
           .Eoi()
           .Take(),
       HostEnd::kFailed, 0},
  };
}

struct Way {
  std::int32_t mode;
  PieceSchedule schedule;
};

const Way kWays[] = {
    {JPEGDEC_MODE_STREAMING, PieceSchedule::Whole()},
    {JPEGDEC_MODE_STREAMING, PieceSchedule::Fixed(1)},
    {JPEGDEC_MODE_STREAMING, PieceSchedule::Fixed(3)},
    {JPEGDEC_MODE_BUFFERED, PieceSchedule::Whole()},
    {JPEGDEC_MODE_BUFFERED, PieceSchedule::Fixed(1)},
};

TEST(FuzzRegression, EachCaseEndsAsItMust) {
  for (const RegressionCase& c : Cases()) {
    for (const Way& way : kWays) {
      SCOPED_TRACE(std::string(c.name) + ", mode " + std::to_string(way.mode) + ", " +
                   way.schedule.Describe());
      InitializeJpegDec();
      HostOptions options;
      options.mode = way.mode;
      const HostResult result = DecodeThroughHost(c.file, options, way.schedule);
      EXPECT_EQ(result.end, c.end) << result.Summary();
      EXPECT_EQ(result.rows, c.rows) << result.Summary();
      EXPECT_TRUE(result.rowLengthsAgree);
      EXPECT_EQ(UnInitializeJpegDec(), 0);
    }
  }
}

// The corpus file that showed the padding fault: 640 x 480, its last byte padded with 0 bits,
// then 0xFF 0xFF 0xD9.
TEST(FuzzRegression, CorpusFileWithFillBytesBeforeEoiEnds) {
  if (CorpusDir().empty()) {
    GTEST_SKIP() << "the external corpus (../shared/corpus) is absent";
  }
  const Bytes file =
      ReadFileBytes(CorpusDir() + "/decodable/ird_crash_multiple-0xff-before-eoi.jpg");
  ASSERT_FALSE(file.empty());
  for (const Way& way : kWays) {
    SCOPED_TRACE("mode " + std::to_string(way.mode) + ", " + way.schedule.Describe());
    HostOptions options;
    options.mode = way.mode;
    options.keepRows = false;
    const HostResult result = DecodeThroughHost(file, options, way.schedule);
    EXPECT_EQ(result.end, HostEnd::kEnd) << result.Summary();
    EXPECT_EQ(result.rows, 480u);
    EXPECT_EQ(result.rowLength, 640u * 3u);
  }
}

}  // namespace
}  // namespace jpegdec::test
