#include "verdict.h"

#include "input_facts.h"
#include "jpegdec/jpegdec.h"

namespace jpegdec_cli {
namespace {

std::string RowsOf(std::uint32_t rows, const JpegDecFrameInfo& frame) {
  // Height 0: a page of unknown length, whose lines the data gives after the scan.
  return std::to_string(rows) + " of " +
         (frame.height != 0 ? std::to_string(frame.height) : std::string("an unknown number of")) +
         " rows";
}

// Every row of the frame: its height, or for a page of unknown length whatever the decoder
// ended with successfully.
bool AllRows(std::uint32_t rows, const JpegDecFrameInfo& frame) {
  return frame.height == 0 || rows == frame.height;
}

// "progressive (0xC2) JPEG", "12-bit baseline (0xC0) JPEG".
std::string FrameDescription(const JpegDecFrameInfo& frame) {
  const std::string bits =
      frame.precision != 8 ? std::to_string(frame.precision) + "-bit " : std::string();
  return bits + FrameTypeName(frame.frameMarker) + " JPEG";
}

// Why the library's decoder refuses a frame the probe says it does not take. The hint names GDI+
// where it decodes the file and the user chose a way without it.
std::string Refusal(const JpegDecFrameInfo& frame, std::int32_t mode) {
  if (frame.componentCount == 0) {
    return "refused: no JPEG frame header found";
  }
  const bool hint = GdiplusDecodes(frame.frameMarker, frame.precision) &&
                    (mode == JPEGDEC_MODE_STREAMING || mode == JPEGDEC_MODE_BUFFERED);
  std::string why;
  if (!NativeDecoderTakes(frame.frameMarker, frame.precision)) {
    why = FrameDescription(frame) +
          " (the library's decoder takes baseline and extended sequential Huffman JPEG with 8-bit "
          "samples only)";
  } else {
    why = FrameDescription(frame) +
          " whose tables or scans the library's decoder does not take (16-bit quantisation "
          "tables, components in separate scans, or tables it cannot use)";
  }
  return "refused: " + why + (hint ? "; try --mode gdiplus" : "");
}

// What the library's decoder's end says about the data: "" when it decoded every row and the
// end marker arrived. `endMarkerSeen` covers the whole input, read to its end after a failure,
// so that data cut short (no end marker) and damaged data (a failure before it) are told apart
// the same way in every mode.
std::string DataVerdict(SessionEnd end, std::uint32_t rows, bool endMarkerSeen,
                        const JpegDecFrameInfo& frame) {
  const std::string rowsOf = RowsOf(rows, frame);
  const bool whole = end == SessionEnd::kEnd && AllRows(rows, frame);
  if (!endMarkerSeen) {
    return whole ? "the data ends early: no end-of-image marker (" + rowsOf + " decoded)"
                 : "the data ends early (" + rowsOf + " decoded)";
  }
  if (whole) {
    return "";
  }
  if (end == SessionEnd::kEnd) {
    return "the image ended after " + rowsOf;
  }
  return "damaged data: decoding failed after " + rowsOf;
}

}  // namespace

std::string WhyNotDecoded(const SessionResult& session, const JpegDecFrameInfo& frame,
                          std::int32_t requested, std::int32_t mode) {
  switch (session.end) {
    case SessionEnd::kNoInstance:
      return "the library could not create a decoder instance";
    case SessionEnd::kStartFailed:
      return "the decoder instance could not be started in this mode";
    case SessionEnd::kRunaway:
      return "the decoder did not come to an end";
    case SessionEnd::kRowLengthChanged:
      return "the row length changed after " + std::to_string(session.rows) + " rows";
    case SessionEnd::kInputError:
      return "read error after " + std::to_string(session.inputBytes) +
             " bytes: " + session.inputError;
    case SessionEnd::kStopped:
      return "";  // the output stopped it, and says why
    case SessionEnd::kFailed:
    case SessionEnd::kEnd:
      break;
  }
  const bool failed = session.end == SessionEnd::kFailed;
  const bool gdiplusWay =
      session.isStreaming == 0 && (mode == JPEGDEC_MODE_GDIPLUS || mode == JPEGDEC_MODE_AUTO);
  if (!gdiplusWay) {
    // The library's decoder decoded: it refuses a frame it does not take before any row.
    if (failed && session.rows == 0 && frame.native == 0) {
      return Refusal(frame, requested);
    }
    return DataVerdict(session.end, session.rows, session.endMarkerSeen, frame);
  }
  if (failed && frame.height == 0 && frame.componentCount != 0) {
    return "refused: GDI+ does not decode a page of unknown length (height 0 in the frame "
           "header, its lines given after the scan data); try --mode streaming";
  }
  const CheckResult& check = session.check;
  if (check.ran) {
    // GDI+ fills damaged or missing rows without a word: the library's decoder, run over the same
    // bytes, judges the data.
    if (check.end == SessionEnd::kNoInstance || check.end == SessionEnd::kStartFailed) {
      return "the library's decoder could not be started to check the data";
    }
    const std::string verdict = DataVerdict(check.end, check.rows, session.endMarkerSeen, frame);
    if (!verdict.empty() || !failed) {
      return verdict;
    }
    return "GDI+ could not decode the image, which the library's decoder decodes whole; try "
           "--mode streaming";
  }
  // A frame the library's decoder does not take: GDI+ alone judged it.
  if (failed && frame.componentCount == 0) {
    return Refusal(frame, requested);
  }
  if (failed && session.endMarkerSeen) {
    return "refused: GDI+ did not decode this " + FrameDescription(frame) +
           ", and the library's decoder does not take it";
  }
  return DataVerdict(session.end, session.rows, session.endMarkerSeen, frame);
}

std::string UncheckedNote(const JpegDecFrameInfo& frame) {
  return FrameDescription(frame) +
         ", decoded by GDI+ alone: the library's decoder does not take this file, and GDI+ "
         "reports no damage, so damage cannot be detected in this mode";
}

std::string GreyProblem(const ImageShape& shape) {
  if (shape.samples == Samples::kRgb || shape.samples == Samples::kGrey) {
    return "";
  }
  return "--grey needs R, G, B or grey rows; this image has " + std::to_string(shape.channels) +
         " components that are not R, G, B (write it without "
         "--grey, as PAM)";
}

}  // namespace jpegdec_cli
