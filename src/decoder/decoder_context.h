// The native decoder's whole state: one record per image, allocated once, never copied or
// moved (several fields refer into the record itself). Shared by the pipeline's stages: the step
// (decode_step.cpp), the marker parser (segments and phases), the entropy decoder (tables and
// scan data), the band decoder (MCUs, bands, restart intervals), reconstruction (blocks into the
// band) and the band output (colour conversion and interleave).
#pragma once

#include <cstddef>
#include <cstdint>

#include "decoder/decoder.h"
#include "decoder/jpeg_constants.h"

namespace jpegdec {

inline constexpr int kDcCapacity = 12;
inline constexpr int kAcCapacity = 256;
inline constexpr int kFastLookupLengths = 8;        // codes of 1..8 bits go through the lookup
inline constexpr int kLookupEntriesPerTable = 510;  // 2 + 4 + ... + 256
inline constexpr std::uint16_t kNoSymbol = 0xFFFF;
inline constexpr std::uint16_t kNoComponent = 0xFFFF;
inline constexpr int kFastBits = 11;  // lookahead of the fast entropy path: 2^11 entries per table

// Parser phases.
inline constexpr std::uint8_t kPhaseBeforeSoi = 0;
inline constexpr std::uint8_t kPhaseAfterSoi = 1;
inline constexpr std::uint8_t kPhaseOutsideScan = 2;
inline constexpr std::uint8_t kPhaseInScan = 3;
inline constexpr std::uint8_t kPhaseEnded = 5;

// colorTransform value before any "Adobe" segment was seen.
inline constexpr std::uint8_t kNoAdobeSegment = 3;

// The working height of a page of unknown length until its DNL segment: the most lines a DNL
// segment can give.
inline constexpr std::uint16_t kOpenPageLines = 0xFFFF;

struct ComponentInfo {
  std::uint8_t id;          // Ci
  std::uint8_t h;           // horizontal sampling factor
  std::uint8_t v;           // vertical sampling factor
  std::uint8_t quantTable;  // Tq
  std::uint8_t dcTable;     // Td (scan header)
  std::uint8_t acTable;     // 16 + Ta: the DHT class-and-id byte of the AC table (scan header)
};

struct QuantTable {
  std::uint8_t id;
  std::uint8_t values[kBlockSize];  // zig-zag order, as DQT carries them
};

struct DcHuffmanTable {
  std::uint8_t bits[16];             // BITS: codes per length 1..16
  std::uint8_t vals[kDcCapacity];    // HUFFVAL, in code order
  std::uint8_t sizes[kDcCapacity];   // code lengths in code order; 0 past the last code
  std::uint16_t codes[kDcCapacity];  // right-aligned code values in code order
};

struct AcHuffmanTable {
  std::uint8_t bits[16];
  std::uint8_t vals[kAcCapacity];
  std::uint8_t sizes[kAcCapacity];
  std::uint16_t codes[kAcCapacity];
};

using ColorConverter = void (*)(DecoderContext* context);

// The colour conversion a scan chose (colorConvert): none, YCbCr to RGB, or YCCK.
enum class BandKind : std::uint8_t { kRaw, kYCbCr, kYcck };

struct RoutineTable;  // cpu_dispatch.h

inline constexpr int kMaxBlocksPerMcu = kMaxComponents * kMaxSamplingFactor * kMaxSamplingFactor;

// One block of the MCU order, as the band decoder's fast loop places it.
struct McuSlot {
  std::uint8_t component;
  std::uint8_t col;      // 1-based, as blockCol
  std::uint8_t row;      // 1-based, as blockRow
  std::uint8_t repeatX;  // samples repeated along a line (1, 2, 4); 0: the general replication
  std::uint8_t repeatY;  // lines repeated (1, 2)
  std::size_t offset;    // of the block's area from the band buffer's start, MCU column 0
};

// A Huffman table as the fast entropy path reads it (filled whenever the table is defined).
struct FastHuffmanTable {
  // Entry v for the next kFastBits bits v: (code length << 8) | symbol of the code they start
  // with, or 0 when that code is longer than kFastBits.
  std::uint16_t lookup[1 << kFastBits];
  // Per code length L: the largest code of length L, -1 if none (T.81 F.2.2.3 MAXCODE), and
  // what to add to a code of length L to get its position in vals. maxCode[17] ends the search.
  std::int32_t maxCode[kMaxCodeBits + 2];
  std::int32_t valOffset[kMaxCodeBits + 1];
};

// The fields are grouped by the stage that owns them: the step, the band output, reconstruction,
// the entropy decoder, the band decoder, the marker parser, and the routines chosen for the frame.
// Other stages read what they need. The input position (inPtr, inAvail) lies with the entropy
// decoder's bit buffer, which it fills: with the two apart, GCC 12 keeps fewer of the fast loop's
// values in registers (about 2 % more instructions, 4 to 6 % slower on photographs).
struct DecoderContext {
  // --- The step (decode_step.cpp) ---
  std::uint8_t marker;         // code of the marker being handled
  std::uint8_t phase;          // parser phase (kPhase...)
  std::uint8_t markerPending;  // 1: marker identified, still to be dispatched
  std::uint8_t lastResult;     // status of the latest step; JD_NEED_DATA => next step adopts
  // Where the input stands as a count of bytes consumed since the first step: inBase bytes
  // before inStart, the first byte of the input adopted last (InputPosition).
  std::uint64_t inBase;
  const std::uint8_t* inStart;

