// The entropy decoder's resumable routines in the form the fast routines use (routineLevel other
// than kRoutinesPlain): symbols looked up in the fast tables of huffman_fast.h from the bits at
// hand, the bit buffer kept in locals while data bytes come, and the plain routines of
// huffman.cpp, the reference, wherever anything unusual happens. They matter where the input
// comes in pieces too small for the whole-block path, down to single bytes.
#include <cstdint>

#include "decoder/cpu_dispatch.h"
#include "decoder/entropy/huffman.h"
#include "decoder/entropy/huffman_internal.h"

namespace jpegdec::entropy {

// How they stay equal to the plain routines
// ------------------------------------------
// They give the plain routines' results with the plain routines' fetches: a byte is fetched
// exactly when no code lies wholly in the bits at hand, which is when the plain search fetches,
// so bitBuffer, bitCount, the input position and every status stay those of the plain
// routines, call by call, however the input is split. The lookup of the fast table (codes of
// up to kFastBits bits, read from the bits at hand padded with zeros) decides:
//   - a code of length L <= bitCount: the code the plain search finds, at the same length;
//   - a code of length L > bitCount: no code lies wholly in the bits at hand (codes are
//     prefix-free), so the plain search would fetch;
//   - no entry while fewer than kFastBits bits are held: no code of up to bitCount bits matches
//     either (it would have an entry), so the plain search would fetch, except where an AC
//     table of short codes only makes it give up (SearchGivesUp);
//   - no entry with kFastBits bits or more: a longer code, found by its length as in T.81
//     Figure F.16 (MAXCODE), or a fetch while fewer than 16 bits are held.
// Everything else (the errors, a DC code longer than kFastBits bits, a search the plain routine
// has begun) is left to the plain search. Only the search state differs: codeLen and codeIndex
// stay at their start where the plain search would have noted how far it got, which nothing
// outside the search reads.

namespace {

// The next kFastBits bits at hand, padded with zero bits when fewer are held. bitBuffer holds
// nothing above its bitCount bits (at most 23 of them here), so one shift in 64 bits serves both
// cases without a branch, which with bits arriving a byte at a time would be mispredicted often.
inline std::uint32_t HeldWindow(std::uint32_t buffer, int held) {
  return static_cast<std::uint32_t>((std::uint64_t{buffer} << kFastBits) >> held);
}

inline std::uint32_t LowBits(int count) { return (std::uint32_t{1} << count) - 1u; }

// Whether the plain AC search gives up with `held` bits at hand that start no code: a table
// whose codes are all shorter than kFastLookupLengths bits ends its search one bit past them.
bool SearchGivesUp(const DecoderContext* context, int held) {
  return context->curFastLen >= 1 && context->curFastLen < kFastLookupLengths &&
         context->curLongCodes == 0 && held > context->curFastLen;
}

// The bit buffer and input position of the context, held in locals by the fast AC loop and
// written back before any plain helper runs.
struct HeldBits {
  std::uint32_t buffer;
  int held;
  const std::uint8_t* in;
  std::int32_t avail;
};

inline HeldBits LoadBits(const DecoderContext* context) {
  return {context->bitBuffer, context->bitCount, context->inPtr, context->inAvail};
}

inline void StoreBits(DecoderContext* context, const HeldBits& b) {
  context->bitBuffer = b.buffer;
  context->bitCount = static_cast<std::uint8_t>(b.held);
  context->inPtr = b.in;
  context->inAvail = b.avail;
}

// Appends the next byte's bits where FetchByte would simply append them: a data byte, or a
// stuffed pair 0xFF 0x00 wholly in the piece. False where FetchByte has to decide: the piece is
// used up, a 0xFF is pending, or a 0xFF is not followed by 0x00 in this piece.
inline bool TakeDataByte(HeldBits& b, const DecoderContext* context) {
  if (b.avail <= 0 || context->ffPending != kFfNone) {
    return false;
  }
  const std::uint8_t byte = *b.in;
  if (byte != kMarkerPrefix) {
    ++b.in;
    --b.avail;
  } else if (b.avail >= 2 && b.in[1] == kStuffedZero) {
    b.in += 2;
    b.avail -= 2;
  } else {
    return false;
  }
  b.buffer = (b.buffer << 8) | byte;
  b.held += 8;
  return true;
}

inline void TakeBits(HeldBits& b, int count) {
  b.held -= count;
  b.buffer &= LowBits(b.held);
}

// A code longer than kFastBits bits that lies wholly in the bits at hand (T.81 Figure F.16,
// from the lengths past the lookup): its length, or 0.
inline int FindLongCode(const HeldBits& b, const FastHuffmanTable& fast, const std::uint8_t* vals,
                        std::uint8_t* symbol) {
  const int end = b.held < kMaxCodeBits ? b.held : kMaxCodeBits;
  for (int length = kFastBits + 1; length <= end; ++length) {
    const auto code = static_cast<std::int32_t>(b.buffer >> (b.held - length));
    if (code <= fast.maxCode[length]) {
      *symbol = vals[fast.valOffset[length] + code];
      return length;
    }
  }
  return 0;
}

// PlainAcStep on a copy of the position, so that the caller's stays in a register.
inline std::uint8_t PlainAcStepAt(DecoderContext* context, int* k) {
  int position = *k;
  const std::uint8_t step = PlainAcStep(context, &position);
  *k = position;
  return step;
}

// What TakeExtraBits found.
enum class Extra : std::uint8_t {
  kTaken,    // the value is written
  kWait,     // the piece is used up before the extra bits are complete
  kFetchFf,  // a 0xFF only the plain fetch can settle comes first
};

// The `size` extra bits of a coefficient as a signed value (T.81 Figure F.12), data bytes
// appended while they are needed.
inline Extra TakeExtraBits(HeldBits& b, const DecoderContext* context, int size,
                           std::int16_t* out) {
  while (size > b.held) {
    if (!TakeDataByte(b, context)) {
      return b.avail <= 0 ? Extra::kWait : Extra::kFetchFf;
    }
  }
  std::int32_t value = 0;
  if (size != 0) {
    const auto v = static_cast<std::int32_t>(b.buffer >> (b.held - size));
    TakeBits(b, size);
    // T.81 Figure F.12 without a branch: values below half are negative, v - 2 half + 1.
    const std::int32_t half = std::int32_t{1} << (size - 1);
    const std::int32_t below = (v - half) >> 31;  // all ones when v < half
    value = v + (below & (1 - (half << 1)));
  }
  *out = static_cast<std::int16_t>(value);
  return Extra::kTaken;
}

}  // namespace

std::uint8_t FastDcSymbol(DecoderContext* context) {
  if (context->codeLen == 1 && context->codeIndex == 0) {
    const std::uint16_t* lookup = context->curFast->lookup;
    for (;;) {
      const std::uint16_t entry = lookup[HeldWindow(context->bitBuffer, context->bitCount)];
      const auto length = static_cast<std::uint8_t>(entry >> 8);
      if (entry != 0 && length <= context->bitCount) {
        context->dcSymbol = static_cast<std::uint8_t>(entry);
        ConsumeBits(context, length);
        return kDone;
      }
      if (entry == 0 && context->bitCount >= kFastBits) {
        break;  // a longer code, or none: the search decides
      }
      const std::uint8_t fetched = FetchForBlockStart(context);
      if (fetched != kDone) {
        return fetched;
      }
    }
  }
  return SearchDcSymbol(context);
}

std::uint8_t FastAcSymbol(DecoderContext* context) {
  if (context->codeLen == 1 && context->codeIndex == 0) {
    const FastHuffmanTable& fast = *context->curFast;
    for (;;) {
      const HeldBits b = LoadBits(context);
      const std::uint16_t entry = fast.lookup[HeldWindow(b.buffer, b.held)];
      int length = entry >> 8;
      std::uint8_t symbol = static_cast<std::uint8_t>(entry);
      if (entry == 0) {
        length = b.held >= kFastBits ? FindLongCode(b, fast, context->curVals, &symbol) : 0;
        if (length == 0 && (b.held >= kMaxCodeBits || SearchGivesUp(context, b.held))) {
          break;  // the plain search gives the error
        }
      }
      if (length != 0 && length <= b.held) {
        context->acSymbol = symbol;
        ConsumeBits(context, static_cast<std::uint8_t>(length));
        return kDone;
      }
      const std::uint8_t fetched = FetchInsideBlock(context);
      if (fetched != kDone) {
        return fetched;
      }
    }
  }
  return SearchAcSymbol(context);
}

// DecodeAcFrom for the fast routines, block[k..63] already zero (DecodeAcCoefficients clears
// them). The bit buffer and the input position live in locals: a code from the lookup (or a
// longer one by its length), then its extra bits, data bytes and stuffed pairs appended as they
// are needed. (The folded entries of the whole-block path do not pay here: with a byte or two
// at hand, a code and its extra bits are seldom in one window, and the extra test costs more
// than it saves.) `pendingExtra`: the extra bits of acSymbol for position k come first (a
// resume with symbolPending). A 0xFF only the plain fetch can settle and every unusual case go
// through the plain helpers with the context brought up to date first.
std::uint8_t DecodeAcFromFast(DecoderContext* context, int k, bool pendingExtra) {
  if (k < 1) {
    return JD_ERR_DATA;  // position 0 belongs to the DC part
  }
  const std::uint16_t* const lookup = context->curFast->lookup;
  HeldBits b = LoadBits(context);
  if (pendingExtra) {
    // symbolPending: acSymbol's extra bits for position k, then on as after any symbol.
    const auto size = static_cast<std::uint8_t>(context->acSymbol & 0x0F);
    const Extra extra = TakeExtraBits(b, context, size, &context->block[k]);
    if (extra != Extra::kTaken) {
      StoreBits(context, b);
      if (extra == Extra::kWait) {
        return JD_NEED_DATA;
      }
      const std::uint8_t read = ReceiveExtend(size, context, &context->block[k]);
      if (read != kDone) {
        return read;
      }
      b = LoadBits(context);
    }
    context->symbolPending = 0;
    ++k;
  } else if (context->codeLen != 1 || context->codeIndex != 0) {
    // A plain search is under way: it finishes this symbol.
    const std::uint8_t step = PlainAcStepAt(context, &k);
    if (step != kGoOn) {
      return step;
    }
    b = LoadBits(context);
  }
  while (k <= kLastCoefficient) {
    const std::uint16_t entry = lookup[HeldWindow(b.buffer, b.held)];
    int length = entry >> 8;
    auto symbol = static_cast<std::uint8_t>(entry);
    if (entry == 0) {
      length =
          b.held >= kFastBits ? FindLongCode(b, *context->curFast, context->curVals, &symbol) : 0;
      if (length == 0 && (b.held >= kMaxCodeBits || SearchGivesUp(context, b.held))) {
        // The plain search gives the error.
        StoreBits(context, b);
        const std::uint8_t step = PlainAcStepAt(context, &k);
        if (step != kGoOn) {
          return step;
        }
        b = LoadBits(context);
        continue;
      }
    }
    if (length == 0 || length > b.held) {
      // No code lies wholly in the bits at hand: the next byte is needed.
      if (TakeDataByte(b, context)) {
        continue;
      }
      StoreBits(context, b);
      context->coefIndex = static_cast<std::int16_t>(k);
      if (b.avail <= 0) {
        return JD_NEED_DATA;  // what the plain fetch finds in a used-up piece
      }
      const std::uint8_t fetched = FetchInsideBlock(context);
      if (fetched != kDone) {
        return fetched;
      }
      b = LoadBits(context);
      continue;
    }
    TakeBits(b, length);
    if (symbol == kEob) {
      break;
    }
    if (symbol == kZrl) {
      if (k + kZrlRun >= kBlockSize) {
        return JD_ERR_DATA;
      }
      k += kZrlRun;
      continue;
    }
    const int run = symbol >> 4;
    const auto size = static_cast<std::uint8_t>(symbol & 0x0F);
    // A size of 0 is defined only for EOB and ZRL (T.81 F.1.2.2).
    if (k + run >= kBlockSize || size == 0) {
      return JD_ERR_DATA;
    }
    k += run;
    const Extra extra = TakeExtraBits(b, context, size, &context->block[k]);
    if (extra != Extra::kTaken) {
      StoreBits(context, b);
      context->acSymbol = symbol;
      context->symbolPending = 1;
      context->coefIndex = static_cast<std::int16_t>(k);
      if (extra == Extra::kWait) {
        return JD_NEED_DATA;
      }
      // A 0xFF only the plain fetch can settle comes next: the plain routine reads them.
      const std::uint8_t read = ReceiveExtend(size, context, &context->block[k]);
      if (read != kDone) {
        return read;
      }
      context->symbolPending = 0;
      b = LoadBits(context);
    }
    ++k;
  }
  StoreBits(context, b);
  context->coefIndex = kBlockSize;
  return kDone;
}

// The DC part for the fast routines: FastDcSymbol and FinishDcDifference in one, the bit buffer
// and the input position in locals while data bytes come. `pendingExtra`: the category is known
// (a resume with symbolPending), its extra bits come next. A 0xFF only the plain fetch can
// settle, a code longer than the lookahead and a search the plain routine has begun go through
// the plain helpers.
std::uint8_t FastDcDifference(DecoderContext* context, std::int16_t* difference,
                              bool pendingExtra) {
  if (context->codeLen != 1 || context->codeIndex != 0) {
    if (!pendingExtra) {
      const std::uint8_t found = FastDcSymbol(context);
      if (found != kDone) {
        return found;
      }
    }
    return FinishDcDifference(context, difference);
  }
  HeldBits b = LoadBits(context);
  if (!pendingExtra) {
    const std::uint16_t* const lookup = context->curFast->lookup;
    for (;;) {
      const std::uint16_t entry = lookup[HeldWindow(b.buffer, b.held)];
      const int length = entry >> 8;
      if (entry != 0 && length <= b.held) {
        TakeBits(b, length);
        context->dcSymbol = static_cast<std::uint8_t>(entry);
        break;
      }
      if ((entry != 0 || b.held < kFastBits) && TakeDataByte(b, context)) {
        continue;
      }
      StoreBits(context, b);
      if (entry != 0 || b.held < kFastBits) {
        if (b.avail <= 0) {
          return JD_NEED_DATA;  // what the plain fetch finds in a used-up piece
        }
      }
      // A 0xFF only the plain fetch can settle, or a code longer than the lookahead: the plain
      // routines go on.
      const std::uint8_t found = FastDcSymbol(context);
      if (found != kDone) {
        return found;
      }
      return FinishDcDifference(context, difference);
    }
  }
  if (context->dcSymbol > kMaxDcCategory) {
    return JD_ERR_DATA;
  }
  context->symbolPending = 1;
  switch (TakeExtraBits(b, context, context->dcSymbol, difference)) {
    case Extra::kTaken:
      StoreBits(context, b);
      context->coefIndex = 1;
      context->symbolPending = 0;
      return kDone;
    case Extra::kWait:
      StoreBits(context, b);
      return JD_NEED_DATA;
    case Extra::kFetchFf:
      break;
  }
  StoreBits(context, b);
  return FinishDcDifference(context, difference);  // the plain routine reads past the 0xFF
}

}  // namespace jpegdec::entropy
