// The library's public face: the exports and their live-instance count, the instance's choice
// of a back-end, forwarding, Finish and deletion. The portable build's hooks pin the memory
// probe, GDI+ availability and allocation failures to exact numbers.
#include <gtest/gtest.h>

#include <cstdint>
#include <vector>

#include "api/jpeg_decode_instance.h"
#include "jpegdec/jpegdec.h"
#include "platform/platform.h"
#include "support/jpeg_builder.h"
#if !defined(_WIN32)
#include "platform/portable/test_hooks.h"
#include "support/hooks_fixture.h"
#endif

namespace {

using jpegdec::AutomaticBudget;
using jpegdec::BmpFileSize;

// The start of a baseline file up to its scan header: SOI, DQT (table 0, all ones), SOF0 for an
// 8 x 8 grey image, DHT (DC table 0 with one 1-bit code), DHT (AC table 0, one 1-bit code),
// SOS. Enough for the streaming back-end to have fed the decoder something real.
// clang-format off
const std::vector<uint8_t> kHeadersToScan = [] {
  std::vector<uint8_t> v = {0xFF, 0xD8,               // SOI
                            0xFF, 0xDB, 0x00, 0x43, 0x00};  // DQT, length 67, Pq 0 Tq 0
  v.insert(v.end(), 64, 1);
  const uint8_t rest[] = {
      0xFF, 0xC0, 0x00, 0x0B, 0x08, 0x00, 0x08, 0x00, 0x08, 0x01,  // SOF0 8-bit 8 x 8, 1 comp
      0x01, 0x11, 0x00,                                            // comp 1, 1 x 1, Tq 0
      0xFF, 0xC4, 0x00, 0x14, 0x00,                                // DHT, DC table 0
      0x01, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0x00,     // one code: category 0
      0xFF, 0xC4, 0x00, 0x14, 0x10,                                // DHT, AC table 0
      0x01, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0x00,     // one code: EOB
      0xFF, 0xDA, 0x00, 0x08, 0x01, 0x01, 0x00, 0x00, 0x3F, 0x00,  // SOS: comp 1, tables 0/0
  };
  v.insert(v.end(), std::begin(rest), std::end(rest));
  return v;
}();
// clang-format on

// True when the native decoder can create a context (it is built in its own step; until then
// streaming set-ups fail and the tests that need one skip).
bool DecoderAvailable() {
  jpegdec::DecoderContext* context = jpegdec::CreateDecoderContext();
  jpegdec::ReleaseDecoderContext(context);
  return context != nullptr;
}

TEST(Exports, LiveInstanceCountAndIds) {
  ASSERT_EQ(InitializeJpegDec(), 1);
  JpegDecodeInstance* a = CreateJpegDecodeInstance();
  JpegDecodeInstance* b = CreateJpegDecodeInstance();
  ASSERT_NE(a, nullptr);
  ASSERT_NE(b, nullptr);
  EXPECT_EQ(a->instanceId, 1);
  EXPECT_EQ(b->instanceId, 2);
  EXPECT_EQ(UnInitializeJpegDec(), 2);

  DeleteJpegDecodeInstance(a);
  JpegDecodeInstance* c = CreateJpegDecodeInstance();
  ASSERT_NE(c, nullptr);
  EXPECT_EQ(c->instanceId, 2);  // ids repeat once instances have gone
  DeleteJpegDecodeInstance(nullptr);
  EXPECT_EQ(UnInitializeJpegDec(), 2);

  // Initialising again while two are alive resets the count; deleting them makes it negative.
  EXPECT_EQ(InitializeJpegDec(), 1);
  EXPECT_EQ(UnInitializeJpegDec(), 0);
  DeleteJpegDecodeInstance(b);
  DeleteJpegDecodeInstance(c);
  EXPECT_EQ(UnInitializeJpegDec(), -2);
  InitializeJpegDec();
}

TEST(Exports, ANewInstanceHasModeOneAndNoBackend) {
  JpegDecodeInstance* instance = CreateJpegDecodeInstance();
  ASSERT_NE(instance, nullptr);
  EXPECT_EQ(instance->mode, 1);
  EXPECT_EQ(instance->gdiplusBackend, nullptr);
  EXPECT_EQ(instance->bufferedBackend, nullptr);
  EXPECT_EQ(instance->streamingBackend, nullptr);
  EXPECT_EQ(instance->IsStreaming(), 0);
  DeleteJpegDecodeInstance(instance);
}

TEST(AutomaticChoice, SizesAndBudgetsAreComputedWithoutWrapping) {
  struct BmpCase {
    uint32_t width, height;
    uint64_t bytes;
  };
  const BmpCase bmp[] = {
      {7000, 7000, 147000054},
      {8000, 7000, 168000054},
      {1, 1, 58},                   // 3 bytes padded to 4
      {21846, 65535, 4295163954u},  // would wrap to 196,658 in 32 bits
      {0xFFFFFFFFu, 0xFFFFFFFFu,
       ((uint64_t{0xFFFFFFFF} * 3 + 3) & ~uint64_t{3}) * 0xFFFFFFFFu + 54},
  };
  for (const BmpCase& c : bmp) {
    EXPECT_EQ(BmpFileSize(c.width, c.height), c.bytes) << c.width << " x " << c.height;
  }

  struct BudgetCase {
    uint32_t largest;
    int32_t divisor;
    uint64_t budget;
  };
  const BudgetCase budget[] = {
      {1499987967, 1, 166665329},
      {1499987967, 2, 83332664},
      {1499987967, 0, 0},
      {1499987967, -1, 0},
      {1499987967, INT32_MIN, 0},
      {0x7FFFFFFF, INT32_MAX, 0},  // 3 x divisor exceeds 32 bits; the budget only shrinks
      {0x7FFFFFFF, 0x55555556, 0},
  };
  for (const BudgetCase& c : budget) {
    EXPECT_EQ(AutomaticBudget(c.largest, c.divisor), c.budget) << c.largest << " / " << c.divisor;
  }
}

TEST(Instance, UnknownModesSetUpNothing) {
  for (const int32_t mode : {4, -1, 100, INT32_MIN}) {
    SCOPED_TRACE(mode);
    JpegDecodeInstance* instance = CreateJpegDecodeInstance();
    ASSERT_NE(instance, nullptr);
    EXPECT_EQ(instance->Start(100, 100, mode, 1), 0);
    EXPECT_EQ(instance->mode, mode);
    EXPECT_EQ(instance->IsStreaming(), 0);
    EXPECT_EQ(instance->streamingBackend, nullptr);
    EXPECT_EQ(instance->bufferedBackend, nullptr);
    EXPECT_EQ(instance->gdiplusBackend, nullptr);
    const uint8_t byte = 0xFF;
    EXPECT_EQ(instance->Write(&byte, 1), 0);
    EXPECT_EQ(instance->GetElapsedTime(), 0u);
    EXPECT_EQ(instance->GetWriteCount(), 0u);
    EXPECT_EQ(instance->GetReadCount(), 0u);
    DeleteJpegDecodeInstance(instance);
  }
}

TEST(Instance, OperationsWithoutABackendChangeNothing) {
  JpegDecodeInstance* instance = CreateJpegDecodeInstance();
  ASSERT_NE(instance, nullptr);
  for (int round = 0; round < 2; ++round) {  // before Start, and after Finish
    SCOPED_TRACE(round);
    const uint8_t byte = 0xD8;
    EXPECT_EQ(instance->Write(&byte, 1), 0);
    uint8_t marker = 0;
    uint8_t* row = &marker;
    uint32_t rowLength = 77;
    EXPECT_EQ(instance->Read(&row, &rowLength), -1);  // never 0: no row was handed out
    EXPECT_EQ(row, &marker);
    EXPECT_EQ(rowLength, 77u);
    instance->EndOfInput(5);
    uint32_t leftover = 99;
    instance->Finish(&leftover);
    EXPECT_EQ(leftover, 99u);
    instance->Finish(nullptr);  // a second Finish does nothing
    EXPECT_EQ(instance->GetElapsedTime(), 0u);
    EXPECT_EQ(instance->GetWriteCount(), 0u);
    EXPECT_EQ(instance->GetReadCount(), 0u);
    instance->Start(64, 64, 3, 1);
    instance->Finish(nullptr);
  }
  DeleteJpegDecodeInstance(instance);
}

TEST(Instance, StreamingModeFeedsTheDecoderAndFinishesCleanly) {
  if (!DecoderAvailable()) {
    GTEST_SKIP() << "the native decoder cannot create a context yet";
  }
  JpegDecodeInstance* instance = CreateJpegDecodeInstance();
  ASSERT_NE(instance, nullptr);
  ASSERT_EQ(instance->Start(8, 8, JPEGDEC_MODE_STREAMING, 1), 1);
  EXPECT_EQ(instance->IsStreaming(), 1);
  ASSERT_NE(instance->streamingBackend, nullptr);
  EXPECT_EQ(instance->Write(kHeadersToScan.data(), static_cast<uint32_t>(kHeadersToScan.size())),
            1);
  uint8_t* row = nullptr;
  uint32_t rowLength = 0;
  const int32_t read = instance->Read(&row, &rowLength);
  EXPECT_TRUE(read == 1 || read == -1) << read;  // waiting inside the scan, or refusing it
  // The end of the input ends the stream cut short inside its scan; the row limit means nothing
  // in streaming mode, and no byte is taken after it.
  instance->EndOfInput(3);
  EXPECT_EQ(instance->Read(&row, &rowLength), -1);
  EXPECT_EQ(instance->Write(kHeadersToScan.data(), 1), 0);
  EXPECT_EQ(instance->GetWriteCount(), 2u);
  EXPECT_EQ(instance->GetReadCount(), 2u);
  uint32_t leftover = 55;
  instance->Finish(&leftover);
  EXPECT_EQ(leftover, 0u);
  EXPECT_EQ(instance->streamingBackend, nullptr);
  DeleteJpegDecodeInstance(instance);
}

// A 16-pixel-wide grey image of flat mid-grey blocks, `height` rows (a multiple of 8: bands of
// 8 rows), optionally preceded by an APP1 segment of `appBytes` payload bytes, and followed by
// `trailing` bytes after EOI.
std::vector<uint8_t> GreyImage(uint32_t trailing, uint32_t appBytes = 0, uint16_t height = 24) {
  using namespace jpegdec::test;
  JpegBuilder builder;
  builder.Soi();
  if (appBytes != 0) {
    builder.App(1, Bytes(appBytes, 0x5A));
  }
  builder.OneCodeGreyHeaders(16, height).Sos(kGreyScan);
  // Two blocks per band, each the two bits 00; the last byte padded with 1 bits.
  const uint32_t bits = height / 2u;
  Bytes scan((bits + 7) / 8, 0x00);
  scan.back() = static_cast<uint8_t>((1u << (scan.size() * 8 - bits)) - 1);
  builder.Raw(scan).Eoi();
  builder.Raw(Bytes(trailing, 0xEE));
  return builder.Take();
}

struct StreamedDecode {
  int32_t lastRead = 1;
  uint32_t rows = 0;
  uint32_t leftover = 12345;
  uint32_t refusedAfterAskingForInput = 0;  // Writes refused right after Read asked for input
  bool allMidGrey = true;
};

// Streams `file` through a streaming instance in pieces of `piece` bytes as the header tells a
// host to: write, read until Read returns 1, write again (a refused piece is retried after the
// next Read). Stops after `stopAfterRows` rows (0: never) and finishes.
StreamedDecode StreamThroughInstance(const std::vector<uint8_t>& file, uint32_t piece,
                                     uint32_t stopAfterRows = 0, bool endOfInput = false) {
  StreamedDecode out;
  JpegDecodeInstance* instance = CreateJpegDecodeInstance();
  EXPECT_EQ(instance->Start(16, 0, JPEGDEC_MODE_STREAMING, 1), 1);
  std::size_t written = 0;
  bool endedInput = false;
  for (int calls = 0; calls < 100000; ++calls) {
    uint8_t* row = nullptr;
    uint32_t rowLength = 0;
    out.lastRead = instance->Read(&row, &rowLength);
    if (out.lastRead == 0) {
      ++out.rows;
      for (uint32_t i = 0; i < rowLength; ++i) {
        out.allMidGrey = out.allMidGrey && row[i] == 128;
      }
      if (out.rows == stopAfterRows) {
        break;
      }
      continue;
    }
    if (out.lastRead != 1) {
      break;  // end or failure
    }
    if (written == file.size()) {
      if (!endOfInput || endedInput) {
        break;  // cut short: every byte written and still asking
      }
      instance->EndOfInput(0);
      endedInput = true;
      continue;
    }
    const auto n = static_cast<uint32_t>(std::min<std::size_t>(piece, file.size() - written));
    const bool waiting = instance->streamingBackend->state == jpegdec::JD_NEED_DATA;
    if (instance->Write(file.data() + written, n) == 1) {
      written += n;
    } else if (waiting) {
      ++out.refusedAfterAskingForInput;
    }
  }
  instance->Finish(&out.leftover);
  DeleteJpegDecodeInstance(instance);
  return out;
}

TEST(StreamingThroughTheInstance, FinishReportsWhatFollowedTheEndMarker) {
  if (!DecoderAvailable()) {
    GTEST_SKIP() << "the native decoder cannot create a context yet";
  }
  struct Case {
    const char* what;
    uint32_t trailing;
    uint16_t height;
    uint32_t piece;
    uint32_t stopAfterRows;
    int32_t lastRead;
    uint32_t rows;
    uint32_t leftover;
  };
  // Finish runs out a held band and decodes on for at most 32 more Reads: when the end marker
  // is reached within them it reports what followed, otherwise 0.
  const Case cases[] = {
      {"whole, to the end", 10, 24, 4096, 0, 2, 24, 10},
      {"1-byte pieces, to the end", 10, 24, 1, 0, 2, 24, 0},  // the last piece held only EOI
      {"the last row taken, end marker not yet read", 10, 24, 4096, 24, 0, 24, 10},
      {"stopped in the first band, 23 rows to come", 10, 24, 4096, 1, 0, 1, 10},
      {"stopped between bands", 10, 24, 4096, 8, 0, 8, 10},
      {"stopped with 47 rows to come", 10, 48, 4096, 1, 0, 1, 0},
      {"nothing after the end marker", 0, 24, 4096, 0, 2, 24, 0},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    const StreamedDecode d =
        StreamThroughInstance(GreyImage(c.trailing, 0, c.height), c.piece, c.stopAfterRows);
    EXPECT_EQ(d.lastRead, c.lastRead);
    EXPECT_EQ(d.rows, c.rows);
    EXPECT_EQ(d.leftover, c.leftover);
    EXPECT_TRUE(d.allMidGrey);
  }
}

// A stream cut short: a host that never calls EndOfInput sees Read ask for more (and finishes
// when it likes); after EndOfInput the stream ends, with 2 when only the end marker is missing.
TEST(StreamingThroughTheInstance, AStreamCutShortEndsAfterEndOfInput) {
  if (!DecoderAvailable()) {
    GTEST_SKIP() << "the native decoder cannot create a context yet";
  }
  const struct {
    const char* what;
    std::size_t cut;  // bytes cut from the end
    bool endOfInput;
    int32_t lastRead;
    uint32_t rows;
  } cases[] = {
      {"no end marker, never said", 2, false, 1, 24},
      {"no end marker", 2, true, 2, 24},
      {"the last byte of the scan data cut too", 3, true, -1, 16},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.what);
    std::vector<uint8_t> file = GreyImage(0);
    file.resize(file.size() - c.cut);
    const StreamedDecode d = StreamThroughInstance(file, 7, 0, c.endOfInput);
    EXPECT_EQ(d.lastRead, c.lastRead);
    EXPECT_EQ(d.rows, c.rows);
    EXPECT_EQ(d.leftover, 0u);
  }
}