  // --- The band output (output/) ---
  std::uint16_t rowsOutput;     // image rows emitted so far
  ColorConverter colorConvert;  // chosen at the scan header
  BandKind bandKind;            // the conversion colorConvert does

  // --- Reconstruction and placement (transform/) ---
  std::uint16_t ratioComponent;  // component expandX/expandY were computed for
  std::uint16_t expandX;
  std::uint16_t expandY;
  std::uint8_t blockIsFlat;    // fast path: the current block's 64 samples are all block[0]
  std::uint8_t mcuSlotsReady;  // mcuSlots holds the frame's MCU order
  McuSlot mcuSlots[kMaxBlocksPerMcu];

  // --- The entropy decoder (entropy/) ---
  std::int16_t block[kBlockSize];  // coefficients (zig-zag), later samples (natural order)
  std::int16_t coefIndex;          // next coefficient index of the current block
  std::uint8_t codeLen;            // next Huffman code length to try
  std::uint8_t codeIndex;          // next code to compare
  // The table selected for the current decode.
  const std::uint8_t* curBits;
  const std::uint8_t* curVals;
  const std::uint16_t* curCodes;
  std::uint16_t* const* curLookup;
  std::uint8_t curFirstLong;
  std::uint8_t curFastLen;
  std::uint8_t curLongCodes;
  std::uint8_t acSymbol;  // last AC symbol (run << 4 | size)
  std::uint8_t dcSymbol;  // last DC category
  DcHuffmanTable dcTables[kNumTables];
  AcHuffmanTable acTables[kNumTables];
  std::int16_t dcPred[kMaxComponents];
  // The input: read in place by the marker parser and the entropy decoder.
  const std::uint8_t* inPtr;  // next input byte, inside the caller's buffer
  std::int32_t inAvail;       // bytes from inPtr on
  std::uint32_t bitBuffer;    // unread scan bits, right-aligned
  std::uint8_t bitCount;
  std::uint8_t dcDone;
  std::uint8_t symbolPending;
  std::uint8_t resumePending;
  std::uint8_t ffPending;  // scan-data 0xFF consumed, not yet settled (kFf... in huffman.h)
  std::uint16_t acLookup[kNumTables][kLookupEntriesPerTable];
  std::uint16_t* acLookupPtr[kNumTables][kFastLookupLengths];
  std::uint8_t longCodes[kNumTables];
  std::uint8_t firstLong[kNumTables];
  std::uint8_t fastLen[kNumTables];
  std::uint8_t dcDefined;  // bit t: DC table t defined (by DHT or the standard tables)
  std::uint8_t acDefined;  // bit t: AC table t defined
  // The fast forms of the tables (huffman_fast.cpp).
  FastHuffmanTable fastDc[kNumTables];
  FastHuffmanTable fastAc[kNumTables];
  // AC table t, entry v for the next kFastBits bits: when they hold a whole code and its extra
  // bits, (coefficient << 16) | (run << 8) | bits used; for the end-of-block code, a run of
  // 0x80 (past any block's end) and its length; otherwise 0.
  std::int32_t fastAcFolded[kNumTables][1 << kFastBits];
  // AC table t, entry v: what fastAcFolded gives, and with it the code that follows when it
  // too lies whole in the lookahead, as the fast loop takes them (huffman_fast.cpp).
  std::uint64_t fastAcPairs[kNumTables][1 << kFastBits];
  // DC table t, entry v: when the next kFastBits bits hold a whole code of a category up to 11
  // and its extra bits, (difference << 16) | (category << 8) | bits used; otherwise 0.
  std::int32_t fastDcFolded[kNumTables][1 << kFastBits];
  const FastHuffmanTable* curFast;  // fast form of the selected table
  // Per component: the fewest bits a block takes with the tables its scan selects.
  std::uint16_t fewestBlockBits[kMaxComponents];

