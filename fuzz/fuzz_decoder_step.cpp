// The native decoder stepped directly, as the streaming back-end drives it: the input is given
// in pieces whose lengths come from the fuzz input, and on JD_NEED_DATA the unread tail is given
// again followed by the next piece, in a buffer of exactly that size (so that a read past it is
// caught). Checked on the way: every status is one of the documented ones; a band is whole rows
// of the reported width and component count, at most one band high, inside the image height;
// the unread tail lies inside the buffer last given; the frame's shape does not change once
// known; steps that neither consume input nor hand out rows stay few; nothing leaks. The public
// frame probe, given the same bytes (whatever they open with), agrees with what the decoder made
// of the headers: it takes them exactly when the decoder reaches the scan data, waits exactly
// when the decoder does, and calls them invalid exactly when the decoder refuses them before a
// frame header for a fault; a prefix of them never gives it another frame.
#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <vector>

#include "decoder/decoder.h"
#include "decoder/decoder_context.h"
#include "decoder/jpeg_constants.h"
#include "fuzz_input.h"
#include "jpegdec/jpegdec_probe.h"
#include "platform/portable/test_hooks.h"
#include "step_input.h"

namespace {

using jpegdec::DecodeStep;
using jpegdec::StepResult;
using jpegdec::fuzz::Check;

constexpr std::uint32_t kTallestBand = 32;  // 8 lines x the largest vertical factor, 4

bool Documented(jpegdec::Status s) {
  switch (s) {
    case jpegdec::JD_OK:
    case jpegdec::JD_END:
    case jpegdec::JD_NEED_DATA:
    case jpegdec::JD_BAND_READY:
    case jpegdec::JD_ERR_SEQUENCE:
    case jpegdec::JD_ERR_NOMEM:
    case jpegdec::JD_ERR_DATA:
    case jpegdec::JD_ERR_UNSUPPORTED:
      return true;
    default:
      return false;
  }
}

// How the decoder left the headers (everything up to the first scan header).
enum class Headers { kScanEntered, kRanOut, kRefused };

// Where and how a decode that never entered the scan data stopped.
struct Stop {
  Headers headers = Headers::kRanOut;
  jpegdec::Status status = jpegdec::JD_OK;  // the last step's status
  bool frameRead = false;
  bool beforeSoi = false;      // still looking for the start-of-image marker
  bool atFrameHeader = false;  // refused by a check of the frame header's own fields
};

// Whether the decoder's refusal is one the probe must report as INVALID: it stopped before any
// frame header for a fault (a marker out of order, a malformed segment, an end marker) or for
// anything before the start-of-image marker. A feature it lacks after FF D8 leaves the probe
// looking for the frame header, and a frame header's own fields give the frame with native 0.
bool RefusedAsInvalid(const Stop& stop) {
  if (stop.headers != Headers::kRefused || stop.frameRead || stop.atFrameHeader ||
      stop.status == jpegdec::JD_ERR_NOMEM) {
    return false;
  }
  return stop.status != jpegdec::JD_ERR_UNSUPPORTED || stop.beforeSoi;
}

// The probe's answer for `data` against the decoder's, whatever the bytes open with (the probe
// skips what precedes FF D8 as the decoder does).
void CheckProbe(const std::uint8_t* data, std::size_t size, const Stop& stop,
                const jpegdec::fuzz::Control& control) {
  JpegDecFrameInfo whole;
  const int result = JpegDecProbeFrame(data, size, &whole);
  const bool frame = result == JPEGDEC_PROBE_FRAME;
  const bool taken = frame && whole.native != 0 && whole.complete != 0;
  Check(taken == (stop.headers == Headers::kScanEntered),
        "probe and decoder disagree on the headers");
  Check(!(frame && whole.complete == 0) || stop.headers == Headers::kRanOut,
        "probe waits for bytes the decoder did without");
  if (stop.headers == Headers::kRanOut) {
    Check(result == JPEGDEC_PROBE_NEED_MORE || (frame && whole.complete == 0),
          "probe ends headers the decoder still reads");
  }
  if (result == JPEGDEC_PROBE_INVALID) {
    Check(stop.headers == Headers::kRefused && !stop.frameRead,
          "probe calls bytes invalid that the decoder reads on");
  }
  Check(!RefusedAsInvalid(stop) || result == JPEGDEC_PROBE_INVALID,
        "decoder refused the bytes before the frame, probe did not say invalid");
  // A prefix: "need more", or the same answer with the same frame.
  const std::size_t cut = static_cast<std::size_t>(control.Seed() % (size + 1));
  JpegDecFrameInfo part;
  const int partResult = JpegDecProbeFrame(data, cut, &part);
  Check(partResult == JPEGDEC_PROBE_NEED_MORE || partResult == result, "prefix probed otherwise");
  Check(result != JPEGDEC_PROBE_NEED_MORE || partResult == JPEGDEC_PROBE_NEED_MORE,
        "prefix probed further than the whole");
  if (partResult == JPEGDEC_PROBE_FRAME) {
    Check(part.width == whole.width && part.height == whole.height &&
              part.componentCount == whole.componentCount &&
              part.frameMarker == whole.frameMarker && part.complete <= whole.complete &&
              (part.complete == 0 || part.native == whole.native),
          "prefix probed another frame");
  }
}

// Reads every byte of the band, so that the sanitizer sees a band shorter than it claims.
std::uint32_t Touch(const std::uint8_t* bytes, std::int32_t count) {
  std::uint32_t sum = 0;
  for (std::int32_t i = 0; i < count; ++i) {
    sum += bytes[i];
  }
  return sum;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  namespace hooks = jpegdec::platform::testing;
  const std::int64_t heapBefore = hooks::LiveHeapAllocations();
  const jpegdec::fuzz::Control control(data, size);
  jpegdec::fuzz::Pieces pieces(control.Byte(0), control.Seed());

  jpegdec::DecoderContext* context = jpegdec::CreateDecoderContext();
  Check(context != nullptr, "no decoder context");

  jpegdec::fuzz::StepInput input(data, size, &pieces);
  std::uint32_t width = 0;
  std::uint32_t components = 0;
  std::uint64_t rows = 0;
  bool ranOut = false;
  Stop stop;
  volatile std::uint32_t sink = 0;

  for (;;) {
    if (input.WantsPiece()) {
      if (input.AllGiven()) {
        ranOut = true;
        break;  // every byte given and the decoder asks for more: cut short, a clean end
      }
      input.AppendNextPiece();
    }
    const std::int32_t given = input.size();
    const StepResult r = DecodeStep(context, input.data(), given);
    Check(Documented(r.status), "undocumented status");
    if (width == 0 && r.width != 0 && r.numComponents != 0) {
      width = r.width;
      components = r.numComponents;
    }
    if (width != 0) {
      Check(r.width == width && r.numComponents == components, "frame shape changed");
    }
    if (r.status == jpegdec::JD_NEED_DATA) {
      Check(r.count >= 0 && r.count <= given, "tail longer than input");
      if (r.count > 0) {
        Check(r.data >= input.data() && r.data + r.count == input.data() + given,
              "tail outside the input");
      }
      input.KeepTail(r);
      continue;
    }
    if (r.status == jpegdec::JD_BAND_READY) {
      Check(r.data != nullptr, "band without data");
      Check(width != 0 && components != 0, "band before the frame header");
      const std::uint64_t rowBytes = std::uint64_t{width} * components;
      Check(r.count > 0 && static_cast<std::uint64_t>(r.count) % rowBytes == 0,
            "band of partial rows");
      const std::uint64_t bandRows = static_cast<std::uint64_t>(r.count) / rowBytes;
      Check(bandRows <= kTallestBand, "band taller than an MCU row");
      rows += bandRows;
      Check(rows <= 0xFFFFu, "more rows than a frame can have");
      sink = sink + Touch(r.data, r.count);
      jpegdec::platform::HeapRelease(r.data);
      input.Progress();
      continue;
    }
    stop.status = r.status;
    if (r.status == jpegdec::JD_END) {
      Check(jpegdec::BytesAfterEnd(context) >= 0, "negative bytes after the end");
      const StepResult again = DecodeStep(context, input.data(), 0);
      Check(again.status == jpegdec::JD_OK, "a step after the end did something");
      break;
    }
    if (jpegdec::IsError(r.status)) {
      break;
    }
    input.NoteOkStep(context);
  }
  stop.headers = context->scanReady != 0 ? Headers::kScanEntered
                 : ranOut                ? Headers::kRanOut
                                         : Headers::kRefused;
  stop.frameRead = context->frameRead != 0;
  stop.beforeSoi = context->phase == jpegdec::kPhaseBeforeSoi;
  stop.atFrameHeader =
      stop.status == jpegdec::JD_ERR_DATA &&
      (context->marker == jpegdec::kMarkerSof0 || context->marker == jpegdec::kMarkerSof1);
  jpegdec::ReleaseDecoderContext(context);
  Check(hooks::LiveHeapAllocations() == heapBefore, "heap allocations left behind");
  if (stop.status != jpegdec::JD_ERR_NOMEM) {
    CheckProbe(data, size, stop, control);
  }
  return 0;
}
