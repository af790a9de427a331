// DecodeStep, the decoder's one step: adopts the caller's input, runs the marker pass (phases 0
// to 2, marker_parser.cpp) and, inside scan data, the band decoder (band_decoder.cpp); and the
// step's neighbours: the end of the input (EndOfData), how many small pieces a caller may gather
// (BytesToGather), and the bytes after the end marker (BytesAfterEnd).
#include <climits>
#include <cstdint>

#include "decoder/band_decoder.h"
#include "decoder/cpu_dispatch.h"
#include "decoder/decoder.h"
#include "decoder/decoder_context.h"
#include "decoder/entropy/huffman.h"
#include "decoder/marker_parser.h"

namespace jpegdec {
namespace {

// Phase 3: bands until one is ready, the input runs out, an error, or a marker met in the data.
Status ScanPass(DecoderContext* context, StepResult* result) {
  for (;;) {
    StepResult band = {};
    DecodeBand(context, &band);
    if (band.status != JD_OK) {
      return band.status;
    }
    if (band.count > 0) {
      result->count = band.count;
      result->data = band.data;
      return JD_BAND_READY;
    }
    if (context->phase != kPhaseInScan) {
      return JD_OK;  // a marker is pending; the next step dispatches it
    }
  }
}

// Tiny pieces: a step that adopts a piece while a block's AC part waits for input (the band
// decoder stopped there, dcDone and resumePending set) mostly just continues that part and
// needs the next piece again. With the fast routines such a step resumes the AC part here,
// without the band decoder's round trip; every check the band decoder makes before decoding
// passed when the block began and has not changed since (the frame, the rows handed out, the
// component). NEED_DATA and errors are then the step's result, as the band decoder would have
// returned them. When the block is complete, blockComplete tells the band decoder to take it
// as its next block without decoding. The plain routines always take the full path.
bool ContinuesAcPart(const DecoderContext* context) {
  return context->routineLevel != kRoutinesPlain && context->phase == kPhaseInScan &&
         context->dcDone != 0 && context->resumePending != 0;
}

// The AC part resumed as the band decoder resumes it: JD_OK when the block is complete (the band
// decoder takes it from there: blockComplete), else the status the band decoder would report.
Status ResumeAcPart(DecoderContext* context) {
  const std::uint8_t r = DecodeNextBlock(context);
  if (r == 1) {
    context->blockComplete = 1;
    return JD_OK;
  }
  return r == JD_ERR_DATA ? BlockFailedOutsideBand(context) : r;
}

// The marker pass, then the scan data once the phase reaches it. Kept out of line so that a
// step which only resumes a block's AC part stays light.
// The frame's values in a step's result; the height of a page of unknown length is 0 until its
// DNL segment has given its lines.
void FillFrameValues(const DecoderContext* context, Status status, StepResult* result) {
  result->status = status;
  result->width = context->width;
  result->height = context->openPage != 0 && context->linesKnown == 0 ? 0 : context->height;
  result->numComponents = context->numComponents;
}

[[gnu::noinline]] Status MarkersAndScanData(DecoderContext* context, StepResult* result) {
  const Status status = MarkerPass(context, result);
  if (status == JD_OK && context->phase == kPhaseInScan) {
    return ScanPass(context, result);
  }
  return status;
}

}  // namespace

StepResult DecodeStep(DecoderContext* context, const std::uint8_t* data, std::int32_t count) {
  StepResult result = {};
  Status status = JD_OK;
  if (IsError(context->lastResult)) {
    status = context->lastResult;  // errors are final: the context is only released
  } else {
    if (context->lastResult == JD_NEED_DATA) {
      context->inPtr = data;
      context->inStart = data;
      context->inAvail = count < 0 ? 0 : count;
      if (ContinuesAcPart(context)) {
        status = ResumeAcPart(context);
      }
    }
    if (status == JD_OK && context->phase != kPhaseEnded) {
      status = MarkersAndScanData(context, &result);
    }
  }

  context->lastResult = status;
  if (status == JD_NEED_DATA) {
    // The unread tail is given again at the next step, as the first bytes adopted then.
    context->inBase = InputPosition(context);
    context->inStart = context->inPtr;
    result.count = context->inAvail;
    result.data = const_cast<std::uint8_t*>(context->inPtr);
  } else if (IsError(status)) {
    ReleaseWorkBuffers(context);
  }
  FillFrameValues(context, status, &result);
  return result;
}

std::int32_t BytesToGather(const DecoderContext* context) {
  constexpr std::int32_t kAny = INT32_MAX;
  if (context->lastResult != JD_NEED_DATA) {
    return 0;
  }
  if (context->phase != kPhaseInScan) {
    // A segment's reader waits for the rest of it. The end of a scan header starts the data,
    // the end of a DNL segment may let an open page's last band out.
    const bool preparing = context->markerPending != 0 && context->marker != kMarkerSos &&
                           context->marker != kMarkerDnl;
    return preparing ? kAny : 0;
  }
  if (context->markerPending != 0 || context->ffPending != kFfNone) {
    return 0;
  }
  if (context->rowsOutput >= context->height) {
    return kAny;  // only padding and a marker can come
  }
  if (context->heldBand != nullptr || context->blocksPerMcu == 0 || context->maxH == 0) {
    return 0;  // a held band goes out with the next band's first block
  }
  // The fewest bits the band's blocks after the current one can take (the bits held may already
  // finish the current block): those left in the current MCU, then whole MCUs.
  std::int64_t mcuBits = 0;
  std::int64_t restOfMcuBits = 0;
  int slot = 0;
  for (int i = 0; i < context->numComponents && i < kMaxComponents; ++i) {
    const int bits = context->fewestBlockBits[i];
    for (int b = 0; b < context->comp[i].h * context->comp[i].v; ++b, ++slot) {
      mcuBits += bits;
      restOfMcuBits += slot > context->blocksDone ? bits : 0;
    }
  }
  const std::int64_t mcuWidth = std::int64_t{kBlockSide} * context->maxH;
  const std::int64_t mcusPerBand = (context->width + mcuWidth - 1) / mcuWidth;
  const std::int64_t mcusAfter = mcusPerBand - context->mcuX / mcuWidth - 1;
  const std::int64_t spareBits = restOfMcuBits + mcusAfter * mcuBits - context->bitCount;
  if (spareBits <= 0) {
    return 0;
  }
  const std::int64_t bytes = (spareBits - 1) / CHAR_BIT;
  return bytes > kAny ? kAny : static_cast<std::int32_t>(bytes);
}

StepResult EndOfData(DecoderContext* context) {
  StepResult result = {};
  Status status = context->lastResult;
  if (context->phase == kPhaseEnded) {
    status = JD_END;
  } else if (!IsError(status)) {
    // Data that ended after the frame's last row is complete but for its end marker, so
    // nothing followed an end marker either.
    status = EndImage(context);
    if (status == JD_END) {
      context->inAvail = 0;
    }
  }
  context->lastResult = status;
  if (IsError(status)) {
    ReleaseWorkBuffers(context);
  }
  FillFrameValues(context, status, &result);
  return result;
}

std::int32_t BytesAfterEnd(const DecoderContext* context) {
  return context->phase == kPhaseEnded ? context->inAvail : 0;
}

}  // namespace jpegdec
