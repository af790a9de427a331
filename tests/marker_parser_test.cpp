// The decoder context and the marker parser, over hand-built byte streams.
//
// Streams stop at the scan header at the latest: once the scan data is entered the step belongs
// to the band decoder, so the runs below stop there and record only that the scan was entered.
#include "decoder/marker_parser.h"

#include <gtest/gtest.h>

#include <array>
#include <cstring>
#include <ostream>
#include <string>
#include <vector>

#include "decoder/decoder.h"
#include "decoder/decoder_context.h"
#include "decoder/entropy/huffman.h"
#include "decoder/output/band_output.h"
#include "jpegdec/jpegdec_probe.h"
#include "support/jpeg_builder.h"
#include "support/stage_context.h"

namespace jpegdec {
namespace {

using test::Bytes;
using test::JpegBuilder;

// Pseudo status recorded for the step that entered the scan data (phase 3), whatever the band
// decoder made of the bytes after the scan header.
constexpr Status kScanEntered = 0xFE;

using test::ContextPtr;

ContextPtr NewContext() {
  ContextPtr context = test::NewDecoderContext();
  // As if DHT segments had defined DC tables 0 and 1 and AC tables 0 and 1: the scan header then
  // has the tables it needs without this test depending on the Huffman reader.
  context->dcDefined = 0x3;
  context->acDefined = 0x3;
  return context;
}

// What a run leaves behind: every step status other than JD_NEED_DATA, the unread tail, and the
// context fields the parser sets.
struct Outcome {
  std::vector<Status> statuses;
  std::int32_t tail = 0;
  std::uint8_t phase = 0;
  std::uint16_t width = 0;
  std::uint16_t height = 0;
  std::uint8_t numComponents = 0;
  std::array<std::uint8_t, sizeof(ComponentInfo)* kMaxComponents> components = {};
  std::uint8_t colorTransform = 0;
  std::uint8_t quantDefined = 0;
  std::array<std::uint8_t, sizeof(QuantTable)* kNumTables> quantTables = {};
  std::uint8_t maxH = 0;
  std::uint8_t maxV = 0;
  std::uint8_t blocksPerMcu = 0;
  ColorConverter colorConvert = nullptr;
  bool operator==(const Outcome&) const = default;

