// Stand-ins for the Windows services on other systems. They keep what the library relies on:
// sizes, zero fill, failure results (no block, no address, no module), a 0-byte block that
// locks to no address, and a wrapping 32-bit millisecond clock. A movable block is a heap
// record with a lock count; "gdiplus.dll" is the imaging stand-in. The test hooks live here too.
// Separate instances may run on separate threads, so the process-wide values of this file (the
// counters of what is alive, the hooks, the clock's entry found at the first reading) are
// atomic or set once; the hooks are set by a test while no decode runs, and read by all.
#include <dlfcn.h>
#include <sys/mman.h>

#include <atomic>
#include <cctype>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <mutex>

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

// One-shot failure of the n-th request of a kind, counted from when it was set. Requests from
// several threads count one after another: exactly one of them fails.
struct FailureCountdown {
  std::atomic<std::uint32_t> remaining{0};  // 0: no failure pending
  std::atomic<bool> happened{false};

  void Set(std::uint32_t n) {
    remaining.store(n, std::memory_order_relaxed);
    happened.store(false, std::memory_order_relaxed);
  }
  // true when this request is the one to fail.
  bool Strike() {
    std::uint32_t left = remaining.load(std::memory_order_relaxed);
    do {
      if (left == 0) {
        return false;
      }
    } while (!remaining.compare_exchange_weak(left, left - 1, std::memory_order_relaxed));
    if (left != 1) {
      return false;
    }
    happened.store(true, std::memory_order_relaxed);
    return true;
  }
};

struct Hooks {
  std::atomic<bool> capSet{false};
  std::atomic<std::uint32_t> largestBlock{0};
  FailureCountdown blockFailure;
  FailureCountdown heapFailure;
  FailureCountdown lockFailure;
  std::atomic<testing::ImagingModule> imaging{testing::ImagingModule::kAsBuilt};
  char missingEntryPoint[64] = {};  // empty: none missing; written only while no decode runs
  std::atomic<bool> fakeClock{false};
  std::atomic<std::uint32_t> clockNow{0};
  std::atomic<std::uint32_t> clockStep{0};
  std::atomic<std::uint32_t> blockRequests{0};
  std::atomic<std::uint32_t> heapRequests{0};
};

struct Counters {
  std::atomic<std::int64_t> liveBlocks{0};
  std::atomic<std::int64_t> liveHeap{0};
  std::atomic<std::int64_t> liveModules{0};
  std::atomic<std::int64_t> lockedBlocks{0};
};

// Counters and hooks need no ordering with other memory: each is a tally or a setting of its own.
constexpr std::memory_order kRelaxed = std::memory_order_relaxed;

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
  hooks.blockRequests.fetch_add(1, kRelaxed);
  if (hooks.blockFailure.Strike()) {
    return false;
  }
  return !hooks.capSet.load(kRelaxed) || size <= hooks.largestBlock.load(kRelaxed);
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
  TheCounters().liveBlocks.fetch_add(1, kRelaxed);
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
    TheCounters().lockedBlocks.fetch_add(1, kRelaxed);
  }
  return record->bytes;
}

void UnlockBlock(MemoryBlock block) {
  if (block == nullptr) {
    return;
  }
  auto* record = static_cast<BlockRecord*>(block);
  if (record->lockCount != 0 && --record->lockCount == 0) {
    TheCounters().lockedBlocks.fetch_sub(1, kRelaxed);
  }
}

void ReleaseBlock(MemoryBlock block) {
  if (block == nullptr) {
    return;
  }
  auto* record = static_cast<BlockRecord*>(block);
  if (record->lockCount != 0) {
    TheCounters().lockedBlocks.fetch_sub(1, kRelaxed);
  }
  FreeStorage(record->bytes, record->size);
  std::free(record);
  TheCounters().liveBlocks.fetch_sub(1, kRelaxed);
}

std::uint32_t BlockSize(MemoryBlock block) {
  return block == nullptr ? 0 : static_cast<BlockRecord*>(block)->size;
}

// ---- Heap ----

void* HeapAllocate(std::size_t size) {
  Hooks& hooks = TheHooks();
  hooks.heapRequests.fetch_add(1, kRelaxed);
  if (hooks.heapFailure.Strike()) {
    return nullptr;
  }
  // A request for 0 bytes still gets a distinct allocation, so success is never null.
  void* memory = std::malloc(size == 0 ? 1 : size);
  if (memory != nullptr) {
    TheCounters().liveHeap.fetch_add(1, kRelaxed);
  }
  return memory;
}

void HeapRelease(void* memory) {
  if (memory == nullptr) {
    return;
  }
  std::free(memory);
  TheCounters().liveHeap.fetch_sub(1, kRelaxed);
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

// The first reading finds the entry (FindClockEntry), notes it for every later reading and reads
// through it. Threads arriving together may each find it; they find the same entry.
int FindAndReadClock(clockid_t clock, timespec* now);

// The entry every reading goes through: a plain load, with no guard of a function's static to
// test first.
std::atomic<ClockEntry> clockEntry{&FindAndReadClock};

int FindAndReadClock(clockid_t clock, timespec* now) {
  const ClockEntry entry = FindClockEntry();
  clockEntry.store(entry, kRelaxed);
  return entry(clock, now);
}

}  // namespace

