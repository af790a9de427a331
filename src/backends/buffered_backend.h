// The whole-image buffered back-end: collects the file in a movable block, then feeds it to an
// embedded streaming back-end in FEED_PIECE pieces once the input is complete.
#pragma once

#include <cstdint>

#include "backends/streaming_backend.h"
#include "platform/platform.h"

namespace jpegdec {

class BufferedBackend {
 public:
  static constexpr uint32_t FEED_PIECE = 4093;

  BufferedBackend() = default;
  BufferedBackend(const BufferedBackend&) = delete;
  BufferedBackend& operator=(const BufferedBackend&) = delete;
  virtual ~BufferedBackend();

  int32_t SetUp(uint32_t width, uint32_t height);
  int32_t Write(const uint8_t* data, uint32_t length);
  void MarkInputComplete();
  int32_t Read(uint8_t** row, uint32_t* rowLength);
  void ReleaseBlock();

  platform::MemoryBlock inputBlock = nullptr;
  uint64_t inputCapacity = 0;
  uint32_t growStep = 0;
  uint32_t inputUsed = 0;
  uint32_t inputComplete = 0;
  uint32_t fedBytes = 0;
  uint8_t feedState = JD_NEED_DATA;
  StreamingBackend decoder;
};

}  // namespace jpegdec
