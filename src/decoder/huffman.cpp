// Entropy decoding of baseline scan data: the bit buffer and byte fetch, the resumable symbol
// searches, RECEIVE/EXTEND, and the DC and AC parts of a block (ITU-T T.81 F.2.2).
#include "decoder/huffman.h"

#include <cstring>

#include "decoder/cpu_dispatch.h"
#include "decoder/huffman_fast.h"

namespace jpegdec {
namespace {

constexpr std::uint8_t kDone = 1;
constexpr std::uint8_t kMarkerPrefix = 0xFF;
constexpr std::uint8_t kStuffedZero = 0x00;
constexpr std::uint8_t kMaxSymbolBits = 16;
constexpr std::uint8_t kMaxExtraBits = 16;
constexpr std::uint8_t kZrl = 0xF0;  // sixteen zeros
constexpr std::uint8_t kEob = 0x00;  // rest of the block is zero
constexpr int kZrlRun = 16;
constexpr int kLastCoefficient = kBlockSize - 1;
constexpr std::uint8_t kAcTableBase = 16;  // comp[].acTable holds 16 + Ta
constexpr std::int16_t kZeroBlock[kBlockSize] = {};

// What one fetch did.
enum class Fetch : std::uint8_t {
  kByteAdded,  // eight bits appended (a data byte, a stuffed 0xFF, or fill bytes before a marker)
  kFillTaken,  // fill bytes before a marker appended as eight 1 bits; the marker is still ahead
  kNeedData,   // input used up (a trailing 0xFF stays noted in ffPending)
  kMarker,     // 0xFF followed by a marker code, both consumed; the code is in *marker
};

// ---- bit buffer: bits are taken most significant first ----

std::uint16_t PeekBits(const DecoderContext* context, std::uint8_t count) {
  return static_cast<std::uint16_t>(context->bitBuffer >> (context->bitCount - count));
}

void ConsumeBits(DecoderContext* context, std::uint8_t count) {
  context->bitCount = static_cast<std::uint8_t>(context->bitCount - count);
  context->bitBuffer &= (std::uint32_t{1} << context->bitCount) - 1u;
}

void AppendByte(DecoderContext* context, std::uint8_t byte) {
  context->bitBuffer = (context->bitBuffer << 8) | byte;
  context->bitCount = static_cast<std::uint8_t>(context->bitCount + 8);
}

std::uint8_t TakeInputByte(DecoderContext* context) {
  const std::uint8_t byte = *context->inPtr;
  ++context->inPtr;
  --context->inAvail;
  return byte;
}

// Adds at most one byte's worth of bits. A 0xFF is settled by the byte after it, waiting in
// ffPending when the piece ends first: 0xFF 0x00 is a data byte 0xFF; 0xFF 0xFF makes the
// first a fill byte (T.81 B.1.1.2), and further 0xFF bytes of the run are dropped; a run of
// fill bytes before a marker code counts once, as eight 1 bits (kFillTaken), and leaves the
// last 0xFF pending so that the next fetch meets the marker. 0xFF 0xFF 0x00 hands back the
// code 0xFF, which no marker handler takes.
Fetch FetchByte(DecoderContext* context, std::uint8_t* marker) {
  for (;;) {
    if (context->inAvail <= 0) {
      return Fetch::kNeedData;
    }
    if (context->ffPending == kFfNone) {
      const std::uint8_t byte = TakeInputByte(context);
      if (byte != kMarkerPrefix) {
        AppendByte(context, byte);
        return Fetch::kByteAdded;
      }
      context->ffPending = kFfOne;
      continue;
    }
    const std::uint8_t next = *context->inPtr;
    if (next == kMarkerPrefix) {
      TakeInputByte(context);
      context->ffPending = kFfFill;
      continue;
    }
    if (next == kStuffedZero && context->ffPending == kFfOne) {
      TakeInputByte(context);
      context->ffPending = kFfNone;
      AppendByte(context, kMarkerPrefix);
      return Fetch::kByteAdded;
    }
    if (context->ffPending == kFfFill && next != kStuffedZero) {
      context->ffPending = kFfOne;
      AppendByte(context, kMarkerPrefix);
      return Fetch::kFillTaken;
    }
    context->ffPending = kFfNone;
    if (next == kStuffedZero) {
      *marker = kMarkerPrefix;  // 0xFF 0xFF 0x00
    } else {
      *marker = TakeInputByte(context);
    }
    return Fetch::kMarker;
  }
}

// Fetch for the AC search and the extra bits, where a marker is never valid.
std::uint8_t FetchInsideBlock(DecoderContext* context) {
  std::uint8_t marker = 0;
  switch (FetchByte(context, &marker)) {
    case Fetch::kByteAdded:
    case Fetch::kFillTaken:
      return kDone;
    case Fetch::kNeedData:
      return JD_NEED_DATA;
    case Fetch::kMarker:
      break;
  }
  return JD_ERR_DATA;
}

void HandBackMarker(DecoderContext* context, std::uint8_t marker) {
  context->marker = marker;
  context->markerPending = 1;
  context->phase = kPhaseOutsideScan;
}

// Compares v with the curBits[length - 1] codes of that length from codeIndex on; on a match
// codeIndex stays at it, otherwise it moves to the first code of the next length.
bool SearchLength(DecoderContext* context, std::uint8_t length, std::uint16_t v) {
  const int count = context->curBits[length - 1];
  for (int n = 0; n < count; ++n) {
    if (context->curCodes[context->codeIndex] == v) {
      return true;
    }
    ++context->codeIndex;
  }
  return false;
}

void FinishSymbol(DecoderContext* context, std::uint8_t length) {
  ConsumeBits(context, length);
  context->codeLen = 1;
  context->codeIndex = 0;
}

std::uint8_t SymbolSearchEnd(const DecoderContext* context) {
  return context->bitCount < kMaxSymbolBits ? context->bitCount : kMaxSymbolBits;
}

// 1 when the search over `end` bits has failed for good, else notes where to go on.
bool GiveUpSearch(DecoderContext* context, std::uint8_t end) {
  if (end == kMaxSymbolBits) {
    context->codeLen = 1;
    return true;
  }
  context->codeLen = static_cast<std::uint8_t>(end + 1);
  return false;
}

// ---- DC part ----

bool IsDefined(std::uint8_t definedMask, int t) { return ((definedMask >> t) & 1) != 0; }

bool SelectDcTable(DecoderContext* context) {
  if (context->curComp >= kMaxComponents) {
    return false;
  }
  const std::uint8_t t = context->comp[context->curComp].dcTable;
  if (t >= kNumTables || !IsDefined(context->dcDefined, t)) {
    return false;
  }
  const DcHuffmanTable& table = context->dcTables[t];
  context->curBits = table.bits;
  context->curVals = table.vals;
  context->curCodes = table.codes;
  context->curFast = &context->fastDc[t];
  return true;
}

// Extra bits of the DC difference once the category is known.
std::uint8_t FinishDcDifference(DecoderContext* context, std::int16_t* difference) {
  if (context->dcSymbol > kMaxDcCategory) {
    return JD_ERR_DATA;
  }
  context->symbolPending = 1;
  const std::uint8_t result = ReceiveExtend(context->dcSymbol, context, difference);
  if (result != kDone) {
    return result;
  }
  context->coefIndex = 1;
  context->symbolPending = 0;
  return kDone;
}

// ---- AC part ----

bool SelectAcTable(DecoderContext* context) {
  if (context->curComp >= kMaxComponents) {
    return false;
  }
  const int t = context->comp[context->curComp].acTable - kAcTableBase;
  if (t < 0 || t >= kNumTables || !IsDefined(context->acDefined, t)) {
    return false;
  }
  const AcHuffmanTable& table = context->acTables[t];
  context->curBits = table.bits;
  context->curVals = table.vals;
  context->curCodes = table.codes;
  context->curLookup = context->acLookupPtr[t];
  context->curFirstLong = context->firstLong[t];
  context->curFastLen = context->fastLen[t];
  context->curLongCodes = context->longCodes[t];
  context->curFast = &context->fastAc[t];
  return true;
}

void ZeroCoefficients(DecoderContext* context, int from, int to) {
  for (int k = from; k < to; ++k) {
    context->block[k] = 0;
  }
}

// What AcSymbolStep returns when the block goes on after the symbol.
constexpr std::uint8_t kGoOn = JD_OK;  // never an outcome of the AC part itself

std::uint8_t SearchAcSymbol(DecoderContext* context);
std::uint8_t SearchDcSymbol(DecoderContext* context);

// One step of T.81 Figure F.13 at position k: the next symbol (searched for by `find`), then its
// run of zeros and its extra bits. kGoOn with k past what the symbol covered; 1 at the end of
// the block (coefIndex 64); otherwise the status, with coefIndex and symbolPending noting where
// to resume.
template <typename FindSymbol>
std::uint8_t AcSymbolStep(DecoderContext* context, int* position, FindSymbol find) {
  int k = *position;
  const std::uint8_t found = find(context);
  if (found != kDone) {
    context->coefIndex = static_cast<std::int16_t>(k);
    return found;
  }
  context->symbolPending = 1;
  const std::uint8_t symbol = context->acSymbol;
  if (symbol == kZrl) {
    context->symbolPending = 0;
    // Accepted only while a position remains after its sixteen zeros (k up to 47).
    if (k + kZrlRun >= kBlockSize) {
      return JD_ERR_DATA;
    }
    ZeroCoefficients(context, k, k + kZrlRun);
    *position = k + kZrlRun;
    return kGoOn;
  }
  if (symbol == kEob) {
    context->symbolPending = 0;
    ZeroCoefficients(context, k, kBlockSize);
    context->coefIndex = kBlockSize;
    return kDone;
  }
  const int run = symbol >> 4;
  if (k + run >= kBlockSize) {
    return JD_ERR_DATA;
  }
  ZeroCoefficients(context, k, k + run);
  k += run;
  const std::uint8_t read =
      ReceiveExtend(static_cast<std::uint8_t>(symbol & 0x0F), context, &context->block[k]);
  if (read != kDone) {
    context->coefIndex = static_cast<std::int16_t>(k);
    return read;
  }
  context->symbolPending = 0;
  *position = k + 1;
  return kGoOn;
}

// Coefficients from k on (T.81 Figure F.13), one symbol and its extra bits at a time.
std::uint8_t DecodeAcFrom(DecoderContext* context, int k) {
  if (k < 1) {
    return JD_ERR_DATA;  // position 0 belongs to the DC part
  }
  while (k <= kLastCoefficient) {
    const std::uint8_t step = AcSymbolStep(context, &k, SearchAcSymbol);
    if (step != kGoOn) {
      return step;
    }
  }
  context->coefIndex = kBlockSize;
  return kDone;
}

// ---- the fast routines' forms of the symbol decoders and the AC part ----
//
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

bool FastSymbolsUsable(const DecoderContext* context) {
  return context->routineLevel != kRoutinesPlain && context->curFast != nullptr;
}

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
      std::uint8_t marker = 0;
      switch (FetchByte(context, &marker)) {
        case Fetch::kByteAdded:
          continue;
        case Fetch::kNeedData:
          return JD_NEED_DATA;
        case Fetch::kFillTaken:
          return JD_OK;
        case Fetch::kMarker:
          HandBackMarker(context, marker);
          return JD_OK;
      }
    }
  }
  return SearchDcSymbol(context);
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

