#include "support/stage_context.h"

#include <gtest/gtest.h>

#include <cstddef>
#include <cstdint>

#include "decoder/entropy/huffman.h"
#include "support/jpeg_builder.h"

namespace jpegdec::test {

void DefineHuffmanTables(DecoderContext* context, const std::vector<DhtTable>& tables) {
  constexpr std::size_t kMarkerBytes = 2;  // FF C4, read by the parser before the reader runs
  const Bytes segment = JpegBuilder().Dht(tables).Take();
  context->inPtr = segment.data() + kMarkerBytes;
  context->inAvail = static_cast<std::int32_t>(segment.size() - kMarkerBytes);
  Status failure = JD_OK;
  ASSERT_EQ(ReadHuffmanTables(context, &failure), 0);
  ASSERT_EQ(failure, JD_OK);
}

}  // namespace jpegdec::test
