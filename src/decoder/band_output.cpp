// Placeholder until band output is built.
#include "decoder/band_output.h"

namespace jpegdec {

void ConvertYCbCrToRgb(DecoderContext*) {}
void ConvertYcck(DecoderContext*) {}
void ConvertNone(DecoderContext*) {}
std::uint16_t InterleaveBand(DecoderContext*) { return 0; }

}  // namespace jpegdec
