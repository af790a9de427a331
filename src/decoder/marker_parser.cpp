// DecodeStep: input adoption, the marker search, the marker segments and the parser phases; inside
// scan data it hands over to DecodeBand.
//
// Statuses for headers this decoder refuses. Every check runs once the segment is wholly present,
// so no reader looks past its segment or the input, and nothing is written outside a table.
//
// | Input                                                        | Status             |
// |--------------------------------------------------------------|--------------------|
// | marker 0x02                                                  | JD_ERR_SEQUENCE    |
// | SOI after SOI; SOF outside phase 1; SOS outside phase 2      | JD_ERR_SEQUENCE    |
// | SOS, RSTn or DNL before the frame header                     | JD_ERR_SEQUENCE    |
// | RSTn before any scan header was accepted                     | JD_ERR_SEQUENCE    |
// | any other code without a handler (SOF2 and up, 0x00, 0xFF)   | JD_ERR_UNSUPPORTED |
// | segment length field below 2                                 | JD_ERR_DATA        |
// | frame header: precision P other than 8                       | JD_ERR_UNSUPPORTED |
// | frame header: more than 4 components                         | JD_ERR_UNSUPPORTED |
// | frame header: 0 components, width 0                          | JD_ERR_DATA        |
// | frame header: shorter than 6 + 3 Nf bytes                    | JD_ERR_DATA        |
// | frame header: sampling factor outside 1..4, Tq above 3       | JD_ERR_DATA        |
// | scan header: Ns of 0 or above 4, shorter than 4 + 2 Ns bytes | JD_ERR_DATA        |
// | scan header: Ns other than Nf (a non-interleaved scan)       | JD_ERR_UNSUPPORTED |
// | scan header: Td or Ta above 3                                | JD_ERR_DATA        |
// | scan header: a frame component left without selectors       | JD_ERR_DATA        |
// | scan header: a DC or AC table neither defined nor standard   | JD_ERR_DATA        |
// | scan header: a quantisation table no DQT defined             | JD_ERR_DATA        |
// | DQT: precision Pq 1 (16-bit values)                          | JD_ERR_UNSUPPORTED |
// | DQT: Pq above 1, table id above 3, a table cut short         | JD_ERR_DATA        |
// | DRI or DNL: length field other than 4                        | JD_ERR_DATA        |
// | DNL: 0 lines                                                 | JD_ERR_DATA        |
// | EOI before the frame's last row (its height, or a lower DNL) | JD_ERR_DATA        |
// | height 0 (below): DNL below the rows already handed out      | JD_ERR_DATA        |
// | height 0: scan data left by any marker but DNL or RSTn        | JD_ERR_DATA        |
//
// A frame header with height 0 opens a page of unknown length: its lines come in a DNL segment
// after the scan data. Bands are decoded as the data arrives, but each finished band is held
// back (heldBand) until the next band has begun (DecodeBand then hands it over) or the DNL
// segment has come (only the band's rows within the page's lines are handed over), so no row
// below the page's end goes out. A page whose scan data ends without the segment fails with its
// held band unseen: which of its rows belong to the page is never known.
//
// DC tables 2 and 3 are never defined (the DHT reader keeps ids 0 and 1 only), so a Td of 2 or 3
// falls under "neither defined nor standard". For a one-component frame the sampling factors are
// taken as 1x1: its scan is non-interleaved, one block per MCU, whatever the header declares.
#include "decoder/marker_parser.h"

#include <cstddef>
#include <cstdlib>
#include <cstring>

#include "decoder/cpu_dispatch.h"
#include "decoder/entropy/huffman.h"
#include "decoder/output/band_output.h"
#include "decoder/segment_reader.h"
#include "platform/platform.h"

