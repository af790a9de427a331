// The external corpus through the public operations, as a driver feeds it: decodable files
// against libjpeg-turbo (native build), the same rows however the input is split, and refused,
// corrupt and fuzzed files ending cleanly within a bounded number of calls. Skips when the corpus
// is absent.
#include <gtest/gtest.h>

#include <cstdio>
#include <map>

#include "jpegdec/jpegdec.h"
#include "jpegdec/jpegdec_probe.h"
#include "support/compare.h"
#include "support/files.h"
#include "support/host_driver.h"
#include "support/libjpeg_reference.h"
#include "support/manifest.h"

namespace jpegdec::test {
namespace {

#if defined(_WIN32)
// Under Wine every decode is slower: the win32 run takes a sample of each folder.
constexpr bool kUnderWine = true;
#else
constexpr bool kUnderWine = false;
#endif
#if defined(_WIN32) || defined(__SANITIZE_ADDRESS__)
// Under Wine and with the sanitizers the split runs take a sample, and the comparison with the
// reference leaves out the largest images (the plain native run covers them all).
constexpr bool kFullRun = false;
#else
constexpr bool kFullRun = true;
#endif
constexpr std::uint64_t kSampledRunPixels = 1000000;

#define SKIP_WITHOUT_CORPUS(files)                                                         \
  if ((files).empty()) {                                                                   \
    GTEST_SKIP() << "the corpus (../shared/corpus beside the project) is absent: skipped"; \
  }

// Every n-th file, starting with the first.
std::vector<std::string> EveryNth(const std::vector<std::string>& files, std::size_t n) {
  std::vector<std::string> sample;
  for (std::size_t i = 0; i < files.size(); i += n) {
    sample.push_back(files[i]);
  }
  return sample;
}

HostResult Decode(const std::vector<std::uint8_t>& file, const PieceSchedule& schedule,
                  std::int32_t mode = JPEGDEC_MODE_STREAMING, std::int32_t divisor = 1,
                  bool keepRows = false) {
  HostOptions options;
  options.mode = mode;
  options.memoryDivisor = divisor;
  options.keepRows = keepRows;
  return DecodeThroughHost(file, options, schedule);
}

// Reads after EndOfInput that may answer 1 before the end: a decoder with work left does a share
// of it per Read.
constexpr std::uint32_t kIdleReadsAfterInputEnded = 8;

// A clean ending for damaged input: the end of the image or a failure, soon after EndOfInput.
bool EndsCleanly(const HostResult& result) {
  return (result.end == HostEnd::kEnd || result.end == HostEnd::kFailed) &&
         result.idleAfterInputEnded <= kIdleReadsAfterInputEnded;
}

// Files of decodable/ that this library refuses by its own rules: 16-bit quantisation tables.
bool RefusedByThisLibrary(const Manifest& manifest, const std::string& path) {
  return ManifestValue(manifest, CorpusRelative(path), "dqt_16bit") == "yes";
}

#if defined(JPEGDEC_HAVE_LIBJPEG)

// The file as the reference decoder takes it: a page of unknown length (frame height 0, the lines
// in a DNL segment) gets its lines written into the frame header, which is all it lacks.
std::vector<std::uint8_t> WithHeightInFrameHeader(const Manifest& manifest, const std::string& path,
                                                  std::vector<std::uint8_t> bytes) {
  const std::string file = CorpusRelative(path);
  if (ManifestValue(manifest, file, "height") != "0") {
    return bytes;
  }
  const auto lines =
      static_cast<std::uint16_t>(std::stoul(ManifestValue(manifest, file, "dnl_lines")));
  for (std::size_t i = 0; i + 6 < bytes.size(); ++i) {
    if (bytes[i] == 0xFF && (bytes[i + 1] == 0xC0 || bytes[i + 1] == 0xC1)) {
      bytes[i + 5] = static_cast<std::uint8_t>(lines >> 8);
      bytes[i + 6] = static_cast<std::uint8_t>(lines & 0xFF);
      break;
    }
  }
  return bytes;
}

// Files of decodable/ whose every row the decoder emits but whose ending is still wrong, with the
// reason. The test expects the failure while it lasts and asks for the entry's removal once the
// file decodes to its end.
const std::map<std::string, std::string> kOpenEndingFaults = {};

struct Worst {
  int diff = 0;
  std::string file;
  std::string where;
};

TEST(CorpusDecodable, StreamingRowsMatchTheReference) {
  const std::vector<std::string> files = CorpusFiles("decodable");
  SKIP_WITHOUT_CORPUS(files);
  const Manifest manifest = ReadManifest();
  std::map<bool, Worst> worst;  // by "converted"
  int compared = 0;
  int refused = 0;
  int leftOut = 0;
  for (const std::string& path : files) {
    SCOPED_TRACE(CorpusRelative(path));
    const std::vector<std::uint8_t> bytes = ReadFileBytes(path);
    // The public probe reads the frame the catalogue lists; the native decoder takes all but
    // the files with 16-bit quantisation tables.
    JpegDecFrameInfo probed;
    ASSERT_EQ(JpegDecProbeFrame(bytes.data(), bytes.size(), &probed), JPEGDEC_PROBE_FRAME);
    const std::string file = CorpusRelative(path);
    EXPECT_EQ(std::to_string(probed.width), ManifestValue(manifest, file, "width"));
    EXPECT_EQ(std::to_string(probed.height), ManifestValue(manifest, file, "height"));
    EXPECT_EQ(probed.native, ManifestValue(manifest, file, "dqt_16bit") == "yes" ? 0 : 1);
    EXPECT_EQ(probed.complete, 1);
    const FrameSize frame = PeekFrameSize(bytes);
    if (!kFullRun && std::uint64_t{frame.width} * frame.height > kSampledRunPixels) {
      ++leftOut;
      continue;
    }
    const HostResult result =
        Decode(bytes, PieceSchedule::Whole(), JPEGDEC_MODE_STREAMING, 1, true);
    if (RefusedByThisLibrary(manifest, path)) {
      EXPECT_EQ(result.end, HostEnd::kFailed) << result.Summary();
      EXPECT_EQ(result.rows, 0u);
      ++refused;
      continue;
    }
    const ReferenceImage reference =
        DecodeReference(WithHeightInFrameHeader(manifest, path, bytes));
    ASSERT_TRUE(reference.ok) << reference.error;
    const auto fault = kOpenEndingFaults.find(CorpusRelative(path));
    if (fault == kOpenEndingFaults.end()) {
      EXPECT_EQ(result.end, HostEnd::kEnd) << result.Summary();
    } else {
      EXPECT_EQ(result.end, HostEnd::kFailed)
          << "decodes to its end now: remove it from kOpenEndingFaults";
      std::printf("open fault, %s: %s\n", fault->first.c_str(), fault->second.c_str());
    }
    EXPECT_EQ(result.rows, reference.height);
    EXPECT_EQ(result.rowLength, reference.width * reference.components);
    EXPECT_EQ(result.rowLength, probed.nativeRowBytes);
    const ImageDifference diff = CompareImages(
        View(result.pixels, result.rowLength, reference.components),
        View(reference.pixels, reference.width * reference.components, reference.components));
    ASSERT_TRUE(diff.sameShape) << diff.Describe();
    const std::string transform = ManifestValue(manifest, CorpusRelative(path), "adobe_transform");
    const bool converted = reference.components >= 3 && transform != "0";
    EXPECT_LE(diff.maxDiff, converted ? kReferenceToleranceConverted : kReferenceToleranceRaw)
        << diff.Describe();
    Worst& w = worst[converted];
    if (diff.maxDiff > w.diff) {
      w = {diff.maxDiff, CorpusRelative(path), diff.Describe()};
    }
    ++compared;
  }
  std::printf(
      "compared %d files with the reference (%d refused as expected, %d large ones left "
      "out)\n",
      compared, refused, leftOut);
  for (const auto& [converted, w] : worst) {
    std::printf("largest difference, %s: %d in %s: %s\n",
                converted ? "YCbCr/YCCK converted" : "grey and raw components", w.diff,
                w.file.c_str(), w.where.c_str());
  }
}

#endif  // JPEGDEC_HAVE_LIBJPEG

// Rows and the final result do not depend on how the input is split, nor on whether the
// automatic mode chose streaming.
TEST(CorpusDecodable, SameRowsHoweverTheInputIsSplit) {
  std::vector<std::string> files = CorpusFiles("decodable");
  SKIP_WITHOUT_CORPUS(files);
  // 1-byte pieces on small files only; random pieces on every file (a sample under Wine).
  constexpr std::size_t kOneByteLimit = kFullRun ? 6000 : 1500;
  if (!kFullRun) {
    files = EveryNth(files, 3);
  }
  int checked = 0;
  int oneByte = 0;
  int splits = 0;
  for (const std::string& path : files) {
    SCOPED_TRACE(CorpusRelative(path));
    const std::vector<std::uint8_t> bytes = ReadFileBytes(path);
    if (!kFullRun && bytes.size() > 200000) {
      continue;
    }
    const HostResult whole = Decode(bytes, PieceSchedule::Whole());
    std::vector<PieceSchedule> schedules = {PieceSchedule::Random(1, 97),
                                            PieceSchedule::Random(2, 5000)};
    if (kFullRun) {
      schedules.push_back(PieceSchedule::Random(3, 40000));
    }
    if (bytes.size() <= kOneByteLimit) {
      schedules.push_back(PieceSchedule::Fixed(1));
      ++oneByte;
    }
    for (const PieceSchedule& schedule : schedules) {
      const HostResult split = Decode(bytes, schedule);
      EXPECT_EQ(split.end, whole.end) << schedule.Describe() << ": " << split.Summary();
      EXPECT_EQ(split.rows, whole.rows) << schedule.Describe();
      EXPECT_EQ(split.digest, whole.digest) << schedule.Describe() << ": rows differ";
      ++splits;
    }
    const HostResult automatic =
        Decode(bytes, PieceSchedule::Random(4, 4096), JPEGDEC_MODE_AUTO, kTinyBudgetDivisor);
    EXPECT_EQ(automatic.isStreaming, 1);
    EXPECT_EQ(automatic.end, whole.end) << "automatic: " << automatic.Summary();
    EXPECT_EQ(automatic.digest, whole.digest) << "automatic: rows differ";
    ++checked;
  }
  std::printf(
      "%d files decoded whole and in %d split runs (%d of them in 1-byte pieces), and "
      "in automatic mode\n",
      checked, splits, oneByte);
}

// Finish reports the bytes that followed the end-of-image marker in the last piece: with the whole
// file written in one piece (taken whatever its size), the file's own trailing bytes, and ten more
// when ten are appended. In buffered mode, the bytes that followed it in the whole file.
TEST(CorpusDecodable, FinishReportsTheBytesAfterTheEndMarker) {
  const std::vector<std::string> files = CorpusFiles("decodable");
  SKIP_WITHOUT_CORPUS(files);
  const Manifest manifest = ReadManifest();
  constexpr std::size_t kOnePiece = 30000;
  constexpr std::uint32_t kAppended = 10;
  int checked = 0;
  for (const std::string& path : kUnderWine ? EveryNth(files, 3) : files) {
    std::vector<std::uint8_t> bytes = ReadFileBytes(path);
    if (bytes.size() + kAppended > kOnePiece || RefusedByThisLibrary(manifest, path)) {
      continue;
    }
    SCOPED_TRACE(CorpusRelative(path));
    const std::string trailing = ManifestValue(manifest, CorpusRelative(path), "trailing_bytes");
    ASSERT_FALSE(trailing.empty()) << "not in the catalogue";
    const auto own = static_cast<std::uint32_t>(std::stoul(trailing));
    const HostResult plain = Decode(bytes, PieceSchedule::Whole());
    EXPECT_EQ(plain.end, HostEnd::kEnd) << plain.Summary();
    EXPECT_EQ(plain.leftover, own);
    bytes.insert(bytes.end(), kAppended, 0x5A);
    const HostResult appended = Decode(bytes, PieceSchedule::Whole());
    EXPECT_EQ(appended.leftover, own + kAppended);
    EXPECT_EQ(appended.digest, plain.digest);
    const HostResult buffered = Decode(bytes, PieceSchedule::Random(7, 999), JPEGDEC_MODE_BUFFERED);
    EXPECT_EQ(buffered.leftover, own + kAppended) << buffered.Summary();
    EXPECT_EQ(buffered.digest, plain.digest);
    ++checked;
  }
  std::printf("%d files: Finish's leftover as catalogued, and with %u bytes appended\n", checked,
              kAppended);
}

// Outside the profile (progressive, lossless, arithmetic, 12-bit, several scans): Read -1 before
// any row, however the input arrives.
TEST(CorpusRefuse, EndsWithFailureBeforeAnyRow) {
  const std::vector<std::string> files = CorpusFiles("refuse");
  SKIP_WITHOUT_CORPUS(files);
  for (const std::string& path : files) {
    SCOPED_TRACE(CorpusRelative(path));
    const std::vector<std::uint8_t> bytes = ReadFileBytes(path);
    JpegDecFrameInfo probed;  // the public probe says so before any byte is decoded
    if (JpegDecProbeFrame(bytes.data(), bytes.size(), &probed) == JPEGDEC_PROBE_FRAME) {
      EXPECT_EQ(probed.native, 0);
    }
    std::vector<PieceSchedule> schedules = {PieceSchedule::Whole()};
    if (kFullRun) {
      schedules.push_back(PieceSchedule::Random(5, 300));
    }
    for (const PieceSchedule& schedule : schedules) {
      const HostResult result = Decode(bytes, schedule);
      EXPECT_EQ(result.end, HostEnd::kFailed) << schedule.Describe() << ": " << result.Summary();
      EXPECT_EQ(result.rows, 0u) << schedule.Describe();
    }
  }
  std::printf("%zu refused files\n", files.size());
}

// Damaged files: 2 or -1 within the bound on calls, soon after EndOfInput, and the same ending
// and rows however the input is split.
void ExpectDamagedFilesEndCleanly(const std::string& folder, std::size_t winSample) {
  std::vector<std::string> files = CorpusFiles(folder);
  SKIP_WITHOUT_CORPUS(files);
  if (kUnderWine) {
    files = EveryNth(files, winSample);
  }
  std::map<HostEnd, int> endings;
  for (const std::string& path : files) {
    SCOPED_TRACE(CorpusRelative(path));
    const std::vector<std::uint8_t> bytes = ReadFileBytes(path);
    const HostResult whole = Decode(bytes, PieceSchedule::Whole());
    EXPECT_TRUE(EndsCleanly(whole)) << whole.Summary();
    ++endings[whole.end];
    if (!kFullRun) {
      continue;
    }
    const PieceSchedule schedule = PieceSchedule::Random(6, 700);
    const HostResult split = Decode(bytes, schedule);
    EXPECT_EQ(split.end, whole.end) << schedule.Describe() << ": " << split.Summary();
    EXPECT_EQ(split.digest, whole.digest) << schedule.Describe() << ": rows differ";
  }
  std::printf("%s: %zu files: %d ended, %d failed\n", folder.c_str(), files.size(),
              endings[HostEnd::kEnd], endings[HostEnd::kFailed]);
}

TEST(CorpusCorrupt, EndsCleanlyWithinBoundedCalls) { ExpectDamagedFilesEndCleanly("corrupt", 2); }

TEST(CorpusFuzz, EndsCleanlyWithinBoundedCalls) { ExpectDamagedFilesEndCleanly("fuzz", 6); }

}  // namespace
}  // namespace jpegdec::test
