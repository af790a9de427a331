// Helpers shared by the two back-ends that collect the whole compressed file in a movable block.
#pragma once

#include <cstdint>

#include "platform/platform.h"

namespace jpegdec {

// Bytes of one 24-bit bitmap row of `width` pixels, rounded up to a multiple of 4 (unsigned
// 32-bit arithmetic, as the host's sizes are given).
uint32_t Stride24(uint32_t width);

// Bytes of one bitmap row of `width` pixels at `bitsPerPixel`, rounded up to a multiple of 4,
// computed without overflow.
uint64_t BitmapStride(uint32_t bitsPerPixel, uint32_t width);

// The first capacity of a collected-file block for an image of width x height pixels: the 24-bit
// image, raised to 16 rows when smaller, else lowered to kMaxInitialCapacity when larger (so 16
// rows win when they exceed it). When the host does not know the size (width or height 0) the
// block starts at kUnknownSizeCapacity instead of 0 bytes, which could not be locked.
inline constexpr uint64_t kMaxInitialCapacity = 10'000'000;
inline constexpr uint64_t kUnknownSizeCapacity = 1u << 20;
uint64_t InitialCapacity(uint32_t width, uint32_t height);

// Replaces `old` (holding `oldSize` meaningful bytes) by a zero-filled movable block of `newSize`
// bytes with the same first `oldSize` bytes. On failure the old block is released as well and
// the result is null: the caller holds no block afterwards either way but the returned one.
platform::MemoryBlock GrowGlobalBlock(platform::MemoryBlock old, uint32_t oldSize,
                                      uint32_t newSize);

// A compressed file collected whole in a movable block: the block, its size, the size it first
// had (the least it grows by) and the bytes stored so far. The fields are the holder's to read;
// the functions below change them.
struct CollectedFile {
  platform::MemoryBlock block = nullptr;
  uint32_t capacity = 0;
  uint32_t growStep = 0;
  uint32_t used = 0;
};

// Starts an empty collection in a block of InitialCapacity(width, height) bytes. 1 on success;
// 0 when 16 rows of this width exceed any block or the block cannot be had (`file` then holds
// no block).
int32_t StartCollecting(CollectedFile* file, uint32_t width, uint32_t height);

// Appends `length` bytes to the collection, growing its block when they do not fit: by half its
// capacity, or by the first capacity when that is larger, or to what the bytes need when that is
// larger still; never beyond 32 bits. Growing in proportion keeps collecting linear in the file's
// size (each growth copies the block). After a failed growth the block is lost (null). Returns 1
// when the bytes were stored, else 0. Sizes that would not fit in 32 bits are refused without
// touching the block.
int32_t AppendToBlock(CollectedFile* file, const uint8_t* data, uint32_t length);

// Releases the block and empties the collection.
void ReleaseCollected(CollectedFile* file);

}  // namespace jpegdec
