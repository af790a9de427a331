// The decoder instance: ten operations in a fixed slot order, forwarding to one back-end.
#pragma once

#include <cstdint>

#include "backends/buffered_backend.h"
#include "backends/gdiplus_backend.h"
#include "backends/streaming_backend.h"

class JpegDecodeInstance final {
 public:
  JpegDecodeInstance() = default;
  JpegDecodeInstance(const JpegDecodeInstance&) = delete;
  JpegDecodeInstance& operator=(const JpegDecodeInstance&) = delete;

  // Slot 0: the deleting destructor as an MSVC-built host calls it (bit 0 of flags: free the
  // object). Declared explicitly so that it takes one slot, as it does there.
  virtual void* DeletingDestructor(unsigned flags);
  virtual int32_t Start(uint32_t width, uint32_t height, int32_t mode, int32_t memoryDivisor);
  virtual int32_t Write(const uint8_t* data, uint32_t length);
  virtual int32_t Read(uint8_t** row, uint32_t* rowLength);
  virtual void Finish(uint32_t* leftover);
  virtual void EndOfInput(int32_t rowLimit);
  virtual int32_t IsStreaming();
  virtual uint32_t GetElapsedTime();
  virtual uint32_t GetWriteCount();
  virtual uint32_t GetReadCount();

  int32_t instanceId = 0;
  int32_t mode = 1;
  jpegdec::GdiplusBackend* gdiplusBackend = nullptr;
  jpegdec::BufferedBackend* bufferedBackend = nullptr;
  jpegdec::StreamingBackend* streamingBackend = nullptr;

 private:
  ~JpegDecodeInstance();
};

namespace jpegdec {

// The largest movable block the system grants, by binary search.
uint32_t ProbeLargestAllocation();
// 1 when "gdiplus.dll" can be loaded.
int32_t IsGdiplusAvailable();

}  // namespace jpegdec
