// The band decoder: decodes MCU after MCU into the band buffer until a band is complete, the input
// runs out or a marker is met. Around the blocks it keeps the MCU position, counts restart
// intervals and takes their markers, confines damage to the intervals it touches, takes and
// gives back band buffers, and holds back the last band of a page of unknown length. The
// entropy decoder gives each block's coefficients; reconstruction places them in the band; the
// band output turns the complete band into rows.
#include "decoder/band_decoder.h"

#include <algorithm>
#include <climits>
#include <cstdlib>
#include <cstring>

#include "decoder/band_geometry.h"
#include "decoder/cpu_dispatch.h"
#include "decoder/entropy/huffman.h"
#include "decoder/entropy/huffman_fast_block.h"
#include "decoder/marker_parser.h"
#include "decoder/output/band_output.h"
#include "decoder/transform/reconstruct.h"
#include "platform/platform.h"

namespace jpegdec {

namespace {

// Counts a finished MCU against the restart interval. True when it was the interval's last: the
// restart marker is then looked for (SeekRestartMarker) before the next block, by the plain and
// the fast block loop alike.
inline bool EndsRestartInterval(DecoderContext* c) {
  if (c->restartInterval == 0 || --c->mcusToRestart != 0) {
    return false;
  }
  c->restartDue = 1;
  return true;
}

// A buffer for a new band: the band given back last (ReturnBand) if it has the frame's band size,
// otherwise a new one; null when memory is short.
std::uint8_t* TakeBandBuffer(DecoderContext* c) {
  const std::size_t size = BandBufferSize(c);
  std::uint8_t* spare = c->spareBand;
  c->spareBand = nullptr;
  if (spare != nullptr) {
    if (c->spareBandSize == size) {
      return spare;
    }
    platform::HeapRelease(spare);
  }
  return static_cast<std::uint8_t*>(platform::HeapAllocate(size));
}

// ---- The fast block loop ----
//
// Where the fast routines run and input lies well ahead, whole blocks go from the scan data to
// the band in one go: the entropy decoder leaves them dequantised in the order the transform
// takes them, the transform stores its samples straight into the band, and the bit reader stays
// open from block to block. Whatever it cannot do (a block the input does not complete, a marker
// near) it leaves to the block-by-block loop of DecodeBand, from the start of that block, with
// the context as that loop would have left it.

enum class FastRun : std::uint8_t { kStopped, kBandDone, kOutOfMemory };

// The fast block loop, the band decoder's side of it (the entropy decoder's DecodeWholeBlocks
// reads the blocks, the placer puts them in the band): the band buffer, and the MCU position,
// restart interval and band end each block moves on.
FastRun RunFastBlocks(DecoderContext* c) {
  if (c->dcDone != 0 || c->resumePending != 0 || c->restartDue != 0 || c->blockComplete != 0 ||
      c->blocksPerMcu > kMaxBlocksPerMcu || c->blocksDone >= c->blocksPerMcu) {
    return FastRun::kStopped;
  }
  // The run's position in locals, written back at its end: the band's stores could be the
  // context's bytes for all the compiler knows, and would have it read them again after each.
  const auto mcuWidth = static_cast<std::uint32_t>(kBlockSide * c->maxH);
  const int blocksPerMcu = c->blocksPerMcu;
  const std::uint32_t width = c->width;
  const std::uint16_t interval = c->restartInterval;
  std::uint16_t toRestart = c->mcusToRestart;
  std::uint32_t mcuX = c->mcuX;
  std::uint8_t* band = c->bandBuffer;
  FastRun outcome = FastRun::kStopped;
  bool begun = false;
  int index = c->blocksDone;
  WholeBlockPlacer placer(c);
  const auto begin = [&placer, &begun] {
    placer.Begin();
    begun = true;
  };
  const auto next = [&placer, &index](std::int16_t** columns) {
    *columns = placer.Columns();
    return placer.Component(index);
  };
  const auto take = [&](std::int16_t* columns, bool anyAc) {
    if (band == nullptr) {
      band = c->bandBuffer = TakeBandBuffer(c);
      if (band == nullptr) {
        outcome = FastRun::kOutOfMemory;
        return false;
      }
    }
    placer.Place(index, columns, anyAc, band, mcuX);
    if (++index != blocksPerMcu) {
      return true;
    }
    index = 0;
    mcuX += mcuWidth;  // 32-bit: never wraps
    // The MCU counted against the restart interval: at the interval's end the block loop looks
    // for the restart marker (restartDue).
    const bool intervalEnds = interval != 0 && --toRestart == 0;
    if (mcuX >= width) {
      outcome = FastRun::kBandDone;
      return false;
    }
    return !intervalEnds;
  };
  DecodeWholeBlocks(c, begin, next, take);
  if (begun) {
    placer.Finish(index);
    c->blocksDone = static_cast<std::uint8_t>(index);
    c->coefIndex = 0;
    c->mcuX = mcuX;
    if (interval != 0) {
      c->mcusToRestart = toRestart;
      c->restartDue = toRestart == 0 ? 1 : 0;
    }
  }
  return outcome;
}

// The frame header's limits as this code relies on them; the marker parser refuses frames
// outside them, this only keeps a frame that slipped through from indexing past a table or
// writing past the band.
bool FrameLayoutIsSound(const DecoderContext* c) {
  if (c->numComponents < 1 || c->numComponents > kMaxComponents || c->maxH < 1 ||
      c->maxH > kMaxSamplingFactor || c->maxV < 1 || c->maxV > kMaxSamplingFactor) {
    return false;
  }
  unsigned blocks = 0;
  for (int i = 0; i < c->numComponents; ++i) {
    const ComponentInfo& ci = c->comp[i];
    if (ci.h < 1 || ci.h > c->maxH || ci.v < 1 || ci.v > c->maxV || ci.quantTable >= kNumTables) {
      return false;
    }
    blocks += static_cast<unsigned>(ci.h) * ci.v;
  }
  return blocks == c->blocksPerMcu;
}

// Moves to the next block of the MCU order: blockCol fastest, then blockRow, then the component.
// Returns true when the MCU is complete (blocksDone back at 0; mcuX at the next MCU).
bool AdvanceBlock(DecoderContext* c) {
  c->blocksDone = static_cast<std::uint8_t>(c->blocksDone + 1);
  c->coefIndex = 0;
  c->blockCol = static_cast<std::uint8_t>(c->blockCol + 1);
  if (c->blockCol > c->comp[c->curComp].h) {
    c->blockCol = 1;
    c->blockRow = static_cast<std::uint8_t>(c->blockRow + 1);
    if (c->blockRow > c->comp[c->curComp].v) {
      c->blockRow = 1;
      c->curComp = static_cast<std::uint8_t>(c->curComp + 1);
      if (c->curComp > c->numComponents - 1) {
        c->curComp = 0;
      }
    }
  }
  if (c->blocksDone != c->blocksPerMcu) {
    return false;
  }
  c->blocksDone = 0;
  c->mcuX += kBlockSide * static_cast<std::uint32_t>(c->maxH);  // 32-bit: never wraps
  return true;
}

// AdvanceBlock, counting a finished MCU against the restart interval. Returns true when the
// band is complete.
bool AdvancePosition(DecoderContext* c) {
  if (!AdvanceBlock(c)) {
    return false;
  }
  EndsRestartInterval(c);
  return c->mcuX >= c->width;
}

// Converts and interleaves the finished band and hands it over. A band of no rows (the image
// height was reached before it) is released instead and reported as no band. A band of a page of
// unknown length is held back instead, until the next band begins or the page's lines are known.
void FinishBand(DecoderContext* c, StepResult* result) {
  const std::uint16_t rows = OutputBand(c);
  const std::int32_t count = static_cast<std::int32_t>(c->width) * c->numComponents * rows;
  if (count > 0 && c->openPage != 0 && c->linesKnown == 0) {
    c->heldBand = c->bandBuffer;
    c->heldRows = rows;
    c->heldAt = InputPosition(c);
  } else if (count > 0) {
    result->count = count;
    result->data = c->bandBuffer;
  } else {
    platform::HeapRelease(c->bandBuffer);
  }
  c->bandBuffer = nullptr;
  c->mcuX = 0;
}

// A page of unknown length: whether the band held back is known to lie within the page. The
// next band has begun (a block of it is stored), and input has been taken as scan data since the
// held band's last MCU: a whole byte more than the bits that padded its last byte, settled (no
// 0xFF waiting to be told from a marker). Blocks decoded from those padding bits alone (0 bits
// read as codes) prove nothing: the page may end with them.
bool HeldBandIsWithinPage(const DecoderContext* c) {
  return InputPosition(c) > c->heldAt && c->ffPending == kFfNone;
}

// BandStep's work where there is any: the band is complete, or a band is held back for a page of
// unknown length. That band goes out once the next band is known to be real (or complete, in
// which case the earlier one is taken to be within the page as well).
bool FinishOrHandOver(DecoderContext* c, bool bandDone, StepResult* result) {
  if (c->heldBand != nullptr && (bandDone || HeldBandIsWithinPage(c))) {
    std::uint8_t* earlier = c->heldBand;
    const std::uint16_t earlierRows = c->heldRows;
    c->heldBand = nullptr;
    if (bandDone) {
      FinishBand(c, result);  // held back in turn
    }
    result->count = static_cast<std::int32_t>(c->width) * c->numComponents * earlierRows;
    result->data = earlier;
    return true;
  }
  if (bandDone) {
    FinishBand(c, result);
    return true;
  }
  return false;
}

// After a block is stored and the position moved on (bandDone: the band is complete): finishes
// the band when it is complete, and hands a held band over when its time has come. True when a
// band went out (result) or was finished without rows.
[[gnu::always_inline]] inline bool BandStep(DecoderContext* c, bool bandDone, StepResult* result) {
  if (!bandDone && c->heldBand == nullptr) {
    return false;  // nearly every block
  }
  return FinishOrHandOver(c, bandDone, result);
}

// ---- Damage and restart recovery ----
//
// The scan data contradicts the frame where a marker comes before the scan's (or a restart
// interval's) last MCU, where data is left over after it, where a restart marker is missing or
// out of sequence, or where the entropy decoder finds codes that cannot be. All of these set
// `damaged`, and a damaged image never ends as complete (the parser fails it at its end).
// Without restart intervals damage also ends the decode where it is found, since nothing tells
// where the data would be sound again (a marker met early is left to the parser, which fails
// the image at its end marker). With restart intervals it costs only the intervals it touches:
// the decoder looks for the next restart marker, fills the rest of the damaged interval and the
// intervals whose markers its number says were lost (modulo 8) with mid-grey, and decodes on
// from the MCU where the found marker's interval begins, so the rest of the image comes out as
// in the intact file. An end marker found that way fills the rest of the image before it is
// handed to the parser. A page of unknown length ends wherever its DNL segment (or end marker)
// comes: the blocks decoded since the last whole MCU row are padding, dropped with the band.

constexpr std::uint32_t kFillToEnd = UINT32_MAX;  // mcusToFill: up to the image's last row

inline std::uint8_t RestartNumber(std::uint8_t code) {
  return static_cast<std::uint8_t>(code - kMarkerRst0);
}

// The entropy decoder's state at an interval's start; the MCU position is kept.
void StartInterval(DecoderContext* c) {
  ResetScanState(c);  // predictors, bits, pending parts, the interval's MCU count
  c->coefIndex = 0;
  c->blockIsFlat = 0;
}

// Restart marker `code` ends the current interval, which is complete: decoding goes on after it.
// A number other than the one due is noted as damage but taken as due: the interval before it
// decoded to its last MCU with no data left over, so its marker, not the count, is what changed.
void TakeRestartMarker(DecoderContext* c, std::uint8_t code) {
  if (RestartNumber(code) != c->restartNumber) {
    c->damaged = 1;
  }
  c->restartNumber = static_cast<std::uint8_t>((c->restartNumber + 1) % kRestartNumbers);
  StartInterval(c);
}

// Restart marker `code` found after damage (or before the interval's last MCU): the rest of the
// current interval and the intervals lost before the marker are filled, then decoding resumes
// where the marker's interval begins.
void ResyncAtRestartMarker(DecoderContext* c, std::uint8_t code) {
  const auto lost = static_cast<std::uint32_t>(
      (RestartNumber(code) + kRestartNumbers - c->restartNumber) % kRestartNumbers);
  c->damaged = 1;
  c->resyncing = 0;
  c->mcusToFill = c->mcusToRestart + lost * std::uint32_t{c->restartInterval};
  c->restartNumber = static_cast<std::uint8_t>((RestartNumber(code) + 1) % kRestartNumbers);
  StartInterval(c);
}

// Hands a marker met in the scan data to the parser.
void HandMarkerToParser(DecoderContext* c, std::uint8_t code) {
  c->marker = code;
  c->markerPending = 1;
  c->phase = kPhaseOutsideScan;
}

// MCUs of a frame with a height left to decode, the current one included.
std::uint64_t McusLeft(const DecoderContext* c) {
  const std::uint64_t mcuWidth = kBlockSide * std::uint64_t{c->maxH};
  const std::uint64_t bandLines = BandLines(c);
  const std::uint64_t perRow = (c->width + mcuWidth - 1) / mcuWidth;
  const std::uint64_t rows = (c->height + bandLines - 1) / bandLines;
  const std::uint64_t rowsDone = c->rowsOutput / bandLines;  // whole bands: the image is not out
  const std::uint64_t done = rowsDone * perRow + c->mcuX / mcuWidth;
  const std::uint64_t total = rows * perRow;
  return total > done ? total - done : 0;
}

// A marker met in the scan data before the scan's last MCU, where a block begins, inside one
// (the block broken off), or in search of a restart marker after damage (`sought`). True:
// decoding goes on here (resync, fill); false: the band decoder returns with result->status
// (JD_OK with the marker handed to the parser).
bool MarkerInScan(DecoderContext* c, std::uint8_t code, bool sought, StepResult* result) {
  const bool intervals = c->restartInterval != 0;
  const bool openPage = c->openPage != 0 && c->linesKnown == 0;
  if (IsRestartMarker(code)) {
    if (intervals) {
      ResyncAtRestartMarker(c, code);
      return true;
    }
    // A marker without a DRI segment resets the state and counts nothing. Before a frame's last
    // MCU it is damage; a page of unknown length may have reached its end (as after a frame's
    // last MCU, where such a marker is passed over).
    if (!openPage) {
      c->damaged = 1;
    }
    StartInterval(c);
    return true;
  }
  if (code == kMarkerDnl || (code == kMarkerEoi && (openPage || !sought))) {
    // The end of a page of unknown length, lines that end a frame early, or a frame's data cut
    // short, which the parser fails at its end marker after the rows decoded before the cut.
    HandMarkerToParser(c, code);
    result->status = JD_OK;
    return false;
  }
  c->damaged = 1;
  if (!intervals) {
    // The parser fails the image at its end marker, refuses the marker, or reads its segment
    // and searches on; in no case can the image end as complete.
    HandMarkerToParser(c, code);
    result->status = JD_OK;
    return false;
  }
  if (code == kMarkerEoi) {
    // Data skipped since the damage held what is left of the image, as far as the rest of this
    // interval and one more (the last marker lost): that is filled before the end marker goes
    // to the parser. Where more is left, the data ended early as well, and the image is cut
    // short there (a few damaged bytes must not make a frame of 65535 lines come out whole).
    c->resyncing = 0;
    if (McusLeft(c) > std::uint64_t{c->mcusToRestart} + c->restartInterval) {
      HandMarkerToParser(c, code);
      result->status = JD_OK;
      return false;
    }
    c->marker = code;
    c->markerAfterFill = 1;
    c->mcusToFill = kFillToEnd;
    StartInterval(c);
    return true;
  }
  c->resyncing = 1;  // any other code is taken for damaged data
  return true;
}

// The entropy decoder failed inside the current block (result JD_ERR_DATA), on codes that
// cannot be or on a marker (then handed back). True: decoding goes on (recovery); false: the
// band decoder returns with result->status.
bool BlockFailed(DecoderContext* c, StepResult* result) {
  const bool markerMet = c->phase != kPhaseInScan;
  const std::uint8_t code = c->marker;
  if (markerMet && c->openPage != 0 && c->linesKnown == 0 &&
      (code == kMarkerDnl || code == kMarkerEoi)) {
    // A page of unknown length ends inside blocks that padding bits began: they are dropped.
    result->status = JD_OK;
    return false;
  }
  c->damaged = 1;
  if (c->restartInterval == 0) {
    result->status = JD_ERR_DATA;
    return false;
  }
  if (!markerMet) {
    c->resyncing = 1;
    return true;
  }
  c->markerPending = 0;
  c->phase = kPhaseInScan;
  return MarkerInScan(c, code, false, result);
}

// A lost block's area in the band set to mid-grey (128), as a block of DC level 0 is stored.
void FillBlockArea(const BlockPlace& place) {
  constexpr std::uint8_t kMidGrey = 128;
  const std::size_t width = std::min<std::size_t>(place.expandX, place.segment - place.column);
  const std::size_t lines = std::min<std::size_t>(place.expandY, place.lines - place.top);
  for (std::size_t l = 0; l < lines; ++l) {
    std::memset(place.origin + l * place.line, kMidGrey, width);
  }
}

// Fills MCUs (mcusToFill) from the current block on, up to the image's last row at most. True
// when the band decoder returns: a band went out, the marker that waited for the fill went to the
// parser, or memory was short (result).
bool FillMcus(DecoderContext* c, StepResult* result) {
  while (c->mcusToFill != 0 && c->rowsOutput < c->height) {
    if (c->bandBuffer == nullptr) {
      c->bandBuffer = TakeBandBuffer(c);
      if (c->bandBuffer == nullptr) {
        result->status = JD_ERR_NOMEM;
        return true;
      }
    }
    FillBlockArea(PlaceBlock(c));
    const bool mcuDone = AdvanceBlock(c);
    if (mcuDone && c->mcusToFill != kFillToEnd) {
      --c->mcusToFill;
    }
    if (BandStep(c, mcuDone && c->mcuX >= c->width, result)) {
      return true;
    }
  }
  c->mcusToFill = 0;
  c->mcusToRestart = c->restartInterval;
  c->restartDue = 0;
  if (c->markerAfterFill != 0) {
    c->markerAfterFill = 0;
    HandMarkerToParser(c, c->marker);
    return true;
  }
  return false;
}

// Once every row of the image is out, what is left of the scan data up to the next marker should
// be padding and fill bytes; data there is damage. Restart markers are passed over (some encoders
// end the last interval with one). False with result->status JD_OK: the marker went to the parser.
void SkipAfterLastRow(DecoderContext* c, StepResult* result) {
  for (;;) {
    std::uint8_t code = 0;
    const std::uint8_t r = SkipToNextMarker(c, &code);
    if (r != 1) {
      result->status = r;
      return;
    }
    if (!IsRestartMarker(code)) {
      HandMarkerToParser(c, code);
      return;
    }
  }
}

// Between blocks, what comes before the next one: MCUs to fill, a restart marker to find after
// damage, or the marker due where a restart interval ends. True: go on with the loop; false: the
// band decoder returns with result->status (or a band in result).
bool BetweenBlocks(DecoderContext* c, StepResult* result) {
  if (c->mcusToFill != 0) {
    return !FillMcus(c, result);
  }
  std::uint8_t code = 0;
  if (c->resyncing != 0) {
    const std::uint8_t r = SkipToNextMarker(c, &code);
    if (r != 1) {
      result->status = r;
      return false;
    }
    return MarkerInScan(c, code, true, result);
  }
  // The restart interval ended with the latest MCU: its marker comes before the next block.
  const std::uint8_t r = SeekRestartMarker(c, &code);
  if (r == JD_NEED_DATA) {
    result->status = r;
    return false;
  }
  c->restartDue = 0;
  if (r != 1) {
    c->damaged = 1;  // data where the marker should be
    c->resyncing = 1;
    return true;
  }
  if (IsRestartMarker(code)) {
    TakeRestartMarker(c, code);
    return true;
  }
  return MarkerInScan(c, code, false, result);
}
}  // namespace

void DecodeBand(DecoderContext* context, StepResult* result) {
  DecoderContext* c = context;
  result->status = JD_OK;
  result->count = 0;
  // Checked until the band has its buffer: the layout is the frame header's, which is read once
  // per image, so a band under construction keeps the layout it was checked with (a host
  // writing single bytes comes here about once a block).
  if (c->bandBuffer == nullptr && !FrameLayoutIsSound(c)) {
    result->status = JD_ERR_UNSUPPORTED;
    return;
  }
  if (c->rowsOutput >= c->height && c->mcusToFill == 0) {
    // Every row of the image is out: what is left up to the next marker is padding (of any bit
    // value), and is skipped rather than decoded.
    SkipAfterLastRow(c, result);
    return;
  }
  for (;;) {
    if ((c->restartDue | c->resyncing) != 0 || c->mcusToFill != 0) {
      if (!BetweenBlocks(c, result)) {
        return;
      }
      if (c->rowsOutput >= c->height && c->mcusToFill == 0) {
        // A fill reached the image's last row: the rest is skipped as after it, however the
        // input was split.
        SkipAfterLastRow(c, result);
        return;
      }
      continue;
    }
    // A band held back for a page of unknown length goes out once the next band is known to be
    // real, which the block-by-block loop below tells.
    if (c->routineLevel != kRoutinesPlain && c->heldBand == nullptr) {
      const FastRun run = RunFastBlocks(c);
      if (run == FastRun::kOutOfMemory) {
        result->status = JD_ERR_NOMEM;
        return;
      }
      if (run == FastRun::kBandDone) {
        FinishBand(c, result);
        return;
      }
      if (c->restartDue != 0) {
        continue;
      }
    }
    // A component index past the frame's last (only a frame of more than four components could
    // reach it) would index the predictors and tables out of range.
    if (c->curComp >= kMaxComponents) {
      result->status = JD_ERR_UNSUPPORTED;
      return;
    }
    std::uint8_t r = 1;
    if (c->blockComplete != 0) {
      c->blockComplete = 0;  // a step completed the block already
    } else {
      r = DecodeNextBlock(c);
    }
    if (r == JD_ERR_DATA) {
      if (!BlockFailed(c, result)) {
        return;
      }
      continue;
    }
    if (r == JD_OK && c->phase != kPhaseInScan) {
      // A marker where the block would begin.
      const std::uint8_t code = c->marker;
      c->markerPending = 0;
      c->phase = kPhaseInScan;
      if (!MarkerInScan(c, code, false, result)) {
        return;
      }
      continue;
    }
    if (r == JD_OK) {
      continue;  // fill bytes taken as bits; the search goes on and meets the marker
    }
    if (r != 1) {
      result->status = r;
      return;
    }
    // The first block of a band allocates its buffer. The test is on the buffer itself, so a
    // buffer still held for any reason is reused rather than leaked.
    if (c->bandBuffer == nullptr) {
      c->bandBuffer = TakeBandBuffer(c);
      if (c->bandBuffer == nullptr) {
        result->status = JD_ERR_NOMEM;
        return;
      }
    }
    ReconstructAndStore(c, PlaceBlock(c));
    if (BandStep(c, AdvancePosition(c), result)) {
      return;
    }
  }
}
Status BlockFailedOutsideBand(DecoderContext* context) {
  StepResult result = {};
  result.status = JD_OK;
  return BlockFailed(context, &result) ? JD_OK : result.status;
}
void ReturnBand(DecoderContext* context, std::uint8_t* band) {
  if (band == nullptr) {
    return;
  }
  if (context == nullptr || context->spareBand != nullptr || context->phase == kPhaseEnded) {
    platform::HeapRelease(band);
    return;
  }
  context->spareBand = band;
  context->spareBandSize = BandBufferSize(context);
}

}  // namespace jpegdec
