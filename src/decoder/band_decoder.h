// The band decoder: MCU after MCU from the scan data into a band, with restart intervals, damage
// confined to them, band buffers, and the held band of a page of unknown length
// (band_decoder.cpp). Called by DecodeStep inside scan data.
#pragma once

#include <cstdint>

#include "decoder/decoder_context.h"

namespace jpegdec {

// Decodes blocks until a band is complete, input runs out, a marker is met or an error occurs.
// MCUs are counted against the restart interval; after an interval's last MCU the restart marker
// is looked for, and taken, before the next block (SeekRestartMarker). Fills result->status
// (JD_OK, JD_NEED_DATA, or a failure) and result->count; with a completed band, count is its
// byte count and data the band, now owned by the caller, who releases it with
// platform::HeapRelease or gives it back (ReturnBand). A completed band of no rows (the image
// height already reached) is released here and reported as JD_OK with count 0, like a marker, so
// that the caller simply steps on. JD_OK with phase outside scan data: a marker for the parser.
void DecodeBand(DecoderContext* context, StepResult* result);

// The entropy decoder failed inside the current block (JD_ERR_DATA) where a step resumed the
// block's AC part itself: JD_OK when decoding goes on (damage confined by restart intervals, or
// a marker now pending for the parser), else the failure that ends the decode.
Status BlockFailedOutsideBand(DecoderContext* context);

}  // namespace jpegdec
