// The marker parser: marker search, segment readers and parser phases (marker_parser.cpp), for
// DecodeStep and the band decoder; the readers are exposed for tests.
#pragma once

#include <cstdint>

#include "decoder/decoder_context.h"

namespace jpegdec {

// Phases 0 to 2: searches and dispatches markers until the input runs out (JD_NEED_DATA), the
// phase reaches the scan data (JD_OK), a held band of a page of unknown length goes out with its
// DNL segment's lines (JD_BAND_READY, result), or a marker ends the step (its status).
Status MarkerPass(DecoderContext* context, StepResult* result);

// The image's end (its end marker, or the end of its data): JD_END, the work buffers released and
// the phase at its end, when every row of a sound frame was decoded; otherwise JD_ERR_DATA.
Status EndImage(DecoderContext* context);

// Releases the band under construction and a held band (a step ending in an error).
void ReleaseWorkBuffers(DecoderContext* context);

// Segment readers: 0 = segment read, 1 = more input needed (the same reader runs again at the
// next step). A reader that finds the segment malformed or unsupported stores a failure status
// through `failure` and returns 0. Readers with a length field follow one protocol: the length
// is consumed as soon as both of its bytes are present (`segRemaining` then counts the payload);
// the payload is interpreted only once it is wholly present, except for APPn segments, which are
// skipped piece by piece once their first bytes have been examined.
int ReadFrameHeader(DecoderContext* context, Status* failure);
// After a frame header: maxH, maxV, blocksPerMcu and the frame's routines.
void PrepareFrame(DecoderContext* context);
int ReadScanHeader(DecoderContext* context, Status* failure);
int ReadQuantTables(DecoderContext* context, Status* failure);
int ReadAppSegment(DecoderContext* context, Status* failure);
int ReadDriSegment(DecoderContext* context, Status* failure);
int ReadDnlSegment(DecoderContext* context, Status* failure);
int SkipSegment(DecoderContext* context, Status* failure);

// The converter for the frame's component count and the "Adobe" transform byte.
ColorConverter ChooseColorConverter(const DecoderContext* context);

// Entropy and prediction state, cleared at a scan header and at every restart marker. The MCU
// position and the band under construction are kept.
void ResetScanState(DecoderContext* context);

}  // namespace jpegdec
