// The portable platform layer's extras: the memory-stream interface the imaging stand-in reads
// and writes through, and the hooks tests use to pin memory, lock and module behaviour to exact
// numbers. Portable build only; the Windows build has the real services and no hooks.
#pragma once

#include <cstdint>

#include "platform/platform.h"

namespace jpegdec::platform {

// ---- Memory streams over a block (what CreateStreamOnBlock returns in this build) ----
// A stream starts at position 0 with the block's size as its size. Reading stops at the size;
// writing past it grows the block (zero-filling any gap), which fails when the block is locked,
// when the grown size exceeds the largest block granted, or when a forced block-allocation
// failure falls on it (a growth counts as one block allocation). The block is never released
// with the stream.
enum class SeekOrigin { kBegin = 0, kCurrent = 1, kEnd = 2 };

// Bytes copied into `out` (fewer than `count` at the end of the stream).
std::uint32_t StreamRead(Stream stream, void* out, std::uint32_t count);
// true when all `count` bytes were written at the position (which then moves past them).
bool StreamWrite(Stream stream, const void* data, std::uint32_t count);
// Moves the position; false (position unchanged) when it would become negative or exceed
// 0xFFFFFFFF. `newPosition` may be null.
bool StreamSeek(Stream stream, std::int64_t offset, SeekOrigin origin, std::uint64_t* newPosition);
// The stream's size in bytes (the block's size once written past its end).
std::uint32_t StreamSize(Stream stream);
// The block the stream works on.
MemoryBlock StreamBlock(Stream stream);

}  // namespace jpegdec::platform

namespace jpegdec::platform::testing {

// Clears every hook below (not the live counters: those count what really exists).
void ResetHooks();

// Blocks larger than `bytes` are refused, as a system with that much free memory would.
void SetLargestBlock(std::uint32_t bytes);

// Forced one-shot failures, counted from the call: n = 1 fails the next request of that kind,
// n = 2 the one after, ...; 0 cancels. Block allocations include stream growth.
void FailBlockAllocation(std::uint32_t n);
void FailHeapAllocation(std::uint32_t n);
void FailLock(std::uint32_t n);
// true once the failure set by the latest Fail... call of that kind has happened.
bool BlockAllocationFailureHappened();
bool HeapAllocationFailureHappened();
bool LockFailureHappened();

// What LoadModule answers for "gdiplus.dll".
enum class ImagingModule {
  kAsBuilt,  // loadable when the imaging stand-in can work
  kMissing,  // never loadable
  kPresent,  // always loadable (for tests of the mode choice only)
};
void SetImagingModule(ImagingModule state);
// The named entry point is missing from "gdiplus.dll" (null: none missing). The name is copied.
void SetMissingEntryPoint(const char* name);

// A clock that advances by `step` milliseconds at every reading, starting at `start`.
void SetFakeClock(std::uint32_t start, std::uint32_t step);

// Requests made since the last ResetHooks (granted or not).
std::uint32_t BlockAllocationRequests();
std::uint32_t HeapAllocationRequests();

// What exists now: blocks allocated and not released, heap allocations not released, modules
// loaded and not unloaded, blocks currently locked (lock count above zero).
std::int64_t LiveBlocks();
std::int64_t LiveHeapAllocations();
std::int64_t LiveModules();
std::int64_t LockedBlocks();

}  // namespace jpegdec::platform::testing
