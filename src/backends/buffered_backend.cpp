#include "backends/buffered_backend.h"

namespace jpegdec {

BufferedBackend::~BufferedBackend() {
  ReleaseBlock();
  decoder.Release();
}

int32_t BufferedBackend::SetUp(uint32_t width, uint32_t height) {
  if (input.block != nullptr) {
    return 0;
  }
  inputComplete = 0;
  fedBytes = 0;
  feedState = JD_NEED_DATA;
  if (StartCollecting(&input, width, height) == 0) {
    return 0;
  }
  return decoder.SetUp(width);
}

int32_t BufferedBackend::Write(const uint8_t* data, uint32_t length) {
  if (inputComplete != 0 || decoder.context == nullptr) {
    // The host said the file was complete (later bytes are not part of it), or the set-up
    // failed: nothing would ever decode the bytes.
    return 0;
  }
  return AppendToBlock(&input, data, length);
}

void BufferedBackend::MarkInputComplete() { inputComplete = 1; }

void BufferedBackend::ReleaseBlock() { ReleaseCollected(&input); }

int32_t BufferedBackend::OfferPiece() {
  if (fedBytes >= input.used) {
    return 0;
  }
  const auto* bytes = static_cast<const uint8_t*>(platform::LockBlock(input.block));
  if (bytes == nullptr) {
    return -1;
  }
  const uint32_t left = input.used - fedBytes;
  const uint32_t piece = left < FEED_PIECE ? left : FEED_PIECE;
  if (decoder.Write(bytes + fedBytes, piece) == 1) {
    fedBytes += piece;
  }
  platform::UnlockBlock(input.block);
  return 1;
}

void BufferedBackend::Finish(uint32_t* leftover) {
  decoder.Finish(leftover);
  if (leftover != nullptr && decoder.state == JD_END) {
    // The decoder counts what followed the marker in its last piece; the pieces never fed
    // follow it too. fedBytes <= input.used: the sum is at most the file's length.
    *leftover += input.used - fedBytes;
  }
  ReleaseBlock();
}

int32_t BufferedBackend::Read(uint8_t** row, uint32_t* rowLength) {
  if (feedState != JD_NEED_DATA && feedState != kFeeding) {
    return 1;
  }
  if (input.block == nullptr || decoder.context == nullptr) {
    // The collected file was lost to a failed growth, or the set-up failed: fail now, before
    // EndOfInput too, rather than answer 1 to a host that keeps offering the refused piece.
    feedState = kFailed;
    return -1;
  }
  if (inputComplete == 0) {
    return 1;
  }
  for (;;) {
    if (feedState == JD_NEED_DATA) {
      const int32_t offered = OfferPiece();
      if (offered < 0) {
        feedState = kFailed;
        return -1;
      }
      if (offered == 0 && decoder.state == JD_NEED_DATA) {
        // The collected file is used up and the decoder waits for more: the stream has ended
        // (2 when every row of the frame was decoded, else -1, after the rows still to come).
        decoder.MarkInputComplete();
      }
      if (offered == 1 && decoder.state == JD_NEED_DATA) {
        // Refused although the decoder waits for input (it takes any piece it has memory
        // for): offering it again would never make progress.
        feedState = kFailed;
        return -1;
      }
      feedState = kFeeding;
    }
    if (row == nullptr || rowLength == nullptr) {
      return 1;
    }
    const int32_t r = decoder.Read(row, rowLength);
    switch (r) {
      case 0:
        feedState = kFeeding;
        return 0;
      case 1:
        feedState = JD_NEED_DATA;
        break;
      case 2:
        feedState = kEnded;
        return 2;
      default:
        feedState = kFailed;
        return r;
    }
  }
}

}  // namespace jpegdec
