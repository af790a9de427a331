// The whole-image buffered back-end: collects the file in a movable block, then feeds it to an
// embedded streaming back-end in FEED_PIECE pieces once the input is complete.
#pragma once

#include <cstdint>

#include "backends/global_block.h"
#include "backends/streaming_backend.h"
#include "platform/platform.h"

namespace jpegdec {

class BufferedBackend {
 public:
  // Bytes offered to the decoder at a time; the last piece ends at the bytes written.
  static constexpr uint32_t FEED_PIECE = 4093;

  // feedState values besides JD_NEED_DATA (16, the decoder wants the next piece).
  static constexpr uint8_t kFeeding = 0;   // a piece was offered or rows are flowing
  static constexpr uint8_t kEnded = 1;     // the end of the image was reported
  static constexpr uint8_t kFailed = 128;  // decoding failed

  BufferedBackend() = default;
  BufferedBackend(const BufferedBackend&) = delete;
  BufferedBackend& operator=(const BufferedBackend&) = delete;
  virtual ~BufferedBackend();

  // Sizes the collected-file block from the expected image (0 = unknown) and sets up the
  // embedded decoder. 1 on success, 0 on failure.
  int32_t SetUp(uint32_t width, uint32_t height);
  // Collects the bytes, growing the block when needed. 1 stored, 0 not (also after
  // MarkInputComplete, since the file is complete, and after a failed set-up).
  int32_t Write(const uint8_t* data, uint32_t length);
  void MarkInputComplete();
  // 0 a row was handed out; 1 no row now (input not complete, or after the end or a failure);
  // 2 end of image; -1 decoding failed, the collected file was lost, or the set-up failed.
  int32_t Read(uint8_t** row, uint32_t* rowLength);
  void ReleaseBlock();
  // The instance's Finish: runs out the decoder's held band, reports the bytes that followed the
  // end-of-image marker in the whole collected file (0 unless the image ended), releases all.
  void Finish(uint32_t* leftover);

  CollectedFile input;
  uint32_t inputComplete = 0;
  uint32_t fedBytes = 0;
  uint8_t feedState = JD_NEED_DATA;
  StreamingBackend decoder;

 private:
  // Offers the next piece of the collected file to the decoder: 1 when offered (accepted or
  // not), 0 when everything written has been fed already, -1 when the block cannot be locked.
  int32_t OfferPiece();
};

}  // namespace jpegdec
