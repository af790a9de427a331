// The streaming back-end against the decoder's contract. This program supplies its own decoder:
// a script of step results that honours what DecodeStep promises (input adopted only after
// JD_NEED_DATA, the unread tail inside the adopted input, bands handed over on the platform
// heap), so that every case of the back-end can be reached with exact numbers. The linker takes
// these definitions instead of the library's decoder, which this program never references.
#include "backends/streaming_backend.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <climits>
#include <cstdint>
#include <cstring>
#include <deque>
#include <vector>

#include "decoder/decoder.h"
#include "platform/platform.h"
#if !defined(_WIN32)
#include "platform/portable/test_hooks.h"
#endif

namespace jpegdec {
namespace {

struct ScriptedStep {
  Status status;
  int32_t consume = 0;     // input bytes the step uses up
  int32_t bandRows = 0;    // JD_BAND_READY: rows in the band
  uint16_t width = 0;      // frame width reported from this step on (0: unchanged)
  uint8_t components = 0;  // likewise the component count
  int32_t bandBytes = -1;  // JD_BAND_READY: band size when not rows x width x components
};

struct Call {
  const uint8_t* data;
  int32_t count;
  bool adopted;
};

// The scripted decoder's state, reset by each test.
struct Script {
  std::deque<ScriptedStep> steps;
  std::deque<ScriptedStep> endSteps;  // EndOfData's answers; JD_ERR_DATA when none is left
  int endCalls = 0;
  std::vector<Call> calls;
  bool failCreate = false;
  int contextsCreated = 0;
  int contextsReleased = 0;
  int bandsMade = 0;
  const uint8_t* input = nullptr;
  int32_t inputCount = 0;
  int32_t position = 0;
  Status last = JD_NEED_DATA;
  uint16_t width = 0;
  uint8_t components = 0;
  int contextTag = 0;
  int32_t gatherable = 0;  // BytesToGather's answer
  int32_t tail = 0;        // bytes a step leaves unread by default, at most
};

Script script;

}  // namespace

DecoderContext* CreateDecoderContext() {
  if (script.failCreate) {
    return nullptr;
  }
  ++script.contextsCreated;
  return reinterpret_cast<DecoderContext*>(&script.contextTag);
}

void ReleaseDecoderContext(DecoderContext* context) {
  if (context != nullptr) {
    ++script.contextsReleased;
  }
}

StepResult Result(const ScriptedStep& step);

StepResult DecodeStep(DecoderContext*, const uint8_t* data, int32_t count) {
  const bool adopt = script.last == JD_NEED_DATA;
  script.calls.push_back({data, count, adopt});
  if (adopt) {
    script.input = data;
    script.inputCount = count;
    script.position = 0;
  }
  ScriptedStep step{JD_NEED_DATA,
                    std::max(script.inputCount - script.position - script.tail, 0)};
  if (!script.steps.empty()) {
    step = script.steps.front();
    script.steps.pop_front();
  }
  script.position += std::min(step.consume, script.inputCount - script.position);
  return Result(step);
}

StepResult EndOfData(DecoderContext*) {
  ++script.endCalls;
  ScriptedStep step{JD_ERR_DATA};
  if (!script.endSteps.empty()) {
    step = script.endSteps.front();
    script.endSteps.pop_front();
  }
  return Result(step);
}

StepResult Result(const ScriptedStep& step) {
  if (step.width != 0) {
    script.width = step.width;
  }
  if (step.components != 0) {
    script.components = step.components;
  }
  StepResult result{};
  result.status = step.status;
  result.width = script.width;
  result.height = 100;
  result.numComponents = script.components;
  if (step.status == JD_NEED_DATA) {
    result.count = script.inputCount - script.position;
    result.data = const_cast<uint8_t*>(script.input) + script.position;
  } else if (step.status == JD_BAND_READY) {
    const int32_t rowBytes = script.width * script.components;
    result.count = step.bandBytes >= 0 ? step.bandBytes : step.bandRows * rowBytes;
    result.data = static_cast<uint8_t*>(
        platform::HeapAllocate(static_cast<std::size_t>(std::max(result.count, 1))));
    // Every byte tells its band and row: band number in the high bits, row in the low ones.
    for (int32_t i = 0; i < result.count; ++i) {
      result.data[i] = static_cast<uint8_t>((script.bandsMade << 5) | (i / std::max(rowBytes, 1)));
    }
    ++script.bandsMade;
  }
  script.last = step.status;
  return result;
}

int32_t BytesToGather(const DecoderContext*) { return script.gatherable; }

int32_t BytesAfterEnd(const DecoderContext*) { return script.inputCount - script.position; }

// The back-end gives every band back once its rows are out; the scripted decoder keeps none.
void ReturnBand(DecoderContext*, uint8_t* band) { platform::HeapRelease(band); }

namespace {

class StreamingBackendTest : public ::testing::Test {
 protected:
  void SetUp() override {
    script = Script{};
#if !defined(_WIN32)
    platform::testing::ResetHooks();
    heap_ = platform::testing::LiveHeapAllocations();
#endif
  }
  void TearDown() override {
    backend_.Release();
    EXPECT_EQ(script.contextsReleased, script.contextsCreated) << "every context released once";
#if !defined(_WIN32)
    platform::testing::ResetHooks();
    EXPECT_EQ(platform::testing::LiveHeapAllocations(), heap_) << "a band or buffer leaked";
#endif
  }

