// Processor detection for the fast routines.
#include "decoder/cpu_dispatch.h"

#include "decoder/cpu_dispatch_testing.h"

namespace jpegdec {

namespace {

// Test switch (cpu_dispatch_testing.h); the library never writes it.
std::uint8_t g_levelLimit = kRoutinesAvx2;

std::uint8_t ProcessorLevel() {
#if defined(__GNUC__) && (defined(__i386__) || defined(__x86_64__))
  // libgcc asks cpuid once and also checks that the operating system saves the AVX registers.
  __builtin_cpu_init();
  if (__builtin_cpu_supports("avx2") != 0) {
    return kRoutinesAvx2;
  }
  if (__builtin_cpu_supports("sse2") != 0) {
    return kRoutinesSse2;
  }
#endif
  return kRoutinesPlain;
}

}  // namespace

std::uint8_t DetectRoutineLevel() {
  const std::uint8_t level = ProcessorLevel();
  return level < g_levelLimit ? level : g_levelLimit;
}

void SelectRoutines(DecoderContext* context) { context->routineLevel = DetectRoutineLevel(); }

bool dispatch_detail::forcePlain = false;

void LimitRoutineLevel(std::uint8_t highest) {
  g_levelLimit = highest;
  dispatch_detail::forcePlain = highest == kRoutinesPlain;
}

std::uint8_t RoutineLevelLimit() { return g_levelLimit; }


void ForcePlainRoutines(bool force) { LimitRoutineLevel(force ? kRoutinesPlain : kRoutinesAvx2); }

}  // namespace jpegdec
