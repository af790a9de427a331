// Marker search, segment readers and parser phases. Internal to the decoder; exposed for tests.
#pragma once

#include "decoder/decoder_context.h"

namespace jpegdec {

// Segment readers: 0 = segment read, 1 = more input needed (the same reader runs again at the
// next step). A reader that finds the segment malformed stores a failure status through
// `failure` and returns 0.
int ReadFrameHeader(DecoderContext* context, Status* failure);
Status PrepareFrame(DecoderContext* context);
int ReadScanHeader(DecoderContext* context, Status* failure);
int ReadQuantTables(DecoderContext* context, Status* failure);
int ReadAppSegment(DecoderContext* context, Status* failure);
int ReadDriSegment(DecoderContext* context, Status* failure);
int ReadDnlSegment(DecoderContext* context, Status* failure);
int SkipSegment(DecoderContext* context, Status* failure);
void ResetScanState(DecoderContext* context);

}  // namespace jpegdec