  void Start(uint32_t width = 0) { ASSERT_EQ(backend_.SetUp(width), 1); }
  int32_t WriteBytes(uint32_t n, uint8_t first = 0) {
    std::vector<uint8_t> bytes(n);
    for (uint32_t i = 0; i < n; ++i) {
      bytes[i] = static_cast<uint8_t>(first + i);
    }
    return backend_.Write(bytes.data(), n);
  }
  int32_t Read() { return backend_.Read(&row_, &rowLength_); }

  StreamingBackend backend_;
  uint8_t* row_ = nullptr;
  uint32_t rowLength_ = 0;
  std::int64_t heap_ = 0;
};

TEST_F(StreamingBackendTest, TheInputBufferIsSizedByTheWidth) {
  struct Case {
    uint32_t width;
    uint32_t capacity;  // 0: the set-up fails
  };
  const Case cases[] = {
      {0, 102400},
      {1, 102400},
      {2048, 102400},
      {2049, 102448},
      {3000, 148096},
      {65535, 3149776},
      {89478400, 0},  // 2^32 bytes of buffer: refused rather
                      // than wrapped to 0
      {0xFFFFFFFFu, 0},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.width);
    StreamingBackend backend;
    if (c.capacity == 0) {
      EXPECT_EQ(backend.SetUp(c.width), 0);
      EXPECT_EQ(backend.context, nullptr);
      EXPECT_EQ(backend.inputBuffer, nullptr);
      continue;
    }
    ASSERT_EQ(backend.SetUp(c.width), 1);
    EXPECT_EQ(backend.inputCapacity, c.capacity);
    EXPECT_EQ(backend.state, JD_NEED_DATA);
  }
}

TEST_F(StreamingBackendTest, AFailedSetUpHoldsNothing) {
  script.failCreate = true;
  EXPECT_EQ(backend_.SetUp(100), 0);
  EXPECT_EQ(backend_.context, nullptr);
  EXPECT_EQ(backend_.inputBuffer, nullptr);
#if !defined(_WIN32)
  script.failCreate = false;
  platform::testing::FailHeapAllocation(1);  // the input buffer
  EXPECT_EQ(backend_.SetUp(100), 0);
  EXPECT_EQ(backend_.context, nullptr);
  EXPECT_EQ(script.contextsReleased, 1);
#endif
}

// While the decoder waits for input a piece is always taken, the buffer growing for a longer
// one; while it has work (here: bytes written, no Read yet) a piece is taken only if it fits.
TEST_F(StreamingBackendTest, WritesAreTakenWhileTheyFitAndGrowTheBufferOnlyWhileWaiting) {
  struct Case {
    const char* what;
    std::vector<uint32_t> writes;
    std::vector<int32_t> results;
    uint32_t length;    // inputLength afterwards
    uint32_t capacity;  // inputCapacity afterwards
    Status state;
  };
  const uint32_t cap = 102400;
  const Case cases[] = {
      {"a second write without a read", {10, 10}, {1, 1}, 20, cap, JD_OK},
      {"a second write that does not fit", {cap - 5, 6}, {1, 0}, cap - 5, cap, JD_OK},
      {"an exact fit", {cap}, {1}, cap, cap, JD_OK},
      {"one byte more: the buffer grows to the piece", {cap + 1}, {1}, cap + 1, cap + 1, JD_OK},
      // Refused before any byte is read (the test passes a shorter buffer), and final.
      {"a length beyond what a step can be handed", {0x80000000u}, {0}, 0, cap, JD_ERR_NOMEM},
      {"a length beyond any buffer", {0xFFFFFFFFu}, {0}, 0, cap, JD_ERR_NOMEM},
      {"zero bytes change nothing", {0, 0, 7}, {1, 1, 1}, 7, cap, JD_OK},
      {"zero bytes after a write", {7, 0}, {1, 1}, 7, cap, JD_OK},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    StreamingBackend backend;
    ASSERT_EQ(backend.SetUp(0), 1);
    std::vector<uint8_t> bytes(cap + 1, 0x42);
    for (std::size_t i = 0; i < c.writes.size(); ++i) {
      EXPECT_EQ(backend.Write(bytes.data(), c.writes[i]), c.results[i]) << "write " << i;
    }
    EXPECT_EQ(backend.inputLength, c.length);
    EXPECT_EQ(backend.inputCapacity, c.capacity);
    EXPECT_EQ(backend.writeCalls, c.writes.size());
    EXPECT_EQ(backend.state, c.length == 0 && c.state == JD_OK ? JD_NEED_DATA : c.state);
    if (c.state != JD_OK) {
      EXPECT_EQ(backend.Read(&row_, &rowLength_), -1) << "the decode ends instead of waiting";
      EXPECT_EQ(backend.Write(bytes.data(), 1), 0);
    }
    backend.Finish(nullptr);
  }
  Start();
  EXPECT_EQ(backend_.Write(nullptr, 4), 0);
  EXPECT_EQ(backend_.state, JD_NEED_DATA);
}

// A long marker segment is kept whole in the buffer until it is complete; a large piece arriving
// meanwhile gets a buffer of exactly the tail plus the piece, behind the tail, and a later piece
// that fits needs no other.
TEST_F(StreamingBackendTest, ALargePieceBehindAWaitingSegmentGrowsTheBufferOnce) {
  Start();
  constexpr uint32_t kFirst = 100000;
  constexpr uint32_t kTail = 65000;  // an unfinished segment of almost the largest length
  constexpr uint32_t kLarge = 256 * 1024;
  script.steps = {{JD_NEED_DATA, kFirst - kTail}};
  ASSERT_EQ(WriteBytes(kFirst, 1), 1);
  EXPECT_EQ(Read(), 1);
  ASSERT_EQ(backend_.inputLength, kTail);
  const std::vector<uint8_t> tail(backend_.inputBuffer, backend_.inputBuffer + kTail);
  EXPECT_EQ(WriteBytes(kLarge, 7), 1);
  EXPECT_EQ(backend_.inputCapacity, kTail + kLarge);
  ASSERT_EQ(backend_.inputLength, kTail + kLarge);
  EXPECT_TRUE(std::equal(tail.begin(), tail.end(), backend_.inputBuffer));
  EXPECT_EQ(backend_.inputBuffer[kTail], 7);
  EXPECT_EQ(backend_.inputBuffer[kTail + kLarge - 1], static_cast<uint8_t>(7 + kLarge - 1));
  script.steps = {{JD_NEED_DATA, kTail + kLarge - 3}};
  EXPECT_EQ(Read(), 1);
  ASSERT_EQ(script.calls.size(), 2u);
  EXPECT_EQ(script.calls[1].data, backend_.inputBuffer) << "the step adopts the new buffer";
  EXPECT_EQ(script.calls[1].count, static_cast<int32_t>(kTail + kLarge));
  EXPECT_EQ(WriteBytes(kLarge), 1);
  EXPECT_EQ(backend_.inputCapacity, kTail + kLarge) << "3 + 256 KiB fit: no growth";
}

#if !defined(_WIN32)
// When the larger buffer cannot be had the piece is refused and the decode ends: Read returns
// -1 from then on, without another step, and Finish releases what is held.
TEST_F(StreamingBackendTest, ABufferThatCannotGrowEndsTheDecode) {
  Start();
  script.steps = {{JD_NEED_DATA, 95}};
  script.steps.insert(script.steps.end(), 29, ScriptedStep{JD_NEED_DATA, 0});
  ASSERT_EQ(WriteBytes(100), 1);
  EXPECT_EQ(Read(), 1);
  ASSERT_EQ(backend_.inputLength, 5u);
  const std::size_t steps = script.calls.size();
  platform::testing::FailHeapAllocation(1);
  EXPECT_EQ(WriteBytes(200000), 0);
  EXPECT_TRUE(platform::testing::HeapAllocationFailureHappened());
  EXPECT_EQ(backend_.inputCapacity, 102400u);
  EXPECT_EQ(backend_.state, JD_ERR_NOMEM);
  EXPECT_EQ(Read(), -1);
  EXPECT_EQ(Read(), -1);
  EXPECT_EQ(WriteBytes(1), 0);
  EXPECT_EQ(script.calls.size(), steps);
  uint32_t leftover = 99;
  backend_.Finish(&leftover);
  EXPECT_EQ(leftover, 0u);
}
#endif

TEST_F(StreamingBackendTest, ReadBeforeAnyWriteAsksForInputWithoutStepping) {
  Start();
  EXPECT_EQ(Read(), 1);
  EXPECT_TRUE(script.calls.empty());
  EXPECT_EQ(backend_.readCalls, 1u);
}

TEST_F(StreamingBackendTest, AMissingOutParameterHandsNothingOut) {
  Start();
  script.steps = {{JD_BAND_READY, 4, 2, 3, 1}};
  ASSERT_EQ(WriteBytes(8), 1);
  uint32_t length = 0;
  uint8_t* row = nullptr;
  EXPECT_EQ(backend_.Read(nullptr, &length), 1);
  EXPECT_EQ(backend_.Read(&row, nullptr), 1);
  EXPECT_TRUE(script.calls.empty());
  EXPECT_EQ(backend_.readCalls, 2u);
  EXPECT_EQ(Read(), 0);  // the decoder was not disturbed
}

TEST_F(StreamingBackendTest, TheUnreadTailMovesToTheFrontAndNewBytesFollowIt) {
  Start();
  // 15 of 20 bytes used, 5 left that the decoder cannot use alone: nothing follows them, so
  // the Read asks for input at once instead of giving the decoder the same tail again.
  script.steps = {{JD_OK, 10}, {JD_NEED_DATA, 5}};
  ASSERT_EQ(WriteBytes(20, 100), 1);
  EXPECT_EQ(Read(), 1);
  ASSERT_EQ(backend_.inputLength, 5u);
  const uint8_t tail[] = {115, 116, 117, 118, 119};
  EXPECT_EQ(std::memcmp(backend_.inputBuffer, tail, 5), 0);
  EXPECT_EQ(backend_.state, JD_NEED_DATA);
  ASSERT_EQ(script.calls.size(), 2u);
  EXPECT_FALSE(script.calls[1].adopted);  // the step after JD_OK continues in the old input

  ASSERT_EQ(WriteBytes(3, 200), 1);
  EXPECT_EQ(backend_.inputLength, 8u);
  const uint8_t joined[] = {115, 116, 117, 118, 119, 200, 201, 202};
  EXPECT_EQ(std::memcmp(backend_.inputBuffer, joined, 8), 0);
  script.steps = {{JD_NEED_DATA, 8}};
  EXPECT_EQ(Read(), 1);
  ASSERT_EQ(script.calls.size(), 3u);
  EXPECT_TRUE(script.calls[2].adopted);  // the tail, already at the front, and the new bytes
  EXPECT_EQ(script.calls[2].data, backend_.inputBuffer);
  EXPECT_EQ(script.calls[2].count, 8);
  EXPECT_EQ(backend_.inputLength, 0u);
}

TEST_F(StreamingBackendTest, ABandIsHandedOutRowByRowThenReleased) {
  Start();
  script.steps = {{JD_OK, 4, 0, 4, 3}, {JD_BAND_READY, 0, 3}, {JD_NEED_DATA, 16}};
  ASSERT_EQ(WriteBytes(20), 1);
  uint8_t* first = nullptr;
  for (int i = 0; i < 3; ++i) {
    SCOPED_TRACE(i);
    ASSERT_EQ(Read(), 0);
    EXPECT_EQ(rowLength_, 12u);
    if (i == 0) {
      first = row_;
    }
    EXPECT_EQ(row_, first + 12 * i);
    EXPECT_EQ(row_[11], i);
  }
  EXPECT_EQ(script.calls.size(), 2u) << "rows of a held band need no step";
  EXPECT_EQ(WriteBytes(1, 77), 1) << "a piece that fits waits behind the decoder's bytes";
  EXPECT_EQ(backend_.inputLength, 21u);
  // Releases the band and steps on to JD_NEED_DATA with every byte used; the piece written
  // meanwhile follows, so the decoder is stepped again over it.
  EXPECT_EQ(Read(), 1);
  ASSERT_EQ(script.calls.size(), 4u);
  EXPECT_TRUE(script.calls[3].adopted);
  EXPECT_EQ(script.calls[3].count, 1);
  EXPECT_EQ(backend_.bytesHandedOut, 36u);
  EXPECT_EQ(backend_.inputLength, 0u);
  EXPECT_EQ(WriteBytes(1), 1);
}

TEST_F(StreamingBackendTest, EndAndFailureRepeatWithoutFurtherSteps) {
  struct Case {
    Status status;
    int32_t result;
  };
  for (const Case c : {Case{JD_END, 2}, Case{JD_ERR_DATA, -1}, Case{JD_ERR_NOMEM, -1},
                       Case{JD_ERR_SEQUENCE, -1}, Case{JD_ERR_UNSUPPORTED, -1}}) {
    SCOPED_TRACE(static_cast<int>(c.status));
    script = Script{};
    StreamingBackend backend;
    ASSERT_EQ(backend.SetUp(0), 1);
    script.steps = {{c.status, 3}};
    const uint8_t bytes[5] = {};
    ASSERT_EQ(backend.Write(bytes, 5), 1);
    for (int i = 0; i < 3; ++i) {
      EXPECT_EQ(backend.Read(&row_, &rowLength_), c.result);
    }
    EXPECT_EQ(script.calls.size(), 1u);
    EXPECT_EQ(backend.Write(bytes, 1), 0);
    backend.Finish(nullptr);
  }
}

// Once the host has said that the input is complete and the decoder waits for more, the decoder
// is told (EndOfData, once) and Read ends as it answers; no step runs after that, and Write
// refuses. Hosts that never say so see no change.
TEST_F(StreamingBackendTest, TheEndOfTheInputEndsTheStreamOnceTheDecoderWaits) {
  struct Case {
    const char* what;
    std::deque<ScriptedStep> steps;
    std::deque<ScriptedStep> endSteps;
    bool endInput;
    std::vector<int32_t> reads;  // Read's results, in order, after writing 10 bytes
    int endCalls;
    uint32_t leftover;
  };
  const Case cases[] = {
      {"complete but for its end marker", {}, {{JD_END}}, true, {2, 2}, 1, 0},
      {"cut short", {}, {{JD_ERR_DATA}}, true, {-1, -1}, 1, 0},
      {"a band before the cut", {{JD_BAND_READY, 4, 2, 4, 1}}, {}, true, {0, 0, -1, -1}, 1, 0},
      {"steps pending first", std::deque<ScriptedStep>(35, {JD_OK}), {}, true, {1, -1}, 1, 0},
      {"the end marker read", {{JD_END, 7}}, {}, true, {2, 2}, 0, 3},
      {"never said: the decoder waits", {}, {}, false, {1, 1, 1}, 0, 0},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    script = Script{};
    script.steps = c.steps;
    script.endSteps = c.endSteps;
    StreamingBackend backend;
    ASSERT_EQ(backend.SetUp(0), 1);
    const uint8_t bytes[10] = {};
    ASSERT_EQ(backend.Write(bytes, 10), 1);
    if (c.endInput) {
      backend.MarkInputComplete();
      EXPECT_EQ(backend.Write(bytes, 1), 0) << "no byte after the end of the input";
    }
    for (std::size_t i = 0; i < c.reads.size(); ++i) {
      EXPECT_EQ(backend.Read(&row_, &rowLength_), c.reads[i]) << "read " << i;
    }
    EXPECT_EQ(script.endCalls, c.endCalls);
    const std::size_t steps = script.calls.size();
    uint32_t leftover = 12345;
    backend.Finish(&leftover);
    EXPECT_EQ(leftover, c.leftover);
    EXPECT_EQ(script.calls.size(), steps) << "Finish makes no step after the end";
  }
  // Said before any byte: the decoder is told at the first Read.
  script = Script{};
  Start();
  backend_.MarkInputComplete();
  EXPECT_EQ(WriteBytes(4), 0);
  EXPECT_EQ(Read(), -1);
  EXPECT_TRUE(script.calls.empty());
  EXPECT_EQ(script.endCalls, 1);
}

TEST_F(StreamingBackendTest, AReadMakesAtMostThirtySteps) {
  Start();
  script.steps.assign(40, ScriptedStep{JD_OK, 0});
  ASSERT_EQ(WriteBytes(10), 1);
  EXPECT_EQ(Read(), 1);
  EXPECT_EQ(script.calls.size(), 30u);
  EXPECT_EQ(WriteBytes(1), 1) << "steps are pending: the piece waits behind the decoder's bytes";
  EXPECT_EQ(Read(), 1);
  // Ten more JD_OK, the default JD_NEED_DATA, then one step over the byte written meanwhile.
  EXPECT_EQ(script.calls.size(), 42u);
  EXPECT_EQ(WriteBytes(1), 1);
}

// New bytes wait for more before a step while fewer than the decoder allows (and than
// kGatherBytes) have come since the last step; a 0xFF byte, a Read that finds no new piece and
// the end of the input step at once. The first piece is always stepped: the decoder has not yet
// said where it waits.
TEST_F(StreamingBackendTest, SmallPiecesAreGatheredWhereTheDecoderAllows) {
  constexpr uint32_t kGather = StreamingBackend::kGatherBytes;
  constexpr int32_t kAny = INT32_MAX;
  struct Case {
    const char* what;
    int32_t gatherable;
    std::vector<uint8_t> bytes;
    uint32_t piece;
    enum { kWriteOnly, kReadAgain, kEndInput } then;  // after the last piece's Read
    std::vector<int32_t> stepped;  // per Read that steps, the byte count its first step adopted
    int32_t tail = 0;              // bytes each step leaves unread (a segment waiting), at most
  };
  std::vector<uint8_t> withMarker(12, 0x11);
  withMarker[10] = 0xFF;
  const Case cases[] = {
      {"single bytes", kAny, std::vector<uint8_t>(2 * kGather + 88, 0x11), 1, Case::kWriteOnly,
       {1, kGather, kGather}},
      {"single bytes, then the end", kAny, std::vector<uint8_t>(2 * kGather + 88, 0x11), 1,
       Case::kEndInput, {1, kGather, kGather, 87}},
      {"single bytes, then a Read more", kAny, std::vector<uint8_t>(2 * kGather + 88, 0x11), 1,
       Case::kReadAgain, {1, kGather, kGather, 87}},
      {"a band may end within 10 bytes", 10, std::vector<uint8_t>(25, 0x11), 1, Case::kWriteOnly,
       {1, 10, 10}},
      {"the decoder must step", 0, std::vector<uint8_t>(4, 0x11), 1, Case::kWriteOnly,
       {1, 1, 1, 1}},
      {"a 0xFF with what was gathered", kAny, withMarker, 1, Case::kWriteOnly, {1, 10}},
      {"pieces of 100", kAny, std::vector<uint8_t>(400, 0x11), 100, Case::kWriteOnly, {100, 300}},
      {"a full piece", kAny, std::vector<uint8_t>(3 * kGather, 0x11), kGather, Case::kWriteOnly,
       {kGather, kGather, kGather}},
      {"a segment's unread bytes do not count", kAny, std::vector<uint8_t>(2 * kGather + 88, 0x11),
       1, Case::kWriteOnly, {1, 1 + kGather, 1 + 2 * kGather}, 300},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    script = Script{};
    script.gatherable = c.gatherable;
    script.tail = c.tail;
    StreamingBackend backend;
    ASSERT_EQ(backend.SetUp(0), 1);
    std::vector<int32_t> stepped;
    const auto read = [&](int32_t expected) {
      const std::size_t before = script.calls.size();
      EXPECT_EQ(backend.Read(&row_, &rowLength_), expected);
      if (script.calls.size() > before) {
        stepped.push_back(script.calls[before].count);
      }
    };
    for (std::size_t at = 0; at < c.bytes.size(); at += c.piece) {
      const auto length =
          static_cast<uint32_t>(std::min<std::size_t>(c.piece, c.bytes.size() - at));
      ASSERT_EQ(backend.Write(c.bytes.data() + at, length), 1) << "at " << at;
      read(1);
    }
    if (c.then == Case::kReadAgain) {
      read(1);
    } else if (c.then == Case::kEndInput) {
      backend.MarkInputComplete();
      read(-1);
      EXPECT_EQ(script.endCalls, 1);
    }
    EXPECT_EQ(stepped, c.stepped);
    backend.Finish(nullptr);
  }
}

TEST_F(StreamingBackendTest, TheRowShapeIsFixedOnceARowHasGoneOut) {
  Start();
  script.steps = {{JD_BAND_READY, 0, 1, 4, 3}, {JD_BAND_READY, 0, 1, 8, 1, 24}};
  ASSERT_EQ(WriteBytes(10), 1);
  ASSERT_EQ(Read(), 0);
  EXPECT_EQ(rowLength_, 12u);
  ASSERT_EQ(Read(), 0);  // the second band reports 8 x 1, but rows keep their shape
  EXPECT_EQ(rowLength_, 12u);
  EXPECT_EQ(backend_.rowPixels, 4u);
  EXPECT_EQ(backend_.bytesPerPixel, 3u);
}

TEST_F(StreamingBackendTest, ABandShorterThanARowHandsOutNothingFromBeyondIt) {
  Start();
  script.steps = {{JD_BAND_READY, 0, 0, 4, 3, 5}, {JD_BAND_READY, 0, 2, 4, 3, 30}, {JD_END, 10}};
  ASSERT_EQ(WriteBytes(10), 1);
  EXPECT_EQ(Read(), 1);  // 5 bytes are not a row of 12
  ASSERT_EQ(Read(), 0);  // the next band: 30 bytes hold two rows
  ASSERT_EQ(Read(), 0);
  EXPECT_EQ(Read(), 2);
}

TEST_F(StreamingBackendTest, FinishReportsTheBytesBehindTheEndMarker) {
  struct Case {
    const char* what;
    std::deque<ScriptedStep> steps;
    int rowsTaken;
    uint32_t leftover;
    int stepsMade;
    uint32_t writtenMeanwhile = 0;  // a piece written after the rows taken, before Finish
  };
  const Case cases[] = {
      {"after the end", {{JD_END, 90}}, 0, 10, 1},
      {"the last band's rows all taken", {{JD_BAND_READY, 60, 2, 4, 1}, {JD_END, 30}}, 2, 10, 2},
      {"rows of the last band still to come",
       {{JD_BAND_READY, 60, 5, 4, 1}, {JD_END, 33}},
       2,
       7,
       2},
      {"more than 32 rows still to come", {{JD_BAND_READY, 60, 40, 4, 1}, {JD_END, 30}}, 1, 0, 1},
      // Taken behind the bytes the decoder reads, never adopted: after the end, too.
      {"a piece written while the last band goes out",
       {{JD_BAND_READY, 60, 5, 4, 1}, {JD_END, 33}},
       2,
       7 + 20,
       2,
       20},
      {"before the end", {{JD_OK, 50}}, 0, 0, 2},
      {"after a failure", {{JD_ERR_DATA, 50}}, 0, 0, 1},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    script = Script{};
    script.steps = c.steps;
    StreamingBackend backend;
    ASSERT_EQ(backend.SetUp(0), 1);
    const std::vector<uint8_t> bytes(100, 0);
    ASSERT_EQ(backend.Write(bytes.data(), 100), 1);
    if (c.rowsTaken == 0) {
      backend.Read(&row_, &rowLength_);
    }
    for (int i = 0; i < c.rowsTaken; ++i) {
      ASSERT_EQ(backend.Read(&row_, &rowLength_), 0);
    }
    if (c.writtenMeanwhile != 0) {
      ASSERT_EQ(backend.Write(bytes.data(), c.writtenMeanwhile), 1);
    }
    uint32_t leftover = 12345;
    backend.Finish(&leftover);
    EXPECT_EQ(leftover, c.leftover);
    EXPECT_EQ(static_cast<int>(script.calls.size()), c.stepsMade);
    EXPECT_EQ(backend.context, nullptr);
    EXPECT_EQ(backend.inputBuffer, nullptr);
    EXPECT_EQ(backend.lastStep.data, nullptr) << "a held band is released";
    EXPECT_EQ(script.contextsReleased, 1);
    backend.Finish(nullptr);  // nothing is released twice
    backend.Release();
    EXPECT_EQ(script.contextsReleased, 1);
  }
}

#if !defined(_WIN32)
// Every Read is timed; a Write only when it grows the buffer (an append is a copy far below
// the clock's millisecond). Every call is counted, refused ones too.
TEST_F(StreamingBackendTest, TimeIsCountedInsideEveryReadAndEveryGrowingWrite) {
  platform::testing::SetFakeClock(0xFFFFFFF0u, 7);  // wraps during the test
  Start();
  ASSERT_EQ(WriteBytes(4), 1);
  EXPECT_EQ(WriteBytes(StreamingBackend::kMinInputCapacity), 0);  // does not fit behind the 4
  EXPECT_EQ(Read(), 1);
  EXPECT_EQ(backend_.elapsedMs, 7u);
  ASSERT_EQ(WriteBytes(StreamingBackend::kMinInputCapacity + 1), 1);  // grows the buffer
  EXPECT_EQ(backend_.elapsedMs, 14u);
  EXPECT_EQ(backend_.writeCalls, 3u);
  EXPECT_EQ(backend_.readCalls, 1u);
}
#endif

}  // namespace
}  // namespace jpegdec
