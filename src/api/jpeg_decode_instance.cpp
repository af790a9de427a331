// The decoder instance: chooses and sets up one back-end at Start and forwards every later
// operation to it. The back-ends live on the platform heap (constructed in place), so that every
// allocation the library makes can be refused in tests.
#include "api/jpeg_decode_instance.h"

#include <new>
#include <type_traits>

#include "platform/platform.h"

namespace jpegdec {
namespace {

constexpr int32_t kModeAutomatic = 0;
constexpr int32_t kModeGdiplus = 1;
constexpr int32_t kModeBuffered = 2;
constexpr int32_t kModeStreaming = 3;

constexpr uint64_t kBmpHeaderBytes = 14 + 40;  // file header + information header

// Probe bracket: the first request, and the bracket width at which the search stops.
constexpr uint32_t kProbeLargestRequest = 0x7FFFFFFF;
constexpr uint32_t kProbePrecision = 0x100000;

// The automatic choice divides the largest block by 3 x divisor and again by 3.
constexpr uint64_t kBudgetFactor = 3;

constexpr const char* kGdiplusModule = "gdiplus.dll";

template <typename T>
T* NewBackend() {
  void* memory = platform::HeapAllocate(sizeof(T));
  return memory == nullptr ? nullptr : new (memory) T();
}

// The back-end that keeps the statistics: the buffered way counts in the streaming back-end it
// feeds.
const StreamingBackend& Counters(const StreamingBackend& backend) { return backend; }
const StreamingBackend& Counters(const BufferedBackend& backend) { return backend.decoder; }
const GdiplusBackend& Counters(const GdiplusBackend& backend) { return backend; }

template <typename T>
void DeleteBackend(T*& backend) {
  if (backend != nullptr) {
    backend->~T();
    platform::HeapRelease(backend);
    backend = nullptr;
  }
}

}  // namespace

uint32_t ProbeLargestAllocation() {
  // Each request holds its block only for a moment, but a probe on another thread meeting that
  // moment would measure a block too few: probes run one at a time in the process.
  platform::LockProbe();
  uint32_t lo = 0;
  uint32_t hi = kProbeLargestRequest;
  uint32_t request = kProbeLargestRequest;
  do {
    platform::MemoryBlock block = platform::AllocateMovable(request);
    if (block != nullptr) {
      lo = request;
    } else {
      hi = request;
    }
    request = (lo + hi) / 2;  // both at most 0x7FFFFFFF: the sum fits
    platform::ReleaseBlock(block);
  } while (hi - lo > kProbePrecision && request < kProbeLargestRequest);
  platform::UnlockProbe();
  return request;
}

int32_t IsGdiplusAvailable() {
  platform::Module module = platform::LoadModule(kGdiplusModule);
  if (module == nullptr) {
    return 0;
  }
  platform::UnloadModule(module);
  return 1;
}

uint64_t BmpFileSize(uint32_t width, uint32_t height) {
  const uint64_t stride = ((uint64_t{width} * 24 + 7) / 8 + 3) & ~uint64_t{3};
  return stride * height + kBmpHeaderBytes;
}

uint64_t AutomaticBudget(uint32_t largest, int32_t memoryDivisor) {
  if (memoryDivisor <= 0) {
    return 0;
  }
  const uint64_t product = static_cast<uint64_t>(memoryDivisor) * kBudgetFactor;
  return largest / product / kBudgetFactor;
}

}  // namespace jpegdec

using jpegdec::BufferedBackend;
using jpegdec::GdiplusBackend;
using jpegdec::StreamingBackend;

JpegDecodeInstance::~JpegDecodeInstance() { ReleaseBackends(nullptr); }

void* JpegDecodeInstance::DeletingDestructor(unsigned flags) {
  this->~JpegDecodeInstance();
  if ((flags & 1u) != 0) {
    jpegdec::platform::HeapRelease(this);
  }
  return this;
}

