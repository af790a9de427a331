// Placeholder until entropy decoding is built.
#include "decoder/huffman.h"

namespace jpegdec {

int ReadHuffmanTables(DecoderContext*, Status* failure) {
  *failure = JD_ERR_UNSUPPORTED;
  return 0;
}
bool LoadStandardHuffmanTable(DecoderContext*, std::uint8_t) { return false; }
void GenerateHuffmanCodes(const std::uint8_t*, std::int16_t, std::uint8_t*, std::uint8_t*,
                          std::uint16_t*) {}
std::uint8_t DecodeDcDifference(DecoderContext*, std::int16_t*) { return JD_ERR_UNSUPPORTED; }
std::uint8_t ResumeDcDifference(DecoderContext*, std::int16_t*) { return JD_ERR_UNSUPPORTED; }
std::uint8_t DecodeAcCoefficients(DecoderContext*) { return JD_ERR_UNSUPPORTED; }
std::uint8_t ResumeAcCoefficients(DecoderContext*) { return JD_ERR_UNSUPPORTED; }
std::uint8_t DecodeDcSymbol(DecoderContext*) { return JD_ERR_UNSUPPORTED; }
std::uint8_t DecodeAcSymbol(DecoderContext*) { return JD_ERR_UNSUPPORTED; }
std::uint8_t ReceiveExtend(std::uint8_t, DecoderContext*, std::int16_t*) {
  return JD_ERR_UNSUPPORTED;
}

}  // namespace jpegdec
