// The frame's routines: one table per level, chosen once per frame when its header has been read.
#include "decoder/cpu_dispatch.h"
#include "decoder/output/band_output_fast.h"
#include "decoder/transform/reconstruct.h"
#include "decoder/transform/reconstruct_fast.h"

namespace jpegdec {
namespace {

constexpr RoutineTable kPlainRoutines = {kRoutinesPlain, ReconstructBlock, nullptr,
                                         nullptr,        nullptr,          nullptr};
constexpr RoutineTable kSse2Routines = {kRoutinesSse2,           ReconstructBlockSse2,
                                        DequantiseToColumnsSse2, TransformColumnsSse2,
                                        TransformToBandSse2,     OutputRowsSse2};
constexpr RoutineTable kAvx2Routines = {kRoutinesAvx2,           ReconstructBlockAvx2,
                                        DequantiseToColumnsAvx2, TransformColumnsAvx2,
                                        TransformToBandAvx2,     OutputRowsAvx2};

}  // namespace

void SelectRoutines(DecoderContext* context) {
  context->routineLevel = DetectRoutineLevel();
  switch (context->routineLevel) {
    case kRoutinesAvx2:
      context->routines = &kAvx2Routines;
      break;
    case kRoutinesSse2:
      context->routines = &kSse2Routines;
      break;
    default:
      context->routines = &kPlainRoutines;
      break;
  }
}

}  // namespace jpegdec
