// The fast entropy path's tables, reader and single-block entry (huffman_fast.h); the whole-block
// decoder itself is inline, in huffman_fast_block.h.
#include "decoder/entropy/huffman_fast.h"

#include <algorithm>
#include <array>
#include <bit>
#include <climits>
#include <cstddef>
#include <cstring>

#include "decoder/cpu_dispatch.h"
#include "decoder/entropy/huffman.h"
#include "decoder/entropy/huffman_fast_block.h"

namespace jpegdec {
using namespace fast_block;  // the tables built here are the ones the header decodes with
namespace {

// Fills the lookup and the MAXCODE/offset columns from a checked code list in code order.
void BuildFastTable(const std::uint8_t* bits, const std::uint8_t* vals, const std::uint8_t* sizes,
                    const std::uint16_t* codes, int capacity, FastHuffmanTable* fast) {
  std::memset(fast->lookup, 0, sizeof(fast->lookup));
  int index = 0;
  for (int length = 1; length <= kMaxCodeBits; ++length) {
    const int count = bits[length - 1];
    fast->maxCode[length] = -1;
    fast->valOffset[length] = 0;
    if (count != 0 && index + count <= capacity) {
      fast->maxCode[length] = codes[index + count - 1];
      fast->valOffset[length] = index - codes[index];
    }
    index += count;
  }
  fast->maxCode[0] = -1;
  fast->valOffset[0] = 0;
  fast->maxCode[kMaxCodeBits + 1] = INT32_MAX;
  // Longest codes first, so that where codes overlapped (no checked table has them) the shorter
  // one, which the plain search finds first, would win.
  for (int i = capacity - 1; i >= 0; --i) {
    const int size = sizes[i];
    if (size < 1 || size > kFastBits || codes[i] >= (1u << size)) {
      continue;
    }
    const int shift = kFastBits - size;
    const auto entry = static_cast<std::uint16_t>(size << kLengthShift | vals[i]);
    const int first = codes[i] << shift;
    for (int v = first; v < first + (1 << shift); ++v) {
      fast->lookup[v] = entry;
    }
  }
}

// The value that the `size` extra bits after a code of `length` bits stand for, where both sit
// at the top of the lookahead `window`, placed in a folded entry's value field.
std::int32_t FoldedValue(int window, int length, int size) {
  if (size == 0) {
    return 0;
  }
  const std::int32_t extra = (window >> (kFastBits - length - size)) & ((1 << size) - 1);
  return Extend(extra, size) * (std::int32_t{1} << kValueShift);
}

// Fills `folded` from the lookup: fold(window, code length, symbol) for each window that starts
// with a code, 0 (decode the plain way) for the others and where fold gives 0.
template <typename Fold>
void FoldTable(const FastHuffmanTable& fast, std::int32_t* folded, Fold fold) {
  for (int v = 0; v < kLookupEntries; ++v) {
    const std::uint16_t entry = fast.lookup[v];
    folded[v] = entry == 0 ? 0 : fold(v, entry >> kLengthShift, entry & kByteMask);
  }
}

}  // namespace

void BuildFastDcTable(DecoderContext* context, int t) {
  const DcHuffmanTable& table = context->dcTables[t];
  FastHuffmanTable& fast = context->fastDc[t];
  BuildFastTable(table.bits, table.vals, table.sizes, table.codes, kDcCapacity, &fast);
  // Fold the difference in where a code of a valid category and its extra bits fit in the
  // lookahead together (category 0: no extra bits, difference 0).
  FoldTable(fast, context->fastDcFolded[t], [](int v, int length, int category) {
    if (category > kMaxDcCategory || length + category > kFastBits) {
      return 0;
    }
    return FoldedValue(v, length, category) + (category << kCategoryShift) + length + category;
  });
}

void BuildFastAcTable(DecoderContext* context, int t) {
  const AcHuffmanTable& table = context->acTables[t];
  FastHuffmanTable& fast = context->fastAc[t];
  BuildFastTable(table.bits, table.vals, table.sizes, table.codes, kAcCapacity, &fast);
  // Fold the extra bits in where a short code and its extra bits fit in the lookahead together.
  std::int32_t* folded = context->fastAcFolded[t];
  FoldTable(fast, folded, [](int v, int length, int symbol) {
    const int size = symbol & kSizeMask;
    if (symbol == kEob) {
      return (kFoldedEndRun << kRunShift) + length;
    }
    if (size == 0 || length + size > kFastBits) {
      return 0;
    }
    return FoldedValue(v, length, size) + ((symbol >> kRunBits) << kRunShift) + length + size;
  });
  // Pair a folded code with the folded code that follows it within the lookahead: the bits after
  // the first code are the start of the entry for those bits shifted up, and that entry holds
  // only if it uses no more bits than are left.
  std::uint64_t* pairs = context->fastAcPairs[t];
  for (int v = 0; v < kLookupEntries; ++v) {
    const std::int32_t first = folded[v];
    const int firstUsed = first & kByteMask;
    const int firstRun = (first >> kRunShift) & kByteMask;
    const auto firstValue = static_cast<std::uint16_t>(first >> kValueShift);
    if (first == 0) {
      pairs[v] = kPairUnknown;
      continue;
    }
    if (firstRun == kFoldedEndRun) {  // end of block, and a zero stored at the current position
      pairs[v] = PackPair(firstUsed, 0, kPairEndsBlock, 0, 0, 0);
      continue;
    }
    // One coefficient alone: then a zero at the position after it, where the loop goes on.
    int used = firstUsed;
    int advance = firstRun + 1;
    int secondAt = firstRun + 1;
    std::uint16_t secondValue = 0;
    const std::int32_t second =
        firstUsed < kFastBits ? folded[(v << firstUsed) & (kLookupEntries - 1)] : 0;
    const int secondUsed = second & kByteMask;
    if (second != 0 && secondUsed <= kFastBits - firstUsed) {
      used += secondUsed;
      const int secondRun = (second >> kRunShift) & kByteMask;
      if (secondRun == kFoldedEndRun) {
        advance = kPairEndsBlock;
      } else {
        secondAt = firstRun + 1 + secondRun;
        advance = secondAt + 1;
        secondValue = static_cast<std::uint16_t>(second >> kValueShift);
      }
    }
    pairs[v] = PackPair(used, firstRun, advance, secondAt, firstValue, secondValue);
  }
}

bool FastTablesFor(const DecoderContext* context, int component, FastBlockTables* tables) {
  if (component < 0 || component >= kMaxComponents) {
    return false;
  }
  const ComponentInfo& ci = context->comp[component];
  const int dcTable = ci.dcTable;
  const int acTable = ci.acTable - kDhtAcClass;
  if (dcTable >= kNumTables || ((context->dcDefined >> dcTable) & 1) == 0 || acTable < 0 ||
      acTable >= kNumTables || ((context->acDefined >> acTable) & 1) == 0 ||
      ci.quantTable >= kNumTables) {
    return false;
  }
  tables->dc = &context->fastDc[dcTable];
  tables->dcFolded = context->fastDcFolded[dcTable];
  tables->dcVals = context->dcTables[dcTable].vals;
  tables->ac = &context->fastAc[acTable];
  tables->acFolded = context->fastAcFolded[acTable];
  tables->acPairs = context->fastAcPairs[acTable];
  tables->acVals = context->acTables[acTable].vals;
  tables->quant = context->quantTables[ci.quantTable].values;
  return true;
}

void OpenFastReader(const DecoderContext* context, FastReader* reader) {
  const std::uint8_t* start = context->inPtr;
  *reader = FastReader{0, context->bitCount, start, start + context->inAvail, start, false};
  if (reader->bits > 0) {
    reader->acc = Accumulator{context->bitBuffer} << (kAccBits - reader->bits);
  }
}

void CloseFastReader(DecoderContext* context, const FastReader& reader) {
  // Hand the whole bytes read ahead back, the last ones first: a byte pair 0xFF 0x00 read here
  // was one data byte. What stays is what the plain routines would hold: they fetch a byte only
  // when its bits are needed, so at a block's end they hold fewer than 8 bits.
  const std::uint8_t* const start = reader.start;
  const std::uint8_t* p = reader.p;
  int bits = reader.bits;
  if (!reader.stuffed) {  // every byte read was a data byte of its own
    const std::ptrdiff_t back = std::min<std::ptrdiff_t>(bits / CHAR_BIT, p - start);
    p -= back;
    bits -= static_cast<int>(back) * CHAR_BIT;
  }
  while (bits >= CHAR_BIT && p > start) {
    const bool stuffed = p - start >= 2 && p[-1] == kStuffedZero && p[-2] == kMarkerPrefix;
    p -= stuffed ? 2 : 1;
    bits -= CHAR_BIT;
  }
  context->bitBuffer = bits > 0 ? static_cast<std::uint32_t>(reader.acc >> (kAccBits - bits)) : 0;
  context->bitCount = static_cast<std::uint8_t>(bits);
  context->inAvail -= static_cast<std::int32_t>(p - context->inPtr);
  context->inPtr = p;
}

bool DecodeBlockFast(DecoderContext* context, std::int16_t* difference) {
  FastBlockTables tables{};
  if (!FastTablesFor(context, context->curComp, &tables)) {
    return false;
  }
  BitReader r{};
  OpenFastReader(context, &r);
  ZigZagSink sink{context->block};
  int category = 0;
  if (!DecodeBlock(r, tables, difference, &category, sink)) {
    return false;
  }
  CloseFastReader(context, r);
  context->dcSymbol = static_cast<std::uint8_t>(category);
  return true;
}

}  // namespace jpegdec