  // --- The band decoder: MCUs, bands, restart intervals, damage (band_decoder.cpp) ---
  std::uint8_t curComp;      // component of the current block
  std::uint8_t blockCol;     // 1-based block column within the component's MCU part
  std::uint8_t blockRow;     // 1-based block row
  std::uint32_t mcuX;        // first sample column of the current MCU; wide so it never wraps
  std::uint8_t blocksDone;   // blocks finished in the current MCU
  std::uint8_t* bandBuffer;  // band under construction (owned; band_geometry.h); null between bands
  std::uint8_t* spareBand;   // a band given back (ReturnBand), for the next band (owned)
  std::size_t spareBandSize;    // its size in bytes
  std::uint16_t mcusToRestart;  // MCUs left in the current restart interval (restartInterval > 0)
  std::uint8_t restartDue;      // the interval's last MCU is done: its marker is looked for next
  std::uint16_t heldRows;       // rows of heldBand
  std::uint8_t* heldBand;       // the latest finished band of an open page, interleaved (owned)
  std::uint8_t damaged;         // the data contradicted the frame: the image never ends as complete
  std::uint8_t restartNumber;   // number (0..7) of the restart marker that ends this interval
  std::uint8_t resyncing;       // damage met between restart markers: the next one is sought
  std::uint8_t markerAfterFill;  // `marker` is handed to the parser once the fill is out
  std::uint32_t mcusToFill;      // MCUs to fill with mid-grey before decoding goes on
  std::uint64_t heldAt;          // InputPosition when heldBand was held
  std::uint8_t blockComplete;    // a step completed the current block; the band decoder takes it

  // --- The marker parser: segments, the frame and its scan (marker_parser.cpp) ---
  // Payload bytes of the current segment still to read; 0 = length unread.
  std::int32_t segRemaining;
  std::uint8_t sawFF;  // marker search: latest byte was 0xFF
  std::uint8_t numComponents;
  std::uint16_t height;  // lines of the frame (kOpenPageLines until a DNL segment gives them)
  std::uint16_t width;
  ComponentInfo comp[kMaxComponents];
  std::uint8_t colorTransform;  // "Adobe" transform byte; kNoAdobeSegment when none seen
  QuantTable quantTables[kNumTables];
  std::uint8_t maxV;
  std::uint8_t maxH;
  std::uint8_t blocksPerMcu;
  std::uint8_t quantDefined;  // bit t: DQT defined table t
  std::uint8_t frameRead;     // a frame header has been read and prepared
  std::uint8_t scanReady;     // a scan header has been accepted: selectors, tables, converter set
  std::uint8_t appExamined;   // the current APPn payload's first bytes have been examined
  std::uint8_t selectorsSet;  // bit i: a scan header gave comp[i] its table selectors
  std::uint16_t frameHeight;  // Y of the frame header (height may be replaced by a DNL segment)
  std::uint16_t restartInterval;  // Ri of the latest DRI segment: MCUs per interval; 0 = none
  // A page of unknown length (frame height 0, the lines given by a DNL segment): until the DNL
  // segment comes, `height` holds kOpenPageLines and each finished band is held back (heldBand,
  // band decoder) until the next band is known to be real or the segment has given the lines, so
  // that no row below the page's end is handed out.
  std::uint8_t openPage;    // the frame header gave height 0
  std::uint8_t linesKnown;  // a DNL segment has given the open page its lines

  // --- The routines chosen for the frame (cpu_dispatch.h, select_routines.cpp) ---
  std::uint8_t routineLevel;     // kRoutines...: instruction set of this frame's fast routines
  const RoutineTable* routines;  // this frame's routines, of routineLevel
};

// Bytes of input consumed since the first step (within a step: inPtr counts).
inline std::uint64_t InputPosition(const DecoderContext* context) {
  return context->inBase + static_cast<std::uint64_t>(context->inPtr - context->inStart);
}

}  // namespace jpegdec
