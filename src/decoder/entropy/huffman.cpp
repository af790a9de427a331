// Entropy decoding of baseline scan data: the bit buffer and byte fetch, the resumable symbol
// searches, RECEIVE/EXTEND, and the DC and AC parts of a block (ITU-T T.81 F.2.2).
#include "decoder/entropy/huffman.h"

#include <cstring>

#include "decoder/cpu_dispatch.h"
#include "decoder/entropy/huffman_fast.h"
#include "decoder/entropy/huffman_internal.h"

namespace jpegdec {

using namespace entropy;  // the parts shared with the fast resumable routines

namespace {

constexpr std::uint8_t kMaxExtraBits = 16;
constexpr std::int16_t kZeroBlock[kBlockSize] = {};

// ---- bit buffer: bits are taken most significant first ----

std::uint16_t PeekBits(const DecoderContext* context, std::uint8_t count) {
  return static_cast<std::uint16_t>(context->bitBuffer >> (context->bitCount - count));
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

}  // namespace

namespace entropy {

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

// Fetch for the AC search and the extra bits, where a marker is never valid. Fill bytes taken
// as bits there mean that the block runs into a marker: its data is short, which is damage,
// unless the page's length is unknown (padding bits read as a block at its end).
std::uint8_t FetchInsideBlock(DecoderContext* context) {
  std::uint8_t marker = 0;
  switch (FetchByte(context, &marker)) {
    case Fetch::kByteAdded:
      return kDone;
    case Fetch::kFillTaken:
      if (context->openPage == 0 || context->linesKnown != 0) {
        context->damaged = 1;
      }
      return kDone;
    case Fetch::kNeedData:
      return JD_NEED_DATA;
    case Fetch::kMarker:
      HandBackMarker(context, marker);  // the block is broken off; the band decoder decides
      break;
  }
  return JD_ERR_DATA;
}

std::uint8_t FetchForBlockStart(DecoderContext* context) {
  std::uint8_t marker = 0;
  switch (FetchByte(context, &marker)) {
    case Fetch::kByteAdded:
      return kDone;
    case Fetch::kNeedData:
      return JD_NEED_DATA;
    case Fetch::kFillTaken:
      return JD_OK;
    case Fetch::kMarker:
      HandBackMarker(context, marker);
      return JD_OK;
  }
  return JD_OK;
}

void HandBackMarker(DecoderContext* context, std::uint8_t marker) {
  context->marker = marker;
  context->markerPending = 1;
  context->phase = kPhaseOutsideScan;
}

}  // namespace entropy

namespace {

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
  return context->bitCount < kMaxCodeBits ? context->bitCount : kMaxCodeBits;
}

// 1 when the search over `end` bits has failed for good, else notes where to go on.
bool GiveUpSearch(DecoderContext* context, std::uint8_t end) {
  if (end == kMaxCodeBits) {
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

}  // namespace

std::uint8_t entropy::FinishDcDifference(DecoderContext* context, std::int16_t* difference) {
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

namespace {

// ---- AC part ----

bool SelectAcTable(DecoderContext* context) {
  if (context->curComp >= kMaxComponents) {
    return false;
  }
  const int t = context->comp[context->curComp].acTable - kDhtAcClass;
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

}  // namespace

std::uint8_t entropy::PlainAcStep(DecoderContext* context, int* position) {
  int k = *position;
  const std::uint8_t found = SearchAcSymbol(context);
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
  // A size of 0 is defined only for EOB and ZRL (T.81 F.1.2.2): any other such symbol cannot
  // come from sound data.
  if (k + run >= kBlockSize || (symbol & 0x0F) == 0) {
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

std::uint8_t entropy::DecodeAcFrom(DecoderContext* context, int k) {
  if (k < 1) {
    return JD_ERR_DATA;  // position 0 belongs to the DC part
  }
  while (k <= kLastCoefficient) {
    const std::uint8_t step = PlainAcStep(context, &k);
    if (step != kGoOn) {
      return step;
    }
  }
  context->coefIndex = kBlockSize;
  return kDone;
}

std::uint8_t SkipToNextMarker(DecoderContext* context, std::uint8_t* marker) {
  context->bitBuffer = 0;
  context->bitCount = 0;
  while (context->inAvail > 0) {
    const std::uint8_t byte = TakeInputByte(context);
    if (context->ffPending == kFfNone) {
      if (byte == kMarkerPrefix) {
        context->ffPending = kFfOne;
      } else {
        context->damaged = 1;  // a data byte
      }
    } else if (byte == kStuffedZero) {
      context->ffPending = kFfNone;
      context->damaged = 1;  // a data byte 0xFF
    } else if (byte != kMarkerPrefix) {
      context->ffPending = kFfNone;
      *marker = byte;
      return kDone;
    }
  }
  return JD_NEED_DATA;
}

std::uint8_t SeekRestartMarker(DecoderContext* context, std::uint8_t* marker) {
  for (;;) {
    if (context->inAvail <= 0) {
      return JD_NEED_DATA;
    }
    const std::uint8_t next = *context->inPtr;
    if (context->ffPending == kFfNone) {
      if (next != kMarkerPrefix) {
        return JD_ERR_DATA;  // a data byte
      }
      TakeInputByte(context);
      context->ffPending = kFfOne;
      continue;
    }
    if (next == kMarkerPrefix) {
      TakeInputByte(context);  // the 0xFF before it was a fill byte
      context->ffPending = kFfFill;
      continue;
    }
    if (next == kStuffedZero) {
      return JD_ERR_DATA;  // a stuffed data byte 0xFF; the fetch settles it (0xFF 0xFF 0x00 as
                           // ever)
    }
    TakeInputByte(context);
    context->ffPending = kFfNone;
    context->bitBuffer = 0;
    context->bitCount = 0;
    *marker = next;
    return kDone;
  }
}

namespace {

// What one code length gave the search.
enum class AtLength : std::uint8_t { kNoCode, kFound, kNoLongerCode };

// The bit-by-bit search for the next code, from the length where an earlier call stopped:
// `tryLength(length)` looks for a code of that length among the bits held, `fetch` brings more.
// kDone, JD_ERR_DATA (no code matches), or what the fetch returned.
template <typename TryLength, typename Fetch>
std::uint8_t SearchSymbol(DecoderContext* context, TryLength tryLength, Fetch fetch) {
  for (;;) {
    const std::uint8_t end = SymbolSearchEnd(context);
    for (std::uint8_t length = context->codeLen; length <= end; ++length) {
      const AtLength result = tryLength(length);
      if (result == AtLength::kFound) {
        FinishSymbol(context, length);
        return kDone;
      }
      if (result == AtLength::kNoLongerCode) {
        return JD_ERR_DATA;
      }
    }
    if (GiveUpSearch(context, end)) {
      return JD_ERR_DATA;
    }
    const std::uint8_t fetched = fetch(context);
    if (fetched != kDone) {
      return fetched;
    }
  }
}

}  // namespace

std::uint8_t entropy::SearchDcSymbol(DecoderContext* context) {
  return SearchSymbol(
      context,
      [context](std::uint8_t length) {
        if (!SearchLength(context, length, PeekBits(context, length))) {
          return AtLength::kNoCode;
        }
        context->dcSymbol = context->curVals[context->codeIndex];
        return AtLength::kFound;
      },
      FetchForBlockStart);
}

std::uint8_t entropy::SearchAcSymbol(DecoderContext* context) {
  return SearchSymbol(
      context,
      [context](std::uint8_t length) {
        const std::uint16_t v = PeekBits(context, length);
        if (length <= context->curFastLen) {
          const std::uint16_t entry = context->curLookup[length - 1][v];
          if (entry == kNoSymbol) {
            return AtLength::kNoCode;
          }
          context->acSymbol = static_cast<std::uint8_t>(entry);
          return AtLength::kFound;
        }
        if (length == context->curFastLen + 1) {
          // Past the lookup: with only short codes there is nothing longer to find.
          if (context->curFastLen >= 1 && context->curFastLen < kFastLookupLengths &&
              context->curLongCodes == 0) {
            return AtLength::kNoLongerCode;
          }
          context->codeIndex = context->curFirstLong;
        }
        if (!SearchLength(context, length, v)) {
          return AtLength::kNoCode;
        }
        context->acSymbol = context->curVals[context->codeIndex];
        return AtLength::kFound;
      },
      FetchInsideBlock);
}

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
  *value = Extend(v, n);
  return kDone;
}

std::uint8_t DecodeDcDifference(DecoderContext* context, std::int16_t* difference) {
  if (!SelectDcTable(context)) {
    return JD_ERR_DATA;
  }
  context->coefIndex = 0;
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
  if (k == kBlockSize && context->symbolPending == 0 && context->codeLen == 1 &&
      context->codeIndex == 0) {
    // Complete already (the step that adopted the piece finished it): nothing to read, as the
    // loops below would find.
    return kDone;
  }
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

std::uint8_t DecodeNextBlock(DecoderContext* context) {
  DecoderContext* c = context;
  std::uint8_t r = 0;
  if (c->dcDone == 0) {
    std::int16_t difference = 0;
    bool wholeBlock = false;
    if (c->resumePending != 0) {
      c->resumePending = 0;
      r = ResumeDcDifference(c, &difference);
    } else if (FastBlockEligible(c) && DecodeBlockFast(c, &difference)) {
      // The whole block at once, its AC part included.
      wholeBlock = true;
      r = kDone;
    } else {
      r = DecodeDcDifference(c, &difference);
    }
    if (r == JD_NEED_DATA) {
      c->resumePending = 1;
    }
    if (r != kDone) {
      return r;
    }
    std::int16_t& predictor = c->dcPred[c->curComp];
    predictor = static_cast<std::int16_t>(predictor + difference);  // wraps like the register
    c->block[0] = predictor;
    if (wholeBlock) {
      c->coefIndex = kBlockSize;
      return kDone;
    }
    c->dcDone = 1;
  }
  if (c->resumePending != 0) {
    c->resumePending = 0;
    r = ResumeAcCoefficients(c);
  } else {
    r = DecodeAcCoefficients(c);
  }
  if (r == JD_NEED_DATA) {
    c->resumePending = 1;
  }
  if (r != kDone) {
    return r;
  }
  c->dcDone = 0;
  return kDone;
}

}  // namespace jpegdec
