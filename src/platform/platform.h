// The narrow operating-system layer: movable memory blocks, the heap, the millisecond clock,
// module loading, memory streams, what threads share, and the GDI+ flat entry points. The win32/
// implementation calls the real API; portable/ stands in for it on other systems (with test
// hooks).
#pragma once

#include <cstddef>
#include <cstdint>
#if !defined(_WIN32)
#include <atomic>
#endif

#if defined(_WIN32)
#define JD_WINAPI __stdcall
#else
#define JD_WINAPI
#endif

namespace jpegdec::platform {

// ---- Movable global memory (GlobalAlloc & co.) ----
using MemoryBlock = void*;  // null = no block

MemoryBlock AllocateMovable(std::uint32_t size);        // not zero-filled (the memory probe)
MemoryBlock AllocateMovableZeroed(std::uint32_t size);  // zero-filled; 0 bytes still gives a block
void* LockBlock(MemoryBlock block);                     // null on failure, and for a 0-byte block
void UnlockBlock(MemoryBlock block);
void ReleaseBlock(MemoryBlock block);        // null is ignored
std::uint32_t BlockSize(MemoryBlock block);  // bytes the block holds now (0 for null)

// ---- Heap (decoder state, bands, input buffers, objects) ----
void* HeapAllocate(std::size_t size);  // null on failure
void HeapRelease(void* memory);        // null is ignored

// ---- Millisecond clock (GetTickCount) ----
std::uint32_t TickCount();

// ---- Modules (LoadLibraryA, GetProcAddress, FreeLibrary) ----
using Module = void*;
using EntryPoint = void (*)();
Module LoadModule(const char* name);
EntryPoint FindEntryPoint(Module module, const char* name);
void UnloadModule(Module module);

// ---- What threads share (Interlocked*, InitOnce and an SRWLOCK on Windows; std::atomic and
// std::mutex elsewhere) ----
// The library starts no threads, but separate instances may run on separate threads at once.
// The few process-wide values are reached only through these; none is taken on the decode path.
#if defined(_WIN32)
using SharedCount = volatile long;  // a LONG, as the Interlocked functions take it
struct OnceFlag {
  void* state;  // an INIT_ONCE, zero before its first use
};
#else
using SharedCount = std::atomic<std::int32_t>;
struct OnceFlag {
  std::atomic<bool> done{false};
};
#endif
// Adds `delta` to the count in one indivisible step; returns the new value.
std::int32_t SharedAdd(SharedCount* count, std::int32_t delta);
std::int32_t SharedRead(const SharedCount* count);
void SharedWrite(SharedCount* count, std::int32_t value);
// Runs `work` once per `flag` (of static storage) in the process: the first caller runs it, the
// others wait until it has returned.
void RunOnce(OnceFlag* flag, void (*work)());
// The process-wide lock around the memory probe: while one thread probes, no other thread's
// probe holds a block. Not reentrant.
void LockProbe();
void UnlockProbe();

// ---- Memory streams over a block (CreateStreamOnHGlobal; the block is not released with the
// stream, and may be grown by it while it is written) ----
using Stream = void*;                           // an IStream* on Windows
Stream CreateStreamOnBlock(MemoryBlock block);  // null on failure
void ReleaseStream(Stream stream);

}  // namespace jpegdec::platform

// ---- The GDI+ flat interface, resolved by name at run time ----
namespace jpegdec::gdiplus {

using GpStatus = std::int32_t;  // 0 = Ok
inline constexpr GpStatus kOk = 0;
using PixelFormat = std::int32_t;
inline constexpr PixelFormat kFormat24bppRgb = 0x21808;
inline constexpr PixelFormat kFormat8bppIndexed = 0x30803;
inline constexpr PixelFormat kFormat32bppArgb = 0x26200A;

struct StartupInput {
  std::uint32_t gdiplusVersion;  // 1
  void* debugEventCallback;      // none
  std::int32_t suppressBackgroundThread;
  std::int32_t suppressExternalCodecs;
};

struct Guid {
  std::uint32_t data1;
  std::uint16_t data2;
  std::uint16_t data3;
  std::uint8_t data4[8];
};

// One codec information record as GdipGetImageEncoders lays them out.
struct ImageCodecInfo {
  Guid clsid;
  Guid formatId;
  const char16_t* codecName;
  const char16_t* dllName;
  const char16_t* formatDescription;
  const char16_t* filenameExtension;
  const char16_t* mimeType;
  std::uint32_t flags;
  std::uint32_t version;
  std::uint32_t sigCount;
  std::uint32_t sigSize;
  const std::uint8_t* sigPattern;
  const std::uint8_t* sigMask;
};

using GpImage = void;
using GpBitmap = void;

using StartupFn = GpStatus(JD_WINAPI*)(std::uintptr_t* token, const StartupInput* input,
                                       void* output);
using ShutdownFn = void(JD_WINAPI*)(std::uintptr_t token);
using CreateBitmapFromStreamFn = GpStatus(JD_WINAPI*)(platform::Stream stream, GpBitmap** bitmap);
using GetImageWidthFn = GpStatus(JD_WINAPI*)(GpImage* image, std::uint32_t* width);
using GetImageHeightFn = GpStatus(JD_WINAPI*)(GpImage* image, std::uint32_t* height);
using GetImagePixelFormatFn = GpStatus(JD_WINAPI*)(GpImage* image, PixelFormat* format);
using SaveImageToStreamFn = GpStatus(JD_WINAPI*)(GpImage* image, platform::Stream stream,
                                                 const Guid* encoder, const void* parameters);
using GetImageEncodersSizeFn = GpStatus(JD_WINAPI*)(std::uint32_t* count, std::uint32_t* size);
using GetImageEncodersFn = GpStatus(JD_WINAPI*)(std::uint32_t count, std::uint32_t size,
                                                ImageCodecInfo* encoders);
using DisposeImageFn = GpStatus(JD_WINAPI*)(GpImage* image);

}  // namespace jpegdec::gdiplus
