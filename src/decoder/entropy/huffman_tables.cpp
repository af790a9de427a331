// Huffman table definition: DHT segments, code generation, the AC fast lookups and the
// standard tables of ITU-T T.81 Annex K.
#include <cstring>

#include "decoder/entropy/huffman.h"
#include "decoder/entropy/huffman_fast.h"
#include "decoder/entropy/huffman_internal.h"
#include "decoder/segment_reader.h"

namespace jpegdec {
namespace {

constexpr int kCountBytes = 16;                     // BITS: codes of each length 1..16
constexpr int kTableHeaderBytes = 1 + kCountBytes;  // class-and-id byte, then BITS

// Class-and-id bytes as DHT carries them (compared whole, not split into nibbles).
constexpr std::uint8_t kDcTable0 = 0x00;
constexpr std::uint8_t kDcTable1 = 0x01;
constexpr std::uint8_t kAcTable0 = 0x10;
constexpr std::uint8_t kAcTable3 = 0x13;

// T.81 Annex K standard tables, laid out as in a DHT segment: BITS, then HUFFVAL.
// Table K.3: luminance DC.
constexpr std::uint8_t kStdDcLuminance[kCountBytes + 12] = {0, 1, 5, 1, 1, 1, 1, 1, 1, 0, 0,  0,
                                                            0, 0, 0, 0,  //
                                                            0, 1, 2, 3, 4, 5, 6, 7, 8, 9, 10, 11};
// Table K.4: chrominance DC.
constexpr std::uint8_t kStdDcChrominance[kCountBytes + 12] = {0, 3, 1, 1, 1, 1, 1, 1, 1, 1, 1,  0,
                                                              0, 0, 0, 0,  //
                                                              0, 1, 2, 3, 4, 5, 6, 7, 8, 9, 10, 11};
// Table K.5: luminance AC.
constexpr std::uint8_t kStdAcLuminance[kCountBytes + 162] = {
    0,    2,    1,    3,    3,    2,    4,    3,    5,    5,    4,    4,    0,    0,    1,
    0x7d,  //
    0x01, 0x02, 0x03, 0x00, 0x04, 0x11, 0x05, 0x12, 0x21, 0x31, 0x41, 0x06, 0x13, 0x51, 0x61,
    0x07, 0x22, 0x71, 0x14, 0x32, 0x81, 0x91, 0xa1, 0x08, 0x23, 0x42, 0xb1, 0xc1, 0x15, 0x52,
    0xd1, 0xf0, 0x24, 0x33, 0x62, 0x72, 0x82, 0x09, 0x0a, 0x16, 0x17, 0x18, 0x19, 0x1a, 0x25,
    0x26, 0x27, 0x28, 0x29, 0x2a, 0x34, 0x35, 0x36, 0x37, 0x38, 0x39, 0x3a, 0x43, 0x44, 0x45,
    0x46, 0x47, 0x48, 0x49, 0x4a, 0x53, 0x54, 0x55, 0x56, 0x57, 0x58, 0x59, 0x5a, 0x63, 0x64,
    0x65, 0x66, 0x67, 0x68, 0x69, 0x6a, 0x73, 0x74, 0x75, 0x76, 0x77, 0x78, 0x79, 0x7a, 0x83,
    0x84, 0x85, 0x86, 0x87, 0x88, 0x89, 0x8a, 0x92, 0x93, 0x94, 0x95, 0x96, 0x97, 0x98, 0x99,
    0x9a, 0xa2, 0xa3, 0xa4, 0xa5, 0xa6, 0xa7, 0xa8, 0xa9, 0xaa, 0xb2, 0xb3, 0xb4, 0xb5, 0xb6,
    0xb7, 0xb8, 0xb9, 0xba, 0xc2, 0xc3, 0xc4, 0xc5, 0xc6, 0xc7, 0xc8, 0xc9, 0xca, 0xd2, 0xd3,
    0xd4, 0xd5, 0xd6, 0xd7, 0xd8, 0xd9, 0xda, 0xe1, 0xe2, 0xe3, 0xe4, 0xe5, 0xe6, 0xe7, 0xe8,
    0xe9, 0xea, 0xf1, 0xf2, 0xf3, 0xf4, 0xf5, 0xf6, 0xf7, 0xf8, 0xf9, 0xfa};
// Table K.6: chrominance AC.
constexpr std::uint8_t kStdAcChrominance[kCountBytes + 162] = {
    0,    2,    1,    2,    4,    4,    3,    4,    7,    5,    4,    4,    0,    1,    2,
    0x77,  //
    0x00, 0x01, 0x02, 0x03, 0x11, 0x04, 0x05, 0x21, 0x31, 0x06, 0x12, 0x41, 0x51, 0x07, 0x61,
    0x71, 0x13, 0x22, 0x32, 0x81, 0x08, 0x14, 0x42, 0x91, 0xa1, 0xb1, 0xc1, 0x09, 0x23, 0x33,
    0x52, 0xf0, 0x15, 0x62, 0x72, 0xd1, 0x0a, 0x16, 0x24, 0x34, 0xe1, 0x25, 0xf1, 0x17, 0x18,
    0x19, 0x1a, 0x26, 0x27, 0x28, 0x29, 0x2a, 0x35, 0x36, 0x37, 0x38, 0x39, 0x3a, 0x43, 0x44,
    0x45, 0x46, 0x47, 0x48, 0x49, 0x4a, 0x53, 0x54, 0x55, 0x56, 0x57, 0x58, 0x59, 0x5a, 0x63,
    0x64, 0x65, 0x66, 0x67, 0x68, 0x69, 0x6a, 0x73, 0x74, 0x75, 0x76, 0x77, 0x78, 0x79, 0x7a,
    0x82, 0x83, 0x84, 0x85, 0x86, 0x87, 0x88, 0x89, 0x8a, 0x92, 0x93, 0x94, 0x95, 0x96, 0x97,
    0x98, 0x99, 0x9a, 0xa2, 0xa3, 0xa4, 0xa5, 0xa6, 0xa7, 0xa8, 0xa9, 0xaa, 0xb2, 0xb3, 0xb4,
    0xb5, 0xb6, 0xb7, 0xb8, 0xb9, 0xba, 0xc2, 0xc3, 0xc4, 0xc5, 0xc6, 0xc7, 0xc8, 0xc9, 0xca,
    0xd2, 0xd3, 0xd4, 0xd5, 0xd6, 0xd7, 0xd8, 0xd9, 0xda, 0xe2, 0xe3, 0xe4, 0xe5, 0xe6, 0xe7,
    0xe8, 0xe9, 0xea, 0xf2, 0xf3, 0xf4, 0xf5, 0xf6, 0xf7, 0xf8, 0xf9, 0xfa};

// Number of codes the 16 counts describe.
int CountTotal(const std::uint8_t* counts) {
  int total = 0;
  for (int i = 0; i < kCountBytes; ++i) {
    total += counts[i];
  }
  return total;
}

// A table the decoder can hold: at most `capacity` codes, and at every length L the codes
// assigned by Figure C.2 stay below 2^L. Everything the lookup and the searches index relies
// on this check.
bool CountsFit(const std::uint8_t* counts, int capacity) {
  if (CountTotal(counts) > capacity) {
    return false;
  }
  std::uint32_t code = 0;
  for (int length = 1; length <= kMaxCodeBits; ++length) {
    code = (code << 1) + counts[length - 1];
    if (code > (std::uint32_t{1} << length)) {
      return false;
    }
  }
  return true;
}

// First entry of the lookup sub-table for code length L: 2 + 4 + ... + 2^(L-1).
constexpr int LookupOffset(int length) { return (1 << length) - 2; }

// Fills AC table t's per-length lookup from its code list (codes of up to 8 bits, each in the
// one entry of its own length and value) and its summary values.
void BuildAcLookup(DecoderContext* context, int t) {
  const AcHuffmanTable& table = context->acTables[t];
  std::uint16_t* lookup = context->acLookup[t];
  for (int i = 0; i < kLookupEntriesPerTable; ++i) {
    lookup[i] = kNoSymbol;
  }
  std::uint8_t lastSize = 0;
  int i = 0;
  while (i < kAcCapacity && table.sizes[i] >= 1 && table.sizes[i] <= kFastLookupLengths) {
    const int size = table.sizes[i];
    if (table.codes[i] < (1u << size)) {  // always so for tables that passed CountsFit
      lookup[LookupOffset(size) + table.codes[i]] = table.vals[i];
    }
    lastSize = table.sizes[i];
    ++i;
  }
  const bool stoppedAtLongCode = i < kAcCapacity && table.sizes[i] > kFastLookupLengths;
  context->fastLen[t] = lastSize;
  context->longCodes[t] = (lastSize == kFastLookupLengths || stoppedAtLongCode) ? 1 : 0;
  std::uint8_t firstLong = 0;
  for (int length = 1; length <= lastSize; ++length) {
    firstLong = static_cast<std::uint8_t>(firstLong + table.bits[length - 1]);
  }
  context->firstLong[t] = firstLong;
}

// Stores DC table t from BITS + HUFFVAL (already checked).
void DefineDcTable(DecoderContext* context, int t, const std::uint8_t* countsAndValues) {
  DcHuffmanTable& table = context->dcTables[t];
  std::memcpy(table.bits, countsAndValues, kCountBytes);
  GenerateHuffmanCodes(countsAndValues, kDcCapacity, table.sizes, table.vals, table.codes);
  BuildFastDcTable(context, t);
  context->dcDefined = static_cast<std::uint8_t>(context->dcDefined | (1u << t));
}

// Stores AC table t from BITS + HUFFVAL (already checked) and rebuilds its lookup.
void DefineAcTable(DecoderContext* context, int t, const std::uint8_t* countsAndValues) {
  AcHuffmanTable& table = context->acTables[t];
  std::memcpy(table.bits, countsAndValues, kCountBytes);
  GenerateHuffmanCodes(countsAndValues, kAcCapacity, table.sizes, table.vals, table.codes);
  BuildAcLookup(context, t);
  BuildFastAcTable(context, t);
  context->acDefined = static_cast<std::uint8_t>(context->acDefined | (1u << t));
}

// T.81 B.2.4.2: the segment's tables, each checked before it is stored; JD_OK or JD_ERR_DATA.
Status ParseHuffmanTables(DecoderContext* context, const std::uint8_t* table, std::int32_t left) {
  while (left > 0) {
    if (left < kTableHeaderBytes) {
      return JD_ERR_DATA;
    }
    const std::uint8_t classAndId = table[0];
    const std::uint8_t* countsAndValues = table + 1;
    const int tableBytes = kTableHeaderBytes + CountTotal(countsAndValues);
    if (tableBytes > left) {
      return JD_ERR_DATA;
    }
    if (classAndId == kDcTable0 || classAndId == kDcTable1) {
      if (!CountsFit(countsAndValues, kDcCapacity)) {
        return JD_ERR_DATA;
      }
      DefineDcTable(context, classAndId - kDcTable0, countsAndValues);
    } else if (classAndId >= kAcTable0 && classAndId <= kAcTable3) {
      if (!CountsFit(countsAndValues, kAcCapacity)) {
        return JD_ERR_DATA;
      }
      DefineAcTable(context, classAndId - kAcTable0, countsAndValues);
    }
    // Any other class-and-id byte: the table is skipped.
    table += tableBytes;
    left -= tableBytes;
  }
  return JD_OK;
}

// The fewest bits a block of `component` can take with its tables (PrepareComponentTables).
int FewestBlockBits(const DecoderContext* context, int component) {
  constexpr int kCodesToTheLastCoefficient = 4;  // each code covers at most 16 positions
  const ComponentInfo& ci = context->comp[component];
  const int dc = ci.dcTable;
  const int ac = ci.acTable - kDhtAcClass;
  if (dc >= kNumTables || ((context->dcDefined >> dc) & 1) == 0 || ac < 0 || ac >= kNumTables ||
      ((context->acDefined >> ac) & 1) == 0) {
    return 0;
  }
  const auto shortest = [](const std::uint8_t* bits) {
    for (int length = 1; length <= kMaxCodeBits; ++length) {
      if (bits[length - 1] != 0) {
        return length;
      }
    }
    return 0;
  };
  const AcHuffmanTable& table = context->acTables[ac];
  int ending = kCodesToTheLastCoefficient * shortest(table.bits);
  for (int i = 0; i < kAcCapacity && table.sizes[i] != 0; ++i) {
    if (table.vals[i] == 0x00) {  // end of block
      ending = table.sizes[i] < ending ? table.sizes[i] : ending;
      break;
    }
  }
  return shortest(context->dcTables[dc].bits) + ending;
}

}  // namespace

void GenerateHuffmanCodes(const std::uint8_t* counts, std::int16_t capacity, std::uint8_t* sizes,
                          std::uint8_t* symbols, std::uint16_t* codes) {
  for (int i = 0; i < capacity; ++i) {
    sizes[i] = 0;
  }
  const std::uint8_t* values = counts + kCountBytes;
  std::uint32_t code = 0;
  int k = 0;
  for (int length = 1; length <= kMaxCodeBits; ++length) {
    code <<= 1;
    for (int n = 0; n < counts[length - 1]; ++n) {
      if (k < capacity) {
        sizes[k] = static_cast<std::uint8_t>(length);
        symbols[k] = values[k];
        codes[k] = static_cast<std::uint16_t>(code);
      }
      ++k;
      ++code;
    }
  }
}

int ReadHuffmanTables(DecoderContext* context, Status* failure) {
  return ReadWholeSegment(context, failure, [context](const std::uint8_t* p, std::int32_t n) {
    return ParseHuffmanTables(context, p, n);
  });
}

bool LoadStandardHuffmanTable(DecoderContext* context, std::uint8_t classAndId) {
  switch (classAndId) {
    case kDcTable0:
      DefineDcTable(context, 0, kStdDcLuminance);
      return true;
    case kDcTable1:
      DefineDcTable(context, 1, kStdDcChrominance);
      return true;
    case kAcTable0:
      DefineAcTable(context, 0, kStdAcLuminance);
      return true;
    case kAcTable0 + 1:
      DefineAcTable(context, 1, kStdAcChrominance);
      return true;
    default:
      return false;
  }
}

bool PrepareComponentTables(DecoderContext* context, int component) {
  const ComponentInfo& ci = context->comp[component];
  const auto ac = static_cast<std::uint8_t>(ci.acTable - kDhtAcClass);
  const auto ready = [context](std::uint8_t defined, std::uint8_t id, std::uint8_t classAndId) {
    return id < kNumTables &&
           (((defined >> id) & 1) != 0 || LoadStandardHuffmanTable(context, classAndId));
  };
  if (!ready(context->dcDefined, ci.dcTable, ci.dcTable) ||
      !ready(context->acDefined, ac, ci.acTable)) {
    return false;
  }
  context->fewestBlockBits[component] =
      static_cast<std::uint16_t>(FewestBlockBits(context, component));
  return true;
}

}  // namespace jpegdec