TEST(StreamingThroughTheInstance, PiecesOfThirtySixKibAlwaysFitBehindALongSegment) {
  if (!DecoderAvailable()) {
    GTEST_SKIP() << "the native decoder cannot create a context yet";
  }
  for (const uint32_t appBytes : {60000u, 65533u}) {
    SCOPED_TRACE(appBytes);
    const StreamedDecode d = StreamThroughInstance(GreyImage(0, appBytes), 36 * 1024);
    EXPECT_EQ(d.lastRead, 2);
    EXPECT_EQ(d.rows, 24u);
    EXPECT_EQ(d.refusedAfterAskingForInput, 0u);
  }
}

#if !defined(_WIN32)

namespace hooks = jpegdec::platform::testing;

// The hooks reset around each test, and nothing the library allocated left behind.
using InstanceWithHooks = jpegdec::test::HooksFixture;

TEST_F(InstanceWithHooks, TheProbeFindsTheLargestBlockInAtMostTwelveRequests) {
  struct Case {
    bool capped;
    uint32_t largest;
    uint32_t probed;
    uint32_t requests;
  };
  const Case cases[] = {
      {true, 0x7FFFFFFF, 0x7FFFFFFF, 1},
      {true, 1500000000, 1499987967, 12},
      {true, 0, 524287, 12},  // nothing granted
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.largest);
    hooks::ResetHooks();
    hooks::SetLargestBlock(c.largest);
    EXPECT_EQ(jpegdec::ProbeLargestAllocation(), c.probed);
    EXPECT_EQ(hooks::BlockAllocationRequests(), c.requests);
  }
}

