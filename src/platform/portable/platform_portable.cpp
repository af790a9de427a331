// Stand-ins for the Windows services on other systems. They keep what the library relies on:
// sizes, zero fill, failure results (no block, no address, no module), a 0-byte block that
// locks to no address, and a wrapping 32-bit millisecond clock. A movable block is a heap
// record with a lock count; "gdiplus.dll" is the imaging stand-in. The test hooks live here too:
// they are the only mutable state of this file, and exist for tests alone (the clock's entry is
// found at the first reading and fixed from then on).
#include <dlfcn.h>
#include <sys/mman.h>

#include <cctype>
#include <cstdlib>
#include <cstring>
#include <ctime>

#include "platform/platform.h"
#include "platform/portable/imaging_standin.h"
#include "platform/portable/test_hooks.h"

namespace jpegdec::platform {
namespace {

struct BlockRecord {
  std::uint8_t* bytes;  // null for a 0-byte block
  std::uint32_t size;
  std::uint32_t lockCount;
};

// Blocks from this size on are mapped pages of their own: zero-filled and committed only when
// touched, like a large GlobalAlloc, so that the memory probe's requests of up to 2 GiB cost
// little (a heap allocator, and a sanitizer's bookkeeping, would pay for every byte). Smaller
// blocks come from the heap, where the sanitizers watch their bounds.
constexpr std::uint32_t kMappedBlockSize = 16u << 20;

std::uint8_t* NewStorage(std::uint32_t size, bool zeroed) {
  if (size == 0) {
    return nullptr;
  }
  if (size >= kMappedBlockSize) {
    void* pages = mmap(nullptr, size, PROT_READ | PROT_WRITE,
                       MAP_PRIVATE | MAP_ANONYMOUS | MAP_NORESERVE, -1, 0);
    return pages == MAP_FAILED ? nullptr : static_cast<std::uint8_t*>(pages);
  }
  return static_cast<std::uint8_t*>(zeroed ? std::calloc(size, 1) : std::malloc(size));
}

void FreeStorage(std::uint8_t* bytes, std::uint32_t size) {
  if (bytes == nullptr) {
    return;
  }
  if (size >= kMappedBlockSize) {
    munmap(bytes, size);
  } else {
    std::free(bytes);
  }
}

struct StreamRecord {
  BlockRecord* block;
  std::uint64_t position;
};

// One-shot failure of the n-th request of a kind, counted from when it was set.
struct FailureCountdown {
  std::uint32_t remaining = 0;  // 0: no failure pending
  bool happened = false;

