// Placeholder until the marker parser is built.
#include "decoder/marker_parser.h"

namespace jpegdec {

StepResult DecodeStep(DecoderContext*, const std::uint8_t*, std::int32_t) {
  StepResult result = {};
  result.status = JD_ERR_UNSUPPORTED;
  return result;
}

}  // namespace jpegdec
