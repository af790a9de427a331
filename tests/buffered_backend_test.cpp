// The whole-image buffered back-end: sizing and growth of the collected-file block, the feeding
// of 4093-byte pieces to the embedded decoder, and how reads end.
#include "backends/buffered_backend.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cstring>
#include <string>
#include <vector>

#include "api/jpeg_decode_instance.h"
#include "backends/global_block.h"
#include "backends/streaming_backend.h"
#include "decoder/decoder.h"
#include "jpegdec/jpegdec.h"
#include "platform/platform.h"
#include "support/files.h"
#include "support/quadrant_images.h"
#include "support/read_rows.h"

#if !defined(_WIN32)
#include "platform/portable/test_hooks.h"
#endif

namespace jpegdec {
namespace {

using test::kColourQuadrants;  // 22 x 16: red | green over blue | white, 4:4:4

using Bytes = std::vector<uint8_t>;

constexpr uint32_t kPiece = BufferedBackend::FEED_PIECE;

Bytes Quadrants() { return Bytes(std::begin(kColourQuadrants), std::end(kColourQuadrants)); }

// `jpeg` with a comment segment behind its start marker, making the file `total` bytes long.
Bytes PaddedTo(const Bytes& jpeg, size_t total) {
  const size_t payload = total - jpeg.size() - 4;
  // Built in one go: g++ 12 with the undefined-behaviour sanitizer warns (wrongly) about
  // push_back behind a vector made from two bytes.
  Bytes out = {jpeg[0],
               jpeg[1],
               0xFF,
               0xFE,
               static_cast<uint8_t>((payload + 2) >> 8),
               static_cast<uint8_t>(payload + 2)};
  out.insert(out.end(), payload, 'c');
  out.insert(out.end(), jpeg.begin() + 2, jpeg.end());
  return out;
}

struct Decoded {
  int32_t result = 0;  // the Read result that ended the decode
  std::vector<Bytes> rows;
  uint32_t leftover = 0;
};

// The reference: the same bytes through a streaming back-end, written as it asks for them.
Decoded DecodeStreaming(const Bytes& file) {
  Decoded out;
  StreamingBackend decoder;
  if (decoder.SetUp(0) != 1) {
    out.result = -2;
    return out;
  }
  size_t written = 0;
  for (int calls = 0; calls < 1000000; ++calls) {
    uint8_t* row = nullptr;
    uint32_t length = 0;
    const int32_t r = decoder.Read(&row, &length);
    if (r == 0) {
      out.rows.emplace_back(row, row + length);
      continue;
    }
    if (r != 1) {
      out.result = r;
      break;
    }
    if (decoder.state == JD_NEED_DATA) {
      if (written == file.size()) {
        out.result = 1;  // the file ended while the decoder asked for more
        break;
      }
      const auto piece = static_cast<uint32_t>(std::min<size_t>(kPiece, file.size() - written));
      if (decoder.Write(file.data() + written, piece) == 1) {
        written += piece;
      }
    }
  }
  decoder.Finish(&out.leftover);
  return out;
}

// The file through a buffered back-end, finished as the instance finishes it.
Decoded DecodeBuffered(BufferedBackend& backend, const Bytes& file) {
  Decoded out;
  EXPECT_EQ(backend.Write(file.data(), static_cast<uint32_t>(file.size())), 1);
  backend.MarkInputComplete();
  out.result = test::ReadRows(backend, &out.rows);
  backend.decoder.Finish(&out.leftover);
  backend.ReleaseBlock();
  return out;
}

// The back-end set up for the quadrants (22 x 16), `file` written in one piece, the input
// complete.
::testing::AssertionResult SetUpWhole(BufferedBackend& backend, const Bytes& file) {
  if (backend.SetUp(22, 16) != 1 ||
      backend.Write(file.data(), static_cast<uint32_t>(file.size())) != 1) {
    return ::testing::AssertionFailure() << "set-up or write refused";
  }
  backend.MarkInputComplete();
  return ::testing::AssertionSuccess();
}

uint32_t BlockBytes(const BufferedBackend& backend) {
  return platform::BlockSize(backend.input.block);
}

// The collected bytes as the block holds them.
Bytes Collected(const BufferedBackend& backend) {
  const auto* bytes = static_cast<const uint8_t*>(platform::LockBlock(backend.input.block));
  Bytes out(bytes, bytes + BlockBytes(backend));
  platform::UnlockBlock(backend.input.block);
  return out;
}

// ---- Sizing ----

struct SizingCase {
  uint32_t width;
  uint32_t height;
  uint64_t capacity;
};

TEST(BufferedBackendSetUp, SizesTheBlockFromTheExpectedImage) {
  const SizingCase cases[] = {
      {100, 10, 4'800},              // 3,000 bytes raised to 16 rows of 300
      {1000, 5000, 10'000'000},      // 15,000,000 lowered to the ceiling
      {700000, 1, 33'600'000},       // 16 rows of 2,100,000 win over the ceiling
      {640, 480, 921'600},           // the image as it is
      {0, 0, kUnknownSizeCapacity},  // size unknown: a usable block, not 0 bytes
      {640, 0, kUnknownSizeCapacity},
      {0, 480, kUnknownSizeCapacity},
  };
  for (const SizingCase& c : cases) {
    SCOPED_TRACE(std::to_string(c.width) + " x " + std::to_string(c.height));
    BufferedBackend backend;
    backend.SetUp(c.width, c.height);
    EXPECT_EQ(backend.input.capacity, c.capacity);
    EXPECT_EQ(backend.input.growStep, c.capacity);
    EXPECT_EQ(BlockBytes(backend), c.capacity);
    EXPECT_EQ(backend.input.used, 0u);
    EXPECT_EQ(backend.feedState, JD_NEED_DATA);
  }
}

TEST(BufferedBackendSetUp, RefusesASecondSetUp) {
  BufferedBackend backend;
  backend.SetUp(100, 10);
  ASSERT_NE(backend.input.block, nullptr);
  platform::MemoryBlock first = backend.input.block;
  EXPECT_EQ(backend.SetUp(100, 10), 0);
  EXPECT_EQ(backend.input.block, first);
}

// ---- Collecting ----

struct GrowthCase {
  const char* name;
  std::vector<uint32_t> writes;
  uint64_t capacity;
};

TEST(BufferedBackendWrite, GrowsByHalfItsCapacityTheStepOrTheWrite) {
  const GrowthCase cases[] = {
      {"fits exactly", {4800}, 4'800},
      {"one byte more grows by the step", {4800, 1}, 9'600},
      {"a longer write grows to what it needs", {4800, 20000}, 24'800},
      {"a first write longer than the step", {5000}, 9'600},
      {"several small writes", {1000, 1000, 1000, 1000, 1000}, 9'600},
      // Beyond twice the step, by half the capacity: 9,600 to 14,400 to 21,600 to 32,400.
      {"growing in proportion", {9600, 1, 4799, 1, 7199, 1}, 32'400},
      {"a write past half the capacity", {9600, 1, 20000}, 29'601},
  };
  for (const GrowthCase& c : cases) {
    SCOPED_TRACE(c.name);
    BufferedBackend backend;
    backend.SetUp(100, 10);
    Bytes expected;
    for (uint32_t length : c.writes) {
      Bytes data(length);
      for (uint32_t i = 0; i < length; ++i) {
        data[i] = static_cast<uint8_t>(expected.size() + i * 7);
      }
      ASSERT_EQ(backend.Write(data.data(), length), 1);
      expected.insert(expected.end(), data.begin(), data.end());
    }
    EXPECT_EQ(backend.input.capacity, c.capacity);
    EXPECT_EQ(backend.input.used, expected.size());
    ASSERT_EQ(BlockBytes(backend), c.capacity);
    // The bytes survive every growth, and the rest of the block reads as zeros.
    Bytes held = Collected(backend);
    EXPECT_TRUE(std::equal(expected.begin(), expected.end(), held.begin()));
    EXPECT_TRUE(std::all_of(held.begin() + static_cast<std::ptrdiff_t>(expected.size()), held.end(),
                            [](uint8_t b) { return b == 0; }));
  }
}

TEST(BufferedBackendWrite, LengthsThatCannotFitAreRefusedWithoutWrapping) {
  BufferedBackend backend;
  backend.SetUp(100, 10);
  Bytes data(4800, 0x5A);
  ASSERT_EQ(backend.Write(data.data(), 4800), 1);
  // input.used + length would wrap in 32 bits; the block and what it holds stay as they were.
  const uint32_t lengths[] = {0xFFFFFFFFu, 0xFFFFFFFFu - 4799u};
  for (uint32_t length : lengths) {
    SCOPED_TRACE(length);
    EXPECT_EQ(backend.Write(data.data(), length), 0);
    EXPECT_EQ(backend.input.used, 4800u);
    EXPECT_EQ(backend.input.capacity, 4'800u);
    ASSERT_NE(backend.input.block, nullptr);
  }
  EXPECT_EQ(backend.Write(data.data(), 10), 1);
  EXPECT_EQ(backend.input.used, 4810u);
}

TEST(BufferedBackendWrite, RefusesMissingData) {
  BufferedBackend backend;
  backend.SetUp(100, 10);
  EXPECT_EQ(backend.Write(nullptr, 5), 0);
  EXPECT_EQ(backend.input.used, 0u);
  EXPECT_EQ(backend.Write(nullptr, 0), 1);
}

TEST(BufferedBackendWrite, WritesWithAnUnknownSize) {
  BufferedBackend backend;
  backend.SetUp(0, 0);
  Bytes data(3 * kUnknownSizeCapacity / 2, 0x11);
  EXPECT_EQ(backend.Write(data.data(), 10), 1);
  EXPECT_EQ(backend.Write(data.data(), static_cast<uint32_t>(data.size())), 1);
  EXPECT_EQ(backend.input.used, data.size() + 10);
}

// ---- Reading ----

TEST(BufferedBackendRead, AnswersOneAndFeedsNothingBeforeTheInputIsComplete) {
  BufferedBackend backend;
  backend.SetUp(22, 16);
  const Bytes file = Quadrants();
  ASSERT_EQ(backend.Write(file.data(), static_cast<uint32_t>(file.size())), 1);
  uint8_t* row = nullptr;
  uint32_t length = 0;
  for (int i = 0; i < 3; ++i) {
    EXPECT_EQ(backend.Read(&row, &length), 1);
  }
  EXPECT_EQ(backend.decoder.readCalls, 0u);
  EXPECT_EQ(backend.decoder.writeCalls, 0u);
  EXPECT_EQ(backend.fedBytes, 0u);
}

TEST(BufferedBackendRead, WithoutOutParametersOffersOnePieceOnly) {
  BufferedBackend backend;
  ASSERT_TRUE(SetUpWhole(backend, PaddedTo(Quadrants(), 6000)));
  EXPECT_EQ(backend.Read(nullptr, nullptr), 1);
  EXPECT_EQ(backend.decoder.writeCalls, 1u);
  EXPECT_EQ(backend.fedBytes, kPiece);
  EXPECT_EQ(backend.Read(nullptr, nullptr), 1);
  EXPECT_EQ(backend.decoder.writeCalls, 1u);
  EXPECT_EQ(backend.decoder.readCalls, 0u);
  // The next read steps the decoder over the piece already offered before offering another.
  uint8_t* row = nullptr;
  uint32_t length = 0;
  EXPECT_EQ(backend.Read(&row, &length), 0);
  EXPECT_EQ(length, 22u * 3u);
  EXPECT_EQ(backend.fedBytes, 6000u);
}

TEST(BufferedBackendRead, FeedsATenThousandByteFileInThreePieces) {
  BufferedBackend backend;
  ASSERT_EQ(backend.SetUp(100, 100), 1);
  ASSERT_GE(backend.input.capacity, 14'093u);  // room for a whole third piece behind the file
  const Bytes file = PaddedTo(Quadrants(), 10'000);
  const Decoded decoded = DecodeBuffered(backend, file);
  EXPECT_EQ(decoded.result, 2);
  EXPECT_EQ(decoded.rows.size(), 16u);
  // Pieces at 0, 4093 and 8186, each accepted at its first offer; the last one ends at the
  // file's end (1,814 bytes), so nothing of the zero fill follows the end marker.
  EXPECT_EQ(backend.decoder.writeCalls, 3u);
  EXPECT_EQ(decoded.leftover, 0u);
}

TEST(BufferedBackendRead, LeftoverCountsOnlyBytesTheHostWrote) {
  BufferedBackend backend;
  ASSERT_EQ(backend.SetUp(22, 16), 1);
  Bytes file = Quadrants();
  file.insert(file.end(), 10, 0xAB);
  const Decoded decoded = DecodeBuffered(backend, file);
  EXPECT_EQ(decoded.result, 2);
  EXPECT_EQ(decoded.leftover, 10u);
}

TEST(BufferedBackendRead, ReportsTheEndOnceThenOne) {
  BufferedBackend backend;
  ASSERT_TRUE(SetUpWhole(backend, Quadrants()));
  uint8_t* row = nullptr;
  uint32_t length = 0;
  for (int i = 0; i < 16; ++i) {
    ASSERT_EQ(backend.Read(&row, &length), 0) << "row " << i;
  }
  EXPECT_EQ(backend.Read(&row, &length), 2);
  const uint32_t readsSoFar = backend.decoder.readCalls;
  EXPECT_EQ(backend.Read(&row, &length), 1);
  EXPECT_EQ(backend.Read(&row, &length), 1);
  EXPECT_EQ(backend.decoder.readCalls, readsSoFar);
}

// As in streaming mode: once the host has said the file is complete, later bytes are not part
// of it, and the file decodes as it was then (here cut inside its comment segment).
TEST(BufferedBackendRead, RefusesBytesWrittenAfterTheInputWasDeclaredComplete) {
  BufferedBackend backend;
  ASSERT_EQ(backend.SetUp(22, 16), 1);
  const Bytes file = PaddedTo(Quadrants(), 9'000);
  ASSERT_EQ(backend.Write(file.data(), 5'000), 1);
  backend.MarkInputComplete();
  EXPECT_EQ(backend.Write(file.data() + 5'000, 4'000), 0);
  EXPECT_EQ(backend.input.used, 5'000u);
  std::vector<Bytes> rows;
  EXPECT_EQ(test::ReadRows(backend, &rows), -1);
  EXPECT_EQ(rows.size(), 0u);
}

struct EndingCase {
  const char* name;
  size_t keep;         // bytes of the file written (0: all)
  bool dropEndMarker;  // the last two bytes (the end-of-image marker) left out
  int32_t result;
  size_t rows;
};

TEST(BufferedBackendRead, EndsFilesWithoutAnEndMarker) {
  const Bytes whole = Quadrants();
  const EndingCase cases[] = {
      {"complete", 0, false, 2, 16},
      {"every row but no end marker", 0, true, 2, 16},
      {"cut inside the scan", whole.size() - 12, false, -1, 0},
      {"cut inside the headers", 100, false, -1, 0},
      {"nothing written", 1, false, -1, 0},
  };
  for (const EndingCase& c : cases) {
    SCOPED_TRACE(c.name);
    Bytes file = whole;
    if (c.keep != 0) {
      file.resize(c.keep == 1 ? 0 : c.keep);
    }
    if (c.dropEndMarker) {
      file.resize(file.size() - 2);
    }
    BufferedBackend backend;
    ASSERT_EQ(backend.SetUp(22, 16), 1);
    const Decoded decoded = DecodeBuffered(backend, file);
    EXPECT_EQ(decoded.result, c.result);
    if (c.result == 2) {
      EXPECT_EQ(decoded.rows.size(), c.rows);
    } else {
      EXPECT_LT(decoded.rows.size(), 16u);
    }
  }
}

TEST(BufferedBackendRead, AfterAFailureAnswersOne) {
  BufferedBackend backend;
  ASSERT_EQ(backend.SetUp(22, 16), 1);
  Bytes file = Quadrants();
  file.resize(100);
  ASSERT_EQ(backend.Write(file.data(), 100), 1);
  backend.MarkInputComplete();
  uint8_t* row = nullptr;
  uint32_t length = 0;
  EXPECT_EQ(backend.Read(&row, &length), -1);
  EXPECT_EQ(backend.Read(&row, &length), 1);
  EXPECT_EQ(backend.Read(&row, &length), 1);
}

// The rows of mode 2 are the streaming decoder's rows, whatever the file.
TEST(BufferedBackendRead, GivesTheStreamingRowsForCorpusFiles) {
  const std::vector<std::string> files = test::CorpusFiles("decodable");
  if (files.empty()) {
    GTEST_SKIP() << "the external corpus is absent";
  }
  for (size_t i = 0; i < files.size(); i += 3) {  // a fixed third of them, for time
    SCOPED_TRACE(files[i]);
    const Bytes file = test::ReadFileBytes(files[i]);
    const Decoded expected = DecodeStreaming(file);
    BufferedBackend backend;
    ASSERT_EQ(backend.SetUp(0, 0), 1);
    const Decoded actual = DecodeBuffered(backend, file);
    EXPECT_EQ(actual.result, expected.result == 1 ? actual.result : expected.result);
    EXPECT_EQ(actual.rows.size(), expected.rows.size());
    EXPECT_TRUE(actual.rows == expected.rows);
    if (expected.result == 2) {
      EXPECT_EQ(actual.leftover, expected.leftover);
    }
  }
}

// Mode 2 through the instance: the getters report the embedded decoder's calls (one write per
// piece fed), and Finish reports the bytes behind the end marker that the host wrote.
TEST(BufferedInstance, DecodesAndReportsThePiecesFed) {
  Bytes file = PaddedTo(Quadrants(), 9'990);
  file.insert(file.end(), 10, 0x77);  // 10,000 bytes, 10 of them behind the end marker
  JpegDecodeInstance* instance = CreateJpegDecodeInstance();
  ASSERT_NE(instance, nullptr);
  ASSERT_EQ(instance->Start(22, 16, 2, 1), 1);
  EXPECT_EQ(instance->IsStreaming(), 0);
  for (size_t at = 0; at < file.size(); at += 1000) {
    ASSERT_EQ(instance->Write(file.data() + at, 1000), 1);
  }
  uint8_t* row = nullptr;
  uint32_t length = 0;
  EXPECT_EQ(instance->Read(&row, &length), 1);  // nothing before EndOfInput
  EXPECT_EQ(instance->GetWriteCount(), 0u);
  instance->EndOfInput(0);  // the row limit means nothing here
  EXPECT_TRUE(test::RowsThenEnd(*instance, 16, 66, 2));
  EXPECT_EQ(instance->Read(&row, &length), 1);
  EXPECT_EQ(instance->GetWriteCount(), 3u);  // pieces at 0, 4093 and 8186
  uint32_t leftover = 0;
  instance->Finish(&leftover);
  EXPECT_EQ(leftover, 10u);
  DeleteJpegDecodeInstance(instance);
}

// Damaged files and files outside what the decoder takes: each ends with 2 or -1 within a
// bounded number of reads, answers 1 after that, and leaves nothing allocated.
TEST(BufferedBackendBadInput, EveryDamagedOrRefusedFileEnds) {
  std::vector<std::string> files = test::CorpusFiles("corrupt");
  const std::vector<std::string> refused = test::CorpusFiles("refuse");
  for (size_t i = 0; i < refused.size(); i += 4) {  // a fixed quarter of them, for time
    files.push_back(refused[i]);
  }
  if (files.empty()) {
    GTEST_SKIP() << "the external corpus is absent";
  }
#if !defined(_WIN32)
  const int64_t blocksBefore = platform::testing::LiveBlocks();
#endif
  constexpr int kMostReads = 70'000;  // more than the rows of the largest image
  for (const std::string& path : files) {
    SCOPED_TRACE(path);
    const Bytes file = test::ReadFileBytes(path);
    BufferedBackend backend;
    ASSERT_EQ(backend.SetUp(0, 0), 1);
    ASSERT_EQ(backend.Write(file.data(), static_cast<uint32_t>(file.size())), 1);
    backend.MarkInputComplete();
    const int32_t r = test::ReadRows(backend, nullptr, kMostReads);
    EXPECT_TRUE(r == 2 || r == -1) << r << (r == 0 ? ": rows without end" : "");
    uint8_t* row = nullptr;
    uint32_t length = 0;
    EXPECT_EQ(backend.Read(&row, &length), 1);
    uint32_t leftover = 0;
    backend.decoder.Finish(&leftover);
    backend.ReleaseBlock();
    EXPECT_LE(leftover, file.size());
  }
#if !defined(_WIN32)
  EXPECT_EQ(platform::testing::LiveBlocks(), blocksBefore);
#endif
}

#if !defined(_WIN32)
// ---- Failures forced through the portable platform's hooks ----

class BufferedBackendFailures : public ::testing::Test {
 protected:
  void SetUp() override { platform::testing::ResetHooks(); }
  void TearDown() override {
    platform::testing::ResetHooks();
    EXPECT_EQ(platform::testing::LockedBlocks(), 0);
  }
};

TEST_F(BufferedBackendFailures, AFailedGrowthReleasesTheOldBlockAndEndsTheImage) {
  const int64_t blocksBefore = platform::testing::LiveBlocks();
  {
    BufferedBackend backend;
    backend.SetUp(100, 10);
    Bytes data(4800, 1);
    ASSERT_EQ(backend.Write(data.data(), 4800), 1);
    platform::testing::FailBlockAllocation(1);
    EXPECT_EQ(backend.Write(data.data(), 1), 0);
    EXPECT_TRUE(platform::testing::BlockAllocationFailureHappened());
    EXPECT_EQ(backend.input.block, nullptr);
    EXPECT_EQ(platform::testing::LiveBlocks(), blocksBefore);
    EXPECT_EQ(backend.Write(data.data(), 1), 0);
    // The host that offers the refused piece again learns of the loss before EndOfInput.
    uint8_t* row = nullptr;
    uint32_t length = 0;
    EXPECT_EQ(backend.Read(&row, &length), -1);
    backend.MarkInputComplete();
    EXPECT_EQ(backend.Read(&row, &length), 1);
  }
  EXPECT_EQ(platform::testing::LiveBlocks(), blocksBefore);
}

TEST_F(BufferedBackendFailures, AGrowthWhoseCopyCannotLockKeepsNothing) {
  const int64_t blocksBefore = platform::testing::LiveBlocks();
  BufferedBackend backend;
  backend.SetUp(100, 10);
  Bytes data(4800, 1);
  ASSERT_EQ(backend.Write(data.data(), 4800), 1);
  platform::testing::FailLock(2);  // the new block's lock, after the old one's
  EXPECT_EQ(backend.Write(data.data(), 1), 0);
  EXPECT_TRUE(platform::testing::LockFailureHappened());
  EXPECT_EQ(backend.input.block, nullptr);
  EXPECT_EQ(platform::testing::LiveBlocks(), blocksBefore);
}

TEST_F(BufferedBackendFailures, AWriteThatCannotLockStoresNothing) {
  BufferedBackend backend;
  backend.SetUp(100, 10);
  Bytes data(100, 1);
  platform::testing::FailLock(1);
  EXPECT_EQ(backend.Write(data.data(), 100), 0);
  EXPECT_EQ(backend.input.used, 0u);
  EXPECT_NE(backend.input.block, nullptr);
  EXPECT_EQ(backend.Write(data.data(), 100), 1);
  EXPECT_EQ(backend.input.used, 100u);
}

TEST_F(BufferedBackendFailures, AReadThatCannotLockFails) {
  BufferedBackend backend;
  ASSERT_TRUE(SetUpWhole(backend, Quadrants()));
  platform::testing::FailLock(1);
  uint8_t* row = nullptr;
  uint32_t length = 0;
  EXPECT_EQ(backend.Read(&row, &length), -1);
  EXPECT_EQ(backend.Read(&row, &length), 1);
}

TEST_F(BufferedBackendFailures, SetUpFailsWhenTheBlockIsRefused) {
  platform::testing::FailBlockAllocation(1);
  BufferedBackend backend;
  EXPECT_EQ(backend.SetUp(100, 10), 0);
  EXPECT_EQ(backend.input.block, nullptr);
  uint8_t* row = nullptr;
  uint32_t length = 0;
  EXPECT_EQ(backend.Read(&row, &length), -1);
  // The embedded decoder's set-up failing (its context or input buffer) fails Read alike.
  for (uint32_t n : {1u, 2u}) {
    SCOPED_TRACE(n);
    platform::testing::FailHeapAllocation(n);
    BufferedBackend other;
    EXPECT_EQ(other.SetUp(100, 10), 0);
    EXPECT_NE(other.input.block, nullptr);
    EXPECT_EQ(other.Read(&row, &length), -1);
  }
}
#endif

}  // namespace
}  // namespace jpegdec
