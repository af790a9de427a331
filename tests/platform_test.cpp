// The platform layer: what the back-ends and the instance rely on, checked on both builds (the
// real services on Windows, the stand-ins elsewhere), plus the portable build's test hooks.
#include "platform/platform.h"

#include <gtest/gtest.h>

#include <cstdint>
#include <cstring>
#include <vector>
#if !defined(_WIN32)
#include "platform/portable/test_hooks.h"
#include "support/hooks_fixture.h"
#endif

namespace jpegdec::platform {
namespace {

TEST(PlatformMemory, ZeroFilledBlocksReadAsZerosAndKeepWhatIsWritten) {
  for (const std::uint32_t size : {1u, 3u, 4096u, 1u << 20}) {
    SCOPED_TRACE(size);
    MemoryBlock block = AllocateMovableZeroed(size);
    ASSERT_NE(block, nullptr);
    EXPECT_GE(BlockSize(block), size);
    auto* bytes = static_cast<std::uint8_t*>(LockBlock(block));
    ASSERT_NE(bytes, nullptr);
    for (std::uint32_t i = 0; i < size; ++i) {
      ASSERT_EQ(bytes[i], 0) << "byte " << i;
    }
    for (std::uint32_t i = 0; i < size; ++i) {
      bytes[i] = static_cast<std::uint8_t>(i * 7 + 1);
    }
    UnlockBlock(block);
    bytes = static_cast<std::uint8_t*>(LockBlock(block));
    ASSERT_NE(bytes, nullptr);
    EXPECT_EQ(bytes[size - 1], static_cast<std::uint8_t>((size - 1) * 7 + 1));
    EXPECT_EQ(bytes[0], 1);
    UnlockBlock(block);
    ReleaseBlock(block);
  }
}

TEST(PlatformMemory, AZeroByteBlockExistsButLocksToNoAddress) {
  for (MemoryBlock block : {AllocateMovableZeroed(0), AllocateMovable(0)}) {
    ASSERT_NE(block, nullptr);
    EXPECT_EQ(LockBlock(block), nullptr);
    EXPECT_EQ(BlockSize(block), 0u);
    ReleaseBlock(block);
  }
}

TEST(PlatformMemory, NullHandlesAreHarmless) {
  EXPECT_EQ(LockBlock(nullptr), nullptr);
  UnlockBlock(nullptr);
  ReleaseBlock(nullptr);
  EXPECT_EQ(BlockSize(nullptr), 0u);
  HeapRelease(nullptr);
}

TEST(PlatformHeap, EveryRequestThatSucceedsGivesDistinctMemory) {
  void* a = HeapAllocate(0);
  void* b = HeapAllocate(16);
  ASSERT_NE(a, nullptr);
  ASSERT_NE(b, nullptr);
  EXPECT_NE(a, b);
  HeapRelease(a);
  HeapRelease(b);
}

TEST(PlatformModules, UnknownModulesAreNotLoaded) {
  EXPECT_EQ(LoadModule("no-such-module-of-jpegdec.dll"), nullptr);
  EXPECT_EQ(FindEntryPoint(nullptr, "GdiplusStartup"), nullptr);
  UnloadModule(nullptr);
}

TEST(PlatformStreams, AStreamOverABlockCanBeCreatedAndReleased) {
  MemoryBlock block = AllocateMovableZeroed(64);
  ASSERT_NE(block, nullptr);
  Stream stream = CreateStreamOnBlock(block);
  ASSERT_NE(stream, nullptr);
  ReleaseStream(stream);
  // The block outlives its stream.
  void* bytes = LockBlock(block);
  EXPECT_NE(bytes, nullptr);
  UnlockBlock(block);
  ReleaseBlock(block);
}

#if !defined(_WIN32)

using PortableHooks = test::HooksFixture;

TEST_F(PortableHooks, TheLargestBlockCapRefusesOnlyLargerRequests) {
  testing::SetLargestBlock(1000);
  MemoryBlock fits = AllocateMovable(1000);
  EXPECT_NE(fits, nullptr);
  EXPECT_EQ(AllocateMovable(1001), nullptr);
  EXPECT_EQ(AllocateMovableZeroed(1001), nullptr);
  EXPECT_EQ(testing::BlockAllocationRequests(), 3u);
  EXPECT_EQ(testing::LiveBlocks(), blocks_ + 1);
  ReleaseBlock(fits);
}

TEST_F(PortableHooks, ForcedFailuresStrikeExactlyTheNthRequest) {
  struct Case {
    const char* what;
    void (*arm)(std::uint32_t);
    bool (*attempt)();
    bool (*happened)();
  };
  static MemoryBlock lockTarget = nullptr;
  const Case cases[] = {
      {"block", testing::FailBlockAllocation,
       [] {
         MemoryBlock b = AllocateMovableZeroed(8);
         ReleaseBlock(b);
         return b != nullptr;
       },
       testing::BlockAllocationFailureHappened},
      {"heap", testing::FailHeapAllocation,
       [] {
         void* p = HeapAllocate(8);
         HeapRelease(p);
         return p != nullptr;
       },
       testing::HeapAllocationFailureHappened},
      {"lock", testing::FailLock,
       [] {
         void* p = LockBlock(lockTarget);
         UnlockBlock(lockTarget);
         return p != nullptr;
       },
       testing::LockFailureHappened},
  };
  lockTarget = AllocateMovableZeroed(8);
  ASSERT_NE(lockTarget, nullptr);
  for (const Case& c : cases) {
    for (std::uint32_t n = 1; n <= 3; ++n) {
      SCOPED_TRACE(std::string(c.what) + " n=" + std::to_string(n));
      c.arm(n);
      for (std::uint32_t attempt = 1; attempt <= 4; ++attempt) {
        EXPECT_EQ(c.attempt(), attempt != n) << "attempt " << attempt;
        EXPECT_EQ(c.happened(), attempt >= n);
      }
    }
    c.arm(0);
    EXPECT_TRUE(c.attempt());
    EXPECT_FALSE(c.happened());
  }
  ReleaseBlock(lockTarget);
}

TEST_F(PortableHooks, LiveCountersFollowAllocationAndRelease) {
  MemoryBlock block = AllocateMovableZeroed(10);
  void* memory = HeapAllocate(10);
  EXPECT_EQ(testing::LiveBlocks(), blocks_ + 1);
  EXPECT_EQ(testing::LiveHeapAllocations(), heap_ + 1);
  ASSERT_NE(LockBlock(block), nullptr);
  ASSERT_NE(LockBlock(block), nullptr);  // locks nest
  EXPECT_EQ(testing::LockedBlocks(), 1);
  UnlockBlock(block);
  EXPECT_EQ(testing::LockedBlocks(), 1);
  UnlockBlock(block);
  EXPECT_EQ(testing::LockedBlocks(), 0);
  ReleaseBlock(block);
  HeapRelease(memory);
}

TEST_F(PortableHooks, TheImagingModuleAnswersAsTheHookSays) {
  testing::SetImagingModule(testing::ImagingModule::kMissing);
  EXPECT_EQ(LoadModule("gdiplus.dll"), nullptr);

  testing::SetImagingModule(testing::ImagingModule::kPresent);
  Module module = LoadModule("GDIPLUS.DLL");  // module names ignore case, as on Windows
  ASSERT_NE(module, nullptr);
  EXPECT_EQ(testing::LiveModules(), modules_ + 1);
  testing::SetMissingEntryPoint("GdipGetImageWidth");
  EXPECT_EQ(FindEntryPoint(module, "GdipGetImageWidth"), nullptr);
  EXPECT_EQ(FindEntryPoint(module, "NoSuchEntry"), nullptr);
  UnloadModule(module);
}

TEST_F(PortableHooks, TheFakeClockAdvancesByItsStepAndWraps) {
  testing::SetFakeClock(0xFFFFFFFEu, 3);
  EXPECT_EQ(TickCount(), 0xFFFFFFFEu);
  EXPECT_EQ(TickCount(), 1u);
  EXPECT_EQ(TickCount(), 4u);
}

TEST_F(PortableHooks, StreamsReadSeekAndGrowTheirBlock) {
  MemoryBlock block = AllocateMovableZeroed(4);
  Stream stream = CreateStreamOnBlock(block);
  ASSERT_NE(stream, nullptr);
  EXPECT_EQ(StreamBlock(stream), block);
  EXPECT_EQ(StreamSize(stream), 4u);

  const std::uint8_t bytes[6] = {1, 2, 3, 4, 5, 6};
  ASSERT_TRUE(StreamWrite(stream, bytes, 6));  // two bytes past the end: the block grows
  EXPECT_EQ(BlockSize(block), 6u);
  std::uint64_t position = 0;
  ASSERT_TRUE(StreamSeek(stream, 8, SeekOrigin::kCurrent, &position));
  EXPECT_EQ(position, 14u);
  ASSERT_TRUE(StreamWrite(stream, bytes, 1));  // a gap of 8 bytes is zero-filled
  EXPECT_EQ(StreamSize(stream), 15u);

  ASSERT_TRUE(StreamSeek(stream, -15, SeekOrigin::kEnd, &position));
  EXPECT_EQ(position, 0u);
  std::uint8_t back[20] = {};
  EXPECT_EQ(StreamRead(stream, back, sizeof back), 15u);
  const std::uint8_t expected[15] = {1, 2, 3, 4, 5, 6, 0, 0, 0, 0, 0, 0, 0, 0, 1};
  EXPECT_EQ(std::memcmp(back, expected, sizeof expected), 0);
  EXPECT_EQ(StreamRead(stream, back, 1), 0u);
  EXPECT_FALSE(StreamSeek(stream, -16, SeekOrigin::kEnd, nullptr));

  // Growth is refused while the block is locked, beyond the largest block, and when forced.
  ASSERT_NE(LockBlock(block), nullptr);
  EXPECT_FALSE(StreamWrite(stream, bytes, 1));
  UnlockBlock(block);
  testing::SetLargestBlock(15);
  EXPECT_FALSE(StreamWrite(stream, bytes, 1));
  testing::ResetHooks();
  testing::FailBlockAllocation(1);
  EXPECT_FALSE(StreamWrite(stream, bytes, 1));
  EXPECT_TRUE(StreamWrite(stream, bytes, 1));
  EXPECT_EQ(BlockSize(block), 16u);

  ReleaseStream(stream);
  ReleaseBlock(block);
}

#endif  // !_WIN32

}  // namespace
}  // namespace jpegdec::platform
