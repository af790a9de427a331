// Huffman tables and entropy decoding, over hand-built DHT segments and scan data.
#include "decoder/entropy/huffman.h"

#include <gtest/gtest.h>

#include <array>
#include <string>
#include <utility>
#include <vector>

#include "decoder/decoder.h"
#include "support/jpeg_builder.h"
#include "support/stage_context.h"

#if defined(JPEGDEC_HAVE_LIBJPEG)
#include <jpeglib.h>

#include <cstdio>  // jpeglib.h needs FILE
#endif

namespace jpegdec {
namespace {

using test::Bytes;
using test::ContextPtr;
using test::DefineHuffmanTables;
using test::DhtTable;
using test::DhtTableBytes;

// A fresh context inside scan data: component 0 uses DC table 0 and AC table 0, no table
// defined yet.
ContextPtr NewContext() {
  ContextPtr context = test::NewDecoderContext();
  EXPECT_NE(context, nullptr);
  context->phase = kPhaseInScan;
  context->comp[0].dcTable = 0;
  context->comp[0].acTable = 16;
  return context;
}

void SetInput(DecoderContext* context, const Bytes& bytes) {
  context->inPtr = bytes.data();
  context->inAvail = static_cast<std::int32_t>(bytes.size());
}

// Puts `count` bits (as a string of '0'/'1') into the bit buffer directly.
void SetBits(DecoderContext* context, const std::string& bits) {
  context->bitBuffer = 0;
  for (char bit : bits) {
    context->bitBuffer = context->bitBuffer << 1 | (bit == '1' ? 1u : 0u);
  }
  context->bitCount = static_cast<std::uint8_t>(bits.size());
}

// Scan data from a bit string: padded with 1 bits to a byte, 0xFF stuffed with 0x00, then
// `tail` (markers, fill bytes) appended as it stands.
Bytes ScanBytes(const std::string& bits, const Bytes& tail = {}) {
  Bytes out;
  std::string padded = bits;
  while (padded.size() % 8 != 0) {
    padded += '1';
  }
  for (std::size_t i = 0; i < padded.size(); i += 8) {
    const auto byte = static_cast<std::uint8_t>(std::stoi(padded.substr(i, 8), nullptr, 2));
    out.push_back(byte);
    if (byte == 0xFF) {
      out.push_back(0x00);
    }
  }
  out.insert(out.end(), tail.begin(), tail.end());
  return out;
}

// A DHT segment from its length field on, as ReadHuffmanTables reads it (the marker is the
// parser's).
Bytes DhtSegment(const std::vector<DhtTable>& tables) {
  const Bytes segment = test::JpegBuilder().Dht(tables).Take();
  return Bytes(segment.begin() + 2, segment.end());
}

// Standard codes used below (T.81 Tables K.3 and K.5), written out by hand.
const char* const kDc0 = "00";            // category 0
const char* const kDc2 = "011";           // category 2
const char* const kDc5 = "110";           // category 5
const char* const kDc11 = "111111110";    // category 11
const char* const kAc01 = "00";           // run 0, size 1
const char* const kAc02 = "01";           // run 0, size 2
const char* const kAc04 = "1011";         // run 0, size 4
const char* const kEob = "1010";          // 0x00
const char* const kAc31 = "111010";       // run 3, size 1
const char* const kAc41 = "111011";       // run 4, size 1
const char* const kAcA1 = "111111010";    // run 10, size 1
const char* const kAcD1 = "11111111000";  // run 13, size 1
const char* const kZrl = "11111111001";   // 0xF0

// Selects AC table 0 for the symbol decoder, as the AC block decoder does.
void SelectAcTable0(DecoderContext* context) {
  context->curBits = context->acTables[0].bits;
  context->curVals = context->acTables[0].vals;
  context->curCodes = context->acTables[0].codes;
  context->curLookup = context->acLookupPtr[0];
  context->curFastLen = context->fastLen[0];
  context->curFirstLong = context->firstLong[0];
  context->curLongCodes = context->longCodes[0];
}

ContextPtr StandardContext() {
  ContextPtr context = NewContext();
  EXPECT_TRUE(LoadStandardHuffmanTable(context.get(), 0x00));
  EXPECT_TRUE(LoadStandardHuffmanTable(context.get(), 0x10));
  return context;
}

// ---- table generation ----

TEST(GenerateHuffmanCodes, LuminanceDcTableOfAnnexK) {
  const std::uint8_t countsAndValues[28] = {0, 1, 5, 1, 1, 1, 1, 1, 1, 0, 0, 0, 0,  0,
                                            0, 0, 0, 1, 2, 3, 4, 5, 6, 7, 8, 9, 10, 11};
  std::uint8_t sizes[kDcCapacity];
  std::uint8_t symbols[kDcCapacity];
  std::uint16_t codes[kDcCapacity];
  GenerateHuffmanCodes(countsAndValues, kDcCapacity, sizes, symbols, codes);
  const std::uint8_t wantSizes[12] = {2, 3, 3, 3, 3, 3, 4, 5, 6, 7, 8, 9};
  const std::uint16_t wantCodes[12] = {0, 2, 3, 4, 5, 6, 14, 30, 62, 126, 254, 510};
  for (int i = 0; i < kDcCapacity; ++i) {
    EXPECT_EQ(sizes[i], wantSizes[i]) << i;
    EXPECT_EQ(codes[i], wantCodes[i]) << i;
    EXPECT_EQ(symbols[i], i) << i;
  }
}

TEST(GenerateHuffmanCodes, EntriesPastTheLastCodeKeepSizeZero) {
  const std::uint8_t countsAndValues[19] = {0, 3, 0, 0, 0, 0, 0, 0, 0, 0,
                                            0, 0, 0, 0, 0, 0, 7, 8, 9};
  std::uint8_t sizes[kDcCapacity];
  std::uint8_t symbols[kDcCapacity];
  std::uint16_t codes[kDcCapacity];
  for (auto& size : sizes) {
    size = 0xAA;
  }
  GenerateHuffmanCodes(countsAndValues, kDcCapacity, sizes, symbols, codes);
  EXPECT_EQ(codes[0], 0);
  EXPECT_EQ(codes[2], 2);
  for (int i = 3; i < kDcCapacity; ++i) {
    EXPECT_EQ(sizes[i], 0) << i;
  }
}

TEST(AcLookup, ShortTableHasOneEntryPerCodeAndSummaryValues) {
  ContextPtr context = NewContext();
  DefineHuffmanTables(context.get(), {{0x10, {0, 2, 1}, {0x01, 0x00, 0x11}}});
  const AcHuffmanTable& table = context->acTables[0];
  EXPECT_EQ(table.codes[0], 0b00);
  EXPECT_EQ(table.codes[1], 0b01);
  EXPECT_EQ(table.codes[2], 0b100);
  EXPECT_EQ(context->fastLen[0], 3);
  EXPECT_EQ(context->firstLong[0], 3);
  EXPECT_EQ(context->longCodes[0], 0);
  int filled = 0;
  for (int length = 1; length <= kFastLookupLengths; ++length) {
    for (int v = 0; v < (1 << length); ++v) {
      const std::uint16_t entry = context->acLookupPtr[0][length - 1][v];
      std::uint16_t want = kNoSymbol;
      if (length == 2 && v == 0) {
        want = 0x01;
      } else if (length == 2 && v == 1) {
        want = 0x00;
      } else if (length == 3 && v == 4) {
        want = 0x11;
      }
      EXPECT_EQ(entry, want) << "length " << length << " value " << v;
      filled += entry != kNoSymbol ? 1 : 0;
    }
  }
  EXPECT_EQ(filled, 3);
}

TEST(AcLookup, ShortTableRefusesBits11OnceFourBitsAreAtHand) {
  for (const char* bits : {"1100", "1101", "1110", "1111"}) {
    ContextPtr context = NewContext();
    DefineHuffmanTables(context.get(), {{0x10, {0, 2, 1}, {0x01, 0x00, 0x11}}});
    SelectAcTable0(context.get());
    const Bytes none;
    SetInput(context.get(), none);
    SetBits(context.get(), std::string(bits, 3));
    EXPECT_EQ(DecodeAcSymbol(context.get()), JD_NEED_DATA) << bits;
    SetBits(context.get(), bits);
    context->codeLen = 1;
    context->codeIndex = 0;
    EXPECT_EQ(DecodeAcSymbol(context.get()), JD_ERR_DATA) << bits;
  }
}

TEST(AcLookup, NineBitShortestCodeUsesTheLinearSearch) {
  ContextPtr context = NewContext();
  // Two 9-bit codes: 000000000 -> 0x00 (EOB), 000000001 -> 0x01.
  DefineHuffmanTables(context.get(), {{0x10, {0, 0, 0, 0, 0, 0, 0, 0, 2}, {0x00, 0x01}}});
  EXPECT_EQ(context->fastLen[0], 0);
  EXPECT_EQ(context->firstLong[0], 0);
  EXPECT_EQ(context->longCodes[0], 1);
  for (int i = 0; i < kLookupEntriesPerTable; ++i) {
    ASSERT_EQ(context->acLookup[0][i], kNoSymbol) << i;
  }
  // One coefficient (run 0 size 1, bit 1) then EOB.
  LoadStandardHuffmanTable(context.get(), 0x00);
  const Bytes data = ScanBytes(std::string(kDc0) + "000000001" + "1" + "000000000");
  SetInput(context.get(), data);
  std::int16_t difference = -1;
  ASSERT_EQ(DecodeDcDifference(context.get(), &difference), 1);
  ASSERT_EQ(DecodeAcCoefficients(context.get()), 1);
  EXPECT_EQ(context->block[1], 1);
  EXPECT_EQ(context->block[2], 0);
}

TEST(AcLookup, RedefinitionReplacesTheWholeLookup) {
  ContextPtr context = NewContext();
  DefineHuffmanTables(context.get(), {{0x10, {0, 2, 1}, {0x01, 0x00, 0x11}}});
  // Second definition: 0 -> EOB, 10 -> 0x02, 11 -> 0x01.
  DefineHuffmanTables(context.get(), {{0x10, {1, 2}, {0x00, 0x02, 0x01}}});
  EXPECT_EQ(context->acLookupPtr[0][0][0], 0x00);
  EXPECT_EQ(context->acLookupPtr[0][1][2], 0x02);
  EXPECT_EQ(context->acLookupPtr[0][1][3], 0x01);
  EXPECT_EQ(context->acLookupPtr[0][1][0], kNoSymbol);  // the first definition's 00
  EXPECT_EQ(context->acLookupPtr[0][1][1], kNoSymbol);
  EXPECT_EQ(context->acLookupPtr[0][2][4], kNoSymbol);
  EXPECT_EQ(context->fastLen[0], 2);
  EXPECT_EQ(context->firstLong[0], 3);
  // Decoding follows the second definition: 11 + bit 1 -> +1 at 1, 10 + 00 -> -3 at 2, EOB.
  LoadStandardHuffmanTable(context.get(), 0x00);
  const Bytes data = ScanBytes(std::string(kDc0) +
                               "11"
                               "1" +
                               "10"
                               "00" +
                               "0");
  SetInput(context.get(), data);
  std::int16_t difference = -1;
  ASSERT_EQ(DecodeDcDifference(context.get(), &difference), 1);
  ASSERT_EQ(DecodeAcCoefficients(context.get()), 1);
  EXPECT_EQ(context->block[1], 1);
  EXPECT_EQ(context->block[2], -3);
  EXPECT_EQ(context->block[3], 0);
}

// ---- DHT segments ----

TEST(ReadHuffmanTables, StoresFourTablesAndSkipsOtherIds) {
  ContextPtr context = NewContext();
  const DhtTable dc0{0x00, {0, 1, 5, 1, 1, 1, 1, 1, 1}, {0, 1, 2, 3, 4, 5, 6, 7, 8, 9, 10, 11}};
  const DhtTable dc1{0x01, {0, 3}, {0, 1, 2}};
  const DhtTable ac0{0x10, {0, 2, 1}, {0x01, 0x00, 0x11}};
  const DhtTable ac1{0x11, {1}, {0x00}};
  const DhtTable skipped02{0x02, {2}, {5, 6}};
  const DhtTable skipped14{0x14, {1, 1}, {1, 2}};
  const DhtTable skipped21{0x21, {}, {}};
  Bytes segment = DhtSegment({dc0, skipped02, ac0, skipped14, dc1, skipped21, ac1});
  const std::size_t segmentSize = segment.size();
  segment.push_back(0xFF);  // the next marker stays unread
  SetInput(context.get(), segment);
  Status failure = JD_OK;
  ASSERT_EQ(ReadHuffmanTables(context.get(), &failure), 0);
  EXPECT_EQ(failure, JD_OK);
  EXPECT_EQ(context->segRemaining, 0);
  EXPECT_EQ(context->inAvail, 1);
  EXPECT_EQ(context->inPtr, segment.data() + segmentSize);
  EXPECT_EQ(context->dcDefined, 0b11);
  EXPECT_EQ(context->acDefined, 0b11);
  EXPECT_EQ(context->dcTables[0].codes[11], 510);
  EXPECT_EQ(context->dcTables[1].bits[1], 3);
  EXPECT_EQ(context->dcTables[1].vals[2], 2);
  EXPECT_EQ(context->acTables[0].vals[2], 0x11);
  EXPECT_EQ(context->acTables[1].sizes[0], 1);
  EXPECT_EQ(context->acTables[1].sizes[1], 0);
  EXPECT_EQ(context->acLookupPtr[1][0][0], 0x00);
  EXPECT_EQ(context->fastLen[1], 1);
  EXPECT_EQ(context->longCodes[1], 0);
}

TEST(ReadHuffmanTables, SegmentSplitAcrossPiecesReadsTheLengthOnce) {
  const Bytes segment = DhtSegment({{0x10, {0, 2, 1}, {0x01, 0x00, 0x11}}});
  for (std::size_t split = 0; split < segment.size(); ++split) {
    ContextPtr context = NewContext();
    const Bytes first(segment.begin(), segment.begin() + static_cast<std::ptrdiff_t>(split));
    SetInput(context.get(), first);
    Status failure = JD_OK;
    ASSERT_EQ(ReadHuffmanTables(context.get(), &failure), 1) << split;
    // The length field, once complete, stays consumed; nothing else is.
    const std::size_t consumed = split >= 2 ? 2 : 0;
    EXPECT_EQ(context->inAvail, static_cast<std::int32_t>(split - consumed)) << split;
    EXPECT_EQ(context->acDefined, 0) << split;
    const Bytes rest(segment.begin() + static_cast<std::ptrdiff_t>(consumed), segment.end());
    SetInput(context.get(), rest);
    ASSERT_EQ(ReadHuffmanTables(context.get(), &failure), 0) << split;
    EXPECT_EQ(failure, JD_OK);
    EXPECT_EQ(context->inAvail, 0);
    EXPECT_EQ(context->segRemaining, 0);
    EXPECT_EQ(context->acTables[0].codes[2], 0b100) << split;
  }
}

TEST(ReadHuffmanTables, MalformedSegmentsAreDataErrors) {
  const Bytes good = DhtTableBytes({0x10, {0, 2, 1}, {0x01, 0x00, 0x11}});
  Bytes thirteenDc = DhtTableBytes({0x00, {0, 0, 0, 13}, std::vector<std::uint8_t>(13, 1)});
  // 257 AC codes: 255 of 16 bits and 2 of 15 bits fit the code space but not the table.
  std::vector<std::uint8_t> counts257(16, 0);
  counts257[14] = 2;
  counts257[15] = 255;
  const Bytes ac257 = DhtTableBytes({0x10, counts257, std::vector<std::uint8_t>(257, 1)});
  const struct {
    const char* name;
    Bytes payload;    // after the length field
    int lengthDelta;  // added to the true length
  } cases[] = {
      {"length 0", {}, -2},
      {"length 1", {}, -1},
      {"DC table with 13 codes", thirteenDc, 0},
      {"AC table with 257 codes", ac257, 0},
      {"three 1-bit codes", DhtTableBytes({0x10, {3}, {1, 2, 3}}), 0},
      {"2-bit code reaching 4", DhtTableBytes({0x00, {1, 3}, {1, 2, 3, 4}}), 0},
      {"4-bit code after a full space", DhtTableBytes({0x11, {1, 1, 2, 1}, {1, 2, 3, 4, 5}}), 0},
      // One code of each length 1..15 leaves two 16-bit codes; three reach 65536.
      {"16-bit code past 65535",
       DhtTableBytes({0x11, {1, 1, 1, 1, 1, 1, 1, 1, 1, 1, 1, 1, 1, 1, 1, 3}, Bytes(18, 1)}), 0},
      {"length one byte short", good, -1},
      {"length one byte long", good, 1},
      {"length short of a table header", Bytes(good.begin(), good.begin() + 10), 0},
  };
  for (const auto& c : cases) {
    ContextPtr context = NewContext();
    const int length = static_cast<int>(c.payload.size()) + 2 + c.lengthDelta;
    Bytes segment{static_cast<std::uint8_t>(length >> 8), static_cast<std::uint8_t>(length)};
    segment.insert(segment.end(), c.payload.begin(), c.payload.end());
    segment.resize(segment.size() + 4, 0x00);  // bytes after the segment
    SetInput(context.get(), segment);
    Status failure = JD_OK;
    EXPECT_EQ(ReadHuffmanTables(context.get(), &failure), 0) << c.name;
    EXPECT_EQ(failure, JD_ERR_DATA) << c.name;
    EXPECT_EQ(context->segRemaining, 0) << c.name;
  }
}

TEST(ReadHuffmanTables, FullCodeSpaceAndEmptySegmentAreAccepted) {
  ContextPtr context = NewContext();
  // Two 1-bit codes fill the space exactly; an empty segment (length 2) holds no table.
  DefineHuffmanTables(context.get(), {{0x10, {2}, {0x01, 0x00}}});
  EXPECT_EQ(context->fastLen[0], 1);
  const Bytes empty{0x00, 0x02};
  SetInput(context.get(), empty);
  Status failure = JD_OK;
  EXPECT_EQ(ReadHuffmanTables(context.get(), &failure), 0);
  EXPECT_EQ(failure, JD_OK);
  EXPECT_EQ(context->inAvail, 0);
}

TEST(LoadStandardHuffmanTable, LoadsTheFourAnnexKTablesOnly) {
  ContextPtr context = NewContext();
  for (const std::uint8_t id : Bytes{0x00, 0x01, 0x10, 0x11}) {
    EXPECT_TRUE(LoadStandardHuffmanTable(context.get(), id)) << int{id};
  }
  for (const std::uint8_t id : Bytes{0x02, 0x12, 0x13, 0x20, 0xFF}) {
    EXPECT_FALSE(LoadStandardHuffmanTable(context.get(), id)) << int{id};
  }
  EXPECT_EQ(context->dcDefined, 0b11);
  EXPECT_EQ(context->acDefined, 0b11);
  EXPECT_EQ(context->dcTables[1].codes[11], 2046);     // K.4: category 11 is 11 bits
  EXPECT_EQ(context->acTables[0].codes[161], 0xFFFE);  // K.5: 0xFA is 1111111111111110
  EXPECT_EQ(context->acTables[0].vals[161], 0xFA);
  EXPECT_EQ(context->fastLen[0], 8);
  EXPECT_EQ(context->firstLong[0], 18);
  EXPECT_EQ(context->longCodes[0], 1);
  EXPECT_EQ(context->acLookupPtr[0][3][0b1010], 0x00);  // EOB
}

#if defined(JPEGDEC_HAVE_LIBJPEG)
TEST(LoadStandardHuffmanTable, MatchesTheReferenceEncodersDefaults) {
  jpeg_compress_struct cinfo{};
  jpeg_error_mgr jerr{};
  cinfo.err = jpeg_std_error(&jerr);
  jpeg_create_compress(&cinfo);
  cinfo.in_color_space = JCS_YCbCr;
  cinfo.input_components = 3;
  jpeg_set_defaults(&cinfo);
  ContextPtr context = NewContext();
  for (int t = 0; t < 2; ++t) {
    LoadStandardHuffmanTable(context.get(), static_cast<std::uint8_t>(t));
    LoadStandardHuffmanTable(context.get(), static_cast<std::uint8_t>(0x10 + t));
    const JHUFF_TBL* dc = cinfo.dc_huff_tbl_ptrs[t];
    const JHUFF_TBL* ac = cinfo.ac_huff_tbl_ptrs[t];
    int dcTotal = 0;
    int acTotal = 0;
    for (int length = 1; length <= 16; ++length) {
      EXPECT_EQ(context->dcTables[t].bits[length - 1], dc->bits[length]) << t << " " << length;
      EXPECT_EQ(context->acTables[t].bits[length - 1], ac->bits[length]) << t << " " << length;
      dcTotal += dc->bits[length];
      acTotal += ac->bits[length];
    }
    for (int i = 0; i < dcTotal; ++i) {
      EXPECT_EQ(context->dcTables[t].vals[i], dc->huffval[i]) << t << " " << i;
    }
    for (int i = 0; i < acTotal; ++i) {
      EXPECT_EQ(context->acTables[t].vals[i], ac->huffval[i]) << t << " " << i;
    }
  }
  jpeg_destroy_compress(&cinfo);
}
#endif

// ---- extra bits ----

TEST(ReceiveExtend, MapsExtraBitsToSignedValues) {
  const struct {
    std::uint8_t n;
    const char* bits;
    std::int16_t value;
  } cases[] = {
      {1, "0", -1},
      {1, "1", 1},
      {3, "000", -7},
      {3, "011", -4},
      {3, "100", 4},
      {3, "111", 7},
      {11, "00000000000", -2047},
      {11, "11111111111", 2047},
      {15, "000000000000000", -32767},
      {15, "111111111111111", 32767},
  };
  for (const auto& c : cases) {
    ContextPtr context = NewContext();
    SetBits(context.get(), std::string(c.bits) + "01");  // two bits that must stay
    const Bytes none;
    SetInput(context.get(), none);
    std::int16_t value = 0x5555;
    ASSERT_EQ(ReceiveExtend(c.n, context.get(), &value), 1) << c.bits;
    EXPECT_EQ(value, c.value) << c.bits;
    EXPECT_EQ(context->bitCount, 2) << c.bits;
    EXPECT_EQ(context->bitBuffer, 0b01u) << c.bits;
  }
}

TEST(ReceiveExtend, ZeroBitsReadsNothingAndMissingBitsWait) {
  ContextPtr context = NewContext();
  const Bytes data{0xA5};
  SetInput(context.get(), data);
  std::int16_t value = 0x5555;
  ASSERT_EQ(ReceiveExtend(0, context.get(), &value), 1);
  EXPECT_EQ(value, 0);
  EXPECT_EQ(context->inAvail, 1);
  EXPECT_EQ(context->bitCount, 0);
  // Nine bits with eight at hand: the value is not written and no bit is consumed.
  value = 0x5555;
  ASSERT_EQ(ReceiveExtend(9, context.get(), &value), JD_NEED_DATA);
  EXPECT_EQ(value, 0x5555);
  EXPECT_EQ(context->bitCount, 8);
}

// ---- blocks ----

struct BlockCase {
  const char* name;
  std::string bits;
  std::uint8_t acResult;
  std::vector<std::pair<int, std::int16_t>> nonzero;  // expected (position, value)
};

TEST(DecodeAcCoefficients, BlockEndings) {
  const std::string zrl3 = std::string(kZrl) + kZrl + kZrl;  // k: 1 -> 49
  const BlockCase cases[] = {
      {"EOB right after DC", std::string(kDc0) + kEob, 1, {}},
      {"coefficient at 63 without EOB",
       std::string(kDc0) + zrl3 + kAcD1 + "1" + kAc01 + "0" + kDc0,
       1,
       {{62, 1}, {63, -1}}},
      {"ZRL at 47 accepted",
       std::string(kDc0) + kZrl + kZrl + kAcD1 + "1" + kZrl + kAc01 + "1",
       1,
       {{46, 1}, {63, 1}}},
      {"ZRL at 48 refused",
       std::string(kDc0) + kZrl + kZrl + kAcD1 + "1" + kAc01 + "1" + kZrl,
       JD_ERR_DATA,
       {}},
      {"run 3 at 60 accepted",
       std::string(kDc0) + zrl3 + kAcA1 + "1" + kAc31 + "0",
       1,
       {{59, 1}, {63, -1}}},
      {"run 4 at 60 refused",
       std::string(kDc0) + zrl3 + kAcA1 + "1" + kAc41 + "0",
       JD_ERR_DATA,
       {}},
      {"sizes 1, 2 and 4",
       std::string(kDc0) + kAc01 + "0" + kAc02 + "10" + kAc04 + "0111" + kEob,
       1,
       {{1, -1}, {2, 2}, {3, -8}}},
  };
  for (const BlockCase& c : cases) {
    ContextPtr context = StandardContext();
    const Bytes data = ScanBytes(c.bits);
    SetInput(context.get(), data);
    for (auto& coefficient : context->block) {
      coefficient = 0x5555;
    }
    std::int16_t difference = 0x5555;
    ASSERT_EQ(DecodeDcDifference(context.get(), &difference), 1) << c.name;
    EXPECT_EQ(difference, 0) << c.name;
    EXPECT_EQ(context->coefIndex, 1) << c.name;
    ASSERT_EQ(DecodeAcCoefficients(context.get()), c.acResult) << c.name;
    if (c.acResult != 1) {
      continue;
    }
    std::array<std::int16_t, kBlockSize> want{};
    want[0] = 0x5555;  // position 0 is not the entropy decoder's
    for (const auto& [position, value] : c.nonzero) {
      want[static_cast<std::size_t>(position)] = value;
    }
    for (std::size_t k = 0; k < want.size(); ++k) {
      EXPECT_EQ(context->block[k], want[k]) << c.name << " position " << k;
    }
  }
}

TEST(DecodeDcDifference, CategoriesAbove11AreDataErrors) {
  for (std::uint8_t category = 11; category <= 16; ++category) {
    ContextPtr context = NewContext();
    // One 1-bit code "0" for the category under test.
    DefineHuffmanTables(context.get(), {{0x00, {1}, {category}}});
    const Bytes data = ScanBytes("0" + std::string(16, '0'));
    SetInput(context.get(), data);
    std::int16_t difference = 0;
    const std::uint8_t want = category <= kMaxDcCategory ? 1 : JD_ERR_DATA;
    EXPECT_EQ(DecodeDcDifference(context.get(), &difference), want) << int{category};
  }
}

TEST(DecodeDcDifference, UndefinedOrOutOfRangeTablesAreRefused) {
  ContextPtr context = NewContext();
  const Bytes data = ScanBytes(std::string(kDc0) + kEob);
  SetInput(context.get(), data);
  std::int16_t difference = 0;
  EXPECT_EQ(DecodeDcDifference(context.get(), &difference), JD_ERR_DATA);  // none defined
  LoadStandardHuffmanTable(context.get(), 0x00);
  context->comp[0].dcTable = 7;
  EXPECT_EQ(DecodeDcDifference(context.get(), &difference), JD_ERR_DATA);
  context->comp[0].dcTable = 0;
  ASSERT_EQ(DecodeDcDifference(context.get(), &difference), 1);
  context->comp[0].acTable = 0x14;
  EXPECT_EQ(DecodeAcCoefficients(context.get()), JD_ERR_DATA);
  context->comp[0].acTable = 0x11;
  EXPECT_EQ(DecodeAcCoefficients(context.get()), JD_ERR_DATA);  // AC table 1 never defined
}

// ---- markers, stuffing and fill bytes ----

TEST(ScanData, StuffedFFIsOneDataByte) {
  ContextPtr context = StandardContext();
  // Category 11 and eleven 1 bits begin with eight 1 bits: the first byte is 0xFF 0x00.
  const Bytes data = ScanBytes(std::string(kDc11) + "11111111111" + kEob);
  ASSERT_EQ(data[0], 0xFF);
  ASSERT_EQ(data[1], 0x00);
  SetInput(context.get(), data);
  std::int16_t difference = 0;
  ASSERT_EQ(DecodeDcDifference(context.get(), &difference), 1);
  EXPECT_EQ(difference, 2047);
  EXPECT_EQ(DecodeAcCoefficients(context.get()), 1);
  EXPECT_EQ(context->inAvail, 0);
}

TEST(ScanData, MarkerAfterAPieceEndingIn0xFF) {
  {
    ContextPtr context = StandardContext();
    const Bytes first{0xFF};
    const Bytes second{0xD0, 0x12};
    SetInput(context.get(), first);
    std::int16_t difference = 0;
    ASSERT_EQ(DecodeDcDifference(context.get(), &difference), JD_NEED_DATA);
    EXPECT_EQ(context->inAvail, 0);
    SetInput(context.get(), second);
    ASSERT_EQ(ResumeDcDifference(context.get(), &difference), JD_OK);
    EXPECT_EQ(context->marker, 0xD0);
    EXPECT_EQ(context->markerPending, 1);
    EXPECT_EQ(context->phase, kPhaseOutsideScan);
    EXPECT_EQ(context->inAvail, 1);
  }
  {
    ContextPtr context = StandardContext();
    const Bytes first = ScanBytes(kDc0, {0xFF});  // DC then a 0xFF where AC bits should be
    const Bytes second{0xD0};
    SetInput(context.get(), first);
    std::int16_t difference = 0;
    ASSERT_EQ(DecodeDcDifference(context.get(), &difference), 1);
    // The padding 1 bits of the first byte do not make a code; the search waits.
    ASSERT_EQ(DecodeAcCoefficients(context.get()), JD_NEED_DATA);
    SetInput(context.get(), second);
    // Inside a block the marker is an error, handed back for the band decoder to judge.
    EXPECT_EQ(ResumeAcCoefficients(context.get()), JD_ERR_DATA);
    EXPECT_EQ(context->marker, 0xD0);
    EXPECT_EQ(context->phase, kPhaseOutsideScan);
  }
}

TEST(ScanData, ResumeWithoutInputKeepsWaiting) {
  ContextPtr context = StandardContext();
  const Bytes first{0xFF};
  const Bytes none;
  const Bytes rest{0x00, 0x12};
  SetInput(context.get(), first);
  std::int16_t difference = 0;
  ASSERT_EQ(DecodeDcDifference(context.get(), &difference), JD_NEED_DATA);
  SetInput(context.get(), none);
  ASSERT_EQ(ResumeDcDifference(context.get(), &difference), JD_NEED_DATA);
  SetInput(context.get(), rest);
  // 0xFF 0x00 0x12 = 11111111 00010010: category 11 (111111110), then 7 of its 11 extra bits.
  ASSERT_EQ(ResumeDcDifference(context.get(), &difference), JD_NEED_DATA);
  EXPECT_EQ(context->dcSymbol, 11);
  EXPECT_EQ(context->symbolPending, 1);
  EXPECT_EQ(context->bitCount, 7);
}

// What the entropy decoder yields for a stream of blocks, driven as the band decoder drives
// it: fresh forms, resume forms after JD_NEED_DATA, the DC form again after a fill byte.
struct StreamResult {
  std::vector<std::int16_t> differences;
  std::vector<std::array<std::int16_t, kBlockSize>> blocks;
  std::uint8_t endStatus = 0xEE;
  std::uint8_t marker = 0;
  int fillBytesTaken = 0;
  bool operator==(const StreamResult&) const = default;
};

// Feeds `data` in pieces ending at `cuts` (the last piece ends at the data's end); `emptyPieces`
// offers an empty piece after each JD_NEED_DATA first.
StreamResult DecodeStream(const Bytes& data, std::vector<std::size_t> cuts,
                          bool emptyPieces = false) {
  ContextPtr context = StandardContext();
  cuts.push_back(data.size());
  std::size_t piece = 0;
  std::size_t start = 0;
  const Bytes none;
  bool emptyOffered = false;
  auto adoptNext = [&]() -> bool {
    EXPECT_EQ(context->inAvail, 0);  // JD_NEED_DATA means the piece is used up
    if (emptyPieces && !emptyOffered) {
      emptyOffered = true;
      SetInput(context.get(), none);
      return true;
    }
    emptyOffered = false;
    if (piece + 1 >= cuts.size()) {
      return false;
    }
    start = cuts[piece];
    ++piece;
    context->inPtr = data.data() + start;
    context->inAvail = static_cast<std::int32_t>(cuts[piece] - start);
    return true;
  };
  context->inPtr = data.data();
  context->inAvail = static_cast<std::int32_t>(cuts[0]);
  StreamResult result;
  bool resume = false;
  for (int guard = 0; guard < 100000; ++guard) {
    std::int16_t difference = 0;
    std::uint8_t status = resume ? ResumeDcDifference(context.get(), &difference)
                                 : DecodeDcDifference(context.get(), &difference);
    resume = false;
    if (status == JD_NEED_DATA) {
      resume = true;
      if (!adoptNext()) {
        result.endStatus = JD_NEED_DATA;
        return result;
      }
      continue;
    }
    if (status == JD_OK && context->phase == kPhaseInScan) {
      ++result.fillBytesTaken;
      continue;
    }
    if (status != 1) {
      result.endStatus = status;
      result.marker = status == JD_OK ? context->marker : std::uint8_t{0};
      return result;
    }
    result.differences.push_back(difference);
    status = DecodeAcCoefficients(context.get());
    while (status == JD_NEED_DATA) {
      if (!adoptNext()) {
        result.endStatus = JD_NEED_DATA;
        return result;
      }
      status = ResumeAcCoefficients(context.get());
    }
    if (status != 1) {
      result.endStatus = status;
      return result;
    }
    std::array<std::int16_t, kBlockSize> block{};
    for (std::size_t k = 1; k < block.size(); ++k) {
      block[k] = context->block[k];
    }
    result.blocks.push_back(block);
    context->coefIndex = 0;
  }
  ADD_FAILURE() << "no end";
  return result;
}

struct StreamCase {
  const char* name;
  Bytes data;
  std::uint8_t endStatus;
  std::uint8_t marker;
  std::size_t blocks;
};

std::vector<StreamCase> StreamCases() {
  const std::string block1 = std::string(kDc11) + "11111111111" + kAc04 + "1111" + kEob;
  const std::string block2 = std::string(kDc5) + "00000" + kAc02 + "11" + kZrl + kAc01 + "1" + kEob;
  const std::string block3 = std::string(kDc2) + "10" + kAcD1 + "0" + kAc31 + "1" + kEob;
  const std::string blocks = block1 + block2 + block3;
  Bytes cutShort = ScanBytes(blocks);
  cutShort.pop_back();
  return {
      {"end of image", ScanBytes(blocks, {0xFF, 0xD9}), JD_OK, 0xD9, 3},
      {"fill byte before end of image", ScanBytes(blocks, {0xFF, 0xFF, 0xD9}), JD_OK, 0xD9, 3},
      {"fill byte before restart", ScanBytes(blocks, {0xFF, 0xFF, 0xD0}), JD_OK, 0xD0, 3},
      {"two fill bytes before end of image", ScanBytes(blocks, {0xFF, 0xFF, 0xFF, 0xD9}), JD_OK,
       0xD9, 3},
      {"0xFF 0xFF 0x00 hands back 0xFF", ScanBytes(blocks, {0xFF, 0xFF, 0x00}), JD_OK, 0xFF, 3},
      {"marker inside AC data", ScanBytes(block1 + kDc0 + kAc01, {0xFF, 0xD0}), JD_ERR_DATA, 0, 1},
      {"marker inside DC extra bits", ScanBytes(block1 + kDc11 + "0", {0xFF, 0xD0}), JD_ERR_DATA, 0,
       1},
      {"fill bytes inside AC data", ScanBytes(block1 + kDc0 + "1", {0xFF, 0xFF, 0xD9}), JD_ERR_DATA,
       0, 1},
      {"cut short", cutShort, JD_NEED_DATA, 0, 2},
  };
}

TEST(ScanData, StreamCasesDecodeAsExpectedWhole) {
  for (const StreamCase& c : StreamCases()) {
    const StreamResult whole = DecodeStream(c.data, {});
    EXPECT_EQ(whole.endStatus, c.endStatus) << c.name;
    EXPECT_EQ(whole.marker, c.marker) << c.name;
    EXPECT_EQ(whole.blocks.size(), c.blocks) << c.name;
  }
  const StreamResult first = DecodeStream(StreamCases()[0].data, {});
  ASSERT_EQ(first.differences.size(), 3u);
  EXPECT_EQ(first.differences[0], 2047);
  EXPECT_EQ(first.differences[1], -31);
  EXPECT_EQ(first.differences[2], 2);
  EXPECT_EQ(first.blocks[0][1], 15);
  EXPECT_EQ(first.blocks[1][1], 3);
  EXPECT_EQ(first.blocks[1][18], 1);
  EXPECT_EQ(first.blocks[2][14], -1);
  EXPECT_EQ(first.blocks[2][18], 1);
}

TEST(ScanData, EverySplitGivesTheWholeResult) {
  for (const StreamCase& c : StreamCases()) {
    const StreamResult whole = DecodeStream(c.data, {});
    std::vector<std::size_t> everyByte;
    for (std::size_t cut = 1; cut < c.data.size(); ++cut) {
      std::vector<std::size_t> two{cut};
      EXPECT_EQ(DecodeStream(c.data, two), whole) << c.name << " cut at " << cut;
      everyByte.push_back(cut);
    }
    EXPECT_EQ(DecodeStream(c.data, everyByte), whole) << c.name << " in 1-byte pieces";
    EXPECT_EQ(DecodeStream(c.data, everyByte, true), whole) << c.name << " with empty pieces";
  }
}

TEST(ScanData, FillByteTakenByTheDcDecoderThenTheMarker) {
  ContextPtr context = StandardContext();
  const Bytes data{0xFF, 0xFF, 0xD9};
  SetBits(context.get(), "11");  // padding of the previous block
  SetInput(context.get(), data);
  std::int16_t difference = 0;
  ASSERT_EQ(DecodeDcDifference(context.get(), &difference), JD_OK);
  EXPECT_EQ(context->phase, kPhaseInScan);
  EXPECT_EQ(context->bitCount, 10);
  EXPECT_EQ(context->markerPending, 0);
  ASSERT_EQ(DecodeDcDifference(context.get(), &difference), JD_OK);
  EXPECT_EQ(context->phase, kPhaseOutsideScan);
  EXPECT_EQ(context->marker, 0xD9);
  EXPECT_EQ(context->inAvail, 0);
}

TEST(ScanData, FillByteGivesTheAcSearchEightOneBits) {
  ContextPtr context = StandardContext();
  const Bytes data{0xFF, 0xFF, 0xD9};
  SetBits(context.get(), "101");  // a prefix of 1010 and 1011
  SetInput(context.get(), data);
  SelectAcTable0(context.get());
  ASSERT_EQ(DecodeAcSymbol(context.get()), 1);
  EXPECT_EQ(context->acSymbol, 0x04);  // 101 + 1
  EXPECT_EQ(context->bitCount, 7);
}

TEST(ScanData, RestartMarkerAfterTrailingOneBitsIsHandedBack) {
  for (int ones = 0; ones < 8; ++ones) {
    ContextPtr context = StandardContext();
    SetBits(context.get(), std::string(static_cast<std::size_t>(ones), '1'));
    const Bytes data{0xFF, 0xD0, 0x00};
    SetInput(context.get(), data);
    std::int16_t difference = 0;
    ASSERT_EQ(DecodeDcDifference(context.get(), &difference), JD_OK) << ones;
    EXPECT_EQ(context->marker, 0xD0) << ones;
    EXPECT_EQ(context->markerPending, 1) << ones;
    EXPECT_EQ(context->phase, kPhaseOutsideScan) << ones;
    EXPECT_EQ(context->inAvail, 1) << ones;
  }
}

}  // namespace
}  // namespace jpegdec
