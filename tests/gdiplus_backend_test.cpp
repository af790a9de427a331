// The GDI+ back-end: collecting the file, the conversion through the imaging library (the real
// one under Windows, the portable stand-in elsewhere) and the hand-out of top-down rows.
#include "backends/gdiplus_backend.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "api/jpeg_decode_instance.h"
#include "backends/buffered_backend.h"
#include "backends/global_block.h"
#include "jpegdec/jpegdec.h"
#include "platform/platform.h"
#include "support/files.h"
#include "support/quadrant_images.h"
#include "support/read_rows.h"

#if !defined(_WIN32)
#include "platform/portable/imaging_standin.h"
#include "platform/portable/test_hooks.h"
#endif

namespace jpegdec {
namespace {

using test::kCmykQuadrants;
using test::kColourQuadrants;
using test::kGreyQuadrants;

using Bytes = std::vector<uint8_t>;

Bytes Of(const uint8_t* data, size_t size) { return Bytes(data, data + size); }

struct Conversion {
  std::vector<Bytes> rows;
  int32_t end = 0;   // the first Read result that was not a row
  int32_t next = 0;  // the Read after that
};

// The whole file through a GDI+ back-end, read until it stops handing out rows.
Conversion Convert(const Bytes& file, int32_t rowLimit, uint32_t width = 0, uint32_t height = 0) {
  Conversion out;
  GdiplusBackend backend;
  EXPECT_EQ(backend.SetUp(width, height), 1);
  EXPECT_EQ(backend.Write(file.data(), static_cast<uint32_t>(file.size())), 1);
  backend.MarkInputComplete(rowLimit);
  out.end = test::ReadRows(backend, &out.rows);
  uint8_t* row = nullptr;
  uint32_t length = 0;
  out.next = backend.Read(&row, &length);
  uint32_t leftover = 99;
  backend.Teardown(&leftover);
  EXPECT_EQ(leftover, 0u);
  return out;
}

// The back-end set up for the colour quadrants (22 x 16), written in one piece, the input
// complete with `rowLimit`.
::testing::AssertionResult SetUpQuadrants(GdiplusBackend& backend, int32_t rowLimit) {
  if (backend.SetUp(22, 16) != 1 || backend.Write(kColourQuadrants, sizeof kColourQuadrants) != 1) {
    return ::testing::AssertionFailure() << "set-up or write refused";
  }
  backend.MarkInputComplete(rowLimit);
  return ::testing::AssertionSuccess();
}

struct Probe {
  uint32_t x;
  uint32_t y;
  uint8_t expected[3];  // R, G, B (grey: the first only)
};

struct ImageCase {
  const char* name;
  Bytes file;
  uint32_t height;
  uint32_t rowLength;
  uint32_t bytesPerPixel;
  std::vector<Probe> probes;
  int tolerance;
};

std::vector<ImageCase> SyntheticImages() {
  const std::vector<Probe> colour = {
      {3, 3, {255, 0, 0}}, {14, 3, {0, 255, 0}}, {3, 12, {0, 0, 255}}, {14, 12, {255, 255, 255}}};
  return {
      {"colour", Of(kColourQuadrants, sizeof kColourQuadrants), 16, 68, 3, colour, 12},
      {"grey",
       Of(kGreyQuadrants, sizeof kGreyQuadrants),
       10,
       16,
       1,
       {{3, 3, {0x20}}, {11, 3, {0x60}}, {3, 9, {0xA0}}, {11, 9, {0xE0}}},
       6},
      {"four components", Of(kCmykQuadrants, sizeof kCmykQuadrants), 16, 68, 3, colour, 24},
  };
}

TEST(GdiplusBackendConversion, HandsOutTopDownRowsInRgbOrderPaddedToFourBytes) {
  for (const ImageCase& c : SyntheticImages()) {
    SCOPED_TRACE(c.name);
    const Conversion got = Convert(c.file, static_cast<int32_t>(c.height));
    EXPECT_EQ(got.end, 2);
    EXPECT_EQ(got.next, 2);
    ASSERT_EQ(got.rows.size(), c.height);
    for (const Bytes& row : got.rows) {
      ASSERT_EQ(row.size(), c.rowLength);
    }
    // A flipped image or exchanged red and blue puts other colours at these places.
    for (const Probe& p : c.probes) {
      for (uint32_t k = 0; k < c.bytesPerPixel; ++k) {
        const int actual = got.rows[p.y][p.x * c.bytesPerPixel + k];
        EXPECT_NEAR(actual, p.expected[k], c.tolerance)
            << "pixel (" << p.x << ", " << p.y << ") component " << k;
      }
    }
  }
}

struct LimitCase {
  int32_t rowLimit;
  size_t rows;
};

TEST(GdiplusBackendConversion, HandsOutNoMoreRowsThanTheLimit) {
  const LimitCase cases[] = {
      {5, 5},    // fewer than the image has
      {16, 16},  // all of them
      {40, 16},  // more than the image has: the image's rows
      {0, 0},    // EndOfInput(0): none at all
      {-3, 0},   // not positive: the limit stays at its first value, 0
  };
  const Bytes file = Of(kColourQuadrants, sizeof kColourQuadrants);
  for (const LimitCase& c : cases) {
    SCOPED_TRACE(c.rowLimit);
    const Conversion got = Convert(file, c.rowLimit);
    EXPECT_EQ(got.rows.size(), c.rows);
    EXPECT_EQ(got.end, 2);
    EXPECT_EQ(got.next, 2);
  }
}

TEST(GdiplusBackendConversion, ALaterPositiveLimitReplacesTheEarlierOne) {
  GdiplusBackend backend;
  ASSERT_TRUE(SetUpQuadrants(backend, 3));
  backend.MarkInputComplete(0);
  EXPECT_EQ(backend.rowLimit, 3);
  backend.MarkInputComplete(7);
  EXPECT_EQ(backend.rowLimit, 7);
}

TEST(GdiplusBackendConversion, ConvertsOnAReadWithoutOutParameters) {
  GdiplusBackend backend;
  ASSERT_EQ(backend.SetUp(22, 16), 1);
  ASSERT_EQ(backend.Write(kColourQuadrants, sizeof kColourQuadrants), 1);
  uint8_t* row = nullptr;
  uint32_t length = 0;
  EXPECT_EQ(backend.Read(&row, &length), 1);  // input not complete: nothing happens
  EXPECT_NE(backend.input.block, nullptr);
  backend.MarkInputComplete(16);
  EXPECT_EQ(backend.Read(nullptr, nullptr), 1);
  EXPECT_EQ(backend.input.block, nullptr);  // converted, the collected file released
  EXPECT_EQ(backend.gdiplusModule, nullptr);
  EXPECT_EQ(backend.Read(&row, nullptr), 1);
  EXPECT_EQ(backend.Read(&row, &length), 0);
  EXPECT_EQ(length, 68u);
  EXPECT_NEAR(row[3 * 3], 255, 12);  // the top row
  EXPECT_EQ(backend.readCalls, 4u);
  backend.Teardown(nullptr);
}

TEST(GdiplusBackendConversion, RefusesWritesAfterTheConversion) {
  GdiplusBackend backend;
  ASSERT_TRUE(SetUpQuadrants(backend, 16));
  uint8_t* row = nullptr;
  uint32_t length = 0;
  ASSERT_EQ(backend.Read(&row, &length), 0);
  EXPECT_EQ(backend.Write(kColourQuadrants, 10), 0);
  EXPECT_EQ(backend.writeCalls, 2u);
  backend.Teardown(nullptr);
}

struct DamagedCase {
  const char* name;
  Bytes file;
};

TEST(GdiplusBackendConversion, FailsOnEveryReadAfterAFailedConversion) {
  Bytes noise(3000);
  for (size_t i = 0; i < noise.size(); ++i) {
    noise[i] = static_cast<uint8_t>(i * 37 + 11);
  }
  const DamagedCase cases[] = {
      {"nothing written", {}},
      {"not an image", noise},
      {"headers only", Of(kColourQuadrants, 40)},
  };
  for (const DamagedCase& c : cases) {
    SCOPED_TRACE(c.name);
    const Conversion got = Convert(c.file, 16, 22, 16);
    EXPECT_TRUE(got.rows.empty());
    EXPECT_EQ(got.end, -1);
    EXPECT_EQ(got.next, -1);
  }
}

// ---- Collecting ----

struct SizingCase {
  uint32_t width;
  uint32_t height;
  uint32_t capacity;
};

TEST(GdiplusBackendSetUp, SizesTheBlockFromTheExpectedImage) {
  const SizingCase cases[] = {
      {100, 10, 4'800},
      {1000, 5000, 10'000'000},
      {700000, 1, 33'600'000},
      {0, 0, static_cast<uint32_t>(kUnknownSizeCapacity)},
      {0, 300, static_cast<uint32_t>(kUnknownSizeCapacity)},
  };
  for (const SizingCase& c : cases) {
    SCOPED_TRACE(std::to_string(c.width) + " x " + std::to_string(c.height));
    GdiplusBackend backend;
    EXPECT_EQ(backend.SetUp(c.width, c.height), 1);
    EXPECT_EQ(backend.input.capacity, c.capacity);
    EXPECT_EQ(backend.input.growStep, c.capacity);
    EXPECT_EQ(platform::BlockSize(backend.input.block), c.capacity);
    EXPECT_EQ(backend.SetUp(c.width, c.height), 0);  // the output placeholder exists
    backend.Teardown(nullptr);
  }
}

TEST(GdiplusBackendWrite, GrowsByHalfItsCapacityTheStepOrTheWrite) {
  GdiplusBackend backend;
  ASSERT_EQ(backend.SetUp(22, 16), 1);
  ASSERT_EQ(backend.input.capacity, 1'088u);  // 16 rows of 68 bytes
  Bytes data(5000, 0x42);
  EXPECT_EQ(backend.Write(data.data(), 5000), 1);
  EXPECT_EQ(backend.input.capacity, 5'000u);  // to what the write needs
  EXPECT_EQ(backend.Write(data.data(), 1), 1);
  EXPECT_EQ(backend.input.capacity, 7'500u);  // by half the capacity
  EXPECT_EQ(backend.Write(data.data(), 2499), 1);
  EXPECT_EQ(backend.input.capacity, 7'500u);  // fits exactly
  EXPECT_EQ(backend.input.used, 7'500u);
  EXPECT_EQ(backend.Write(data.data(), 0xFFFFFFFFu), 0);  // never wraps
  EXPECT_EQ(backend.input.used, 7'500u);
  backend.MarkInputComplete(16);
  EXPECT_EQ(backend.Write(data.data(), 1), 0);  // the file is complete
  EXPECT_EQ(backend.input.used, 7'500u);
  EXPECT_EQ(backend.writeCalls, 5u);
  backend.Teardown(nullptr);
}

// ---- Corpus files ----

struct FrameSize {
  uint32_t width = 0;
  uint32_t height = 0;
  uint32_t components = 0;
};

// The frame header's numbers, walking the segments up to the first SOF0 or SOF1.
FrameSize ReadFrameSize(const Bytes& file) {
  FrameSize frame;
  size_t at = 2;
  while (at + 4 <= file.size() && file[at] == 0xFF) {
    const uint8_t marker = file[at + 1];
    const size_t length = size_t{file[at + 2]} << 8 | file[at + 3];
    if ((marker == 0xC0 || marker == 0xC1) && at + 10 <= file.size()) {
      frame.height = uint32_t{file[at + 5]} << 8 | file[at + 6];
      frame.width = uint32_t{file[at + 7]} << 8 | file[at + 8];
      frame.components = file[at + 9];
      return frame;
    }
    at += 2 + length;
  }
  return frame;
}

// True for a three-component file whose "Adobe" segment says its components are R, G, B as
// they stand (transform 0). Wine's imaging library converts them as YCbCr all the same.
bool StoresUntransformedRgb(const Bytes& file) {
  size_t at = 2;
  while (at + 4 <= file.size() && file[at] == 0xFF && file[at + 1] != 0xDA) {
    const size_t length = size_t{file[at + 2]} << 8 | file[at + 3];
    if (file[at + 1] == 0xEE && length >= 14 && at + 2 + length <= file.size() &&
        std::memcmp(&file[at + 4], "Adobe", 5) == 0) {
      return file[at + 2 + 13] == 0;
    }
    at += 2 + length;
  }
  return false;
}

// Correlation of two equally long series.
double Correlation(const std::vector<double>& a, const std::vector<double>& b) {
  double ma = 0, mb = 0;
  for (size_t i = 0; i < a.size(); ++i) {
    ma += a[i];
    mb += b[i];
  }
  ma /= static_cast<double>(a.size());
  mb /= static_cast<double>(b.size());
  double sab = 0, saa = 0, sbb = 0;
  for (size_t i = 0; i < a.size(); ++i) {
    sab += (a[i] - ma) * (b[i] - mb);
    saa += (a[i] - ma) * (a[i] - ma);
    sbb += (b[i] - mb) * (b[i] - mb);
  }
  return saa == 0 || sbb == 0 ? 0 : sab / std::sqrt(saa * sbb);
}

// Mean of the first `channels` samples of each pixel, row by row.
std::vector<double> RowBrightness(const std::vector<Bytes>& rows, uint32_t width, uint32_t step,
                                  uint32_t channels) {
  std::vector<double> out;
  for (const Bytes& row : rows) {
    double sum = 0;
    for (uint32_t x = 0; x < width; ++x) {
      for (uint32_t k = 0; k < channels; ++k) {
        sum += row[x * step + k];
      }
    }
    out.push_back(sum / (width * channels));
  }
  return out;
}

// The native decoder's rows of the same file through the buffered back-end (empty when it
// cannot decode it).
std::vector<Bytes> NativeRows(const Bytes& file) {
  std::vector<Bytes> rows;
  BufferedBackend backend;
  if (backend.SetUp(0, 0) != 1 ||
      backend.Write(file.data(), static_cast<uint32_t>(file.size())) != 1) {
    return rows;
  }
  backend.MarkInputComplete();
  if (test::ReadRows(backend, &rows) != 2) {
    rows.clear();
  }
  return rows;
}

// Four-component files (CMYK and YCCK): 24-bit rows of the image's width, as many as it has,
// top row first (their brightness follows the native decoder's rows, not the reversed ones).
TEST(GdiplusBackendCorpus, FourComponentFilesGiveTwentyFourBitRowsTopRowFirst) {
  const std::vector<std::string> names = {"go_video-001_cmyk.jpg",
                                          "ird_ref_mozilla_jpg-cmyk-1.jpg",
                                          "ird_ref_mozilla_jpg-cmyk-2.jpg",
                                          "ird_ref_ycck.jpg",
                                          "js_baseline_32x32x8_cmyk_interleaved.jpg",
                                          "pil_pil_sample_cmyk.jpg",
                                          "zi_cymk.jpg",
                                          "zi_four_components.jpg"};
  const std::string dir = test::CorpusDir();
  if (dir.empty()) {
    GTEST_SKIP() << "the external corpus is absent";
  }
  for (const std::string& name : names) {
    SCOPED_TRACE(name);
    const Bytes file = test::ReadFileBytes(dir + "/decodable/" + name);
    if (file.empty()) {
      continue;
    }
    const FrameSize frame = ReadFrameSize(file);
    ASSERT_EQ(frame.components, 4u);
    const Conversion got = Convert(file, static_cast<int32_t>(frame.height));
    EXPECT_EQ(got.end, 2);
    ASSERT_EQ(got.rows.size(), frame.height);
    EXPECT_EQ(got.rows[0].size(), Stride24(frame.width));
    const std::vector<Bytes> native = NativeRows(file);
    if (native.size() != frame.height) {
      continue;  // orientation is judged against the native decoder once it decodes the file
    }
    const std::vector<double> ours = RowBrightness(got.rows, frame.width, 3, 3);
    std::vector<double> theirs = RowBrightness(native, frame.width, 4, 3);
    const double forward = Correlation(ours, theirs);
    std::reverse(theirs.begin(), theirs.end());
    const double reversed = Correlation(ours, theirs);
    // The sign depends on how the file stores its inks; the strength on the row order.
    if (std::max(std::abs(forward), std::abs(reversed)) < 0.5) {
      continue;  // rows too alike to tell the order
    }
    EXPECT_GT(std::abs(forward), std::abs(reversed));
  }
}

// Colour and greyscale files agree with the native decoder, up to the imaging library's own
// upsampling and rounding.
TEST(GdiplusBackendCorpus, ColourAndGreyFilesAgreeWithTheNativeDecoder) {
  const std::vector<std::string> files = test::CorpusFiles("decodable");
  if (files.empty()) {
    GTEST_SKIP() << "the external corpus is absent";
  }
  int compared = 0;
  for (size_t i = 0; i < files.size() && compared < 15; i += 3) {
    const Bytes file = test::ReadFileBytes(files[i]);
    const FrameSize frame = ReadFrameSize(file);
    // Tiny subsampled images differ most by upsampling; they are left out.
    if ((frame.components != 1 && frame.components != 3) || frame.width < 16 || frame.height < 16 ||
        file.size() > 300'000 || (frame.components == 3 && StoresUntransformedRgb(file))) {
      continue;
    }
    const std::vector<Bytes> native = NativeRows(file);
    if (native.size() != frame.height) {
      continue;
    }
    SCOPED_TRACE(files[i]);
    ++compared;
    const Conversion got = Convert(file, static_cast<int32_t>(frame.height));
    ASSERT_EQ(got.rows.size(), frame.height);
    const uint32_t step = frame.components;
    EXPECT_EQ(got.rows[0].size(), BitmapStride(8 * step, frame.width));
    double sum = 0;
    for (uint32_t y = 0; y < frame.height; ++y) {
      for (uint32_t x = 0; x < frame.width * step; ++x) {
        sum += std::abs(got.rows[y][x] - native[y][x]);
      }
    }
    const double samples = static_cast<double>(frame.height) * frame.width * step;
    EXPECT_LT(sum / samples, 12.0);  // flipped or swapped, these images are off by 16 and more
  }
}

// Damaged files and files outside the native decoder's profile: the imaging library decodes
// some of them; each ends with 2 or -1 and stays there.
TEST(GdiplusBackendCorpus, EveryDamagedOrRefusedFileEnds) {
  std::vector<std::string> files = test::CorpusFiles("corrupt");
  const std::vector<std::string> refused = test::CorpusFiles("refuse");
  for (size_t i = 0; i < refused.size(); i += 8) {  // a fixed eighth of them, for time
    files.push_back(refused[i]);
  }
  if (files.empty()) {
    GTEST_SKIP() << "the external corpus is absent";
  }
  for (const std::string& path : files) {
    SCOPED_TRACE(path);
    const Conversion got = Convert(test::ReadFileBytes(path), 65535);
    EXPECT_TRUE(got.end == 2 || got.end == -1) << got.end;
    EXPECT_EQ(got.next, got.end);
  }
}

// ---- Through the instance ----

TEST(GdiplusInstance, ModeOneDecodesThroughTheImagingLibrary) {
  if (IsGdiplusAvailable() == 0) {
    GTEST_SKIP() << "the imaging library cannot be loaded here";
  }
  JpegDecodeInstance* instance = CreateJpegDecodeInstance();
  ASSERT_NE(instance, nullptr);
  ASSERT_EQ(instance->Start(22, 16, 1, 1), 1);
  EXPECT_EQ(instance->mode, 1);
  EXPECT_EQ(instance->IsStreaming(), 0);
  EXPECT_EQ(instance->Write(kColourQuadrants, sizeof kColourQuadrants), 1);
  instance->EndOfInput(16);
  EXPECT_TRUE(test::RowsThenEnd(*instance, 16, 68, 2));
  EXPECT_EQ(instance->GetWriteCount(), 1u);
  EXPECT_EQ(instance->GetReadCount(), 17u);
  uint32_t leftover = 7;
  instance->Finish(&leftover);
  EXPECT_EQ(leftover, 0u);
  DeleteJpegDecodeInstance(instance);
}

// Run with the imaging library disabled (under Wine: WINEDLLOVERRIDES=gdiplus=d, see
// gdiplus_unavailable.cmake): mode 1 falls back to mode 2 and still decodes, and automatic mode
// chooses streaming.
TEST(GdiplusUnavailable, ModeOneFallsBackToBufferedAndDecodes) {
  if (IsGdiplusAvailable() != 0) {
    ASSERT_EQ(std::getenv("JPEGDEC_EXPECT_NO_GDIPLUS"), nullptr)
        << "the imaging library was to be disabled for this run";
    GTEST_SKIP() << "the imaging library is available; this case runs with it disabled";
  }
  GdiplusBackend backend;
  ASSERT_TRUE(SetUpQuadrants(backend, 16));
  uint8_t* row = nullptr;
  uint32_t length = 0;
  EXPECT_EQ(backend.Read(&row, &length), -1);
  EXPECT_EQ(backend.Read(&row, &length), -1);
  EXPECT_EQ(backend.gdiplusModule, nullptr);
  backend.Teardown(nullptr);

  JpegDecodeInstance* automatic = CreateJpegDecodeInstance();
  ASSERT_NE(automatic, nullptr);
  automatic->Start(22, 16, 0, 1);
  EXPECT_EQ(automatic->IsStreaming(), 1);
  DeleteJpegDecodeInstance(automatic);

  JpegDecodeInstance* instance = CreateJpegDecodeInstance();
  ASSERT_NE(instance, nullptr);
  const int32_t started = instance->Start(22, 16, 1, 1);
  EXPECT_EQ(instance->mode, 2);
  EXPECT_EQ(instance->IsStreaming(), 0);
  EXPECT_EQ(started, 1);
  EXPECT_EQ(instance->Write(kColourQuadrants, sizeof kColourQuadrants), 1);
  instance->EndOfInput(16);
  EXPECT_TRUE(test::RowsThenEnd(*instance, 16, 66, 2));  // the native decoder's rows: no padding
  instance->Finish(nullptr);
  DeleteJpegDecodeInstance(instance);
}

#if !defined(_WIN32)
// ---- Failures forced through the portable platform's and the stand-in's hooks ----

namespace hooks = platform::testing;
namespace imaging = platform::standin::testing;

class GdiplusBackendFailures : public ::testing::Test {
 protected:
  void SetUp() override {
    hooks::ResetHooks();
    imaging::ResetHooks();
    blocksBefore_ = hooks::LiveBlocks();
  }
  void TearDown() override {
    hooks::ResetHooks();
    imaging::ResetHooks();
    // Whatever happened, nothing stays behind: blocks, locks, modules, startups, bitmaps.
    EXPECT_EQ(hooks::LiveBlocks(), blocksBefore_);
    EXPECT_EQ(hooks::LockedBlocks(), 0);
    EXPECT_EQ(hooks::LiveModules(), 0);
    EXPECT_EQ(imaging::LiveStartups(), 0);
    EXPECT_EQ(imaging::LiveBitmaps(), 0);
  }

  // Sets up a back-end holding the colour image, input complete with a limit of 16 rows.
  void Collect(GdiplusBackend& backend) {
    ASSERT_EQ(backend.SetUp(22, 16), 1);
    ASSERT_EQ(backend.Write(kColourQuadrants, sizeof kColourQuadrants), 1);
    backend.MarkInputComplete(16);
  }

  // The results of `reads` Reads.
  static std::vector<int32_t> Reads(GdiplusBackend& backend, int reads) {
    std::vector<int32_t> results;
    for (int i = 0; i < reads; ++i) {
      uint8_t* row = nullptr;
      uint32_t length = 0;
      results.push_back(backend.Read(&row, &length));
    }
    return results;
  }

  int64_t blocksBefore_ = 0;
};

TEST_F(GdiplusBackendFailures, AMissingModuleFailsTheConversion) {
  hooks::SetImagingModule(hooks::ImagingModule::kMissing);
  GdiplusBackend backend;
  Collect(backend);
  EXPECT_EQ(Reads(backend, 3), (std::vector<int32_t>{-1, -1, -1}));
  EXPECT_EQ(backend.input.block, nullptr);
  backend.Teardown(nullptr);
}

TEST_F(GdiplusBackendFailures, AMissingEntryPointFailsWithoutCallingAnyOther) {
  const char* names[] = {
      "GdiplusStartup",        "GdiplusShutdown",          "GdipCreateBitmapFromStream",
      "GdipGetImageWidth",     "GdipGetImageHeight",       "GdipGetImagePixelFormat",
      "GdipSaveImageToStream", "GdipGetImageEncodersSize", "GdipGetImageEncoders"};
  for (const char* name : names) {
    SCOPED_TRACE(name);
    hooks::SetMissingEntryPoint(name);
    GdiplusBackend backend;
    Collect(backend);
    EXPECT_EQ(Reads(backend, 2), (std::vector<int32_t>{-1, -1}));
    // Unloaded at once; no startup ran, so no shutdown is owed.
    EXPECT_EQ(backend.gdiplusModule, nullptr);
    EXPECT_EQ(hooks::LiveModules(), 0);
    EXPECT_EQ(imaging::LiveStartups(), 0);
    backend.Teardown(nullptr);
  }
}

struct ImagingFailureCase {
  const char* name;
  void (*arrange)();
  std::vector<int32_t> results;
};

TEST_F(GdiplusBackendFailures, ImagingFailuresFailTheConversionForGood) {
  const ImagingFailureCase cases[] = {
      {"the save fails", [] { imaging::SetSaveFailure(true); }, {-1, -1, -1}},
      {"a 16-bit BMP", [] { imaging::SetBmpDepth(16); }, {-1, -1, -1}},
      {"a 32-bit BMP", [] { imaging::SetBmpDepth(32); }, {-1, -1, -1}},
      {"no BMP encoder",
       [] { imaging::SetEncoderList(imaging::EncoderList::kWithoutBmp); },
       {-1, -1, -1}},
      {"an encoder list shorter than its count",
       [] { imaging::SetEncoderList(imaging::EncoderList::kShorterThanCount); },
       {-1, -1, -1}},
      {"an encoder list of exactly one record",
       [] { imaging::SetEncoderList(imaging::EncoderList::kBmpOnly); },
       {0, 0, 0}},
      {"the BMP encoder second, with its strings behind the records",
       [] { imaging::SetEncoderList(imaging::EncoderList::kSecondWithText); },
       {0, 0, 0}},
      {"the output block refused", [] { hooks::FailBlockAllocation(1); }, {-1, -1, -1}},
      {"the encoder list's memory refused", [] { hooks::FailHeapAllocation(1); }, {-1, -1, -1}},
      {"the flip's scratch row refused", [] { hooks::FailHeapAllocation(2); }, {-1, -1, -1}},
      {"the output block not locked for the flip", [] { hooks::FailLock(1); }, {-1, -1, -1}},
      {"the output block not locked for the first row", [] { hooks::FailLock(2); }, {-1, 0, 0}},
  };
  for (const ImagingFailureCase& c : cases) {
    SCOPED_TRACE(c.name);
    hooks::ResetHooks();
    imaging::ResetHooks();
    GdiplusBackend backend;
    Collect(backend);
    c.arrange();
    EXPECT_EQ(Reads(backend, 3), c.results);
    EXPECT_EQ(backend.input.block, nullptr);
    EXPECT_EQ(hooks::LiveModules(), 0);
    EXPECT_EQ(imaging::LiveStartups(), 0);
    EXPECT_EQ(imaging::LiveBitmaps(), 0);
    backend.Teardown(nullptr);
  }
}

TEST_F(GdiplusBackendFailures, AFailedGrowthLosesTheFileAndFailsTheReads) {
  GdiplusBackend backend;
  ASSERT_EQ(backend.SetUp(22, 16), 1);
  Bytes data(2000, 0x42);
  hooks::FailBlockAllocation(1);
  EXPECT_EQ(backend.Write(data.data(), 2000), 0);
  EXPECT_EQ(backend.input.block, nullptr);
  EXPECT_EQ(backend.Write(data.data(), 10), 0);
  EXPECT_EQ(Reads(backend, 1), (std::vector<int32_t>{-1}));  // before EndOfInput too
  backend.MarkInputComplete(16);
  EXPECT_EQ(Reads(backend, 2), (std::vector<int32_t>{-1, -1}));
  backend.Teardown(nullptr);
}

TEST_F(GdiplusBackendFailures, SetUpFailsWhenABlockIsRefused) {
  for (uint32_t n : {1u, 2u}) {  // the output placeholder, then the input block
    SCOPED_TRACE(n);
    hooks::FailBlockAllocation(n);
    GdiplusBackend backend;
    EXPECT_EQ(backend.SetUp(22, 16), 0);
    EXPECT_EQ(Reads(backend, 1), (std::vector<int32_t>{-1}));
    backend.Teardown(nullptr);
  }
}

TEST_F(GdiplusBackendFailures, TimesItsWritesAndReads) {
  hooks::SetFakeClock(1000, 7);  // every reading 7 ms after the previous one
  GdiplusBackend backend;
  ASSERT_EQ(backend.SetUp(22, 16), 1);
  ASSERT_EQ(backend.Write(kColourQuadrants, sizeof kColourQuadrants), 1);
  uint8_t* row = nullptr;
  uint32_t length = 0;
  EXPECT_EQ(backend.Read(&row, &length), 1);
  EXPECT_EQ(backend.elapsedMs, 14u);
  EXPECT_EQ(backend.writeCalls, 1u);
  EXPECT_EQ(backend.readCalls, 1u);
  backend.Teardown(nullptr);
}

TEST_F(GdiplusBackendFailures, InstanceFallsBackToBufferedWithoutTheModule) {
  hooks::SetImagingModule(hooks::ImagingModule::kMissing);
  JpegDecodeInstance* instance = CreateJpegDecodeInstance();
  ASSERT_NE(instance, nullptr);
  instance->Start(22, 16, 1, 1);
  EXPECT_EQ(instance->mode, 2);
  EXPECT_NE(instance->bufferedBackend, nullptr);
  EXPECT_EQ(instance->gdiplusBackend, nullptr);
  DeleteJpegDecodeInstance(instance);
}
#endif

}  // namespace
}  // namespace jpegdec
