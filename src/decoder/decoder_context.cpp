// Placeholder until the context is built.
#include <cstdlib>

#include "decoder/decoder_context.h"

namespace jpegdec {

DecoderContext* CreateDecoderContext() { return nullptr; }
void ReleaseDecoderContext(DecoderContext* context) { std::free(context); }
std::int32_t BytesAfterEnd(const DecoderContext*) { return 0; }

}  // namespace jpegdec