// The folded entries of the selected AC table, or null when the selection is not the fast
// form of the current component's table (the plain routine then does the work).
const std::int32_t* SelectedFolded(const DecoderContext* context) {
  const int t = context->comp[context->curComp].acTable - kAcTableBase;
  if (context->curComp >= kMaxComponents || t < 0 || t >= kNumTables ||
      context->curFast != &context->fastAc[t]) {
    return nullptr;
  }
  return context->fastAcFolded[t];
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

// DecodeAcFrom for the fast routines, block[k..63] already zero (DecodeAcCoefficients clears
// them). The bit buffer and the input position live in locals: a short code with its extra
// bits in one folded entry, or a code from the lookup (or a longer one by its length) and then
// its extra bits, data bytes and stuffed pairs appended as they are needed. `pendingExtra`: the
// extra bits of acSymbol for position k come first (a resume with symbolPending). A 0xFF only
// the plain fetch can settle and every unusual case go through the plain helpers with the
// context brought up to date first.
std::uint8_t DecodeAcFromFast(DecoderContext* context, int k, bool pendingExtra) {
  const std::int32_t* const folded = SelectedFolded(context);
  if (k < 1 || folded == nullptr) {
    // An unusual selection: the plain routine reads on.
    if (pendingExtra) {
      const std::uint8_t read = ReceiveExtend(static_cast<std::uint8_t>(context->acSymbol & 0x0F),
                                              context, &context->block[k]);
      if (read != kDone) {
        return read;
      }
      context->symbolPending = 0;
      ++k;
    }
    return DecodeAcFrom(context, k);
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
    const std::uint8_t step = AcSymbolStep(context, &k, SearchAcSymbol);
    if (step != kGoOn) {
      return step;
    }
    b = LoadBits(context);
  }
  while (k <= kLastCoefficient) {
    const std::uint32_t window = HeldWindow(b.buffer, b.held);
    const std::int32_t fold = folded[window];
    const int used = fold & 0xFF;
    const int foldRun = (fold >> 8) & 0xFF;
    if ((fold != 0) & (used <= b.held) & (k + foldRun < kBlockSize)) {
      k += foldRun;
      context->block[k] = static_cast<std::int16_t>(fold >> 16);
      ++k;
      TakeBits(b, used);
      continue;
    }
    const std::uint16_t entry = lookup[window];
    int length = entry >> 8;
    auto symbol = static_cast<std::uint8_t>(entry);
    if (entry == 0) {
      length =
          b.held >= kFastBits ? FindLongCode(b, *context->curFast, context->curVals, &symbol) : 0;
      if (length == 0 && (b.held >= kMaxCodeBits || SearchGivesUp(context, b.held))) {
        // The plain search gives the error.
        StoreBits(context, b);
        const std::uint8_t step = AcSymbolStep(context, &k, SearchAcSymbol);
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
    if (k + run >= kBlockSize) {
      return JD_ERR_DATA;
    }
    k += run;
    const auto size = static_cast<std::uint8_t>(symbol & 0x0F);
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

}  // namespace

std::uint8_t SkipToMarker(DecoderContext* context) {
  context->bitBuffer = 0;
  context->bitCount = 0;
  while (context->inAvail > 0) {
    const std::uint8_t byte = TakeInputByte(context);
    if (context->ffPending == kFfNone) {
      if (byte == kMarkerPrefix) {
        context->ffPending = kFfOne;
      }
    } else if (byte == kStuffedZero) {
      context->ffPending = kFfNone;
    } else if (byte != kMarkerPrefix) {
      context->ffPending = kFfNone;
      HandBackMarker(context, byte);
      return JD_OK;
    }
  }
  return JD_NEED_DATA;
}

namespace {

// The plain symbol searches (T.81 Figure F.16 over the code list, in code order), resumable at
// any length.
std::uint8_t SearchDcSymbol(DecoderContext* context) {
  for (;;) {
    const std::uint8_t end = SymbolSearchEnd(context);
    for (std::uint8_t length = context->codeLen; length <= end; ++length) {
      if (SearchLength(context, length, PeekBits(context, length))) {
        context->dcSymbol = context->curVals[context->codeIndex];
        FinishSymbol(context, length);
        return kDone;
      }
    }
    if (GiveUpSearch(context, end)) {
      return JD_ERR_DATA;
    }
    std::uint8_t marker = 0;
    switch (FetchByte(context, &marker)) {
      case Fetch::kByteAdded:
        continue;
      case Fetch::kNeedData:
        return JD_NEED_DATA;
      case Fetch::kFillTaken:
        return JD_OK;
      case Fetch::kMarker:
        HandBackMarker(context, marker);
        return JD_OK;
    }
  }
}

std::uint8_t SearchAcSymbol(DecoderContext* context) {
  for (;;) {
    const std::uint8_t end = SymbolSearchEnd(context);
    for (std::uint8_t length = context->codeLen; length <= end; ++length) {
      const std::uint16_t v = PeekBits(context, length);
      if (length <= context->curFastLen) {
        const std::uint16_t entry = context->curLookup[length - 1][v];
        if (entry != kNoSymbol) {
          context->acSymbol = static_cast<std::uint8_t>(entry);
          FinishSymbol(context, length);
          return kDone;
        }
        continue;
      }
      if (length == context->curFastLen + 1) {
        // Past the lookup: with only short codes there is nothing longer to find.
        if (context->curFastLen >= 1 && context->curFastLen < kFastLookupLengths &&
            context->curLongCodes == 0) {
          return JD_ERR_DATA;
        }
        context->codeIndex = context->curFirstLong;
      }
      if (SearchLength(context, length, v)) {
        context->acSymbol = context->curVals[context->codeIndex];
        FinishSymbol(context, length);
        return kDone;
      }
    }
    if (GiveUpSearch(context, end)) {
      return JD_ERR_DATA;
    }
    const std::uint8_t fetched = FetchInsideBlock(context);
    if (fetched != kDone) {
      return fetched;
    }
  }
}

}  // namespace

std::uint8_t DecodeDcSymbol(DecoderContext* context) {
  return FastSymbolsUsable(context) ? FastDcSymbol(context) : SearchDcSymbol(context);
}

std::uint8_t DecodeAcSymbol(DecoderContext* context) {
  return FastSymbolsUsable(context) ? FastAcSymbol(context) : SearchAcSymbol(context);
}

std::uint8_t ReceiveExtend(std::uint8_t n, DecoderContext* context, std::int16_t* value) {
  if (n == 0) {
    *value = 0;
    return kDone;
  }
  if (n > kMaxExtraBits) {
    return JD_ERR_DATA;
  }
  while (context->bitCount < n) {
    const std::uint8_t fetched = FetchInsideBlock(context);
    if (fetched != kDone) {
      return fetched;
    }
  }
  const std::int32_t v = PeekBits(context, n) & ((std::int32_t{1} << n) - 1);
  ConsumeBits(context, n);
  const std::int32_t half = std::int32_t{1} << (n - 1);
  // T.81 Figure F.12: values below half are negative.
  *value = static_cast<std::int16_t>(v < half ? v - (half << 1) + 1 : v);
  return kDone;
}

std::uint8_t DecodeDcDifference(DecoderContext* context, std::int16_t* difference) {
  context->fastBlockDone = 0;
  if (!SelectDcTable(context)) {
    return JD_ERR_DATA;
  }
  context->coefIndex = 0;
  // The whole block at once where the fast path can; its AC part is then already done.
  if (FastBlockEligible(context) && DecodeBlockFast(context, difference)) {
    context->fastBlockDone = 1;
    context->coefIndex = 1;
    return kDone;
  }
  if (FastSymbolsUsable(context)) {
    return FastDcDifference(context, difference, false);
  }
  const std::uint8_t found = DecodeDcSymbol(context);
  if (found != kDone) {
    return found;
  }
  return FinishDcDifference(context, difference);
}

std::uint8_t ResumeDcDifference(DecoderContext* context, std::int16_t* difference) {
  if (FastSymbolsUsable(context)) {
    return FastDcDifference(context, difference, context->symbolPending != 0);
  }
  if (context->symbolPending == 0) {
    const std::uint8_t found = DecodeDcSymbol(context);
    if (found != kDone) {
      return found;
    }
  }
  return FinishDcDifference(context, difference);
}

std::uint8_t DecodeAcCoefficients(DecoderContext* context) {
  if (!SelectAcTable(context)) {
    return JD_ERR_DATA;
  }
  if (context->fastBlockDone != 0) {
    context->fastBlockDone = 0;
    context->coefIndex = kBlockSize;
    return kDone;
  }
  if (!FastSymbolsUsable(context)) {
    return DecodeAcFrom(context, context->coefIndex);
  }
  // The fast form writes only the coefficients it decodes: the zeros are written here, at once
  // (the whole block, copied from zeros, which compilers do in a few wide moves rather than
  // the string instruction a fill tends to become; the DC value kept).
  const std::int16_t dc = context->block[0];
  std::memcpy(context->block, kZeroBlock, sizeof(context->block));
  context->block[0] = dc;
  return DecodeAcFromFast(context, context->coefIndex, false);
}

std::uint8_t ResumeAcCoefficients(DecoderContext* context) {
  int k = context->coefIndex;
  if (context->symbolPending != 0) {
    if (k < 1 || k > kLastCoefficient) {
      return JD_ERR_DATA;
    }
    if (FastSymbolsUsable(context)) {
      return DecodeAcFromFast(context, k, true);
    }
    const std::uint8_t read = ReceiveExtend(static_cast<std::uint8_t>(context->acSymbol & 0x0F),
                                            context, &context->block[k]);
    if (read != kDone) {
      return read;
    }
    ++k;
    context->symbolPending = 0;
  }
  return FastSymbolsUsable(context) ? DecodeAcFromFast(context, k, false)
                                    : DecodeAcFrom(context, k);
}

}  // namespace jpegdec
