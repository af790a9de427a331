// Processor detection for the fast routines.
#include "decoder/cpu_dispatch.h"

#include <atomic>

#include "decoder/cpu_dispatch_testing.h"
#include "platform/platform.h"

namespace jpegdec {

namespace {

// The processor's level, asked once per process (libgcc's cpuid table is filled in by the first
// caller; instances on other threads wait for it rather than fill it in at the same time).
platform::OnceFlag levelOnce{};
std::uint8_t processorLevel = kRoutinesPlain;

void AskProcessor() {
#if defined(__GNUC__) && (defined(__i386__) || defined(__x86_64__))
  // libgcc asks cpuid and also checks that the operating system saves the AVX registers.
  __builtin_cpu_init();
  if (__builtin_cpu_supports("avx2") != 0) {
    processorLevel = kRoutinesAvx2;
  } else if (__builtin_cpu_supports("sse2") != 0) {
    processorLevel = kRoutinesSse2;
  }
#endif
}

// Test switch (cpu_dispatch_testing.h); the library never writes it. Atomic so that decodes on
// other threads may read it while it stands (tests change it only between decodes).
std::atomic<std::uint8_t> levelLimit{kRoutinesAvx2};

}  // namespace

std::uint8_t DetectRoutineLevel() {
  platform::RunOnce(&levelOnce, AskProcessor);
  const std::uint8_t limit = levelLimit.load(std::memory_order_relaxed);
  return processorLevel < limit ? processorLevel : limit;
}

std::atomic<bool> dispatch_detail::forcePlain{false};

void LimitRoutineLevel(std::uint8_t highest) {
  levelLimit.store(highest, std::memory_order_relaxed);
  dispatch_detail::forcePlain.store(highest == kRoutinesPlain, std::memory_order_relaxed);
}

std::uint8_t RoutineLevelLimit() { return levelLimit.load(std::memory_order_relaxed); }

void ForcePlainRoutines(bool force) { LimitRoutineLevel(force ? kRoutinesPlain : kRoutinesAvx2); }

}  // namespace jpegdec
