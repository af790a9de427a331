// Placeholder until block reconstruction is built.
#include "decoder/reconstruct.h"

namespace jpegdec {

void DecodeBand(DecoderContext*, StepResult* result) {
  result->status = JD_ERR_UNSUPPORTED;
  result->count = 0;
}
void InverseDct8x8(std::int16_t*) {}
void StoreBlock(DecoderContext*) {}

}  // namespace jpegdec