int32_t JpegDecodeInstance::Start(uint32_t width, uint32_t height, int32_t requestedMode,
                                  int32_t memoryDivisor) {
  // A host that starts an instance twice gets the first back-end released, not leaked.
  ReleaseBackends(nullptr);
  int32_t result = 0;

  mode = requestedMode;
  if (mode == jpegdec::kModeAutomatic) {
    // Divisor 0 or below: no budget, so the streaming way; height 0 (a page of unknown length)
    // too, since such a bitmap cannot be weighed. The GDI+ way holds the compressed file and the
    // whole bitmap at once; it is taken only when the bitmap fits well within the largest block
    // the system grants.
    const bool weighed = memoryDivisor > 0 && height != 0;
    const uint64_t budget =
        weighed ? jpegdec::AutomaticBudget(jpegdec::ProbeLargestAllocation(), memoryDivisor) : 0;
    const bool fits = weighed && jpegdec::BmpFileSize(width, height) <= budget;
    mode = fits && jpegdec::IsGdiplusAvailable() == 1 ? jpegdec::kModeGdiplus
                                                      : jpegdec::kModeStreaming;
  }

  if (mode == jpegdec::kModeGdiplus) {
    if (jpegdec::IsGdiplusAvailable() == 0) {
      mode = jpegdec::kModeBuffered;
    } else {
      gdiplusBackend = jpegdec::NewBackend<GdiplusBackend>();
      if (gdiplusBackend == nullptr) {
        return 0;  // no fallback: the object itself could not be had
      }
      result = gdiplusBackend->SetUp(width, height);
      if (result == 0) {
        gdiplusBackend->Teardown(nullptr);
        jpegdec::DeleteBackend(gdiplusBackend);
        mode = jpegdec::kModeBuffered;
      }
    }
  }

  if (mode == jpegdec::kModeBuffered) {
    bufferedBackend = jpegdec::NewBackend<BufferedBackend>();
    if (bufferedBackend != nullptr) {
      result = bufferedBackend->SetUp(width, height);
    }
  }

  if (mode == jpegdec::kModeStreaming) {
    streamingBackend = jpegdec::NewBackend<StreamingBackend>();
    if (streamingBackend != nullptr) {
      result = streamingBackend->SetUp(width);
    }
  }
  return result;
}

template <typename Result, typename Operation>
Result JpegDecodeInstance::Forward(Result none, Operation operation) {
  if (streamingBackend != nullptr) {
    return operation(*streamingBackend);
  }
  if (bufferedBackend != nullptr) {
    return operation(*bufferedBackend);
  }
  if (gdiplusBackend != nullptr) {
    return operation(*gdiplusBackend);
  }
  return none;
}

int32_t JpegDecodeInstance::Write(const uint8_t* data, uint32_t length) {
  return Forward(int32_t{0}, [=](auto& backend) { return backend.Write(data, length); });
}

int32_t JpegDecodeInstance::Read(uint8_t** row, uint32_t* rowLength) {
  // Without a back-end not 0: that would tell the host a row had been handed out.
  return Forward(int32_t{-1}, [=](auto& backend) { return backend.Read(row, rowLength); });
}

void JpegDecodeInstance::Finish(uint32_t* leftover) { ReleaseBackends(leftover); }

void JpegDecodeInstance::ReleaseBackends(uint32_t* leftover) {
  if (streamingBackend != nullptr) {
    streamingBackend->Finish(leftover);
    streamingBackend->Release();
    jpegdec::DeleteBackend(streamingBackend);
  }
  if (bufferedBackend != nullptr) {
    bufferedBackend->Finish(leftover);
    jpegdec::DeleteBackend(bufferedBackend);
  }
  if (gdiplusBackend != nullptr) {
    gdiplusBackend->Teardown(leftover);
    jpegdec::DeleteBackend(gdiplusBackend);
  }
}

void JpegDecodeInstance::EndOfInput(int32_t rowLimit) {
  // The streaming back-end decodes as the bytes come; told that no more will come, it ends a
  // stream that stops short instead of waiting for ever. Only the GDI+ way uses the row limit.
  Forward(0, [rowLimit](auto& backend) {
    if constexpr (std::is_same_v<std::remove_cvref_t<decltype(backend)>, GdiplusBackend>) {
      backend.MarkInputComplete(rowLimit);
    } else {
      backend.MarkInputComplete();
    }
    return 0;
  });
}

int32_t JpegDecodeInstance::IsStreaming() { return mode == jpegdec::kModeStreaming ? 1 : 0; }

uint32_t JpegDecodeInstance::GetElapsedTime() {
  return Forward(0u, [](const auto& backend) { return jpegdec::Counters(backend).elapsedMs; });
}

uint32_t JpegDecodeInstance::GetWriteCount() {
  return Forward(0u, [](const auto& backend) { return jpegdec::Counters(backend).writeCalls; });
}

uint32_t JpegDecodeInstance::GetReadCount() {
  return Forward(0u, [](const auto& backend) { return jpegdec::Counters(backend).readCalls; });
}
