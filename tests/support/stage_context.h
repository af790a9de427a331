// Decoder contexts for the tests that drive the decoder's stages directly: owned by the test
// (released however it ends), and given Huffman tables the way a DHT segment gives them.
#pragma once

#include <memory>
#include <vector>

#include "decoder/decoder.h"

namespace jpegdec::test {

struct DhtTable;  // support/jpeg_builder.h

struct ContextDeleter {
  void operator()(DecoderContext* context) const { ReleaseDecoderContext(context); }
};
using ContextPtr = std::unique_ptr<DecoderContext, ContextDeleter>;

// A fresh context (null when it cannot be made).
inline ContextPtr NewDecoderContext() { return ContextPtr(CreateDecoderContext()); }

// Defines `tables` through one DHT segment read as the marker parser reads it (from the length
// field on); fails the test when the segment is refused.
void DefineHuffmanTables(DecoderContext* context, const std::vector<DhtTable>& tables);

}  // namespace jpegdec::test
