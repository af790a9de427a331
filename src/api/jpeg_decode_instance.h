// The decoder instance: ten operations in a fixed slot order, forwarding to one back-end.
//
// The host holds the object through the table pointer and calls the operations by slot, so the
// order of the virtual functions and of the data members below is the library's binary contract
// (see include/jpegdec/jpegdec.h). The class is final and declares no destructor of its own in
// the table: slot 0 is the deleting destructor an MSVC-built host expects.
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
  // Finish's work without an out-parameter: releases whichever back-end is held.
  void ReleaseBackends(uint32_t* leftover);
  // Calls `operation` on the back-end held, tested in a fixed order (streaming, buffered, GDI+),
  // and returns its result; `none` when no back-end is held.
  template <typename Result, typename Operation>
  Result Forward(Result none, Operation operation);
};

namespace jpegdec {

// The largest movable block the system grants, by binary search: at most twelve requests, the
// result being the midpoint of the final bracket (at most 1 MiB wide). One probe at a time in
// the process (platform::LockProbe), so that no probe sees another's block.
uint32_t ProbeLargestAllocation();
// 1 when "gdiplus.dll" can be loaded (it is unloaded again at once), else 0.
int32_t IsGdiplusAvailable();

// Bytes of a 24-bit BMP file of the image: 54 header bytes and the rows padded to 4 bytes,
// in 64 bits so that no image size wraps.
uint64_t BmpFileSize(uint32_t width, uint32_t height);
// The memory the automatic choice allows the GDI+ way: largest / (3 x divisor) / 3, in 64 bits.
// 0 for a divisor of 0 or below (such a host gets the streaming way).
uint64_t AutomaticBudget(uint32_t largest, int32_t memoryDivisor);

}  // namespace jpegdec
