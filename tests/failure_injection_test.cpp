// Allocation and lock failures at every point of a decode, in every mode, through the portable
// platform's hooks: a clean decode first counts the heap and block allocations and the locks it
// makes; then each one in turn is made to fail. Every such decode must end in a documented
// result (no instance, 0 from Start, -1 from Read) or, where the failure costs nothing, with
// exactly the clean decode's rows; and afterwards no instance, heap allocation, memory block,
// lock or module may be left.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstdint>
#include <cstdio>
#include <string>
#include <vector>

#include "api/jpeg_decode_instance.h"
#include "jpegdec/jpegdec.h"
#include "support/host_driver.h"
#include "support/jpeg_builder.h"
#if !defined(_WIN32)
#include "platform/portable/test_hooks.h"
#endif

namespace jpegdec::test {
namespace {

#if !defined(_WIN32)

namespace hooks = platform::testing;

// 16 x 24 YCbCr 4:2:0 with restarts: two bands, so that the decode allocates more than one
// band buffer. Every block is the bits "00"; each MCU is followed by 1 bits and a restart.
// With `bands` other than 2: that many bands of one MCU each, 16 lines apiece.
Bytes TestImage(int bands = 2) {
  JpegBuilder b;
  b.Soi()
      .OneCodeColourHeaders(16, static_cast<std::uint16_t>(bands == 2 ? 24 : 16 * bands), kYCbCr420)
      .Dri(1)
      .Sos(kYCbCrScan);
  for (int i = 0; i < bands; ++i) {
    if (i > 0) {
      b.Rst(static_cast<std::uint8_t>((i - 1) % 8));
    }
    b.Raw({0x00, 0x0F});  // 6 blocks = 12 bits per MCU
  }
  b.Eoi();
  return b.Take();
}

const char* ModeName(std::int32_t mode) {
  switch (mode) {
    case JPEGDEC_MODE_AUTO:
      return "automatic";
    case JPEGDEC_MODE_GDIPLUS:
      return "GDI+";
    case JPEGDEC_MODE_BUFFERED:
      return "buffered";
    default:
      return "streaming";
  }
}

HostResult DecodeOnce(const Bytes& file, std::int32_t mode,
                      const PieceSchedule& schedule = PieceSchedule::Fixed(7)) {
  InitializeJpegDec();
  HostOptions options;
  options.mode = mode;
  return DecodeThroughHost(file, options, schedule);
}

// The test image behind two comment segments of the longest length, written whole: more than
// the streaming input buffer holds at first, so the first Write has to grow it.
Bytes WithLongComments(const Bytes& image) {
  Bytes file(image.begin(), image.begin() + 2);  // SOI
  for (int i = 0; i < 2; ++i) {
    file.insert(file.end(), {0xFF, 0xFE, 0xFF, 0xFF});
    file.insert(file.end(), 65533, static_cast<std::uint8_t>('x'));
  }
  file.insert(file.end(), image.begin() + 2, image.end());
  return file;
}

// What must hold after every decode, failed or not.
void ExpectNothingLeft() {
  EXPECT_EQ(UnInitializeJpegDec(), 0) << "instances alive";
  EXPECT_EQ(hooks::LiveHeapAllocations(), 0) << "heap allocations left";
  EXPECT_EQ(hooks::LiveBlocks(), 0) << "memory blocks left";
  EXPECT_EQ(hooks::LockedBlocks(), 0) << "blocks left locked";
  EXPECT_EQ(hooks::LiveModules(), 0) << "modules left loaded";
}

// A decode with one injected failure: a documented failure, or the clean decode's rows.
void ExpectDocumentedEnd(const HostResult& result, const HostResult& clean) {
  switch (result.end) {
    case HostEnd::kNoInstance:
    case HostEnd::kStartFailed:
    case HostEnd::kFailed:
      EXPECT_LE(result.rows, clean.rows);
      break;
    case HostEnd::kEnd:
      EXPECT_EQ(result.rows, clean.rows) << "success with rows missing";
      EXPECT_TRUE(result.pixels == clean.pixels) << "success with other rows";
      break;
    default:
      ADD_FAILURE() << "undocumented end: " << result.Summary();
  }
}

enum class Kind { kHeap, kBlock, kLock };

const char* KindName(Kind kind) {
  switch (kind) {
    case Kind::kHeap:
      return "heap allocation";
    case Kind::kBlock:
      return "block allocation";
    default:
      return "lock";
  }
}

void Arm(Kind kind, std::uint32_t n) {
  switch (kind) {
    case Kind::kHeap:
      hooks::FailHeapAllocation(n);
      break;
    case Kind::kBlock:
      hooks::FailBlockAllocation(n);
      break;
    case Kind::kLock:
      hooks::FailLock(n);
      break;
  }
}

bool Struck(Kind kind) {
  switch (kind) {
    case Kind::kHeap:
      return hooks::HeapAllocationFailureHappened();
    case Kind::kBlock:
      return hooks::BlockAllocationFailureHappened();
    default:
      return hooks::LockFailureHappened();
  }
}

TEST(FailureInjection, EveryAllocationAndLockInEveryMode) {
  const Bytes image = TestImage();
  const Bytes longFile = WithLongComments(image);
  const struct {
    std::int32_t mode;
    const Bytes& file;
    PieceSchedule schedule;
  } ways[] = {
      {JPEGDEC_MODE_STREAMING, image, PieceSchedule::Fixed(7)},
      // The input buffer's growth is one more allocation that can fail.
      {JPEGDEC_MODE_STREAMING, longFile, PieceSchedule::Whole()},
      {JPEGDEC_MODE_BUFFERED, image, PieceSchedule::Fixed(7)},
      {JPEGDEC_MODE_GDIPLUS, image, PieceSchedule::Fixed(7)},
      {JPEGDEC_MODE_AUTO, image, PieceSchedule::Fixed(7)},
  };
  int injected = 0;
  for (const auto& way : ways) {
    const std::int32_t mode = way.mode;
    const Bytes& file = way.file;
    SCOPED_TRACE(std::string(ModeName(mode)) + ", " + way.schedule.Describe());
    hooks::ResetHooks();
    const HostResult clean = DecodeOnce(file, mode, way.schedule);
    ASSERT_EQ(clean.end, HostEnd::kEnd) << clean.Summary();
    ASSERT_GT(clean.rows, 0u);
    if (&file == &longFile) {
      EXPECT_EQ(clean.inputCapacity, longFile.size()) << "the buffer grows to the whole file";
    }
    ExpectNothingLeft();
    int perMode = 0;
    int perKind[3] = {};
    for (const Kind kind : {Kind::kHeap, Kind::kBlock, Kind::kLock}) {
      // The n-th request of this kind fails, for every n that the decode reaches.
      for (std::uint32_t n = 1; n < 10000; ++n) {
        hooks::ResetHooks();
        Arm(kind, n);
        const HostResult result = DecodeOnce(file, mode, way.schedule);
        if (!Struck(kind)) {
          break;  // the decode makes fewer than n requests of this kind
        }
        SCOPED_TRACE(std::string(KindName(kind)) + " " + std::to_string(n) +
                     " fails: " + result.Summary());
        ExpectDocumentedEnd(result, clean);
        ExpectNothingLeft();
        ++perMode;
        ++perKind[static_cast<int>(kind)];
      }
    }
    EXPECT_GT(perMode, 0);
    injected += perMode;
    std::printf("%s mode, %s: %d failures injected (%d heap allocations, %d blocks, %d locks)\n",
                ModeName(mode), way.schedule.Describe().c_str(), perMode, perKind[0], perKind[1],
                perKind[2]);
  }
  hooks::ResetHooks();
  std::printf("%d failures injected in all\n", injected);
}

// Streaming memory when the heap is capped by failing every request from the n-th on is out of
// reach of the one-shot hooks; instead the decoder's own allocations are counted: one context,
// one row scratch, one input buffer, and one band buffer per band, never more than one alive.
TEST(FailureInjection, StreamingHoldsAtMostOneBandAtATime) {
  const Bytes file = TestImage();
  hooks::ResetHooks();
  InitializeJpegDec();
  JpegDecodeInstance* instance = CreateJpegDecodeInstance();
  ASSERT_NE(instance, nullptr);
  const std::int64_t withInstance = hooks::LiveHeapAllocations();
  ASSERT_EQ(instance->Start(16, 24, JPEGDEC_MODE_STREAMING, 1), 1);
  ASSERT_EQ(instance->Write(file.data(), static_cast<std::uint32_t>(file.size())), 1);
  std::int64_t most = 0;
  for (int calls = 0; calls < 1000; ++calls) {
    std::uint8_t* row = nullptr;
    std::uint32_t length = 0;
    const std::int32_t r = instance->Read(&row, &length);
    most = std::max(most, hooks::LiveHeapAllocations() - withInstance);
    if (r == JPEGDEC_READ_END || r == JPEGDEC_READ_FAILED) {
      EXPECT_EQ(r, JPEGDEC_READ_END);
      break;
    }
  }
  // The back-end object, its context, input buffer and row scratch, and one band.
  EXPECT_LE(most, 5);
  instance->Finish(nullptr);
  DeleteJpegDecodeInstance(instance);
  ExpectNothingLeft();
}

// The band buffer goes back to the decoder once its rows are out and serves the next band: a
// decode makes as many heap requests for eight bands as for two.
TEST(FailureInjection, StreamingReusesOneBandBufferForEveryBand) {
  std::vector<std::uint32_t> requests;
  for (const int bands : {2, 8}) {
    const Bytes file = TestImage(bands);
    hooks::ResetHooks();
    InitializeJpegDec();
    JpegDecodeInstance* instance = CreateJpegDecodeInstance();
    ASSERT_NE(instance, nullptr);
    ASSERT_EQ(
        instance->Start(16, static_cast<std::uint32_t>(16 * bands), JPEGDEC_MODE_STREAMING, 1), 1);
    ASSERT_EQ(instance->Write(file.data(), static_cast<std::uint32_t>(file.size())), 1);
    int rows = 0;
    for (int calls = 0; calls < 1000; ++calls) {
      std::uint8_t* row = nullptr;
      std::uint32_t length = 0;
      const std::int32_t r = instance->Read(&row, &length);
      rows += r == JPEGDEC_READ_ROW ? 1 : 0;
      if (r == JPEGDEC_READ_END || r == JPEGDEC_READ_FAILED) {
        EXPECT_EQ(r, JPEGDEC_READ_END);
        break;
      }
    }
    EXPECT_EQ(rows, bands == 2 ? 24 : 16 * bands);
    requests.push_back(hooks::HeapAllocationRequests());
    instance->Finish(nullptr);
    DeleteJpegDecodeInstance(instance);
    ExpectNothingLeft();
  }
  EXPECT_EQ(requests[0], requests[1]) << "heap requests for 2 and for 8 bands";
}

#else

TEST(FailureInjection, NeedsThePortableHooks) {
  GTEST_SKIP() << "failure injection uses the portable platform's hooks (native build)";
}

#endif

}  // namespace
}  // namespace jpegdec::test
