// Choice of the fast routines: which instruction set the block reconstruction, the band output
// and the entropy decoder's fast path may use for the current frame.
//
// The processor is asked once per frame, when the frame header has been read (PrepareFrame), and
// the answer is kept in the context (routineLevel, and the table of that level's routines in
// routines), so that one frame is decoded with one set of routines from its first block to its
// last. Every fast routine has a plain one beside it that is
// the reference: both give the same bytes for every input, the fast ones only sooner. SSE2 is the
// floor of the 32-bit build's target machines and part of every x86-64 processor; AVX2 is used
// only where the processor and the operating system support it.
#pragma once

#include <atomic>
#include <cstddef>
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

// The routines of one level, called through the context (context->routines). The plain set holds
// the reference forms; the fast sets hold forms that give the same bytes, and the entries only
// fast routines have (null in the plain set).
struct RoutineTable {
  std::uint8_t level;  // kRoutines...
  // Dequantises context->block (zig-zag order) with the current component's table, leaves
  // zig-zag order and transforms it into samples (+128, not clamped) in natural order. The fast
  // forms leave a block whose dequantised AC coefficients are all 0 as blockIsFlat, with only
  // block[0] holding the sample every position takes.
  void (*reconstructBlock)(DecoderContext* context);
  // Dequantises context->block into `columns`, in the column order the transforms below take
  // (kZigZagByColumn), writing only the products that are not 0 into cleared columns; true when
  // an AC product is not 0.
  bool (*dequantiseToColumns)(const DecoderContext* context, std::int16_t* columns);
  // The inverse DCT of dequantised columns: into `out` (natural order, unclamped), or clamped
  // into the band at `origin` (lines `line` bytes apart), each sample repeated repeatX times
  // along a line (1, 2 or 4) and each line repeatY times (1 or 2). Both leave `columns` zero.
  void (*transformColumns)(std::int16_t* columns, std::int16_t* out);
  void (*transformToBand)(std::int16_t* columns, std::uint8_t* origin, std::size_t line,
                          int repeatX, int repeatY);
  // The band's first `rows` rows as the converter of `kind` followed by InterleaveBand leave
  // them, for widths of at least kFastOutputMinWidth.
  void (*outputRows)(DecoderContext* context, BandKind kind, std::size_t rows);
};

// Chooses the routines for the frame just read: routineLevel and routines (select_routines.cpp).
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