TEST_F(InstanceWithHooks, AutomaticModeWeighsTheBitmapAgainstTheProbedMemory) {
  using Imaging = hooks::ImagingModule;
  struct Case {
    const char* what;
    uint32_t width, height;
    int32_t divisor;
    Imaging imaging;
    bool streaming;
  };
  // Blocks up to 1,500,000,000 bytes: the probe says 1,499,987,967, the budget with divisor 1
  // is 166,665,329 bytes and with divisor 2 83,332,664.
  const Case cases[] = {
      {"7000 x 7000 fits", 7000, 7000, 1, Imaging::kPresent, false},
      {"8000 x 7000 does not", 8000, 7000, 1, Imaging::kPresent, true},
      {"7000 x 7000 with divisor 2", 7000, 7000, 2, Imaging::kPresent, true},
      {"4000 x 6000 with divisor 2", 4000, 6000, 2, Imaging::kPresent, false},
      {"no gdiplus.dll", 100, 100, 1, Imaging::kMissing, true},
      {"negative divisor", 100, 100, -1, Imaging::kPresent, true},
      {"divisor 0", 100, 100, 0, Imaging::kPresent, true},
      {"a bitmap past 4 GiB", 21846, 65535, 1, Imaging::kPresent, true},
      {"height 0: a page of unknown length", 100, 0, 1, Imaging::kPresent, true},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    hooks::ResetHooks();
    hooks::SetLargestBlock(1500000000);
    hooks::SetImagingModule(c.imaging);
    JpegDecodeInstance* instance = CreateJpegDecodeInstance();
    ASSERT_NE(instance, nullptr);
    const int32_t started = instance->Start(c.width, c.height, 0, c.divisor);
    if (c.streaming) {
      EXPECT_EQ(instance->mode, JPEGDEC_MODE_STREAMING);
      EXPECT_EQ(instance->IsStreaming(), 1);
      EXPECT_EQ(started, DecoderAvailable() ? 1 : 0);
    } else {
      EXPECT_EQ(instance->mode, JPEGDEC_MODE_GDIPLUS);
      EXPECT_NE(instance->gdiplusBackend, nullptr);
      EXPECT_EQ(started, 1);
      EXPECT_EQ(instance->IsStreaming(), 0);
    }
    DeleteJpegDecodeInstance(instance);
  }
}

