// The fast entropy path: a whole block per call, read through a wide bit buffer with a lookahead
// of kFastBits bits per symbol (T.81 F.2.2; the table form is that of F.2.2.3 with a lookup in
// front). See huffman_fast.h for when it runs and why its results equal the plain routines'.
#include "decoder/entropy/huffman_fast.h"

#include <algorithm>
#include <array>
#include <bit>
#include <climits>
#include <cstddef>
#include <cstring>

#include "decoder/cpu_dispatch.h"
#include "decoder/entropy/huffman.h"
#include "decoder/transform/reconstruct_fast.h"

namespace jpegdec {
namespace {

constexpr std::uint8_t kMarkerPrefix = 0xFF;
constexpr std::uint8_t kStuffedZero = 0x00;
constexpr std::uint8_t kZrl = 0xF0;  // sixteen zeros
constexpr std::uint8_t kEob = 0x00;  // rest of the block is zero
constexpr int kZrlRun = 16;
constexpr std::uint8_t kAcTableBase = 16;  // comp[].acTable holds 16 + Ta
constexpr int kLookupEntries = 1 << kFastBits;
constexpr int kLengthShift = 8;  // lookup entry: length << 8 | symbol
constexpr int kValueShift = 16;  // folded entry: value << 16 | run << 8 | bits used
constexpr int kRunShift = 8;
// Folded AC entry of the end-of-block code: a run that takes any position past the block's end,
// so that the loop's one bounds test also catches it.
constexpr std::int32_t kFoldedEndRun = 0x80;
constexpr int kCategoryShift = 8;  // folded DC entry: difference << 16 | category << 8 | bits used
constexpr std::int32_t kByteMask = 0xFF;
constexpr std::uint8_t kSizeMask = 0x0F;  // AC symbol: run << 4 | size
constexpr int kRunBits = 4;
// Pair AC entry: the folded code at the start of the lookahead and, when the code after it lies
// whole in the lookahead too and is folded, that one as well. Byte 0: bits used (kPairUnknown
// when the first code is not folded); byte 1: position of the first coefficient from the current
// one; byte 2: positions to advance, or kPairEndsBlock when an end of block was taken; byte 3:
// position of the second coefficient. Bits 32..47 and 48..63: the coefficients. Where the second
// code is not there, the second coefficient is a zero at the position after the first, which no
// coefficient has taken yet, so that the loop need not ask; an end of block alone is a zero at
// the current position. The second position must lie in the block even when the second code is
// an end of block: after a coefficient at position 63 the block is complete, and the code that
// follows belongs to the next block.
constexpr std::uint64_t kPairUnknown = 0xFF;  // more bits than the buffer ever holds
constexpr int kPairFirstShift = 8;
constexpr int kPairAdvanceShift = 16;
constexpr int kPairSecondShift = 24;
constexpr int kPairValueShift = 32;
constexpr int kPairSecondValueShift = 48;
constexpr int kPairEndsBlock = 0x80;

constexpr std::uint64_t PackPair(int used, int firstAt, int advance, int secondAt,
                                 std::uint16_t firstValue, std::uint16_t secondValue) {
  return static_cast<std::uint64_t>(used) | static_cast<std::uint64_t>(firstAt) << kPairFirstShift |
         static_cast<std::uint64_t>(advance) << kPairAdvanceShift |
         static_cast<std::uint64_t>(secondAt) << kPairSecondShift |
         std::uint64_t{firstValue} << kPairValueShift |
         std::uint64_t{secondValue} << kPairSecondValueShift;
}

// The bit buffer: 64 bits. The 32-bit build takes 64 bits as well: register pairs cost less
// there than refilling twice as often (measured under Wine).
using Accumulator = std::uint64_t;
constexpr int kAccBits = static_cast<int>(sizeof(Accumulator)) * CHAR_BIT;
// Refilled below this many bits, the buffer holds a code and its extra bits (16 + 16).
constexpr int kRefillBelow = 32;
constexpr int kWordBytes = static_cast<int>(sizeof(Accumulator));
constexpr Accumulator kLowBits = static_cast<Accumulator>(~Accumulator{0}) / 0xFF;  // 0x0101...
constexpr Accumulator kHighBits = kLowBits * 0x80;                                  // 0x8080...

// The reader (FastReader) holds the scan data from `p` to `end` as a stream of bits: `acc`
// holds the `bits` unread bits left-aligned; below them it holds zeros or the very bits that
// follow in the data (a wide refill puts whole bytes there ahead of time), so reading more bits
// than `bits` is harmless as long as a code found that way is checked against `bits`.
using BitReader = FastReader;

inline Accumulator LoadBigEndian(const std::uint8_t* p) {
  Accumulator w = 0;
  std::memcpy(&w, p, sizeof(w));
  if constexpr (std::endian::native == std::endian::little) {
    w = __builtin_bswap64(w);
  }
  return w;
}

// Adds data bytes until the buffer is full, the input ends, or a 0xFF not followed by 0x00 (a
// marker, fill bytes, or a 0xFF whose next byte is not in this piece) comes next.
inline void Refill(BitReader& r) {
  if (r.end - r.p >= kWordBytes) {
    const Accumulator w = LoadBigEndian(r.p);
    const Accumulator inverted = static_cast<Accumulator>(~w);
    if (((inverted - kLowBits) & ~inverted & kHighBits) == 0) {  // no byte of w is 0xFF
      r.acc |= w >> r.bits;
      const int take = (kAccBits - 1 - r.bits) / CHAR_BIT;
      r.p += take;
      r.bits += take * CHAR_BIT;
      return;
    }
  }
  while (r.bits <= kAccBits - CHAR_BIT) {
    if (r.p >= r.end) {
      return;
    }
    const std::uint8_t b = *r.p;
    if (b == kMarkerPrefix) {
      if (r.end - r.p < 2 || r.p[1] != kStuffedZero) {
        return;
      }
      r.p += 2;
      r.stuffed = true;
    } else {
      ++r.p;
    }
    r.acc |= Accumulator{b} << (kAccBits - CHAR_BIT - r.bits);
    r.bits += CHAR_BIT;
  }
}

inline std::int32_t Peek(const BitReader& r, int n) {
  return static_cast<std::int32_t>(r.acc >> (kAccBits - n));
}

inline void Consume(BitReader& r, int n) {
  r.acc <<= n;
  r.bits -= n;
}

// T.81 Figure F.12: n extra bits v (n >= 1) as a signed value.
inline std::int16_t Extend(std::int32_t v, int n) {
  const std::int32_t half = std::int32_t{1} << (n - 1);
  return static_cast<std::int16_t>(v < half ? v - (half << 1) + 1 : v);
}

// The code that starts the bits ahead: its length (0 if no code of up to 16 bits matches) and
// symbol. Codes longer than the lookahead are found by length, as in T.81 Figure F.16.
inline int DecodeSymbol(const BitReader& r, const FastHuffmanTable& table, const std::uint8_t* vals,
                        int* symbol) {
  const std::uint16_t entry = table.lookup[Peek(r, kFastBits)];
  if (entry != 0) {
    *symbol = entry & kByteMask;
    return entry >> kLengthShift;
  }
  for (int length = kFastBits + 1; length <= kMaxCodeBits; ++length) {
    const std::int32_t code = Peek(r, length);
    if (code <= table.maxCode[length]) {
      *symbol = vals[table.valOffset[length] + code];
      return length;
    }
  }
  return 0;
}

// Takes n (1..16) extra bits as a signed value; false if they are not at hand.
inline bool TakeExtra(BitReader& r, int n, std::int16_t* value) {
  if (n > r.bits) {
    Refill(r);
    if (n > r.bits) {
      return false;
    }
  }
  *value = Extend(Peek(r, n), n);
  Consume(r, n);
  return true;
}

// Where a block's AC coefficients go. ZigZagSink: as decoded, into block[1..63] in zig-zag
// order. ColumnSink: dequantised (16-bit products) into a block stored column by column, noting
// whether any product is non-zero; that block is all zeros to begin with (the transforms leave
// it so), which spares clearing it for every block.
struct ZigZagSink {
  std::int16_t* block;
  void Clear() { std::memset(block + 1, 0, (kBlockSize - 1) * sizeof(block[0])); }
  void Put(int k, std::int16_t value) { block[k] = value; }
};

struct ColumnSink {
  std::int16_t* columns;
  const std::uint8_t* quant;
  std::int32_t any;
  void Clear() {}
  void Put(int k, std::int16_t value) {
    const auto product = static_cast<std::int16_t>(value * quant[k]);
    columns[kColumnOfZigZag[static_cast<std::size_t>(k)]] = product;
    any |= product;
  }
};

// The coefficients 1..63 of the block (T.81 Figure F.13); false where the plain routine would
// not complete the block the same way from these bits.
template <class Sink>
[[gnu::always_inline]] inline bool DecodeAcFast(BitReader& r, const FastBlockTables& t,
                                                Sink& sink) {
  sink.Clear();
  const std::int32_t* folded = t.acFolded;
  const std::uint64_t* pairs = t.acPairs;
  int k = 1;
  while (k < kBlockSize) {
    if (r.bits < kRefillBelow) {
      Refill(r);
    }
    const std::int32_t ahead = Peek(r, kFastBits);
    // One or two codes, as long as the second position is in the block; otherwise (and for codes
    // that are not folded) the first code alone, below, which then also meets what is amiss.
    const std::uint64_t pair = pairs[ahead];
    const auto pairUsed = static_cast<int>(pair & kByteMask);
    const int first = k + static_cast<int>((pair >> kPairFirstShift) & kByteMask);
    const int second = k + static_cast<int>((pair >> kPairSecondShift) & kByteMask);
    if (pairUsed <= r.bits && second < kBlockSize) {
      Consume(r, pairUsed);
      sink.Put(first, static_cast<std::int16_t>(pair >> kPairValueShift));
      const auto advance = static_cast<int>((pair >> kPairAdvanceShift) & kByteMask);
      if (advance == kPairEndsBlock) {
        return true;
      }
      sink.Put(second, static_cast<std::int16_t>(pair >> kPairSecondValueShift));
      k += advance;
      continue;
    }
    const std::int32_t fold = folded[ahead];
    if (fold != 0) {
      const int used = fold & kByteMask;
      const int run = (fold >> kRunShift) & kByteMask;
      k += run;
      if (used > r.bits || k >= kBlockSize) {
        if (run == kFoldedEndRun && used <= r.bits) {
          Consume(r, used);  // end of block
          return true;
        }
        return false;
      }
      Consume(r, used);
      sink.Put(k, static_cast<std::int16_t>(fold >> kValueShift));
      ++k;
      continue;
    }
    int symbol = 0;
    const int length = DecodeSymbol(r, *t.ac, t.acVals, &symbol);
    if (length == 0 || length > r.bits) {
      return false;
    }
    Consume(r, length);
    if (symbol == kEob) {
      return true;
    }
    if (symbol == kZrl) {
      if (k + kZrlRun >= kBlockSize) {
        return false;
      }
      k += kZrlRun;
      continue;
    }
    const int run = symbol >> kRunBits;
    const int size = symbol & kSizeMask;
    if (k + run >= kBlockSize) {
      return false;
    }
    k += run;
    if (size != 0) {  // a size of 0 leaves a zero coefficient
      std::int16_t value = 0;
      if (!TakeExtra(r, size, &value)) {
        return false;
      }
      sink.Put(k, value);
    }
    ++k;
  }
  return true;
}

// A whole block: the DC difference and its category, then the AC part into the sink.
template <class Sink>
[[gnu::always_inline]] inline bool DecodeBlock(BitReader& r, const FastBlockTables& t,
                                               std::int16_t* difference, int* category,
                                               Sink& sink) {
  if (r.bits < kRefillBelow) {
    Refill(r);
  }
  const std::int32_t fold = t.dcFolded[Peek(r, kFastBits)];
  if (fold != 0 && (fold & kByteMask) <= r.bits) {
    Consume(r, fold & kByteMask);
    *category = (fold >> kCategoryShift) & kByteMask;
    *difference = static_cast<std::int16_t>(fold >> kValueShift);
    return DecodeAcFast(r, t, sink);
  }
  const int length = DecodeSymbol(r, *t.dc, t.dcVals, category);
  if (length == 0 || length > r.bits || *category > kMaxDcCategory) {
    return false;
  }
  Consume(r, length);
  *difference = 0;
  if (*category != 0 && !TakeExtra(r, *category, difference)) {
    return false;
  }
  return DecodeAcFast(r, t, sink);
}

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

}  // namespace

void BuildFastDcTable(DecoderContext* context, int t) {
  const DcHuffmanTable& table = context->dcTables[t];
  FastHuffmanTable& fast = context->fastDc[t];
  BuildFastTable(table.bits, table.vals, table.sizes, table.codes, kDcCapacity, &fast);
  // Fold the difference in where a code of a valid category and its extra bits fit in the
  // lookahead together (category 0: no extra bits, difference 0).
  std::int32_t* folded = context->fastDcFolded[t];
  for (int v = 0; v < kLookupEntries; ++v) {
    folded[v] = 0;
    const std::uint16_t entry = fast.lookup[v];
    const int length = entry >> kLengthShift;
    const int category = entry & kByteMask;
    if (entry == 0 || category > kMaxDcCategory || length + category > kFastBits) {
      continue;
    }
    std::int32_t difference = 0;
    if (category != 0) {
      difference = Extend((v >> (kFastBits - length - category)) & ((1 << category) - 1), category);
    }
    folded[v] = difference * (std::int32_t{1} << kValueShift) + (category << kCategoryShift) +
                length + category;
  }
}

void BuildFastAcTable(DecoderContext* context, int t) {
  const AcHuffmanTable& table = context->acTables[t];
  FastHuffmanTable& fast = context->fastAc[t];
  BuildFastTable(table.bits, table.vals, table.sizes, table.codes, kAcCapacity, &fast);
  // Fold the extra bits in where a short code and its extra bits fit in the lookahead together.
  std::int32_t* folded = context->fastAcFolded[t];
  for (int v = 0; v < kLookupEntries; ++v) {
    folded[v] = 0;
    const std::uint16_t entry = fast.lookup[v];
    const int length = entry >> kLengthShift;
    const int symbol = entry & kByteMask;
    const int size = symbol & kSizeMask;
    if (entry != 0 && symbol == kEob) {
      folded[v] = (kFoldedEndRun << kRunShift) + length;
      continue;
    }
    if (entry == 0 || size == 0 || length + size > kFastBits) {
      continue;
    }
    const std::int32_t extra = (v >> (kFastBits - length - size)) & ((1 << size) - 1);
    folded[v] = Extend(extra, size) * (std::int32_t{1} << kValueShift) +
                ((symbol >> kRunBits) << kRunShift) + length + size;
  }
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
  const int acTable = ci.acTable - kAcTableBase;
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

bool DecodeBlockToColumns(FastReader* reader, const FastBlockTables& tables,
                          std::int16_t* difference, std::int16_t* columns, bool* anyAc) {
  BitReader r = *reader;
  ColumnSink sink{columns, tables.quant, 0};
  int category = 0;
  if (!DecodeBlock(r, tables, difference, &category, sink)) {
    std::memset(columns, 0, kBlockSize * sizeof(columns[0]));
    return false;
  }
  *reader = r;
  *anyAc = sink.any != 0;
  return true;
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
