// The native decoder stepped directly, as the streaming back-end drives it: the input is given
// in pieces whose lengths come from the fuzz input, and on JD_NEED_DATA the unread tail is given
// again followed by the next piece, in a buffer of exactly that size (so that a read past it is
// caught). Checked on the way: every status is one of the documented ones; a band is whole rows
// of the reported width and component count, at most one band high, inside the image height;
// the unread tail lies inside the buffer last given; the frame's shape does not change once
// known; steps that neither consume input nor hand out rows stay few; nothing leaks.
#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <vector>

#include "decoder/decoder.h"
#include "decoder/decoder_context.h"
#include "fuzz_input.h"
#include "platform/portable/test_hooks.h"

namespace {

using jpegdec::DecodeStep;
using jpegdec::StepResult;
using jpegdec::fuzz::Check;

constexpr std::uint32_t kTallestBand = 32;  // 8 lines x the largest vertical factor, 4
// Steps in a row that neither consume input nor hand out a band: a marker met in the scan data
// costs one, a restart marker two; more than this without progress is a hang.
constexpr int kIdleStepsAllowed = 64;

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

  std::vector<std::uint8_t> buffer;  // what the latest adopting step was given
  std::size_t fed = 0;
  bool adopt = true;
  bool first = true;
  std::uint32_t width = 0;
  std::uint32_t components = 0;
  std::uint64_t rows = 0;
  int idleSteps = 0;
  std::int32_t unread = -1;  // the context's unread input after the latest step
  volatile std::uint32_t sink = 0;

  for (;;) {
    if (adopt) {
      if (!first && fed == size) {
        break;  // every byte given and the decoder asks for more: cut short, a clean end
      }
      const std::size_t piece = pieces.Next(size - fed);
      std::vector<std::uint8_t> next(buffer.size() + piece);
      std::copy(buffer.begin(), buffer.end(), next.begin());
      std::copy(data + fed, data + fed + piece,
                next.begin() + static_cast<std::ptrdiff_t>(buffer.size()));
      buffer.swap(next);
      fed += piece;
    }
    first = false;
    const std::size_t given = buffer.size();
    const StepResult r = DecodeStep(context, buffer.data(), static_cast<std::int32_t>(given));
    Check(Documented(r.status), "undocumented status");
    if (width == 0 && r.width != 0 && r.numComponents != 0) {
      width = r.width;
      components = r.numComponents;
    }
    if (width != 0) {
      Check(r.width == width && r.numComponents == components, "frame shape changed");
    }
    adopt = false;
    if (r.status == jpegdec::JD_NEED_DATA) {
      Check(r.count >= 0 && static_cast<std::size_t>(r.count) <= given, "tail longer than input");
      if (r.count > 0) {
        Check(r.data >= buffer.data() && r.data + r.count == buffer.data() + given,
              "tail outside the input");
      }
      std::vector<std::uint8_t> tail(r.data, r.data + r.count);
      buffer.swap(tail);
      adopt = true;
      idleSteps = 0;
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
      idleSteps = 0;
      continue;
    }
    if (r.status == jpegdec::JD_END) {
      Check(jpegdec::BytesAfterEnd(context) >= 0, "negative bytes after the end");
      const StepResult again = DecodeStep(context, buffer.data(), 0);
      Check(again.status == jpegdec::JD_OK, "a step after the end did something");
      break;
    }
    if (jpegdec::IsError(r.status)) {
      break;
    }
    // A JD_OK step that consumed input (a marker met in the scan data, a restart) is progress.
    if (context->inAvail != unread) {
      idleSteps = 0;
    }
    unread = context->inAvail;
    Check(++idleSteps <= kIdleStepsAllowed, "steps without progress");
  }
  jpegdec::ReleaseDecoderContext(context);
  Check(hooks::LiveHeapAllocations() == heapBefore, "heap allocations left behind");
  return 0;
}
