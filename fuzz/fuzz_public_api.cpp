// The public operations as a scanner driver calls them, in every mode: automatic, GDI+ (over the
// portable imaging stand-in), buffered and streaming. The fuzz input chooses Start's arguments,
// the piece lengths, EndOfInput's row limit and an early Finish. Checked on the way: Start gives
// 0 or 1; Read gives 0, 1, 2 or -1, and a row only with a pointer and the length of every other
// row of the image (a multiple of 4 in GDI+ mode); the end repeats as documented; the host's
// loop ends within a bound of calls; after Finish and deletion no instance is alive and no heap
// allocation, memory block, lock or module is left behind.
#include <cstddef>
#include <cstdint>

#include "api/jpeg_decode_instance.h"
#include "fuzz_input.h"
#include "host_input.h"
#include "jpegdec/jpegdec.h"
#include "platform/portable/test_hooks.h"

namespace {

using jpegdec::fuzz::Check;
namespace hooks = jpegdec::platform::testing;

// The imaging stand-in decodes the whole picture in memory; pictures larger than this go to the
// buffered way instead, so that the stand-in's own allocation does not dominate the run.
constexpr std::uint64_t kLargestStandinPixels = 4u << 20;
// Widths up to this are passed to Start as they come; the streaming input buffer grows with the
// width (48 bytes a pixel) and a host never passes more than a page's width.
constexpr std::uint32_t kLargestStartWidth = 1u << 20;
constexpr std::uint32_t kMostRows = 65535 + 32;

struct Plan {
  std::int32_t mode;
  std::uint32_t width;
  std::uint32_t height;
  std::int32_t divisor;
  std::int32_t rowLimit;
  std::uint32_t finishAfter;  // Finish after this many Read calls; 0: never early
};

Plan MakePlan(const jpegdec::fuzz::Control& control, const jpegdec::fuzz::FrameSize& frame) {
  Plan plan{};
  plan.mode = control.Byte(1) % 4;
  // Mostly the frame's own size, as a driver that knows the page passes it.
  if (control.Byte(2) % 4 != 0) {
    plan.width = frame.width;
    plan.height = frame.height;
  } else {
    plan.width = (std::uint32_t{control.Word(3)} << (control.Byte(5) % 5)) % kLargestStartWidth;
    plan.height = control.Word(6);
  }
  plan.divisor = static_cast<std::int8_t>(control.Byte(8));
  if (plan.mode == JPEGDEC_MODE_AUTO && plan.divisor == 0) {
    plan.divisor = 1;  // the host must pass a positive divisor in automatic mode
  }
  plan.rowLimit = control.Byte(9) % 4 == 0 ? static_cast<std::int16_t>(control.Word(10))
                                           : static_cast<std::int32_t>(frame.height);
  plan.finishAfter = control.Byte(12) % 8 == 0 ? control.Byte(13) : 0;
  const std::uint64_t pixels = std::uint64_t{frame.width} * frame.height;
  if ((plan.mode == JPEGDEC_MODE_GDIPLUS || plan.mode == JPEGDEC_MODE_AUTO) &&
      pixels > kLargestStandinPixels) {
    plan.mode = JPEGDEC_MODE_BUFFERED;
  }
  return plan;
}

void Decode(const std::uint8_t* data, std::size_t size, const Plan& plan,
            jpegdec::fuzz::Pieces* pieces) {
  JpegDecodeInstance* instance = CreateJpegDecodeInstance();
  Check(instance != nullptr, "no instance");
  const std::int32_t started = instance->Start(plan.width, plan.height, plan.mode, plan.divisor);
  Check(started == 0 || started == 1, "Start gave neither 0 nor 1");
  if (started == 0) {
    instance->Finish(nullptr);
    DeleteJpegDecodeInstance(instance);
    return;
  }
  const bool streaming = instance->IsStreaming() == 1;
  const bool gdiplus = instance->mode == JPEGDEC_MODE_GDIPLUS;
  jpegdec::fuzz::HostInput input(data, size, pieces, plan.rowLimit,
                                 jpegdec::fuzz::Refused::kShrink);
  std::uint32_t rows = 0;
  std::uint32_t rowLength = 0;
  std::uint32_t reads = 0;
  const std::uint64_t callLimit = 100000 + 16 * std::uint64_t{size} + 2 * kMostRows;
  std::uint64_t calls = 0;
  volatile std::uint32_t sink = 0;
  bool finished = false;

  for (;;) {
    Check(++calls < callLimit, "call limit reached: the decode does not end");
    if (plan.finishAfter != 0 && reads == plan.finishAfter) {
      std::uint32_t leftover = 0xFFFFFFFFu;
      instance->Finish(&leftover);
      Check(leftover != 0xFFFFFFFFu, "Finish left leftover unset");
      finished = true;
      break;
    }
    std::uint8_t* row = nullptr;
    std::uint32_t length = 0;
    const std::int32_t read = instance->Read(&row, &length);
    ++reads;
    Check(read == JPEGDEC_READ_ROW || read == JPEGDEC_READ_AGAIN || read == JPEGDEC_READ_END ||
              read == JPEGDEC_READ_FAILED,
          "Read gave an undocumented result");
    if (read == JPEGDEC_READ_ROW) {
      Check(row != nullptr || length == 0, "a row without a pointer");
      if (rows == 0) {
        rowLength = length;
        Check(!gdiplus || length % 4 == 0, "a GDI+ row not padded to 4 bytes");
      } else {
        Check(length == rowLength, "row lengths differ within one image");
      }
      for (std::uint32_t i = 0; i < length; ++i) {
        sink = sink + row[i];
      }
      Check(++rows <= kMostRows, "more rows than a frame can have");
      Check(!gdiplus || static_cast<std::int64_t>(rows) <= plan.rowLimit,
            "GDI+ handed out more rows than the row limit");
      input.NoteRow();
      continue;
    }
    if (read == JPEGDEC_READ_END || read == JPEGDEC_READ_FAILED) {
      // The end repeats in streaming mode; buffered and GDI+ answer 1 or repeat it. No row.
      std::uint8_t* again = nullptr;
      std::uint32_t againLength = 0;
      const std::int32_t next = instance->Read(&again, &againLength);
      Check(next != JPEGDEC_READ_ROW, "a row after the end");
      if (streaming) {
        Check(next == read, "streaming end did not repeat");
      }
      break;
    }
    // Once every byte is written and EndOfInput called, every way must end (streaming too,
    // once the decoder has used every byte).
    Check(input.Feed(instance), "a decode keeps answering 1 after the input ended");
  }
  if (!finished) {
    instance->Finish(nullptr);
  }
  DeleteJpegDecodeInstance(instance);
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  const jpegdec::fuzz::Control control(data, size);
  const jpegdec::fuzz::FrameSize frame = jpegdec::fuzz::PeekFrameSize(data, size);
  const Plan plan = MakePlan(control, frame);
  jpegdec::fuzz::Pieces pieces(control.Byte(0), control.Seed());

  InitializeJpegDec();
  Decode(data, size, plan, &pieces);
  Check(UnInitializeJpegDec() == 0, "an instance is still alive");
  Check(hooks::LiveHeapAllocations() == 0, "heap allocations left behind");
  Check(hooks::LiveBlocks() == 0, "memory blocks left behind");
  Check(hooks::LockedBlocks() == 0, "memory blocks left locked");
  Check(hooks::LiveModules() == 0, "modules left loaded");
  return 0;
}