std::uint32_t TickCount() {
  Hooks& hooks = TheHooks();
  if (hooks.fakeClock.load(kRelaxed)) {
    return hooks.clockNow.fetch_add(hooks.clockStep.load(kRelaxed), kRelaxed);
  }
  // The coarse clock, like GetTickCount, advances in scheduler ticks (a few milliseconds) and
  // costs a fraction of the precise one. The streaming back-end reads it at the entry and the
  // exit of every call, which for a host writing single bytes is four readings a byte, so the
  // few instructions around the reading count too: the entry is called directly, and the
  // nanoseconds (always below 10^9) are divided in 32 bits.
  timespec now;
  if (clockEntry.load(kRelaxed)(CLOCK_MONOTONIC_COARSE, &now) != 0) {
    return 0;  // not expected of a clock every Linux has
  }
  const auto ms = static_cast<std::uint32_t>(now.tv_sec) * 1000u +
                  static_cast<std::uint32_t>(now.tv_nsec) / 1000000u;
  return ms;  // wraps like the system's counter
}

// ---- Modules ----

Module LoadModule(const char* name) {
  if (name == nullptr || !SameNameIgnoringCase(name, kImagingModuleName)) {
    return nullptr;
  }
  bool loadable = false;
  switch (TheHooks().imaging.load(kRelaxed)) {
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
  TheCounters().liveModules.fetch_add(1, kRelaxed);
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
    TheCounters().liveModules.fetch_sub(1, kRelaxed);
  }
}

// ---- What threads share ----

std::int32_t SharedAdd(SharedCount* count, std::int32_t delta) {
  return count->fetch_add(delta) + delta;
}

std::int32_t SharedRead(const SharedCount* count) { return count->load(); }

void SharedWrite(SharedCount* count, std::int32_t value) { count->store(value); }

namespace {

std::mutex& OnceMutex() {
  static std::mutex mutex;
  return mutex;
}

std::mutex& ProbeMutex() {
  static std::mutex mutex;
  return mutex;
}

}  // namespace

// A flag and a lock rather than std::call_once, whose helper the shared library would export.
void RunOnce(OnceFlag* flag, void (*work)()) {
  if (flag->done.load(std::memory_order_acquire)) {
    return;
  }
  const std::lock_guard<std::mutex> lock(OnceMutex());
  if (!flag->done.load(std::memory_order_relaxed)) {
    work();
    flag->done.store(true, std::memory_order_release);
  }
}

void LockProbe() { ProbeMutex().lock(); }

void UnlockProbe() { ProbeMutex().unlock(); }

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

void ResetHooks() {
  Hooks& hooks = TheHooks();
  hooks.capSet.store(false, kRelaxed);
  hooks.largestBlock.store(0, kRelaxed);
  hooks.blockFailure.Set(0);
  hooks.heapFailure.Set(0);
  hooks.lockFailure.Set(0);
  hooks.imaging.store(ImagingModule::kAsBuilt, kRelaxed);
  hooks.missingEntryPoint[0] = '\0';
  hooks.fakeClock.store(false, kRelaxed);
  hooks.clockNow.store(0, kRelaxed);
  hooks.clockStep.store(0, kRelaxed);
  hooks.blockRequests.store(0, kRelaxed);
  hooks.heapRequests.store(0, kRelaxed);
}

void SetLargestBlock(std::uint32_t bytes) {
  TheHooks().largestBlock.store(bytes, kRelaxed);
  TheHooks().capSet.store(true, kRelaxed);
}

void FailBlockAllocation(std::uint32_t n) { TheHooks().blockFailure.Set(n); }
void FailHeapAllocation(std::uint32_t n) { TheHooks().heapFailure.Set(n); }
void FailLock(std::uint32_t n) { TheHooks().lockFailure.Set(n); }
bool BlockAllocationFailureHappened() { return TheHooks().blockFailure.happened.load(kRelaxed); }
bool HeapAllocationFailureHappened() { return TheHooks().heapFailure.happened.load(kRelaxed); }
bool LockFailureHappened() { return TheHooks().lockFailure.happened.load(kRelaxed); }

void SetImagingModule(ImagingModule state) { TheHooks().imaging.store(state, kRelaxed); }

void SetMissingEntryPoint(const char* name) {
  char* missing = TheHooks().missingEntryPoint;
  missing[0] = '\0';
  if (name != nullptr) {
    std::strncat(missing, name, sizeof(TheHooks().missingEntryPoint) - 1);
  }
}

void SetFakeClock(std::uint32_t start, std::uint32_t step) {
  TheHooks().clockNow.store(start, kRelaxed);
  TheHooks().clockStep.store(step, kRelaxed);
  TheHooks().fakeClock.store(true, kRelaxed);
}

std::uint32_t BlockAllocationRequests() { return TheHooks().blockRequests.load(kRelaxed); }
std::uint32_t HeapAllocationRequests() { return TheHooks().heapRequests.load(kRelaxed); }

std::int64_t LiveBlocks() { return TheCounters().liveBlocks.load(kRelaxed); }
std::int64_t LiveHeapAllocations() { return TheCounters().liveHeap.load(kRelaxed); }
std::int64_t LiveModules() { return TheCounters().liveModules.load(kRelaxed); }
std::int64_t LockedBlocks() { return TheCounters().lockedBlocks.load(kRelaxed); }

}  // namespace testing
}  // namespace jpegdec::platform
