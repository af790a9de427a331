// The fast routines a test can compare with the plain ones: those of the levels the processor
// runs. A test that compares them skips, saying so, on a processor without them (a build run
// under an emulated processor without SSE2 or AVX2 has only the plain routines to offer).
#pragma once

#include <cstdint>
#include <string>

#include "decoder/cpu_dispatch.h"
#include "decoder/cpu_dispatch_testing.h"

namespace jpegdec::test {

// The highest level this processor runs, whatever the test switch's cap stands at.
inline std::uint8_t ProcessorRoutineLevel() {
  const std::uint8_t cap = RoutineLevelLimit();
  LimitRoutineLevel(kRoutinesAvx2);
  const std::uint8_t level = DetectRoutineLevel();
  LimitRoutineLevel(cap);
  return level;
}

// "" when the processor runs `level`, else the reason a test that needs it skips.
inline std::string MissingRoutineLevel(std::uint8_t level) {
  if (ProcessorRoutineLevel() >= level) {
    return "";
  }
  return std::string("this processor lacks ") + (level >= kRoutinesAvx2 ? "AVX2" : "SSE2") +
         ": its fast routines cannot run here, nothing to compare";
}

}  // namespace jpegdec::test
