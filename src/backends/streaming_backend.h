// The streaming back-end: collects the host's pieces in one input buffer, steps the native
// decoder over them and hands decoded rows out one per Read.
#pragma once

#include <cstdint>

#include "decoder/decoder.h"

namespace jpegdec {

class StreamingBackend {
 public:
  StreamingBackend() = default;
  StreamingBackend(const StreamingBackend&) = delete;
  StreamingBackend& operator=(const StreamingBackend&) = delete;
  ~StreamingBackend();

  int32_t SetUp(uint32_t width);
  int32_t Write(const uint8_t* data, uint32_t length);
  int32_t Read(uint8_t** row, uint32_t* rowLength);
  void Finish(uint32_t* leftover);
  void Release();

  DecoderContext* context = nullptr;
  StepResult lastStep = {};
  Status state = JD_NEED_DATA;
  uint8_t* inputBuffer = nullptr;
  uint32_t inputCapacity = 0;
  uint32_t inputLength = 0;
  int32_t bandRow = 0;
  uint32_t bytesHandedOut = 0;
  uint32_t rowPixels = 0;
  uint32_t bytesPerPixel = 0;
  uint32_t elapsedMs = 0;
  uint32_t callStartTick = 0;
  uint32_t writeCalls = 0;
  uint32_t readCalls = 0;
};

}  // namespace jpegdec