TEST_F(InstanceWithHooks, ModeOneWithoutGdiplusFallsBackToBuffered) {
  hooks::SetImagingModule(hooks::ImagingModule::kMissing);
  JpegDecodeInstance* instance = CreateJpegDecodeInstance();
  ASSERT_NE(instance, nullptr);
  instance->Start(640, 480, JPEGDEC_MODE_GDIPLUS, 1);
  EXPECT_EQ(instance->mode, JPEGDEC_MODE_BUFFERED);
  EXPECT_EQ(instance->IsStreaming(), 0);
  EXPECT_EQ(instance->gdiplusBackend, nullptr);
  EXPECT_NE(instance->bufferedBackend, nullptr);
  DeleteJpegDecodeInstance(instance);
}

TEST_F(InstanceWithHooks, NothingIsLeftBehindWhateverTheOrderOfCalls) {
  struct Case {
    const char* what;
    int32_t mode;
    bool finish;
    bool startTwice;
  };
  const Case cases[] = {
      {"streaming, finished", JPEGDEC_MODE_STREAMING, true, false},
      {"streaming, deleted without Finish", JPEGDEC_MODE_STREAMING, false, false},
      {"streaming, started twice", JPEGDEC_MODE_STREAMING, false, true},
      {"buffered, finished", JPEGDEC_MODE_BUFFERED, true, false},
      {"buffered, deleted without Finish", JPEGDEC_MODE_BUFFERED, false, false},
      {"buffered, started twice", JPEGDEC_MODE_BUFFERED, true, true},
      {"GDI+, deleted without Finish", JPEGDEC_MODE_GDIPLUS, false, false},
      {"GDI+ then streaming", JPEGDEC_MODE_GDIPLUS, false, true},
  };
  hooks::SetImagingModule(hooks::ImagingModule::kPresent);
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    JpegDecodeInstance* instance = CreateJpegDecodeInstance();
    ASSERT_NE(instance, nullptr);
    instance->Start(320, 200, c.mode, 1);
    if (c.startTwice) {
      instance->Start(320, 200, JPEGDEC_MODE_STREAMING, 1);
      EXPECT_EQ(instance->bufferedBackend, nullptr);
      EXPECT_EQ(instance->gdiplusBackend, nullptr);
    }
    const uint8_t soi[] = {0xFF, 0xD8};
    instance->Write(soi, 2);
    if (c.finish) {
      instance->Finish(nullptr);
      instance->Finish(nullptr);
      EXPECT_EQ(instance->streamingBackend, nullptr);
      EXPECT_EQ(instance->bufferedBackend, nullptr);
      EXPECT_EQ(instance->gdiplusBackend, nullptr);
    }
    DeleteJpegDecodeInstance(instance);
    EXPECT_EQ(hooks::LiveHeapAllocations(), heap_);
    EXPECT_EQ(hooks::LiveBlocks(), blocks_);
  }
}

