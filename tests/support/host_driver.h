// A test host that decodes a buffer through the library's public operations exactly as a scanner
// driver does: create, Start, Write pieces and Read rows following the streaming rules,
// EndOfInput, Read to the end, Finish, delete.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "jpegdec/jpegdec.h"

namespace jpegdec::test {

// How the host cuts the file into pieces.
struct PieceSchedule {
  enum class Kind { kWhole, kFixed, kRandom };
  Kind kind = Kind::kWhole;
  std::uint32_t size = 0;      // kFixed: bytes per piece
  std::uint32_t seed = 0;      // kRandom: the generator's seed
  std::uint32_t maxPiece = 0;  // kRandom: largest piece (1..maxPiece bytes)

  static PieceSchedule Whole() { return {}; }
  static PieceSchedule Fixed(std::uint32_t bytes) { return {Kind::kFixed, bytes, 0, 0}; }
  static PieceSchedule Random(std::uint32_t seed, std::uint32_t maxPiece) {
    return {Kind::kRandom, 0, seed, maxPiece};
  }
  std::string Describe() const;
};

// The piece lengths the schedule gives for a file of `total` bytes (they sum to total).
std::vector<std::uint32_t> PieceLengths(const PieceSchedule& schedule, std::size_t total);

// With this memory divisor the automatic mode's budget is below any image: it streams.
inline constexpr std::int32_t kTinyBudgetDivisor = 0x7FFFFFFF;

struct HostOptions {
  std::int32_t mode = JPEGDEC_MODE_STREAMING;
  std::int32_t memoryDivisor = 1;
  // Start's width and height; when both are 0 the frame header's values are used, as a driver
  // that knows the page size would pass them.
  std::uint32_t startWidth = 0;
  std::uint32_t startHeight = 0;
  bool keepRows = true;  // keep every row's bytes (otherwise only their digest)
  // Note the rows handed out before each piece is written (HostResult::rowsAtWrite).
  bool traceRows = false;
  // Read once more after Read returned 1 before writing the next piece: the library then decodes
  // every byte before the next comes, whatever it would have gathered.
  bool readAgainBeforeWriting = false;
};

// How the host's decode ended.
enum class HostEnd {
  kEnd,          // Read returned 2
  kFailed,       // Read returned -1
  kCutShort,     // every byte written and EndOfInput called, Read keeps answering 1
  kStartFailed,  // Start returned 0
  kNoInstance,   // CreateJpegDecodeInstance returned null
  kCallLimit,    // the bound on calls (or on rows) was reached: a hang
};
const char* HostEndName(HostEnd end);

struct HostResult {
  HostEnd end = HostEnd::kNoInstance;
  std::int32_t isStreaming = 0;
  std::uint32_t rows = 0;
  std::uint32_t rowLength = 0;       // of the first row
  bool rowLengthsAgree = true;       // every row had the first row's length
  std::vector<std::uint8_t> pixels;  // the rows, one after another (when kept)
  std::uint64_t digest = 0;          // FNV-1a over every row's bytes, in order
  std::uint32_t leftover = 0;        // Finish's report
  std::uint64_t bytesWritten = 0;
  std::uint64_t calls = 0;  // Write and Read calls made
  std::uint32_t refusedWrites = 0;
  std::uint32_t writeCount = 0;  // the instance's getters, read before Finish
  std::uint32_t readCount = 0;
  std::uint32_t inputCapacity = 0;  // the streaming input buffer's size before Finish (0: none)
  // The longest run of Reads answering 1 after EndOfInput without a row between them: how long
  // the host waited for the end once every byte was written.
  std::uint32_t idleAfterInputEnded = 0;
  std::vector<std::uint32_t> rowsAtWrite;  // with traceRows: rows out before each accepted piece

  // One line for failure messages: end, rows, row length, calls.
  std::string Summary() const;
};

// Decodes `file` through a new instance. Piece lengths come from `schedule`; a refused Write is
// offered again, whole, after the next Read, as the public header tells hosts to do.
HostResult DecodeThroughHost(const std::vector<std::uint8_t>& file, const HostOptions& options,
                             const PieceSchedule& schedule);

// Width, height and component count of the frame header in `file` (the public probe,
// jpegdec/jpegdec_probe.h); all 0 when there is none.
struct FrameSize {
  std::uint32_t width = 0;
  std::uint32_t height = 0;
  std::uint32_t components = 0;
};
FrameSize PeekFrameSize(const std::vector<std::uint8_t>& file);

}  // namespace jpegdec::test
