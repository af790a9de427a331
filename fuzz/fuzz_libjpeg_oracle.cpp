// The library against an independent decoder, libjpeg-turbo, on the same bytes. Each input is
// decoded through the public operations in streaming mode (3), in pieces whose lengths come
// from the fuzz input, with EndOfInput after the last; and by libjpeg-turbo as the tests'
// reference decodes (libjpeg_judge.h). Checked:
//   - When the library ends with 2 (the image is complete), libjpeg finds the data sound: none
//     of its warnings says the data is damaged (IsCorruptDataWarning in
//     tests/support/libjpeg_reference.h says which do, and why), and it does not find the data
//     without any image. Where libjpeg decodes the file, the rows agree within the tolerance
//     the tests hold the two decoders to (tests/support/compare.h: 2 levels for grey and
//     stored samples, 5 for converted colour), row for row, as many rows as libjpeg gives.
//   - When libjpeg decodes, without any warning, a file whose headers the library takes (the
//     frame probe's native), the library ends with 2.
// What is left out, and why:
//   - Inputs that do not open with FF D8: libjpeg refuses them outright, while the library skips
//     bytes before the start-of-image marker by design (jpegdec_probe.h).
//   - Frames of more than kLargestSamples samples: libjpeg decodes every row of a frame whose
//     data is missing, so a small input declaring a large frame would take seconds.
//   - libjpeg's fatal errors other than "no image": its own limits and stricter header rules
//     (at most 10 blocks in an MCU, no fractional sampling ratios, sizes up to 65500, Huffman
//     tables without an all-ones code, exact segment lengths, no DNL); damage to the scan data,
//     which this target watches, gives warnings first, and those are counted up to the error.
//   - Rows and libjpeg's warnings, where the scan data holds what the two decoders read
//     differently (scan_walk.h: DC categories above 11, runs past the last coefficient, size-0
//     symbols other than end of block and ZRL, fill bytes before a stuffed zero): libjpeg then
//     warns about its own reading. Rows, where a block's exact inverse transform lies far
//     outside the sample range (each decoder clamps or wraps its own way there).
//   - The second check, where the scan data holds such things too, or where a marker other than
//     restart markers and the end marker follows the scan data (segments after the scan, which
//     libjpeg reads more loosely: a DNL segment, say, it skips unread).
// A file that lacks only its end marker draws libjpeg's "premature end of file" alone: the
// library decodes every row of it and ends with 2 by design (docs/robustness.md), and such a
// warning is no sign of damage here.
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <vector>

#include "api/jpeg_decode_instance.h"
#include "decoder/jpeg_constants.h"
#include "fuzz_input.h"
#include "host_input.h"
#include "jpegdec/jpegdec.h"
#include "jpegdec/jpegdec_probe.h"
#include "libjpeg_judge.h"
#include "platform/portable/test_hooks.h"
#include "support/compare.h"

