// Creation and release of the decoder context.
#include "decoder/decoder_context.h"

#include <cstring>

#include "platform/platform.h"

namespace jpegdec {

DecoderContext* CreateDecoderContext() {
  auto* context = static_cast<DecoderContext*>(platform::HeapAllocate(sizeof(DecoderContext)));
  if (context == nullptr) {
    return nullptr;
  }
  // Fields without a value of their own at creation are set before they are read; clearing the
  // record anyway keeps a malformed stream from ever seeing leftover heap contents.
  std::memset(context, 0, sizeof(DecoderContext));
  context->marker = 0x02;
  context->phase = kPhaseBeforeSoi;
  context->lastResult = JD_NEED_DATA;  // so the first step adopts its input
  context->ratioComponent = kNoComponent;
  context->blockCol = 1;
  context->blockRow = 1;
  context->codeLen = 1;
  context->colorTransform = kNoAdobeSegment;
  context->bandBuffer = nullptr;
  context->spareBand = nullptr;
  context->heldBand = nullptr;
  context->inPtr = nullptr;

  // Each AC table's lookup is eight sub-tables, for code lengths 1 to 8, of 2^L entries each.
  for (int t = 0; t < kNumTables; ++t) {
    std::uint16_t* entry = context->acLookup[t];
    for (int i = 0; i < kLookupEntriesPerTable; ++i) {
      entry[i] = kNoSymbol;
    }
    for (int length = 1; length <= kFastLookupLengths; ++length) {
      context->acLookupPtr[t][length - 1] = entry;
      entry += 1 << length;
    }
  }
  return context;
}

void ReleaseDecoderContext(DecoderContext* context) {
  if (context == nullptr) {
    return;
  }
  platform::HeapRelease(context->bandBuffer);
  platform::HeapRelease(context->spareBand);
  platform::HeapRelease(context->heldBand);
  platform::HeapRelease(context);
}

}  // namespace jpegdec