// A new instance started in `mode` (320 x 200) while the n-th heap allocation, or movable block,
// fails: what Start answered and whether the failure struck.
enum class Failing { kHeapAllocation, kMovableBlock };
struct FailedStart {
  JpegDecodeInstance* instance;
  int32_t started;
  bool struck;
};
FailedStart StartFailing(Failing failing, int32_t mode, uint32_t n) {
  const bool heap = failing == Failing::kHeapAllocation;
  FailedStart start = {CreateJpegDecodeInstance(), 0, false};
  if (start.instance != nullptr) {
    (heap ? hooks::FailHeapAllocation : hooks::FailBlockAllocation)(n);
    start.started = start.instance->Start(320, 200, mode, 1);
    start.struck =
        heap ? hooks::HeapAllocationFailureHappened() : hooks::BlockAllocationFailureHappened();
    (heap ? hooks::FailHeapAllocation : hooks::FailBlockAllocation)(0);
  }
  return start;
}

TEST_F(InstanceWithHooks, EveryAllocationFailureIsReportedAndLeaksNothing) {
  hooks::SetImagingModule(hooks::ImagingModule::kPresent);
  hooks::FailHeapAllocation(1);
  EXPECT_EQ(CreateJpegDecodeInstance(), nullptr);
  EXPECT_EQ(UnInitializeJpegDec(), 0) << "a failed creation is not counted";
  InitializeJpegDec();

  // Fail each heap allocation of Start in turn, for every way, until Start no longer meets a
  // failure. The failed Start reports 0 (or falls back), and deletion releases the rest.
  for (const int32_t mode : {JPEGDEC_MODE_STREAMING, JPEGDEC_MODE_BUFFERED, JPEGDEC_MODE_GDIPLUS}) {
    for (uint32_t n = 1; n < 64; ++n) {
      SCOPED_TRACE(testing::Message() << "mode " << mode << ", failing allocation " << n);
      const auto [instance, started, struck] = StartFailing(Failing::kHeapAllocation, mode, n);
      ASSERT_NE(instance, nullptr);
      if (struck && mode != JPEGDEC_MODE_GDIPLUS) {
        EXPECT_EQ(started, 0);
      }
      if (started == 0) {
        // Only Finish and delete are meant to follow; a host that reads on learns of it.
        uint8_t* row = nullptr;
        uint32_t length = 0;
        EXPECT_EQ(instance->Read(&row, &length), -1);
        const uint8_t soi[] = {0xFF, 0xD8};
        EXPECT_EQ(instance->Write(soi, 2), 0);
      }
      DeleteJpegDecodeInstance(instance);
      EXPECT_EQ(hooks::LiveHeapAllocations(), heap_);
      if (!struck) {
        break;
      }
    }
  }
  EXPECT_EQ(UnInitializeJpegDec(), 0);
}