namespace {

using jpegdec::fuzz::Check;
namespace hooks = jpegdec::platform::testing;

constexpr std::uint64_t kLargestSamples = std::uint64_t{1} << 21;
constexpr std::uint32_t kMostRows = 65535 + 32;

struct Decoded {
  std::int32_t end = JPEGDEC_READ_AGAIN;
  std::uint32_t rows = 0;
  std::uint32_t rowLength = 0;
  std::vector<std::uint8_t> pixels;
};

// The host loop of jpegdec.h in streaming mode, keeping every row.
Decoded DecodeWithLibrary(const std::uint8_t* data, std::size_t size, const JpegDecFrameInfo& frame,
                          jpegdec::fuzz::Pieces* pieces) {
  Decoded out;
  JpegDecodeInstance* instance = CreateJpegDecodeInstance();
  Check(instance != nullptr, "no instance");
  if (instance->Start(frame.width, frame.height, JPEGDEC_MODE_STREAMING, 1) != 1) {
    out.end = JPEGDEC_READ_FAILED;
    DeleteJpegDecodeInstance(instance);
    return out;
  }
  jpegdec::fuzz::HostInput input(data, size, pieces, static_cast<std::int32_t>(frame.height),
                                 jpegdec::fuzz::Refused::kOfferAgain);
  const std::uint64_t callLimit = 100000 + 16 * std::uint64_t{size} + 2 * kMostRows;
  out.end = jpegdec::fuzz::ReadToTheEnd(
      instance, &input, callLimit, [&](const std::uint8_t* row, std::uint32_t length) {
        Check(out.rows == 0 || length == out.rowLength, "row lengths differ within one image");
        Check(++out.rows <= kMostRows, "more rows than a frame can have");
        out.rowLength = length;
        out.pixels.insert(out.pixels.end(), row, row + length);
      });
  instance->Finish(nullptr);
  DeleteJpegDecodeInstance(instance);
  return out;
}

// Whether the bytes before the scan data hold a DNL segment, which lowers the library's row
// count (libjpeg skips it unread).
bool DnlBeforeScan(const std::uint8_t* data, std::size_t scanBegin) {
  for (std::size_t i = 0; i + 1 < scanBegin; ++i) {
    if (data[i] == jpegdec::kMarkerPrefix && data[i + 1] == jpegdec::kMarkerDnl) {
      return true;
    }
  }
  return false;
}

void CompareRows(const Decoded& library, const jpegdec::fuzz::Judgement& reference,
                 const std::uint8_t* data, bool converted) {
  const std::size_t rowLength = std::size_t{reference.width} * reference.components;
  Check(library.rowLength == rowLength || library.rows == 0, "rows of another length");
  Check(library.rows == reference.height ||
            (library.rows < reference.height && DnlBeforeScan(data, reference.scanBegin)),
        "the library gave another number of rows");
  const int tolerance = converted ? jpegdec::test::kReferenceToleranceConverted
                                  : jpegdec::test::kReferenceToleranceRaw;
  for (std::size_t i = 0; i < std::size_t{library.rows} * rowLength; ++i) {
    const int got = library.pixels[i];
    const int want = reference.pixels[i];
    if (std::abs(got - want) > tolerance) {
      std::fprintf(stderr, "row %zu, byte %zu: library %d, libjpeg %d (tolerance %d)\n",
                   i / rowLength, i % rowLength, got, want, tolerance);
      jpegdec::fuzz::Finding("the library's rows differ from libjpeg's");
    }
  }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  if (size < 2 || data[0] != jpegdec::kMarkerPrefix || data[1] != jpegdec::kMarkerSoi) {
    return 0;
  }
  JpegDecFrameInfo frame;
  const int probed = JpegDecProbeFrame(data, size, &frame);
  if (std::uint64_t{frame.width} * frame.height * frame.componentCount > kLargestSamples) {
    return 0;
  }
  const jpegdec::fuzz::Control control(data, size);
  jpegdec::fuzz::Pieces pieces(control.Byte(0), control.Seed());
  InitializeJpegDec();
  const Decoded library = DecodeWithLibrary(data, size, frame, &pieces);
  Check(UnInitializeJpegDec() == 0, "an instance is still alive");
  Check(hooks::LiveHeapAllocations() == 0, "heap allocations left behind");

  const bool native = probed == JPEGDEC_PROBE_FRAME && frame.native != 0 && frame.complete != 0;
  const bool complete = library.end == JPEGDEC_READ_END;
  if (!complete && !native) {
    return 0;  // neither check applies
  }
  const bool converted = frame.converted != 0;
  const jpegdec::fuzz::Judgement reference =
      jpegdec::fuzz::JudgeWithLibjpeg(data, size, converted, kLargestSamples);
  if (reference.tooLarge) {
    return 0;
  }
  const jpegdec::fuzz::ScanWalk& walk = reference.walk;
  if (complete) {
    // Where the two read the scan data differently, libjpeg's warnings are about its reading.
    if (reference.corruptWarnings != 0 && !walk.rulesDiffer) {
      std::fprintf(stderr, "libjpeg: %s\n", reference.firstCorrupt.c_str());
      jpegdec::fuzz::Finding("the library ended with 2 where libjpeg reports corrupt data");
    }
    Check(!reference.noImage, "the library ended with 2 where libjpeg finds no image");
    if (reference.decoded && walk.complete && walk.inRange && !walk.rulesDiffer) {
      CompareRows(library, reference, data, converted);
    }
  }
  if (native && reference.decoded && reference.warnings == 0 && walk.complete &&
      !walk.rulesDiffer && walk.endMarkerFollows) {
    Check(complete, "libjpeg decodes without a warning what the library does not end with 2");
  }
  return 0;
}
