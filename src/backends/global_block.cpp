#include "backends/global_block.h"

#include <cstring>
#include <limits>

namespace jpegdec {

namespace {

constexpr uint64_t kLargestBlock = std::numeric_limits<uint32_t>::max();
constexpr uint32_t kInitialRows = 16;

}  // namespace

uint32_t Stride24(uint32_t width) { return ((width * 24u + 7u) / 8u + 3u) & ~3u; }

uint64_t BitmapStride(uint32_t bitsPerPixel, uint32_t width) {
  const uint64_t bits = uint64_t{bitsPerPixel} * width;
  return ((bits + 7u) / 8u + 3u) & ~uint64_t{3};
}

uint64_t InitialCapacity(uint32_t width, uint32_t height) {
  const uint64_t stride = Stride24(width);
  const uint64_t size = stride * height;
  if (size == 0) {
    return kUnknownSizeCapacity;
  }
  if (size < stride * kInitialRows) {
    return stride * kInitialRows;
  }
  if (size > kMaxInitialCapacity) {
    return kMaxInitialCapacity;
  }
  return size;
}

platform::MemoryBlock GrowGlobalBlock(platform::MemoryBlock old, uint32_t oldSize,
                                      uint32_t newSize) {
  platform::MemoryBlock grown = platform::AllocateMovableZeroed(newSize);
  if (grown == nullptr) {
    platform::ReleaseBlock(old);
    return nullptr;
  }
  const uint32_t copied = oldSize < newSize ? oldSize : newSize;
  if (copied != 0) {
    // A block of 0 bytes cannot be locked; there is nothing to copy from one anyway.
    void* from = platform::LockBlock(old);
    void* to = from != nullptr ? platform::LockBlock(grown) : nullptr;
    if (to != nullptr) {
      std::memcpy(to, from, copied);
      platform::UnlockBlock(grown);
    }
    if (from != nullptr) {
      platform::UnlockBlock(old);
    }
    if (to == nullptr) {
      platform::ReleaseBlock(grown);
      platform::ReleaseBlock(old);
      return nullptr;
    }
  }
  platform::ReleaseBlock(old);
  return grown;
}

int32_t StartCollecting(CollectedFile* file, uint32_t width, uint32_t height) {
  *file = CollectedFile{};
  const uint64_t capacity = InitialCapacity(width, height);
  if (capacity > kLargestBlock) {
    return 0;  // 16 rows of this width exceed any block
  }
  file->capacity = static_cast<uint32_t>(capacity);
  file->growStep = file->capacity;
  file->block = platform::AllocateMovableZeroed(file->capacity);
  return file->block != nullptr ? 1 : 0;
}

int32_t AppendToBlock(CollectedFile* file, const uint8_t* data, uint32_t length) {
  if (file->block == nullptr || (data == nullptr && length != 0)) {
    return 0;
  }
  const uint64_t needed = uint64_t{file->used} + length;
  if (needed > file->capacity) {
    if (needed > kLargestBlock) {
      return 0;  // no 32-bit block holds it; what was collected stays
    }
    // Half the capacity again, and at least the first step: every growth copies what was
    // collected, so a fixed step would copy a large file over and over (quadratic in its size),
    // while growing in proportion copies it a few times in all. The last growth below 4 GiB
    // stops there.
    const uint64_t half = file->capacity / 2;
    uint64_t grownCapacity =
        uint64_t{file->capacity} + (file->growStep > half ? file->growStep : half);
    if (grownCapacity > kLargestBlock) {
      grownCapacity = kLargestBlock;
    }
    if (grownCapacity < needed) {
      grownCapacity = needed;
    }
    file->block =
        GrowGlobalBlock(file->block, file->capacity, static_cast<uint32_t>(grownCapacity));
    file->capacity = static_cast<uint32_t>(grownCapacity);
    if (file->block == nullptr) {
      return 0;
    }
  }
  auto* bytes = static_cast<uint8_t*>(platform::LockBlock(file->block));
  if (bytes == nullptr) {
    return 0;
  }
  if (length != 0) {
    std::memcpy(bytes + file->used, data, length);
  }
  file->used = static_cast<uint32_t>(needed);
  platform::UnlockBlock(file->block);
  return 1;
}

void ReleaseCollected(CollectedFile* file) {
  platform::ReleaseBlock(file->block);
  *file = CollectedFile{};
}

}  // namespace jpegdec