namespace jpegdec {
namespace {

constexpr std::int32_t kFixedSegmentBytes = 4;  // DRI and DNL: length field and one 16-bit value
constexpr std::int32_t kFrameHeaderFixed = 6;   // P, Y, X, Nf
constexpr std::int32_t kFrameComponentBytes = 3;
constexpr std::int32_t kScanHeaderFixed = 4;  // Ns, then Ss, Se, Ah/Al
constexpr std::int32_t kScanComponentBytes = 2;
constexpr std::int32_t kQuantTableBytes = 1 + kBlockSize;  // Pq/Tq, then 64 8-bit values
constexpr std::uint8_t kQuantPrecision16 = 1;
// An "Adobe" application segment: the tag, then version, flags0, flags1 (16 bits each) and the
// transform byte.
constexpr char kAdobeTag[] = {'A', 'd', 'o', 'b', 'e'};
constexpr std::int32_t kAdobeExamined = 12;
constexpr std::int32_t kAdobeTransformOffset = 11;
// The transform byte 255 resolves to YCbCr for three components, none otherwise.
constexpr std::uint8_t kAdobeUnresolved = 255;
constexpr std::uint8_t kTransformYCbCr = 1;
constexpr std::uint8_t kTransformNone = 0;

// Bit `index` of an 8-bit set of tables or components.
bool HasBit(std::uint8_t set, int index) { return ((set >> index) & 1) != 0; }
std::uint8_t WithBit(std::uint8_t set, int index) {
  return static_cast<std::uint8_t>(set | (1 << index));
}

bool ValidSamplingFactor(std::uint8_t factor) {
  return factor >= 1 && factor <= kMaxSamplingFactor;
}

// T.81 B.2.2. The fields are stored only once the whole header has passed its checks.
Status ParseFrameHeader(DecoderContext* context, const std::uint8_t* p, std::int32_t length) {
  if (length < kFrameHeaderFixed) {
    return JD_ERR_DATA;
  }
  if (p[0] != kSamplePrecision) {
    return JD_ERR_UNSUPPORTED;
  }
  const std::uint8_t count = p[5];
  if (count == 0) {
    return JD_ERR_DATA;
  }
  if (count > kMaxComponents) {
    return JD_ERR_UNSUPPORTED;
  }
  if (length < kFrameHeaderFixed + kFrameComponentBytes * count) {
    return JD_ERR_DATA;
  }
  const std::uint16_t width = BigEndian16(p + 3);
  if (width == 0) {
    return JD_ERR_DATA;
  }
  ComponentInfo components[kMaxComponents] = {};
  for (int i = 0; i < count; ++i) {
    const std::uint8_t* field = p + kFrameHeaderFixed + kFrameComponentBytes * i;
    ComponentInfo& c = components[i];
    c.id = field[0];
    c.h = static_cast<std::uint8_t>(field[1] >> 4);
    c.v = static_cast<std::uint8_t>(field[1] & 0x0F);
    c.quantTable = field[2];
    if (!ValidSamplingFactor(c.h) || !ValidSamplingFactor(c.v) || c.quantTable >= kNumTables) {
      return JD_ERR_DATA;
    }
  }
  if (count == 1) {
    components[0].h = 1;
    components[0].v = 1;
  }
  context->height = BigEndian16(p + 1);
  context->frameHeight = context->height;
  context->width = width;
  context->numComponents = count;
  std::memcpy(context->comp, components, sizeof(components));
  if (context->colorTransform == kAdobeUnresolved) {
    context->colorTransform = count == 3 ? kTransformYCbCr : kTransformNone;
  }
  return JD_OK;
}

// T.81 B.2.3. Ss, Se, Ah and Al are not examined: a baseline scan always covers the whole block.
Status ParseScanHeader(DecoderContext* context, const std::uint8_t* p, std::int32_t length) {
  if (length < 1) {
    return JD_ERR_DATA;
  }
  const std::uint8_t count = p[0];
  if (count == 0 || count > kMaxComponents ||
      length < kScanHeaderFixed + kScanComponentBytes * count) {
    return JD_ERR_DATA;
  }
  if (count != context->numComponents) {
    return JD_ERR_UNSUPPORTED;
  }
  for (int j = 0; j < count; ++j) {
    const std::uint8_t selector = p[1 + kScanComponentBytes * j];
    const std::uint8_t tables = p[2 + kScanComponentBytes * j];
    const auto dc = static_cast<std::uint8_t>(tables >> 4);
    const auto ac = static_cast<std::uint8_t>(tables & 0x0F);
    if (dc >= kNumTables || ac >= kNumTables) {
      return JD_ERR_DATA;
    }
    // The first frame component with this identifier; a selector naming none is ignored.
    for (int i = 0; i < context->numComponents; ++i) {
      if (context->comp[i].id == selector) {
        context->comp[i].dcTable = dc;
        context->comp[i].acTable = static_cast<std::uint8_t>(kDhtAcClass + ac);
        context->selectorsSet = WithBit(context->selectorsSet, i);
        break;
      }
    }
  }
  // Every frame component is decoded in every MCU, so every one needs its tables.
  for (int i = 0; i < context->numComponents; ++i) {
    const ComponentInfo& c = context->comp[i];
    if (!HasBit(context->selectorsSet, i)) {
      return JD_ERR_DATA;
    }
    if (!PrepareComponentTables(context, i) || !HasBit(context->quantDefined, c.quantTable)) {
      return JD_ERR_DATA;
    }
  }
  return JD_OK;
}

// T.81 B.2.4.1: a sequence of tables, each Pq/Tq and 64 values in zig-zag order.
Status ParseQuantTables(DecoderContext* context, const std::uint8_t* p, std::int32_t length) {
  while (length > 0) {
    const auto precision = static_cast<std::uint8_t>(p[0] >> 4);
    const auto id = static_cast<std::uint8_t>(p[0] & 0x0F);
    if (precision == kQuantPrecision16) {
      return JD_ERR_UNSUPPORTED;
    }
    if (precision != 0 || id >= kNumTables || length < kQuantTableBytes) {
      return JD_ERR_DATA;
    }
    QuantTable& table = context->quantTables[id];
    table.id = id;
    std::memcpy(table.values, p + 1, kBlockSize);
    context->quantDefined = WithBit(context->quantDefined, id);
    p += kQuantTableBytes;
    length -= kQuantTableBytes;
  }
  return JD_OK;
}

// DRI and DNL: a length field that must say 4, then one 16-bit value, which `use` (value) ->
// Status takes. Consumes the 4 bytes once they are all present.
template <typename Use>
int ReadFixedSegment(DecoderContext* context, Status* failure, Use use) {
  if (context->inAvail < kFixedSegmentBytes) {
    return 1;
  }
  if (BigEndian16(context->inPtr) != kFixedSegmentBytes) {
    *failure = JD_ERR_DATA;
    return 0;
  }
  *failure = use(BigEndian16(context->inPtr + kLengthFieldBytes));
  Consume(context, kFixedSegmentBytes);
  return 0;
}

// Next marker code into `marker`, consuming everything up to and including it. Bytes that are not
// part of a marker are skipped, and so are runs of 0xFF fill bytes. false: the input ran out.
bool FindMarker(DecoderContext* context) {
  while (context->inAvail > 0) {
    const std::uint8_t byte = *context->inPtr;
    Consume(context, 1);
    if (byte == kMarkerPrefix) {
      context->sawFF = 1;
    } else if (context->sawFF != 0) {
      context->sawFF = 0;
      context->marker = byte;
      return true;
    }
  }
  return false;
}

// Status of a reader run: JD_NEED_DATA when it wants more input, its failure, or JD_OK.
Status RunReader(int (*reader)(DecoderContext*, Status*), DecoderContext* context) {
  Status failure = JD_OK;
  if (reader(context, &failure) != 0) {
    return JD_NEED_DATA;
  }
  return failure;
}

Status HandleFrameHeader(DecoderContext* context) {
  if (context->phase != kPhaseAfterSoi) {
    return JD_ERR_SEQUENCE;
  }
  const Status status = RunReader(ReadFrameHeader, context);
  if (status != JD_OK) {
    return status;
  }
  if (context->height == 0) {
    context->openPage = 1;
    context->height = kOpenPageLines;
  }
  PrepareFrame(context);
  context->phase = kPhaseOutsideScan;
  return JD_OK;
}

Status HandleScanHeader(DecoderContext* context) {
  if (context->phase != kPhaseOutsideScan || context->frameRead == 0) {
    return JD_ERR_SEQUENCE;
  }
  const Status status = RunReader(ReadScanHeader, context);
  if (status != JD_OK) {
    return status;
  }
  context->colorConvert = ChooseColorConverter(context);
  context->bandKind = context->colorConvert == ConvertYCbCrToRgb ? BandKind::kYCbCr
                      : context->colorConvert == ConvertYcck     ? BandKind::kYcck
                                                                 : BandKind::kRaw;
  context->scanReady = 1;
  context->restartNumber = 0;
  context->resyncing = 0;
  context->mcusToFill = 0;
  context->markerAfterFill = 0;
  ResetScanState(context);
  context->phase = kPhaseInScan;
  return JD_OK;
}

// A page of unknown length whose scan data has begun and whose lines are not yet known.
bool AwaitsLines(const DecoderContext* context) {
  return context->openPage != 0 && context->linesKnown == 0 && context->scanReady != 0;
}

// Hands the held band over with its first `rows` rows: JD_BAND_READY, or JD_OK when none of its
// rows lie within the page (the band is then kept for the next one, or released).
Status HandOverHeldBand(DecoderContext* context, std::uint16_t rows, StepResult* result) {
  std::uint8_t* band = context->heldBand;
  context->heldBand = nullptr;
  if (rows == 0) {
    ReturnBand(context, band);
    return JD_OK;
  }
  result->count = static_cast<std::int32_t>(context->width) * context->numComponents * rows;
  result->data = band;
  return JD_BAND_READY;
}

// The DNL segment of a page of unknown length has given its lines (now in `height`): the held
// band's rows within them go out, and rowsOutput counts the rows the page has delivered. Lines
// below the rows already handed out cannot be honoured, and fail the image; lines beyond the
// rows decoded fail it at its end marker, as for any frame whose data ends early.
Status GiveOpenPageItsLines(DecoderContext* context, StepResult* result) {
  context->linesKnown = 1;
  const std::uint16_t lines = context->height;
  const std::uint16_t held = context->heldBand != nullptr ? context->heldRows : 0;
  const auto out = static_cast<std::uint16_t>(context->rowsOutput - held);
  if (lines < out) {
    return JD_ERR_DATA;
  }
  const auto rows = static_cast<std::uint16_t>(lines - out < held ? lines - out : held);
  context->rowsOutput = static_cast<std::uint16_t>(out + rows);
  if (context->heldBand == nullptr) {
    return JD_OK;
  }
  return HandOverHeldBand(context, rows, result);
}

Status HandleDnl(DecoderContext* context, StepResult* result) {
  if (context->frameRead == 0) {
    return JD_ERR_SEQUENCE;
  }
  context->phase = kPhaseOutsideScan;
  const Status status = RunReader(ReadDnlSegment, context);
  if (status != JD_OK || context->openPage == 0 || context->linesKnown != 0) {
    return status;
  }
  return GiveOpenPageItsLines(context, result);
}

Status HandleRestart(DecoderContext* context) {
  if (context->scanReady == 0) {
    return JD_ERR_SEQUENCE;
  }
  ResetScanState(context);
  context->phase = kPhaseInScan;
  return JD_OK;
}

// The rows a frame must deliver: the frame header's height, or a DNL segment's where it is lower
// (for a page of unknown length, the DNL segment's).
std::uint16_t RowsDeclared(const DecoderContext* context) {
  if (context->openPage != 0) {
    return context->height;
  }
  return context->height < context->frameHeight ? context->height : context->frameHeight;
}

// Every row of the frame has been decoded (a page of unknown length: its lines are known, too).
bool PageComplete(const DecoderContext* context) {
  return context->frameRead != 0 && (context->openPage == 0 || context->linesKnown != 0) &&
         context->rowsOutput >= RowsDeclared(context);
}

// One marker in phases 0 to 2. JD_OK: go on (with the marker pass, or into scan data when the
// phase became 3); JD_NEED_DATA: the segment is incomplete; JD_BAND_READY: a held band goes out
// (result); anything else ends the step.
Status DispatchMarker(DecoderContext* context, StepResult* result) {
  const std::uint8_t code = context->marker;
  const bool restart = IsRestartMarker(code);
  if (AwaitsLines(context) && code != kMarkerDnl && !restart) {
    return JD_ERR_DATA;  // a page of unknown length left without its lines
  }
  if (code >= kMarkerApp0 && code <= kMarkerApp15) {
    return RunReader(ReadAppSegment, context);
  }
  if (restart) {
    return HandleRestart(context);
  }
  switch (code) {
    case kMarkerSoi:
      if (context->phase != kPhaseBeforeSoi) {
        return JD_ERR_SEQUENCE;
      }
      context->phase = kPhaseAfterSoi;
      return JD_OK;
    case kMarkerSof0:
    case kMarkerSof1:
      return HandleFrameHeader(context);
    case kMarkerSos:
      return HandleScanHeader(context);
    case kMarkerDht:
      return RunReader(ReadHuffmanTables, context);
    case kMarkerDqt:
      return RunReader(ReadQuantTables, context);
    case kMarkerDri:
      return RunReader(ReadDriSegment, context);
    case kMarkerDnl:
      return HandleDnl(context, result);
    case kMarkerCom:
      return RunReader(SkipSegment, context);
    case kMarkerEoi:
      return EndImage(context);
    case kMarkerReserved02:
      return JD_ERR_SEQUENCE;
    default:
      return JD_ERR_UNSUPPORTED;
  }
}

}  // namespace

// Phases 0 to 2: search and dispatch markers until the input runs out, the step ends, or the
// phase reaches the scan data.
Status MarkerPass(DecoderContext* context, StepResult* result) {
  while (context->phase < kPhaseInScan) {
    if (context->markerPending == 0 && !FindMarker(context)) {
      return JD_NEED_DATA;
    }
    const Status status = DispatchMarker(context, result);
    if (status == JD_NEED_DATA) {
      context->markerPending = 1;  // the same reader continues at the next step
      return status;
    }
    context->markerPending = 0;
    if (status == JD_BAND_READY) {
      return status;
    }
    if (status != JD_OK) {
      return status;
    }
  }
  return JD_OK;
}

void ReleaseWorkBuffers(DecoderContext* context) {
  platform::HeapRelease(context->bandBuffer);
  context->bandBuffer = nullptr;
  platform::HeapRelease(context->heldBand);
  context->heldBand = nullptr;
}

Status EndImage(DecoderContext* context) {
  // The image's data ended before its last row: a scan cut short and closed by the end marker
  // (a device or transfer that stopped early). The rows handed out so far stand, but the image
  // is not complete, and the decode fails. A band still under construction was cut short too:
  // it is never emitted (the step's failure releases it). An end marker before any frame ends no
  // image; a damaged image is never complete.
  if (context->frameRead == 0 || !PageComplete(context) || context->damaged != 0) {
    return JD_ERR_DATA;
  }
  ReleaseWorkBuffers(context);
  platform::HeapRelease(context->spareBand);
  context->spareBand = nullptr;
  context->phase = kPhaseEnded;
  return JD_END;
}

int ReadFrameHeader(DecoderContext* context, Status* failure) {
  return ReadWholeSegment(context, failure, [context](const std::uint8_t* p, std::int32_t n) {
    return ParseFrameHeader(context, p, n);
  });
}

void PrepareFrame(DecoderContext* context) {
  context->maxH = context->comp[0].h;
  context->maxV = context->comp[0].v;
  context->blocksPerMcu = 0;
  for (int i = 0; i < context->numComponents; ++i) {
    const ComponentInfo& c = context->comp[i];
    if (c.h > context->maxH) {
      context->maxH = c.h;
    }
    if (c.v > context->maxV) {
      context->maxV = c.v;
    }
    context->blocksPerMcu = static_cast<std::uint8_t>(context->blocksPerMcu + c.h * c.v);
  }
  SelectRoutines(context);     // one set of routines for the whole frame
  context->mcuSlotsReady = 0;  // the band decoder lays out the MCU order for this frame
  context->frameRead = 1;
}

int ReadScanHeader(DecoderContext* context, Status* failure) {
  return ReadWholeSegment(context, failure, [context](const std::uint8_t* p, std::int32_t n) {
    return ParseScanHeader(context, p, n);
  });
}

int ReadQuantTables(DecoderContext* context, Status* failure) {
  return ReadWholeSegment(context, failure, [context](const std::uint8_t* p, std::int32_t n) {
    return ParseQuantTables(context, p, n);
  });
}

// The payload's first bytes are examined for an "Adobe" tag before any of the payload is
// consumed, so the tag is found however the input is split; after that the segment is skipped as
// it arrives, which lets it be longer than the caller's buffer.
int ReadAppSegment(DecoderContext* context, Status* failure) {
  if (context->appExamined == 0) {
    const auto examine = [context](const std::uint8_t* p, std::int32_t n) {
      if (n == kAdobeExamined && std::memcmp(p, kAdobeTag, sizeof(kAdobeTag)) == 0) {
        context->colorTransform = p[kAdobeTransformOffset];
      }
      return JD_OK;
    };
    if (ExaminePayload(context, failure, kAdobeExamined, examine) != 0) {
      return 1;
    }
    if (*failure != JD_OK) {
      return 0;
    }
    context->appExamined = 1;
  }
  const std::int32_t present =
      context->inAvail < context->segRemaining ? context->inAvail : context->segRemaining;
  Consume(context, present);
  context->segRemaining -= present;
  if (context->segRemaining > 0) {
    return 1;
  }
  context->appExamined = 0;
  return 0;
}

// The interval is counted by the band decoder, so that the bits padding the last byte of an
// interval are dropped, whatever their value, where the restart marker follows them (T.81 B.2.4.4
// and F.1.2.3). A restart marker met anywhere else resets the scan state as well.
int ReadDriSegment(DecoderContext* context, Status* failure) {
  return ReadFixedSegment(context, failure, [context](std::uint16_t interval) {
    context->restartInterval = interval;
    return JD_OK;
  });
}

// T.81 B.2.5: the number of lines, which replaces a frame height of 0 after the first scan.
int ReadDnlSegment(DecoderContext* context, Status* failure) {
  return ReadFixedSegment(context, failure, [context](std::uint16_t lines) {
    if (lines == 0) {
      return JD_ERR_DATA;
    }
    if (context->openPage == 0 && lines > context->frameHeight) {
      // A frame with a height takes a DNL segment that lowers it; more lines than the frame
      // header gave contradict it: the height stays, and the image is damaged.
      context->damaged = 1;
    } else {
      context->height = lines;
    }
    return JD_OK;
  });
}

int SkipSegment(DecoderContext* context, Status* failure) {
  return ReadWholeSegment(context, failure,
                          [](const std::uint8_t*, std::int32_t) -> Status { return JD_OK; });
}

ColorConverter ChooseColorConverter(const DecoderContext* context) {
  if (context->colorTransform == kTransformNone) {
    return ConvertNone;
  }
  switch (context->numComponents) {
    case 3:
      return ConvertYCbCrToRgb;
    case 4:
      return ConvertYcck;
    default:
      return ConvertNone;
  }
}

void ResetScanState(DecoderContext* context) {
  for (std::int16_t& prediction : context->dcPred) {
    prediction = 0;
  }
  context->bitBuffer = 0;
  context->bitCount = 0;
  context->dcDone = 0;
  context->symbolPending = 0;
  context->resumePending = 0;
  context->ffPending = 0;
  context->codeIndex = 0;
  context->codeLen = 1;
  context->mcusToRestart = context->restartInterval;
  context->restartDue = 0;
}

}  // namespace jpegdec
