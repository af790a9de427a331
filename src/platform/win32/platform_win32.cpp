// The platform layer on Windows: thin calls of the real API, nothing else.
#include <objbase.h>
#include <windows.h>

#include <cstdlib>

#include "platform/platform.h"

namespace jpegdec::platform {

// ---- Movable memory ----

MemoryBlock AllocateMovable(std::uint32_t size) { return GlobalAlloc(GMEM_MOVEABLE, size); }

MemoryBlock AllocateMovableZeroed(std::uint32_t size) { return GlobalAlloc(GHND, size); }

void* LockBlock(MemoryBlock block) {
  return block == nullptr ? nullptr : GlobalLock(static_cast<HGLOBAL>(block));
}

void UnlockBlock(MemoryBlock block) {
  if (block != nullptr) {
    GlobalUnlock(static_cast<HGLOBAL>(block));
  }
}

void ReleaseBlock(MemoryBlock block) {
  if (block != nullptr) {
    GlobalFree(static_cast<HGLOBAL>(block));
  }
}

std::uint32_t BlockSize(MemoryBlock block) {
  return block == nullptr ? 0 : static_cast<std::uint32_t>(GlobalSize(static_cast<HGLOBAL>(block)));
}

// ---- Heap ----

void* HeapAllocate(std::size_t size) { return std::malloc(size == 0 ? 1 : size); }

void HeapRelease(void* memory) { std::free(memory); }

// ---- Clock ----

std::uint32_t TickCount() { return GetTickCount(); }

// ---- Modules ----

Module LoadModule(const char* name) { return LoadLibraryA(name); }

EntryPoint FindEntryPoint(Module module, const char* name) {
  if (module == nullptr) {
    return nullptr;
  }
  // GetProcAddress's generic function type; callers cast to the entry point's real type.
  return reinterpret_cast<EntryPoint>(GetProcAddress(static_cast<HMODULE>(module), name));
}

void UnloadModule(Module module) {
  if (module != nullptr) {
    FreeLibrary(static_cast<HMODULE>(module));
  }
}

// ---- What threads share ----

std::int32_t SharedAdd(SharedCount* count, std::int32_t delta) {
  return static_cast<std::int32_t>(InterlockedExchangeAdd(count, delta) + delta);
}

std::int32_t SharedRead(const SharedCount* count) {
  // A locked no-op exchange: the current value, ordered like every other access.
  return static_cast<std::int32_t>(
      InterlockedCompareExchange(const_cast<SharedCount*>(count), 0, 0));
}

void SharedWrite(SharedCount* count, std::int32_t value) { InterlockedExchange(count, value); }

namespace {

static_assert(sizeof(OnceFlag) == sizeof(INIT_ONCE), "OnceFlag stands for an INIT_ONCE");

BOOL CALLBACK RunWork(PINIT_ONCE /*once*/, PVOID work, PVOID* /*context*/) {
  reinterpret_cast<void (*)()>(work)();
  return TRUE;
}

SRWLOCK probeLock = SRWLOCK_INIT;

}  // namespace

void RunOnce(OnceFlag* flag, void (*work)()) {
  InitOnceExecuteOnce(reinterpret_cast<PINIT_ONCE>(flag), RunWork, reinterpret_cast<PVOID>(work),
                      nullptr);
}

void LockProbe() { AcquireSRWLockExclusive(&probeLock); }

void UnlockProbe() { ReleaseSRWLockExclusive(&probeLock); }

// ---- Memory streams ----

Stream CreateStreamOnBlock(MemoryBlock block) {
  IStream* stream = nullptr;
  // FALSE: the block is the caller's and outlives the stream.
  if (FAILED(CreateStreamOnHGlobal(static_cast<HGLOBAL>(block), FALSE, &stream))) {
    return nullptr;
  }
  return stream;
}

void ReleaseStream(Stream stream) {
  if (stream != nullptr) {
    static_cast<IStream*>(stream)->Release();
  }
}

}  // namespace jpegdec::platform