TEST_F(InstanceWithHooks, MovableBlockFailuresInStartFallBackOrFailWithoutLeaks) {
  hooks::SetImagingModule(hooks::ImagingModule::kPresent);
  for (const int32_t mode : {JPEGDEC_MODE_BUFFERED, JPEGDEC_MODE_GDIPLUS}) {
    for (uint32_t n = 1; n < 16; ++n) {
      SCOPED_TRACE(testing::Message() << "mode " << mode << ", failing block " << n);
      const auto [instance, started, struck] = StartFailing(Failing::kMovableBlock, mode, n);
      ASSERT_NE(instance, nullptr);
      if (struck && mode == JPEGDEC_MODE_GDIPLUS) {
        // A GDI+ set-up that fails hands over to the buffered way, which then gets its blocks.
        EXPECT_EQ(instance->mode, JPEGDEC_MODE_BUFFERED);
        EXPECT_EQ(started, 1);
      } else if (struck) {
        EXPECT_EQ(started, 0);
      } else {
        EXPECT_EQ(started, 1);
        EXPECT_EQ(instance->mode, mode);
      }
      instance->Finish(nullptr);
      EXPECT_EQ(hooks::LiveBlocks(), blocks_);
      DeleteJpegDecodeInstance(instance);
      if (!struck) {
        break;
      }
    }
  }
}

TEST_F(InstanceWithHooks, ABackendObjectThatCannotBeHadFailsStart) {
  hooks::SetImagingModule(hooks::ImagingModule::kPresent);
  JpegDecodeInstance* instance = CreateJpegDecodeInstance();
  ASSERT_NE(instance, nullptr);
  hooks::FailHeapAllocation(1);  // the GDI+ back-end object itself: no fallback
  EXPECT_EQ(instance->Start(320, 200, JPEGDEC_MODE_GDIPLUS, 1), 0);
  EXPECT_EQ(instance->mode, JPEGDEC_MODE_GDIPLUS);
  EXPECT_EQ(instance->gdiplusBackend, nullptr);
  EXPECT_EQ(instance->bufferedBackend, nullptr);
  DeleteJpegDecodeInstance(instance);
}

#endif  // !_WIN32

}  // namespace
