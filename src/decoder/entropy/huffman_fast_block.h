// The whole-block decoder of the fast entropy path (huffman_fast.h), inline: the block loop of
// the band decoder (band_decoder.cpp) calls it for every block, and a call per block would cost the
// reader's state a round trip through memory. Internal to the entropy decoder and that loop.
//
// A whole block per call, read through a wide bit buffer with a lookahead of kFastBits bits per
// symbol (T.81 F.2.2; the table form is that of F.2.2.3 with a lookup in front). See
// huffman_fast.h for when it runs and why its results equal the plain routines'.
#pragma once

#include <bit>
#include <climits>
#include <cstddef>
#include <cstdint>
#include <cstring>

#include "decoder/decoder_context.h"
#include "decoder/entropy/huffman_fast.h"
#include "decoder/entropy/huffman_internal.h"

namespace jpegdec {
namespace fast_block {

inline constexpr int kLookupEntries = 1 << kFastBits;
inline constexpr int kLengthShift = 8;  // lookup entry: length << 8 | symbol
inline constexpr int kValueShift = 16;  // folded entry: value << 16 | run << 8 | bits used
inline constexpr int kRunShift = 8;
// Folded AC entry of the end-of-block code: a run that takes any position past the block's end,
// so that the loop's one bounds test also catches it.
inline constexpr std::int32_t kFoldedEndRun = 0x80;
// Folded DC entry: difference << 16 | category << 8 | bits used.
inline constexpr int kCategoryShift = 8;
inline constexpr std::int32_t kByteMask = 0xFF;
inline constexpr std::uint8_t kSizeMask = 0x0F;  // AC symbol: run << 4 | size
inline constexpr int kRunBits = 4;
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
inline constexpr std::uint64_t kPairUnknown = 0xFF;  // more bits than the buffer ever holds
inline constexpr int kPairFirstShift = 8;
inline constexpr int kPairAdvanceShift = 16;
inline constexpr int kPairSecondShift = 24;
inline constexpr int kPairValueShift = 32;
inline constexpr int kPairSecondValueShift = 48;
inline constexpr int kPairEndsBlock = 0x80;

inline constexpr std::uint64_t PackPair(int used, int firstAt, int advance, int secondAt,
                                        std::uint16_t firstValue, std::uint16_t secondValue) {
  return static_cast<std::uint64_t>(used) | static_cast<std::uint64_t>(firstAt) << kPairFirstShift |
         static_cast<std::uint64_t>(advance) << kPairAdvanceShift |
         static_cast<std::uint64_t>(secondAt) << kPairSecondShift |
         std::uint64_t{firstValue} << kPairValueShift |
         std::uint64_t{secondValue} << kPairSecondValueShift;
}

// The bit buffer: one register, 64 bits or 32.
using Accumulator = decltype(FastReader::acc);
inline constexpr int kAccBits = static_cast<int>(sizeof(Accumulator)) * CHAR_BIT;
// Refilled below this many bits (at a block's start and before each AC look-up), the buffer
// holds at least a code and its extra bits (16 + 16) in 64 bits, and a whole code (16) in 32
// bits, whose extra bits then refill it themselves where needed.
inline constexpr int kRefillBelow = kAccBits / 2;
inline constexpr int kWordBytes = static_cast<int>(sizeof(Accumulator));
inline constexpr Accumulator kLowBits =
    static_cast<Accumulator>(~Accumulator{0}) / 0xFF;      // 0x0101...
inline constexpr Accumulator kHighBits = kLowBits * 0x80;  // 0x8080...

// The reader (FastReader) holds the scan data from `p` to `end` as a stream of bits: `acc`
// holds the `bits` unread bits left-aligned; below them it holds zeros or the very bits that
// follow in the data (a wide refill puts whole bytes there ahead of time), so reading more bits
// than `bits` is harmless as long as a code found that way is checked against `bits`.
using BitReader = FastReader;

inline Accumulator LoadBigEndian(const std::uint8_t* p) {
  Accumulator w = 0;
  std::memcpy(&w, p, sizeof(w));
  if constexpr (std::endian::native == std::endian::little && sizeof(w) == sizeof(std::uint64_t)) {
    w = static_cast<Accumulator>(__builtin_bswap64(w));
  } else if constexpr (std::endian::native == std::endian::little) {
    w = static_cast<Accumulator>(__builtin_bswap32(static_cast<std::uint32_t>(w)));
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
// Always inlined: called out of line, it would hold the reader in memory around every call.
[[gnu::always_inline]] inline bool TakeExtra(BitReader& r, int n, std::int16_t* value) {
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
// whether the block has AC codes at all; that block is all zeros to begin with (the transforms
// leave it so), which spares clearing it for every block. End(coded) is told, once the block is
// complete, whether a code other than the end of block was read.
struct ZigZagSink {
  std::int16_t* block;
  void Clear() { std::memset(block + 1, 0, (kBlockSize - 1) * sizeof(block[0])); }
  void Put(int k, std::int16_t value) { block[k] = value; }
  void End(bool /*coded*/) {}
};

struct ColumnSink {
  std::int16_t* columns;
  const std::uint8_t* quant;
  bool any;
  void Clear() {}
  void Put(int k, std::int16_t value) {
    columns[kColumnOfZigZag[static_cast<std::size_t>(k)]] =
        static_cast<std::int16_t>(value * quant[k]);
  }
  void End(bool coded) { any = coded; }
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
    // The entry's two halves taken apart first, so that a 32-bit build works on single registers.
    const std::uint64_t pair = pairs[ahead];
    const auto control = static_cast<std::uint32_t>(pair);
    const auto values = static_cast<std::uint32_t>(pair >> kPairValueShift);
    const auto pairUsed = static_cast<int>(control & kByteMask);
    const int first = k + static_cast<int>((control >> kPairFirstShift) & kByteMask);
    const int second = k + static_cast<int>(control >> kPairSecondShift);
    if (pairUsed <= r.bits && second < kBlockSize) {
      Consume(r, pairUsed);
      const auto firstValue = static_cast<std::int16_t>(values);
      sink.Put(first, firstValue);
      const auto advance = static_cast<int>((control >> kPairAdvanceShift) & kByteMask);
      if (advance == kPairEndsBlock) {
        // A coefficient before the end of block, or a coefficient decoded earlier.
        sink.End(k > 1 || firstValue != 0);
        return true;
      }
      sink.Put(second,
               static_cast<std::int16_t>(values >> (kPairSecondValueShift - kPairValueShift)));
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
          sink.End(k - run > 1);
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
      sink.End(k > 1);
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
    // A size of 0 with a run other than those of EOB and ZRL is no code of T.81 (F.1.2.2): the
    // plain routines report it.
    if (k + run >= kBlockSize || size == 0) {
      return false;
    }
    k += run;
    std::int16_t value = 0;
    if (!TakeExtra(r, size, &value)) {
      return false;
    }
    sink.Put(k, value);
    ++k;
  }
  sink.End(true);
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

}  // namespace fast_block

// Decodes one whole block: its DC difference into *difference, and its AC coefficients,
// dequantised to 16 bits as the plain reconstruction does it, into `columns` in natural order
// read column by column (entry 8u + r: row r, column u; see kZigZagByColumn). `columns` must be
// all zeros on entry; columns[0] is left for the caller. *anyAc tells whether the block has AC
// codes (any code but its end of block): if not, only columns[0] can be non-zero; if so, the
// products may still all be zero (zero quantisation entries, runs of zeros alone), which the
// transform turns into the same samples as a flat block's fill. False where the plain routines
// would not complete the block the same way from these bits: the reader is then unchanged and
// `columns` all zeros again.
[[gnu::always_inline]] inline bool DecodeBlockToColumns(FastReader* reader,
                                                        const FastBlockTables& tables,
                                                        std::int16_t* difference,
                                                        std::int16_t* columns, bool* anyAc) {
  fast_block::BitReader r = *reader;
  fast_block::ColumnSink sink{columns, tables.quant, false};
  int category = 0;
  if (!fast_block::DecodeBlock(r, tables, difference, &category, sink)) {
    std::memset(columns, 0, kBlockSize * sizeof(columns[0]));
    return false;
  }
  *reader = r;
  *anyAc = sink.any;
  return true;
}

// Whole blocks from the scan data, one after another, for the band decoder's fast loop. Where the
// fast path may start (FastBlockEligible) and while input lies well ahead, each block of the MCU
// order is decoded with its component's tables, its DC difference added to the component's
// predictor, and handed over dequantised in column order (DecodeBlockToColumns; columns[0] the
// predicted DC's product). The bit reader stays open, in registers, from block to block. The
// caller says where the blocks go and when to stop:
//   begin()                     once, before the first block, when there will be one
//   next(&columns) -> int       the component of the next block, and an all-zero buffer for it
//   take(columns, anyAc) -> bool   the block; false: stop after it
// A block the fast path cannot complete (the input ends in it, a marker comes, codes it does not
// take) ends the run with the context at that block's start, as the plain routines would have
// left it, for them to decode.
template <class Begin, class Next, class Take>
[[gnu::always_inline]] inline void DecodeWholeBlocks(DecoderContext* context, const Begin& begin,
                                                     const Next& next, const Take& take) {
  if (!FastBlockEligible(context)) {
    return;
  }
  FastBlockTables tables[kMaxComponents];
  for (int i = 0; i < context->numComponents; ++i) {
    if (!FastTablesFor(context, i, &tables[i])) {
      return;
    }
  }
  begin();
  // The predictors in a copy of the loop's own, written back at its end: the sink's stores into
  // the band could be the context's bytes for all the compiler knows.
  std::int16_t predictors[kMaxComponents];
  std::memcpy(predictors, context->dcPred, sizeof(predictors));
  FastReader reader{};
  OpenFastReader(context, &reader);
  while (FastReaderAhead(reader) >= kFastInputAhead) {
    std::int16_t* columns = nullptr;
    const int component = next(&columns);
    const FastBlockTables& t = tables[component];
    std::int16_t difference = 0;
    bool anyAc = false;
    if (!DecodeBlockToColumns(&reader, t, &difference, columns, &anyAc)) {
      break;
    }
    std::int16_t& predictor = predictors[component];
    predictor = static_cast<std::int16_t>(predictor + difference);  // wraps like the register
    columns[0] = static_cast<std::int16_t>(predictor * t.quant[0]);
    if (!take(columns, anyAc)) {
      break;
    }
  }
  std::memcpy(context->dcPred, predictors, sizeof(predictors));
  CloseFastReader(context, reader);
}

}  // namespace jpegdec