  ComponentInfo Comp(int i) const {
    ComponentInfo c;
    std::memcpy(&c, components.data() + sizeof(c) * static_cast<std::size_t>(i), sizeof(c));
    return c;
  }
  QuantTable Quant(int t) const {
    QuantTable q;
    std::memcpy(&q, quantTables.data() + sizeof(q) * static_cast<std::size_t>(t), sizeof(q));
    return q;
  }
};

void PrintTo(const Outcome& run, std::ostream* out) {
  *out << "statuses";
  for (Status s : run.statuses) {
    *out << ' ' << int{s};
  }
  *out << ", tail " << run.tail << ", phase " << int{run.phase} << ", " << run.width << 'x'
       << run.height << 'x' << int{run.numComponents} << ", transform " << int{run.colorTransform}
       << ", quant " << int{run.quantDefined};
}

// Steps `context` over `stream` in pieces ending at `cuts`, as the streaming back-end does: a step
// after JD_NEED_DATA is given the unread tail followed by the next piece; any other step is given
// nothing new. `onStep` sees every result and returns false to stop; the run also stops when the
// input is used up. Returns the last result.
template <typename OnStep>
StepResult StepOver(DecoderContext* context, const Bytes& stream, std::vector<std::size_t> cuts,
                    OnStep onStep) {
  cuts.push_back(stream.size());
  Bytes buffer;
  std::size_t fed = 0;
  StepResult result = {};
  result.status = JD_NEED_DATA;
  for (std::size_t piece = 0;;) {
    if (result.status == JD_NEED_DATA) {
      if (piece == cuts.size()) {
        return result;
      }
      Bytes next(result.data, result.data + result.count);
      next.insert(next.end(), stream.begin() + static_cast<std::ptrdiff_t>(fed),
                  stream.begin() + static_cast<std::ptrdiff_t>(cuts[piece]));
      fed = cuts[piece++];
      buffer = std::move(next);
    }
    result = DecodeStep(context, buffer.data(), static_cast<std::int32_t>(buffer.size()));
    if (!onStep(result) || result.status == JD_END || IsError(result.status)) {
      return result;
    }
  }
}

// Steps until the input is used up, JD_END, an error, or the scan data is entered.
Outcome Feed(DecoderContext* context, const Bytes& stream, std::vector<std::size_t> cuts = {}) {
  Outcome run;
  const StepResult result = StepOver(context, stream, std::move(cuts), [&](const StepResult& r) {
    if (context->phase == kPhaseInScan) {
      run.statuses.push_back(kScanEntered);
      return false;
    }
    if (r.status != JD_NEED_DATA) {
      run.statuses.push_back(r.status);
    }
    return true;
  });
  run.tail = result.status == JD_NEED_DATA ? result.count : context->inAvail;
  run.phase = context->phase;
  run.width = context->width;
  run.height = context->height;
  run.numComponents = context->numComponents;
  std::memcpy(run.components.data(), context->comp, run.components.size());
  run.colorTransform = context->colorTransform;
  run.quantDefined = context->quantDefined;
  std::memcpy(run.quantTables.data(), context->quantTables, run.quantTables.size());
  run.maxH = context->maxH;
  run.maxV = context->maxV;
  run.blocksPerMcu = context->blocksPerMcu;
  run.colorConvert = context->colorConvert;
  return run;
}

Outcome FeedFresh(const Bytes& stream, std::vector<std::size_t> cuts = {}) {
  return Feed(NewContext().get(), stream, std::move(cuts));
}

TEST(DecoderContext, CreationValuesAndLookupLayout) {
  ContextPtr context = test::NewDecoderContext();
  ASSERT_NE(context, nullptr);
  EXPECT_EQ(context->marker, 2);
  EXPECT_EQ(context->phase, kPhaseBeforeSoi);
  EXPECT_EQ(context->lastResult, JD_NEED_DATA);
  EXPECT_EQ(context->ratioComponent, 0xFFFF);
  EXPECT_EQ(context->blockCol, 1);
  EXPECT_EQ(context->blockRow, 1);
  EXPECT_EQ(context->codeLen, 1);
  EXPECT_EQ(context->colorTransform, 3);
  EXPECT_EQ(context->bandBuffer, nullptr);
  EXPECT_EQ(context->spareBand, nullptr);
  for (int t = 0; t < kNumTables; ++t) {
    int offset = 0;
    for (int length = 1; length <= 8; ++length) {
      EXPECT_EQ(context->acLookupPtr[t][length - 1], &context->acLookup[t][offset]);
      offset += 1 << length;
    }
    EXPECT_EQ(offset, 510);
    for (std::uint16_t entry : context->acLookup[t]) {
      ASSERT_EQ(entry, 0xFFFF);
    }
  }
  ReleaseDecoderContext(nullptr);  // ignored
}

// Contexts in the four situations the dispatch table distinguishes.
enum Situation { kBeforeSoi, kAfterSoi, kAfterFrame, kAfterScan, kSituations };

ContextPtr ContextIn(Situation situation) {
  ContextPtr context = NewContext();
  JpegBuilder prefix;
  if (situation >= kAfterSoi) {
    prefix.Soi();
  }
  if (situation >= kAfterFrame) {
    prefix.Dqt(0).Sof0(8, 8, test::kGreyFrame);
  }
  if (situation == kAfterScan) {
    prefix.Sos(test::kGreyScan);
  }
  Feed(context.get(), prefix.Take());
  if (situation == kAfterScan) {
    // As the entropy decoder leaves it after handing back a marker met in the scan data.
    context->phase = kPhaseOutsideScan;
    context->markerPending = 0;
    context->lastResult = JD_NEED_DATA;
  }
  return context;
}

struct Cell {
  Status status;  // the step's status; JD_NEED_DATA when the segment was read and input ran out
  std::uint8_t phase;
};

TEST(DecodeStep, DispatchTablePerPhase) {
  constexpr Status kNeed = JD_NEED_DATA;
  constexpr Status kSeq = JD_ERR_SEQUENCE;
  constexpr Status kUns = JD_ERR_UNSUPPORTED;
  struct Row {
    const char* name;
    Bytes segment;
    Cell cells[kSituations];  // before SOI, after SOI, after the frame header, after a scan
  };
  const Row rows[] = {
      {"SOI", JpegBuilder().Soi().Take(), {{kNeed, 1}, {kSeq, 1}, {kSeq, 2}, {kSeq, 2}}},
      {"SOF0",
       JpegBuilder().Sof0(8, 8, test::kGreyFrame).Take(),
       {{kSeq, 0}, {kNeed, 2}, {kSeq, 2}, {kSeq, 2}}},
      {"SOF1",
       JpegBuilder().Sof(0xC1, 8, 8, test::kGreyFrame).Take(),
       {{kSeq, 0}, {kNeed, 2}, {kSeq, 2}, {kSeq, 2}}},
      {"SOS",
       JpegBuilder().Sos(test::kGreyScan).Take(),
       {{kSeq, 0}, {kSeq, 1}, {kScanEntered, 3}, {kScanEntered, 3}}},
      {"DQT", JpegBuilder().Dqt(1).Take(), {{kNeed, 0}, {kNeed, 1}, {kNeed, 2}, {kNeed, 2}}},
      {"DHT",
       JpegBuilder().MinimalDht(0x11).Take(),
       {{kNeed, 0}, {kNeed, 1}, {kNeed, 2}, {kNeed, 2}}},
      {"DRI", JpegBuilder().Dri(1).Take(), {{kNeed, 0}, {kNeed, 1}, {kNeed, 2}, {kNeed, 2}}},
      {"DNL", JpegBuilder().Dnl(9).Take(), {{kSeq, 0}, {kSeq, 1}, {kNeed, 2}, {kNeed, 2}}},
      {"APP0",
       JpegBuilder().App(0, {'J', 'F', 'I', 'F', 0}).Take(),
       {{kNeed, 0}, {kNeed, 1}, {kNeed, 2}, {kNeed, 2}}},
      {"APP15", JpegBuilder().App(15, {}).Take(), {{kNeed, 0}, {kNeed, 1}, {kNeed, 2}, {kNeed, 2}}},
      {"COM",
       JpegBuilder().Comment({'h', 'i'}).Take(),
       {{kNeed, 0}, {kNeed, 1}, {kNeed, 2}, {kNeed, 2}}},
      {"RST0", JpegBuilder().Rst(0).Take(), {{kSeq, 0}, {kSeq, 1}, {kSeq, 2}, {kScanEntered, 3}}},
      {"RST7", JpegBuilder().Rst(7).Take(), {{kSeq, 0}, {kSeq, 1}, {kSeq, 2}, {kScanEntered, 3}}},
      // The end marker ends an image only once its rows are out: before a frame there is no
      // image, after one none of its rows are out, so it was cut short.
      {"EOI",
       JpegBuilder().Eoi().Take(),
       {{JD_ERR_DATA, 0}, {JD_ERR_DATA, 1}, {JD_ERR_DATA, 2}, {JD_ERR_DATA, 2}}},
      {"0x02", JpegBuilder().Marker(0x02).Take(), {{kSeq, 0}, {kSeq, 1}, {kSeq, 2}, {kSeq, 2}}},
      {"0x00 (stuffing outside scan data)",
       {0xFF, 0x00},
       {{kUns, 0}, {kUns, 1}, {kUns, 2}, {kUns, 2}}},
  };
  const std::uint8_t unhandled[] = {0x01, 0x03, 0xBF, 0xC2, 0xC3, 0xC5, 0xC7, 0xC8,
                                    0xC9, 0xCB, 0xCC, 0xCF, 0xDE, 0xDF, 0xF0, 0xFD};
  for (const Row& row : rows) {
    for (int s = 0; s < kSituations; ++s) {
      SCOPED_TRACE(std::string(row.name) + " in situation " + std::to_string(s));
      ContextPtr context = ContextIn(static_cast<Situation>(s));
      const Outcome run = Feed(context.get(), row.segment);
      const Cell& want = row.cells[s];
      EXPECT_EQ(run.statuses.empty() ? kNeed : run.statuses.back(), want.status);
      EXPECT_EQ(run.phase, want.phase);
    }
  }
  for (std::uint8_t code : unhandled) {
    for (int s = 0; s < kSituations; ++s) {
      SCOPED_TRACE("code " + std::to_string(code) + " in situation " + std::to_string(s));
      ContextPtr context = ContextIn(static_cast<Situation>(s));
      EXPECT_EQ(Feed(context.get(), JpegBuilder().Marker(code).Take()).statuses,
                std::vector<Status>{kUns});
    }
  }
}

// Each reader's segment, in a stream that stops right after it.
struct ReaderCase {
  const char* name;
  Bytes stream;
};

std::vector<ReaderCase> ReaderCases() {
  Bytes twoTables(2 * 65, 7);
  twoTables[0] = 0x02;   // Pq 0, Tq 2
  twoTables[65] = 0x03;  // Pq 0, Tq 3
  twoTables[64] = 99;
  std::vector<ReaderCase> cases = {
      {"frame header", JpegBuilder().Soi().Sof0(17, 33, test::kYCbCr420).Take()},
      {"scan header", JpegBuilder()
                          .Soi()
                          .Dqt(0)
                          .Dqt(1)
                          .Sof0(16, 16, test::kYCbCr420)
                          .Sos(test::kYCbCrScan)
                          .Take()},
      {"DQT", JpegBuilder().Soi().Segment(0xDB, twoTables).Take()},
      {"APPn (Adobe)", JpegBuilder().Soi().App(0, {'J', 'F', 'I', 'F', 0}).Adobe(0).Take()},
      {"APPn (12 bytes, not Adobe)", JpegBuilder().App(1, Bytes(12, 'A')).Take()},
      {"DRI", JpegBuilder().Soi().Dri(4).Take()},
      {"DNL", JpegBuilder().Soi().Dqt(0).Sof0(8, 0, test::kGreyFrame).Dnl(300).Take()},  // height 0
      {"COM", JpegBuilder().Soi().Comment({'a', 'b', 'c'}).Take()},
      {"whole header", JpegBuilder()
                           .Raw({0x00, 0x12})
                           .Soi()
                           .Adobe(2)
                           .Dqt(0)
                           .Comment({})
                           .Dri(2)
                           .Sof(0xC1, 5, 7, test::kFourComponents)
                           .Sos(test::kFourComponentScan)
                           .Take()},
      {"end of image", JpegBuilder().Soi().Raw({0xFF, 0xFF}).Eoi().Take()},
      {"DHT", JpegBuilder().Soi().MinimalDht(0x00).MinimalDht(0x13).Take()},
  };
  return cases;
}

std::vector<std::size_t> EveryByte(std::size_t size) {
  std::vector<std::size_t> cuts;
  for (std::size_t i = 1; i < size; ++i) {
    cuts.push_back(i);
  }
  return cuts;
}

TEST(DecodeStep, EveryReaderGivesTheSameResultHoweverTheInputIsSplit) {
  for (const ReaderCase& c : ReaderCases()) {
    SCOPED_TRACE(c.name);
    const Outcome whole = FeedFresh(c.stream);
    EXPECT_EQ(FeedFresh(c.stream, EveryByte(c.stream.size())), whole) << "1-byte pieces";
    for (std::size_t cut = 1; cut < c.stream.size(); ++cut) {
      ASSERT_EQ(FeedFresh(c.stream, {cut}), whole) << "cut at " << cut;
    }
  }
}

TEST(DecodeStep, ReadersStoreWhatTheirSegmentsSay) {
  const std::vector<ReaderCase> cases = ReaderCases();
  auto run = [&](const char* name) {
    for (const ReaderCase& c : cases) {
      if (std::string(c.name) == name) {
        return FeedFresh(c.stream);
      }
    }
    ADD_FAILURE() << name;
    return Outcome{};
  };
  const Outcome frame = run("frame header");
  EXPECT_EQ(frame.phase, kPhaseOutsideScan);
  EXPECT_EQ(frame.width, 17);
  EXPECT_EQ(frame.height, 33);
  EXPECT_EQ(frame.numComponents, 3);
  EXPECT_EQ(frame.Comp(0).h, 2);
  EXPECT_EQ(frame.Comp(0).v, 2);
  EXPECT_EQ(frame.Comp(2).quantTable, 1);
  EXPECT_EQ(frame.maxH * 10 + frame.maxV, 22);
  EXPECT_EQ(frame.blocksPerMcu, 6);

  const Outcome scan = run("scan header");
  EXPECT_EQ(scan.statuses, std::vector<Status>{kScanEntered});
  EXPECT_EQ(scan.Comp(1).dcTable, 1);
  EXPECT_EQ(scan.Comp(1).acTable, 0x11);
  EXPECT_EQ(scan.colorConvert, &ConvertYCbCrToRgb);

  const Outcome dqt = run("DQT");
  EXPECT_EQ(dqt.quantDefined, 0xC);
  EXPECT_EQ(dqt.Quant(2).id, 2);
  EXPECT_EQ(dqt.Quant(2).values[63], 99);
  EXPECT_EQ(dqt.Quant(3).values[0], 7);

  EXPECT_EQ(run("APPn (Adobe)").colorTransform, 0);
  EXPECT_EQ(run("APPn (12 bytes, not Adobe)").colorTransform, kNoAdobeSegment);
  EXPECT_EQ(run("DRI").tail, 0);
  EXPECT_EQ(run("DNL").height, 300);
  EXPECT_EQ(run("COM").tail, 0);
  const Outcome header = run("whole header");
  EXPECT_EQ(header.colorTransform, 2);
  EXPECT_EQ(header.colorConvert, &ConvertYcck);
  const Outcome end = run("end of image");  // no frame before it: no image
  EXPECT_EQ(end.statuses, std::vector<Status>{JD_ERR_DATA});
  EXPECT_EQ(end.phase, kPhaseAfterSoi);
}

// An 8 x 8 grey image after SOI: with the one-code tables of MinimalDht, 0x3F is its one block
// and six padding 1 bits.
Bytes TinyImageAfterSoi() {
  return JpegBuilder().OneCodeGreyHeaders(8, 8).Sos(test::kGreyScan).Raw({0x3F}).Eoi().Take();
}

// Steps on from `result` without new input, releasing every band: the status that stops.
Status StepPastTheBand(DecoderContext* context, StepResult result) {
  while (result.status == JD_BAND_READY || result.status == JD_OK) {
    if (result.status == JD_BAND_READY) {
      std::free(result.data);
    }
    result = DecodeStep(context, nullptr, 0);
  }
  return result.status;
}

TEST(DecodeStep, LongApplicationSegmentIsSkippedPieceByPiece) {
  const Bytes stream =
      JpegBuilder().Soi().App(1, Bytes(60000 - 4, 0xFF)).Raw(TinyImageAfterSoi()).Raw({9}).Take();
  constexpr std::size_t kPiece = 4093;
  ContextPtr context = NewContext();
  std::size_t at = 0;
  StepResult result = {};
  for (; at + kPiece < 60002; at += kPiece) {  // pieces that end inside the segment
    result = DecodeStep(context.get(), stream.data() + at, kPiece);
    ASSERT_EQ(result.status, JD_NEED_DATA);
    ASSERT_EQ(result.count, 0);
  }
  result =
      DecodeStep(context.get(), stream.data() + at, static_cast<std::int32_t>(stream.size() - at));
  ASSERT_EQ(result.status, JD_BAND_READY);
  EXPECT_EQ(StepPastTheBand(context.get(), result), JD_END);
  EXPECT_EQ(BytesAfterEnd(context.get()), 1);
}

TEST(DecodeStep, CutSegmentsHandBackTheirUnreadBytes) {
  // DRI with three of its four bytes: nothing consumed.
  const Bytes dri = {0xFF, 0xD8, 0xFF, 0xDD, 0x00, 0x04, 0x00};
  ContextPtr context = NewContext();
  StepResult result = DecodeStep(context.get(), dri.data(), 7);
  EXPECT_EQ(result.status, JD_NEED_DATA);
  EXPECT_EQ(result.count, 3);
  EXPECT_EQ(result.data, dri.data() + 4);

  // Frame header cut after its length field: the length stays consumed.
  const Bytes frame = JpegBuilder().Soi().Sof0(8, 8, test::kGreyFrame).Take();
  context = NewContext();
  result = DecodeStep(context.get(), frame.data(), 8);  // FF D8 FF C0 00 0B 08 00
  EXPECT_EQ(result.status, JD_NEED_DATA);
  EXPECT_EQ(result.count, 2);
  EXPECT_EQ(result.data, frame.data() + 6);
  const Bytes rest(frame.begin() + 6, frame.end());
  result = DecodeStep(context.get(), rest.data(), static_cast<std::int32_t>(rest.size()));
  EXPECT_EQ(result.status, JD_NEED_DATA);
  EXPECT_EQ(result.count, 0);
  EXPECT_EQ(context->phase, kPhaseOutsideScan);
  EXPECT_EQ(result.width, 8);
}

TEST(DecodeStep, JunkAndFillBytesBeforeMarkersAreSkipped) {
  const Bytes stream = {0x00, 0x12, 0x34, 0xFF, 0xFF, 0xFF, 0xD8};
  EXPECT_EQ(FeedFresh(stream).phase, kPhaseAfterSoi);
  EXPECT_EQ(FeedFresh(stream, {4, 6}).phase, kPhaseAfterSoi);  // 0xFF and 0xD8 apart
}

TEST(DecodeStep, EndOfImageThenNothingMore) {
  ContextPtr context = NewContext();
  const Bytes stream = JpegBuilder().Soi().Raw(TinyImageAfterSoi()).Raw({0xAA, 0xBB}).Take();
  const auto count = static_cast<std::int32_t>(stream.size());
  StepResult result = DecodeStep(context.get(), stream.data(), count);
  ASSERT_EQ(result.status, JD_BAND_READY);
  EXPECT_EQ(StepPastTheBand(context.get(), result), JD_END);
  EXPECT_EQ(BytesAfterEnd(context.get()), 2);
  EXPECT_EQ(DecodeStep(context.get(), nullptr, 0).status, JD_OK);
  EXPECT_EQ(BytesAfterEnd(context.get()), 2);
}

TEST(DecodeStep, ErrorsReleaseTheBandAndAreFinal) {
  ContextPtr context = NewContext();
  const Bytes stream = JpegBuilder()
                           .Soi()
                           .OneCodeGreyHeaders(64, 8)
                           .Sos(test::kGreyScan)
                           .Raw({0x00, 0xFF, 0x02})  // four of eight blocks, a bad marker
                           .Take();
  StepResult result = {};
  const std::uint8_t* next = stream.data();
  auto left = static_cast<std::int32_t>(stream.size());
  bool bandBegun = false;
  for (int step = 0; step < 16 && (step == 0 || result.status == JD_OK); ++step) {
    result = DecodeStep(context.get(), next, left);
    next = context->inPtr;
    left = context->inAvail;
    bandBegun = bandBegun || context->bandBuffer != nullptr;
  }
  EXPECT_TRUE(bandBegun);
  EXPECT_EQ(result.status, JD_ERR_SEQUENCE);
  EXPECT_EQ(result.width, 64);  // the frame values known so far
  EXPECT_EQ(context->bandBuffer, nullptr);
  EXPECT_EQ(DecodeStep(context.get(), stream.data(), 2).status, JD_ERR_SEQUENCE);
}

TEST(DecodeStep, RestartMarkerResetsTheScanState) {
  ContextPtr context = ContextIn(kAfterScan);
  context->bitBuffer = 0x5A;
  context->bitCount = 7;
  context->dcPred[2] = 12;
  context->codeLen = 5;
  context->ffPending = 1;
  context->mcuX = 40;
  Feed(context.get(), JpegBuilder().Rst(3).Take());
  EXPECT_EQ(context->phase, kPhaseInScan);
  EXPECT_EQ(context->bitBuffer, 0u);
  EXPECT_EQ(context->bitCount, 0);
  EXPECT_EQ(context->dcPred[2], 0);
  EXPECT_EQ(context->codeLen, 1);
  EXPECT_EQ(context->ffPending, 0);
  EXPECT_EQ(context->mcuX, 40u);  // the MCU position is kept
}

TEST(DecodeStep, ConverterChoice) {
  constexpr int kNoAdobe = -1;
  const struct {
    const std::vector<test::FrameComponent>* frame;
    const std::vector<test::ScanComponent>* scan;
    int adobe;
    ColorConverter want;
    std::uint8_t transform;
  } rows[] = {
      {&test::kYCbCr420, &test::kYCbCrScan, kNoAdobe, ConvertYCbCrToRgb, 3},
      {&test::kYCbCr420, &test::kYCbCrScan, 0, ConvertNone, 0},
      {&test::kYCbCr420, &test::kYCbCrScan, 1, ConvertYCbCrToRgb, 1},
      {&test::kYCbCr420, &test::kYCbCrScan, 255, ConvertYCbCrToRgb, 1},
      {&test::kFourComponents, &test::kFourComponentScan, kNoAdobe, ConvertYcck, 3},
      {&test::kFourComponents, &test::kFourComponentScan, 0, ConvertNone, 0},
      {&test::kFourComponents, &test::kFourComponentScan, 2, ConvertYcck, 2},
      {&test::kFourComponents, &test::kFourComponentScan, 255, ConvertNone, 0},
      {&test::kGreyFrame, &test::kGreyScan, kNoAdobe, ConvertNone, 3},
      {&test::kGreyFrame, &test::kGreyScan, 1, ConvertNone, 1},
      {&test::kGreyFrame, &test::kGreyScan, 255, ConvertNone, 0},
  };
  for (const auto& row : rows) {
    SCOPED_TRACE(std::to_string(row.frame->size()) + " components, Adobe " +
                 std::to_string(row.adobe));
    JpegBuilder builder;
    builder.Soi();
    if (row.adobe != kNoAdobe) {
      builder.Adobe(static_cast<std::uint8_t>(row.adobe));
    }
    const Outcome run =
        FeedFresh(builder.Dqt(0).Dqt(1).Sof0(16, 16, *row.frame).Sos(*row.scan).Take());
    EXPECT_EQ(run.statuses, std::vector<Status>{kScanEntered});
    EXPECT_EQ(run.colorConvert, row.want);
    EXPECT_EQ(run.colorTransform, row.transform);
  }
}

TEST(DecodeStep, GreyFrameIsTakenAsOneByOne) {
  const Outcome run = FeedFresh(JpegBuilder().Soi().Sof0(8, 8, {{1, 2, 2, 0}}).Take());
  EXPECT_EQ(run.Comp(0).h * 10 + run.Comp(0).v, 11);
  EXPECT_EQ(run.blocksPerMcu, 1);
}

// Frame and scan header, the usual way; each malformed case changes one thing.
Bytes Header(const Bytes& before, const Bytes& frame, const Bytes& tablesAndScan) {
  return JpegBuilder().Soi().Raw(before).Raw(frame).Raw(tablesAndScan).Take();
}

TEST(DecodeStep, MalformedHeadersAreRefusedCleanly) {
  const Bytes dqt = JpegBuilder().Dqt(0).Dqt(1).Take();
  const Bytes grey = JpegBuilder().Sof0(8, 8, test::kGreyFrame).Take();
  const Bytes colour = JpegBuilder().Sof0(8, 8, test::kYCbCr420).Take();
  const Bytes greyScan = JpegBuilder().Sos(test::kGreyScan).Take();
  auto sof = [](std::uint16_t w, std::uint16_t h, std::vector<test::FrameComponent> c,
                std::uint8_t precision = 8) {
    return JpegBuilder().Sof(0xC0, w, h, c, precision).Take();
  };
  auto sos = [](std::vector<test::ScanComponent> c) { return JpegBuilder().Sos(c).Take(); };
  auto segment = [](std::uint8_t code, Bytes payload) {
    return JpegBuilder().Segment(code, payload).Take();
  };
  Bytes shortFrame = grey;
  shortFrame[3] = static_cast<std::uint8_t>(shortFrame[3] - 1);  // one byte short of its fields
  shortFrame.pop_back();
  Bytes sixteenBit(129, 1);
  sixteenBit[0] = 0x10;  // Pq 1, Tq 0
  const struct {
    const char* name;
    Bytes stream;
    Status want;
  } rows[] = {
      {"length field 1", Header({}, {0xFF, 0xC0, 0x00, 0x01}, {}), JD_ERR_DATA},
      {"APPn length 0", Header({0xFF, 0xE1, 0x00, 0x00}, grey, {}), JD_ERR_DATA},
      {"COM length 1", Header({0xFF, 0xFE, 0x00, 0x01}, grey, {}), JD_ERR_DATA},
      {"frame precision 12", Header(dqt, sof(8, 8, test::kGreyFrame, 12), greyScan),
       JD_ERR_UNSUPPORTED},
      {"frame of 5 components",
       Header(dqt,
              sof(8, 8, {{1, 1, 1, 0}, {2, 1, 1, 0}, {3, 1, 1, 0}, {4, 1, 1, 0}, {5, 1, 1, 0}}),
              {}),
       JD_ERR_UNSUPPORTED},
      {"frame of 0 components", Header(dqt, sof(8, 8, {}), {}), JD_ERR_DATA},
      {"frame shorter than its fields", Header(dqt, shortFrame, {}), JD_ERR_DATA},
      {"frame payload of 5 bytes", Header({}, segment(0xC0, {8, 0, 8, 0, 8}), {}), JD_ERR_DATA},
      {"width 0", Header(dqt, sof(0, 8, test::kGreyFrame), {}), JD_ERR_DATA},
      // Height 0: a page of unknown length, whose lines a DNL segment must give.
      {"height 0, ended without a DNL segment",
       Header(dqt, sof(8, 0, test::kGreyFrame), {0xFF, 0xD9}), JD_ERR_DATA},
      {"sampling factor 0", Header(dqt, sof(8, 8, {{1, 1, 1, 0}, {2, 0, 1, 0}}), {}), JD_ERR_DATA},
      {"sampling factor 5", Header(dqt, sof(8, 8, {{1, 1, 5, 0}}), {}), JD_ERR_DATA},
      {"frame Tq 4", Header(dqt, sof(8, 8, {{1, 1, 1, 4}}), {}), JD_ERR_DATA},
      {"scan before frame", Header(dqt, {}, greyScan), JD_ERR_SEQUENCE},
      {"scan of 0 components", Header(dqt, grey, sos({})), JD_ERR_DATA},
      {"scan of 5 components",
       Header(dqt, grey, sos({{1, 0, 0}, {2, 0, 0}, {3, 0, 0}, {4, 0, 0}, {5, 0, 0}})),
       JD_ERR_DATA},
      {"scan shorter than its fields", Header(dqt, grey, segment(0xDA, {1, 1, 0x00, 0, 63})),
       JD_ERR_DATA},
      {"non-interleaved scan", Header(dqt, colour, sos({{1, 0, 0}})), JD_ERR_UNSUPPORTED},
      {"scan Td 4", Header(dqt, grey, sos({{1, 4, 0}})), JD_ERR_DATA},
      {"scan Ta 4", Header(dqt, grey, sos({{1, 0, 4}})), JD_ERR_DATA},
      {"scan Td 2 (never defined)", Header(dqt, grey, sos({{1, 2, 0}})), JD_ERR_DATA},
      {"scan AC table 3 undefined", Header(dqt, grey, sos({{1, 0, 3}})), JD_ERR_DATA},
      {"component without selectors", Header(dqt, colour, sos({{1, 0, 0}, {2, 1, 1}, {9, 1, 1}})),
       JD_ERR_DATA},
      {"quantisation table undefined", Header(JpegBuilder().Dqt(1).Take(), grey, greyScan),
       JD_ERR_DATA},
      {"DQT of 16-bit values", Header(segment(0xDB, sixteenBit), grey, {}), JD_ERR_UNSUPPORTED},
      {"DQT Pq 2", Header(segment(0xDB, Bytes(65, 0x20)), grey, {}), JD_ERR_DATA},
      {"DQT table id 4", Header(segment(0xDB, Bytes(65, 0x04)), grey, {}), JD_ERR_DATA},
      {"DQT table cut short", Header(segment(0xDB, Bytes(64, 0x00)), grey, {}), JD_ERR_DATA},
      {"DQT with a second table cut short", Header(segment(0xDB, Bytes(66, 0x00)), grey, {}),
       JD_ERR_DATA},
      {"DRI length 3", Header({0xFF, 0xDD, 0x00, 0x03, 0x00, 0x01}, grey, {}), JD_ERR_DATA},
      {"DNL length 5", Header(dqt, grey, {0xFF, 0xDC, 0x00, 0x05, 0x00, 0x01}), JD_ERR_DATA},
      {"DNL of 0 lines", Header(dqt, grey, JpegBuilder().Dnl(0).Take()), JD_ERR_DATA},
      {"DNL before frame", Header(JpegBuilder().Dnl(8).Take(), {}, {}), JD_ERR_SEQUENCE},
      {"RST before scan", Header(dqt, grey, {0xFF, 0xD0}), JD_ERR_SEQUENCE},
      {"marker 0xFF from scan data", {}, JD_ERR_UNSUPPORTED},
  };
  for (const auto& row : rows) {
    SCOPED_TRACE(row.name);
    ContextPtr context = NewContext();
    if (row.stream.empty()) {  // the entropy decoder handed back the code 0xFF
      context = ContextIn(kAfterScan);
      context->marker = 0xFF;
      context->markerPending = 1;
    }
    const Outcome run = Feed(context.get(), row.stream);
    EXPECT_EQ(run.statuses, std::vector<Status>{row.want});
    EXPECT_EQ(context->bandBuffer, nullptr);
    // The public probe tells a host the same before it decodes: not for the native decoder.
    JpegDecFrameInfo probed;
    if (!row.stream.empty() &&
        JpegDecProbeFrame(row.stream.data(), row.stream.size(), &probed) == JPEGDEC_PROBE_FRAME) {
      EXPECT_EQ(probed.native, 0);
    }
  }
}

TEST(DecodeStep, UndefinedHuffmanTablesFallBackToTheStandardOnes) {
  for (std::uint8_t id = 0; id < 2; ++id) {
    ContextPtr context = test::NewDecoderContext();  // no table defined
    const Outcome run =
        Feed(context.get(),
             JpegBuilder().Soi().Dqt(0).Sof0(8, 8, test::kGreyFrame).Sos({{1, id, id}}).Take());
    EXPECT_EQ(run.statuses, std::vector<Status>{kScanEntered});
    EXPECT_EQ(context->dcDefined, 1 << id);
    EXPECT_EQ(context->acDefined, 1 << id);
  }
  // A table a DHT segment defined stays as it is.
  ContextPtr context = test::NewDecoderContext();
  Feed(context.get(), JpegBuilder()
                          .Soi()
                          .Dqt(0)
                          .MinimalDht(0x00)
                          .Sof0(8, 8, test::kGreyFrame)
                          .Sos(test::kGreyScan)
                          .Take());
  EXPECT_EQ(context->phase, kPhaseInScan);
  EXPECT_EQ(context->dcTables[0].bits[0], 1);  // the one 1-bit code, not Annex K's table
  EXPECT_EQ(context->acDefined, 1);
}

// Steps through a whole image as the streaming back-end does (pieces ending at `cuts`) and
// lists what each step handed out: statuses other than JD_NEED_DATA (JD_OK only when `withOk`),
// and after each band its bytes.
struct Event {
  Status status;
  Bytes band;
  bool operator==(const Event&) const = default;
};

void PrintTo(const Event& event, std::ostream* out) {
  *out << int{event.status};
  if (!event.band.empty()) {
    *out << " (" << event.band.size() << " bytes)";
  }
}

std::vector<Event> Decode(const Bytes& stream, std::vector<std::size_t> cuts, bool withOk) {
  ContextPtr context = test::NewDecoderContext();
  std::vector<Event> events;
  StepOver(context.get(), stream, std::move(cuts), [&](const StepResult& r) {
    if (r.status == JD_BAND_READY) {
      events.push_back({r.status, Bytes(r.data, r.data + r.count)});
      std::free(r.data);
    } else if (r.status != JD_NEED_DATA && (withOk || r.status != JD_OK)) {
      events.push_back({r.status, {}});
    }
    return true;
  });
  return events;
}

TEST(DecodeStep, ScanPassHandsOutBandsAndHandsMarkersBack) {
  // With the one-code tables of MinimalDht every block is the bits 00: DC difference 0 and end
  // of block, a flat block of 128. 0x3F is one block and six padding 1 bits; 0x0F two blocks.
  const Bytes tables = JpegBuilder().Dqt(0).MinimalDht(0x00).MinimalDht(0x10).Take();
  auto image = [&](std::uint16_t width, std::uint16_t height, const Bytes& rest) {
    return JpegBuilder().Soi().Raw(tables).Sof0(width, height, test::kGreyFrame).Raw(rest).Take();
  };
  const Bytes scan = JpegBuilder().Sos(test::kGreyScan).Take();
  const Bytes rst0 = JpegBuilder().Rst(0).Take();
  const Bytes eoi = JpegBuilder().Eoi().Take();
  auto join = [](std::vector<Bytes> parts) {
    Bytes all;
    for (const Bytes& part : parts) {
      all.insert(all.end(), part.begin(), part.end());
    }
    return all;
  };
  const Event ok = {JD_OK, {}};
  const Event end = {JD_END, {}};
  const Event cutShort = {JD_ERR_DATA, {}};
  const Event band8x8 = {JD_BAND_READY, Bytes(64, 128)};
  const Event band16x8 = {JD_BAND_READY, Bytes(128, 128)};
  const struct {
    const char* name;
    Bytes stream;
    std::vector<Event> want;
  } rows[] = {
      {"one band, then the end marker met in the data",
       image(8, 8, join({scan, {0x3F}, eoi})),
       {band8x8, ok, end}},
      {"data after the last MCU is skipped up to the marker, and damages the image",
       image(8, 8, join({scan, {0x3F, 0x00, 0x12, 0xFF, 0x00, 0xFF, 0xFF}, eoi})),
       {band8x8, ok, cutShort}},
      {"fill bytes after the last MCU are no damage",
       image(8, 8, join({scan, {0x3F, 0xFF, 0xFF}, eoi})),
       {band8x8, ok, end}},
      {"a restart marker after the last MCU",
       image(8, 8, join({JpegBuilder().Dri(1).Take(), scan, {0x3F}, rst0, eoi})),
       {band8x8, ok, end}},
      {"restart marker: taken in the scan pass, the band goes on in the same step",
       image(16, 8, join({JpegBuilder().Dri(1).Take(), scan, {0x3F}, rst0, {0x3F}, eoi})),
       {band16x8, ok, end}},
      {"a band cut short by the end marker is not emitted, and the image fails",
       image(16, 8, join({scan, {0x3F}, eoi})),
       {ok, cutShort}},
      {"the end marker after the first of two bands",
       image(8, 16, join({scan, {0x3F}, eoi})),
       {band8x8, ok, cutShort}},
      // After an interval's last MCU the rest of the byte is padding, whatever its bits: 0x00 is
      // one block and six 0 bits, which would read as three more blocks.
      {"a restart interval padded with 0 bits",
       image(16, 8, join({JpegBuilder().Dri(1).Take(), scan, {0x00}, rst0, {0x00}, eoi})),
       {band16x8, ok, end}},
      {"two MCUs an interval, padded with 0 bits, fill bytes before the marker",
       image(16, 16,
             join({JpegBuilder().Dri(2).Take(), scan, {0x00, 0xFF, 0xFF}, rst0, {0x00}, eoi})),
       {band16x8, band16x8, ok, end}},
      // A missing restart marker: data where it should follow the interval's last MCU. The
      // decoder looks for the next marker; the end marker comes, so the rest of the image is
      // filled with mid-grey (here the samples the data holds too), and the image is damaged.
      {"a restart marker missing",
       image(16, 8, join({JpegBuilder().Dri(1).Take(), scan, {0x0F, 0x0F}, eoi})),
       {band16x8, ok, cutShort}},
      {"DNL after the scan data, then the end marker",
       image(8, 16, join({scan, {0x3F}, JpegBuilder().Dnl(8).Take(), eoi})),
       {band8x8, ok, end}},
      // A scan header before the scan's last MCU: decoding carries on at the MCU reached, but
      // the image is damaged (one interleaved scan holds every MCU).
      {"a second scan header carries on at the MCU reached",
       image(8, 16, join({scan, {0x3F}, scan, {0x3F}, eoi})),
       {band8x8, ok, band8x8, ok, cutShort}},
  };
  for (const auto& row : rows) {
    SCOPED_TRACE(row.name);
    std::vector<Event> want = row.want;
    EXPECT_EQ(Decode(row.stream, {}, true), want);
    std::erase(want, ok);
    for (std::size_t cut = 1; cut < row.stream.size(); ++cut) {
      ASSERT_EQ(Decode(row.stream, {cut}, false), want) << "cut at " << cut;
    }
    EXPECT_EQ(Decode(row.stream, EveryByte(row.stream.size()), false), want) << "1-byte pieces";
  }
}

}  // namespace
}  // namespace jpegdec