  void Set(std::uint32_t n) {
    remaining = n;
    happened = false;
  }
  // true when this request is the one to fail.
  bool Strike() {
    if (remaining == 0) {
      return false;
    }
    if (--remaining != 0) {
      return false;
    }
    happened = true;
    return true;
  }
};

struct Hooks {
  bool capSet = false;
  std::uint32_t largestBlock = 0;
  FailureCountdown blockFailure;
  FailureCountdown heapFailure;
  FailureCountdown lockFailure;
  testing::ImagingModule imaging = testing::ImagingModule::kAsBuilt;
  char missingEntryPoint[64] = {};  // empty: none missing
  bool fakeClock = false;
  std::uint32_t clockNow = 0;
  std::uint32_t clockStep = 0;
  std::uint32_t blockRequests = 0;
  std::uint32_t heapRequests = 0;
};

struct Counters {
  std::int64_t liveBlocks = 0;
  std::int64_t liveHeap = 0;
  std::int64_t liveModules = 0;
  std::int64_t lockedBlocks = 0;
};

Hooks& TheHooks() {
  static Hooks hooks;
  return hooks;
}

Counters& TheCounters() {
  static Counters counters;
  return counters;
}

constexpr const char* kImagingModuleName = "gdiplus.dll";
// The handle LoadModule gives for "gdiplus.dll": any non-null value the caller cannot mistake.
int imagingModuleTag = 0;

bool SameNameIgnoringCase(const char* a, const char* b) {
  for (; *a != '\0' && *b != '\0'; ++a, ++b) {
    if (std::tolower(static_cast<unsigned char>(*a)) !=
        std::tolower(static_cast<unsigned char>(*b))) {
      return false;
    }
  }
  return *a == *b;
}

// Whether a block of `size` bytes may be granted now (counts the request).
bool GrantBlock(std::uint32_t size) {
  Hooks& hooks = TheHooks();
  ++hooks.blockRequests;
  if (hooks.blockFailure.Strike()) {
    return false;
  }
  return !hooks.capSet || size <= hooks.largestBlock;
}

MemoryBlock NewBlock(std::uint32_t size, bool zeroed) {
  if (!GrantBlock(size)) {
    return nullptr;
  }
  auto* record = static_cast<BlockRecord*>(std::malloc(sizeof(BlockRecord)));
  if (record == nullptr) {
    return nullptr;
  }
  record->bytes = NewStorage(size, zeroed);
  record->size = size;
  record->lockCount = 0;
  if (size != 0 && record->bytes == nullptr) {
    std::free(record);
    return nullptr;
  }
  ++TheCounters().liveBlocks;
  return record;
}

// Grows a block to `size` bytes, zero-filling the new part. Fails on a locked block.
bool GrowBlock(BlockRecord* block, std::uint32_t size) {
  if (block->lockCount != 0 || !GrantBlock(size)) {
    return false;
  }
  std::uint8_t* grown = NewStorage(size, true);
  if (grown == nullptr) {
    return false;
  }
  if (block->size != 0) {
    std::memcpy(grown, block->bytes, block->size);
  }
  FreeStorage(block->bytes, block->size);
  block->bytes = grown;
  block->size = size;
  return true;
}

}  // namespace

// ---- Movable memory ----

MemoryBlock AllocateMovable(std::uint32_t size) { return NewBlock(size, false); }

MemoryBlock AllocateMovableZeroed(std::uint32_t size) { return NewBlock(size, true); }

void* LockBlock(MemoryBlock block) {
  if (block == nullptr || TheHooks().lockFailure.Strike()) {
    return nullptr;
  }
  auto* record = static_cast<BlockRecord*>(block);
  if (record->bytes == nullptr) {
    return nullptr;
  }
  if (record->lockCount++ == 0) {
    ++TheCounters().lockedBlocks;
  }
  return record->bytes;
}

void UnlockBlock(MemoryBlock block) {
  if (block == nullptr) {
    return;
  }
  auto* record = static_cast<BlockRecord*>(block);
  if (record->lockCount != 0 && --record->lockCount == 0) {
    --TheCounters().lockedBlocks;
  }
}

void ReleaseBlock(MemoryBlock block) {
  if (block == nullptr) {
    return;
  }
  auto* record = static_cast<BlockRecord*>(block);
  if (record->lockCount != 0) {
    --TheCounters().lockedBlocks;
  }
  FreeStorage(record->bytes, record->size);
  std::free(record);
  --TheCounters().liveBlocks;
}

std::uint32_t BlockSize(MemoryBlock block) {
  return block == nullptr ? 0 : static_cast<BlockRecord*>(block)->size;
}

// ---- Heap ----

void* HeapAllocate(std::size_t size) {
  Hooks& hooks = TheHooks();
  ++hooks.heapRequests;
  if (hooks.heapFailure.Strike()) {
    return nullptr;
  }
  // A request for 0 bytes still gets a distinct allocation, so success is never null.
  void* memory = std::malloc(size == 0 ? 1 : size);
  if (memory != nullptr) {
    ++TheCounters().liveHeap;
  }
  return memory;
}

void HeapRelease(void* memory) {
  if (memory == nullptr) {
    return;
  }
  std::free(memory);
  --TheCounters().liveHeap;
}

// ---- Clock ----

namespace {

using ClockEntry = int (*)(clockid_t, timespec*);

// The kernel's own clock_gettime, which it maps into every process (the vDSO), or the C
// library's when it cannot be found there (under some tools). Called directly, a reading costs
// half of what it costs through the C library's wrapper.
ClockEntry FindClockEntry() {
  // The vDSO is part of the process image and never unloaded: the handle is not closed.
  if (void* vdso = dlopen("linux-vdso.so.1", RTLD_LAZY | RTLD_NOLOAD); vdso != nullptr) {
    if (void* entry = dlsym(vdso, "__vdso_clock_gettime"); entry != nullptr) {
      return reinterpret_cast<ClockEntry>(entry);
    }
  }
  return &clock_gettime;
}

}  // namespace

std::uint32_t TickCount() {
  Hooks& hooks = TheHooks();
  if (hooks.fakeClock) {
    const std::uint32_t now = hooks.clockNow;
    hooks.clockNow += hooks.clockStep;
    return now;
  }
  // The coarse clock, like GetTickCount, advances in scheduler ticks (a few milliseconds) and
  // costs a fraction of the precise one. The streaming back-end reads it at the entry and the
  // exit of every call, which for a host writing single bytes is four readings a byte: a
  // quarter of the decoding time even so, hence the direct entry, found once and then fixed.
  static const ClockEntry readClock = FindClockEntry();
  timespec now{};
  readClock(CLOCK_MONOTONIC_COARSE, &now);
  const auto ms = static_cast<std::uint64_t>(now.tv_sec) * 1000u +
                  static_cast<std::uint64_t>(now.tv_nsec) / 1000000u;
  return static_cast<std::uint32_t>(ms);  // wraps like the system's counter
}

// ---- Modules ----

Module LoadModule(const char* name) {
  if (name == nullptr || !SameNameIgnoringCase(name, kImagingModuleName)) {
    return nullptr;
  }
  bool loadable = false;
  switch (TheHooks().imaging) {
    case testing::ImagingModule::kAsBuilt:
      loadable = standin::ImagingAvailable();
      break;
    case testing::ImagingModule::kMissing:
      loadable = false;
      break;
    case testing::ImagingModule::kPresent:
      loadable = true;
      break;
  }
  if (!loadable) {
    return nullptr;
  }
  ++TheCounters().liveModules;
  return &imagingModuleTag;
}

EntryPoint FindEntryPoint(Module module, const char* name) {
  if (module != &imagingModuleTag || name == nullptr) {
    return nullptr;
  }
  const char* missing = TheHooks().missingEntryPoint;
  if (missing[0] != '\0' && std::strcmp(missing, name) == 0) {
    return nullptr;
  }
  return standin::FindImagingEntryPoint(name);
}

void UnloadModule(Module module) {
  if (module == &imagingModuleTag) {
    --TheCounters().liveModules;
  }
}

// ---- Memory streams ----

Stream CreateStreamOnBlock(MemoryBlock block) {
  if (block == nullptr) {
    return nullptr;
  }
  auto* stream = static_cast<StreamRecord*>(std::malloc(sizeof(StreamRecord)));
  if (stream == nullptr) {
    return nullptr;
  }
  stream->block = static_cast<BlockRecord*>(block);
  stream->position = 0;
  return stream;
}

void ReleaseStream(Stream stream) { std::free(stream); }

std::uint32_t StreamRead(Stream stream, void* out, std::uint32_t count) {
  auto* record = static_cast<StreamRecord*>(stream);
  if (record == nullptr || out == nullptr) {
    return 0;
  }
  const std::uint64_t size = record->block->size;
  if (record->position >= size) {
    return 0;
  }
  const std::uint64_t available = size - record->position;
  const auto n = static_cast<std::uint32_t>(count < available ? count : available);
  std::memcpy(out, record->block->bytes + record->position, n);
  record->position += n;
  return n;
}

bool StreamWrite(Stream stream, const void* data, std::uint32_t count) {
  auto* record = static_cast<StreamRecord*>(stream);
  if (record == nullptr || (data == nullptr && count != 0)) {
    return false;
  }
  if (count == 0) {
    return true;
  }
  const std::uint64_t end = record->position + count;
  if (end > 0xFFFFFFFFu) {
    return false;
  }
  if (end > record->block->size && !GrowBlock(record->block, static_cast<std::uint32_t>(end))) {
    return false;
  }
  std::memcpy(record->block->bytes + record->position, data, count);
  record->position = end;
  return true;
}

bool StreamSeek(Stream stream, std::int64_t offset, SeekOrigin origin, std::uint64_t* newPosition) {
  auto* record = static_cast<StreamRecord*>(stream);
  if (record == nullptr) {
    return false;
  }
  std::int64_t base = 0;
  switch (origin) {
    case SeekOrigin::kBegin:
      base = 0;
      break;
    case SeekOrigin::kCurrent:
      base = static_cast<std::int64_t>(record->position);
      break;
    case SeekOrigin::kEnd:
      base = static_cast<std::int64_t>(record->block->size);
      break;
  }
  // Both operands are within +-2^63 / 2 here, so the sum cannot overflow.
  if (offset > 0xFFFFFFFFll || offset < -0xFFFFFFFFll) {
    return false;
  }
  const std::int64_t target = base + offset;
  if (target < 0 || target > 0xFFFFFFFFll) {
    return false;
  }
  record->position = static_cast<std::uint64_t>(target);
  if (newPosition != nullptr) {
    *newPosition = record->position;
  }
  return true;
}

std::uint32_t StreamSize(Stream stream) {
  auto* record = static_cast<StreamRecord*>(stream);
  return record == nullptr ? 0 : record->block->size;
}

MemoryBlock StreamBlock(Stream stream) {
  auto* record = static_cast<StreamRecord*>(stream);
  return record == nullptr ? nullptr : record->block;
}

// ---- Test hooks ----

namespace testing {

void ResetHooks() { TheHooks() = Hooks{}; }

void SetLargestBlock(std::uint32_t bytes) {
  TheHooks().capSet = true;
  TheHooks().largestBlock = bytes;
}

void FailBlockAllocation(std::uint32_t n) { TheHooks().blockFailure.Set(n); }
void FailHeapAllocation(std::uint32_t n) { TheHooks().heapFailure.Set(n); }
void FailLock(std::uint32_t n) { TheHooks().lockFailure.Set(n); }
bool BlockAllocationFailureHappened() { return TheHooks().blockFailure.happened; }
bool HeapAllocationFailureHappened() { return TheHooks().heapFailure.happened; }
bool LockFailureHappened() { return TheHooks().lockFailure.happened; }

void SetImagingModule(ImagingModule state) { TheHooks().imaging = state; }

void SetMissingEntryPoint(const char* name) {
  char* missing = TheHooks().missingEntryPoint;
  missing[0] = '\0';
  if (name != nullptr) {
    std::strncat(missing, name, sizeof(TheHooks().missingEntryPoint) - 1);
  }
}

void SetFakeClock(std::uint32_t start, std::uint32_t step) {
  TheHooks().fakeClock = true;
  TheHooks().clockNow = start;
  TheHooks().clockStep = step;
}

std::uint32_t BlockAllocationRequests() { return TheHooks().blockRequests; }
std::uint32_t HeapAllocationRequests() { return TheHooks().heapRequests; }

std::int64_t LiveBlocks() { return TheCounters().liveBlocks; }
std::int64_t LiveHeapAllocations() { return TheCounters().liveHeap; }
std::int64_t LiveModules() { return TheCounters().liveModules; }
std::int64_t LockedBlocks() { return TheCounters().lockedBlocks; }

}  // namespace testing
}  // namespace jpegdec::platform
