// Marker search, segment readers and parser phases. Internal to the decoder; exposed for tests.
#pragma once

#include <cstdint>

#include "decoder/decoder_context.h"

namespace jpegdec {

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
