// Choice of the fast routines: which instruction set the block reconstruction, the band output
// and the entropy decoder's fast path may use for the current frame.
//
// The processor is asked once per frame, when the frame header has been read (PrepareFrame), and
// the answer is kept in the context's routineLevel, so that one frame is decoded with one set of
// routines from its first block to its last. Every fast routine has a plain one beside it that is
// the reference: both give the same bytes for every input, the fast ones only sooner. SSE2 is the
// floor of the 32-bit build's target machines and part of every x86-64 processor; AVX2 is used
// only where the processor and the operating system support it.
#pragma once

#include <atomic>
#include <cstdint>

#include "decoder/decoder_context.h"

namespace jpegdec {

// routineLevel values, in increasing order of what the processor must offer.
inline constexpr std::uint8_t kRoutinesPlain = 0;  // portable C++ only (the reference)
inline constexpr std::uint8_t kRoutinesSse2 = 1;   // SSE2
inline constexpr std::uint8_t kRoutinesAvx2 = 2;   // SSE2 and AVX2

// The highest level this processor supports, capped by the test switch
// (cpu_dispatch_testing.h). Cheap enough to call once per frame.
std::uint8_t DetectRoutineLevel();

// Sets context->routineLevel for the frame just read.
void SelectRoutines(DecoderContext* context);

namespace dispatch_detail {
// Set only by tests, through ForcePlainRoutines or LimitRoutineLevel (cpu_dispatch_testing.h);
// read where a fast routine could be chosen, on any thread.
extern std::atomic<bool> forcePlain;
}  // namespace dispatch_detail

// Test-only switch (also in cpu_dispatch_testing.h): while `force` is set, decoding runs the
// plain routines everywhere, so tests can compare both kinds on the same input. Off by default;
// set it between decodes only. PlainRoutinesForced tells whether it is set.
void ForcePlainRoutines(bool force);
inline bool PlainRoutinesForced() {
  return dispatch_detail::forcePlain.load(std::memory_order_relaxed);
}

}  // namespace jpegdec
