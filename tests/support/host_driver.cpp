#include "support/host_driver.h"

#include <algorithm>
#include <cstdio>
#include <limits>

#include "api/jpeg_decode_instance.h"
#include "jpegdec/jpegdec.h"
#include "jpegdec/jpegdec_probe.h"
#include "support/digest.h"
#include "support/split_mix.h"

namespace jpegdec::test {
namespace {

// No image has more rows than the largest height a frame header can give; a DNL segment can
// leave at most one band (32 lines) beyond it.
constexpr std::uint32_t kMaxRows = 65535 + 32;

// A Read that does its share of work without asking for input runs 30 decoder steps, and every
// step consumes input or ends a band; so this many answers of 1 in a row (plus a margin) mean
// that the instance will never take the refused piece, or never end after EndOfInput (a fault:
// it ends once the decoder has used every byte).
std::uint64_t IdleReadsAllowed(std::size_t fileSize) { return 16 + fileSize / 8; }

}  // namespace

std::string PieceSchedule::Describe() const {
  char text[64];
  switch (kind) {
    case Kind::kWhole:
      return "whole";
    case Kind::kFixed:
      std::snprintf(text, sizeof text, "%u-byte pieces", size);
      return text;
    case Kind::kRandom:
      std::snprintf(text, sizeof text, "random pieces (seed %u, up to %u)", seed, maxPiece);
      return text;
  }
  return "?";
}

std::vector<std::uint32_t> PieceLengths(const PieceSchedule& schedule, std::size_t total) {
  std::vector<std::uint32_t> lengths;
  std::size_t left = total;
  SplitMix rng(schedule.seed);
  while (left > 0) {
    std::uint64_t want = left;
    if (schedule.kind == PieceSchedule::Kind::kFixed) {
      want = std::max<std::uint32_t>(schedule.size, 1);
    } else if (schedule.kind == PieceSchedule::Kind::kRandom) {
      // A quarter of the pieces are tiny, so that splits fall inside markers and segments.
      const std::uint64_t r = rng.Next();
      const std::uint64_t range = (r & 3) == 0 ? 16 : std::max<std::uint32_t>(schedule.maxPiece, 1);
      want = 1 + (r >> 8) % range;
    }
    const std::size_t piece = static_cast<std::size_t>(std::min<std::uint64_t>(want, left));
    const std::size_t capped =
        std::min<std::size_t>(piece, std::numeric_limits<std::uint32_t>::max());
    lengths.push_back(static_cast<std::uint32_t>(capped));
    left -= capped;
  }
  return lengths;
}

const char* HostEndName(HostEnd end) {
  switch (end) {
    case HostEnd::kEnd:
      return "end (Read 2)";
    case HostEnd::kFailed:
      return "failed (Read -1)";
    case HostEnd::kCutShort:
      return "never ended (Read 1 after EndOfInput)";
    case HostEnd::kStartFailed:
      return "Start failed";
    case HostEnd::kNoInstance:
      return "no instance";
    case HostEnd::kCallLimit:
      return "call limit reached";
  }
  return "?";
}

std::string HostResult::Summary() const {
  char text[256];
  std::snprintf(text, sizeof text,
                "%s, %u rows of %u bytes%s, %llu calls, %u refused writes, leftover %u, %u idle"
                " reads after EndOfInput",
                HostEndName(end), rows, rowLength, rowLengthsAgree ? "" : " (lengths vary)",
                static_cast<unsigned long long>(calls), refusedWrites, leftover,
                idleAfterInputEnded);
  return text;
}

FrameSize PeekFrameSize(const std::vector<std::uint8_t>& file) {
  JpegDecFrameInfo header;
  JpegDecProbeFrame(file.data(), file.size(), &header);  // all 0 without a frame header
  FrameSize size;
  size.width = header.width;
  size.height = header.height;
  size.components = header.componentCount;
  return size;
}

HostResult DecodeThroughHost(const std::vector<std::uint8_t>& file, const HostOptions& options,
                             const PieceSchedule& schedule) {
  HostResult result;
  result.digest = kDigestStart;
  JpegDecodeInstance* instance = CreateJpegDecodeInstance();
  if (instance == nullptr) {
    return result;
  }
  std::uint32_t width = options.startWidth;
  std::uint32_t height = options.startHeight;
  if (width == 0 && height == 0) {
    const FrameSize frame = PeekFrameSize(file);
    width = frame.width;
    height = frame.height;
  }
  const std::int32_t started = instance->Start(width, height, options.mode, options.memoryDivisor);
  result.isStreaming = instance->IsStreaming();
  if (started == 0) {
    instance->Finish(&result.leftover);
    DeleteJpegDecodeInstance(instance);
    result.end = HostEnd::kStartFailed;
    return result;
  }

  const std::vector<std::uint32_t> pieces = PieceLengths(schedule, file.size());
  std::size_t pieceIndex = 0;
  std::size_t position = 0;
  std::size_t pieceEnd = pieces.empty() ? 0 : pieces[0];
  std::uint64_t refusedInARow = 0;
  bool inputEnded = false;
  bool readAgain = false;  // the Read once more of readAgainBeforeWriting was made
  std::uint64_t idleReads = 0;
  const std::uint64_t callLimit = 100000 + 16 * static_cast<std::uint64_t>(file.size()) +
                                  2 * static_cast<std::uint64_t>(kMaxRows);

  for (;;) {
    if (result.calls >= callLimit) {
      result.end = HostEnd::kCallLimit;
      break;
    }
    std::uint8_t* row = nullptr;
    std::uint32_t rowLength = 0;
    const std::int32_t read = instance->Read(&row, &rowLength);
    ++result.calls;
    if (read == JPEGDEC_READ_ROW) {
      if (result.rows == 0) {
        result.rowLength = rowLength;
      } else if (rowLength != result.rowLength) {
        result.rowLengthsAgree = false;
      }
      result.digest = Digest(result.digest, reinterpret_cast<const std::uint8_t*>(&rowLength),
                             sizeof rowLength);
      result.digest = Digest(result.digest, row, rowLength);
      if (options.keepRows) {
        result.pixels.insert(result.pixels.end(), row, row + rowLength);
      }
      idleReads = 0;
      if (++result.rows > kMaxRows) {
        result.end = HostEnd::kCallLimit;
        break;
      }
      continue;
    }
    if (read == JPEGDEC_READ_END) {
      result.end = HostEnd::kEnd;
      break;
    }
    if (read != JPEGDEC_READ_AGAIN) {
      result.end = HostEnd::kFailed;
      break;
    }
    if (position < file.size()) {
      if (options.readAgainBeforeWriting && !readAgain) {
        readAgain = true;
        continue;
      }
      readAgain = false;
      // The next piece, or the one refused last time, whole: never split.
      const auto piece = static_cast<std::uint32_t>(pieceEnd - position);
      ++result.calls;
      const std::uint32_t rowsBefore = result.rows;
      if (instance->Write(file.data() + position, piece) != 0) {
        if (options.traceRows) {
          result.rowsAtWrite.push_back(rowsBefore);
        }
        position += piece;
        result.bytesWritten += piece;
        if (pieceIndex + 1 < pieces.size()) {
          pieceEnd += pieces[++pieceIndex];
        }
        refusedInARow = 0;
      } else {
        ++result.refusedWrites;
        // The back-end refuses only while it has work of its own, which the Reads in between
        // do: a piece refused for longer will never be taken.
        if (++refusedInARow > IdleReadsAllowed(file.size())) {
          result.end = HostEnd::kCallLimit;
          break;
        }
      }
      continue;
    }
    if (!inputEnded) {
      // The row limit matters to the GDI+ back-end only: the page height the driver expects.
      instance->EndOfInput(static_cast<std::int32_t>(height));
      inputEnded = true;
      continue;
    }
    ++idleReads;
    result.idleAfterInputEnded =
        std::max(result.idleAfterInputEnded, static_cast<std::uint32_t>(idleReads));
    if (idleReads > IdleReadsAllowed(file.size())) {
      result.end = HostEnd::kCutShort;
      break;
    }
  }
  result.writeCount = instance->GetWriteCount();
  result.readCount = instance->GetReadCount();
  if (instance->streamingBackend != nullptr) {
    result.inputCapacity = instance->streamingBackend->inputCapacity;
  } else if (instance->bufferedBackend != nullptr) {
    result.inputCapacity = instance->bufferedBackend->decoder.inputCapacity;
  }
  instance->Finish(&result.leftover);
  DeleteJpegDecodeInstance(instance);
  return result;
}

}  // namespace jpegdec::test
