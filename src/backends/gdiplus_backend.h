// The GDI+ back-end: collects the file, has the system's imaging library decode it and write a
// BMP file into memory, and hands that bitmap's rows out top-down in R, G, B order.
#pragma once

#include <cstdint>

#include "platform/platform.h"

namespace jpegdec {

class GdiplusBackend {
 public:
  GdiplusBackend() = default;
  GdiplusBackend(const GdiplusBackend&) = delete;
  GdiplusBackend& operator=(const GdiplusBackend&) = delete;
  ~GdiplusBackend();

  int32_t SetUp(uint32_t width, uint32_t height);
  int32_t Write(const uint8_t* data, uint32_t length);
  int32_t Read(uint8_t** row, uint32_t* rowLength);
  void MarkInputComplete(int32_t limit);
  // Releases everything; reports 0 left-over bytes when asked.
  void Teardown(uint32_t* leftover);

  platform::MemoryBlock inputBlock = nullptr;
  uint32_t inputCapacity = 0;
  uint32_t growStep = 0;
  uint32_t inputUsed = 0;
  platform::MemoryBlock outputBlock = nullptr;
  uint8_t* outputCursor = nullptr;
  uint32_t outputSize = 0;
  uint32_t outputConsumed = 0;
  uint32_t rowBytes = 0;
  int32_t rowLimit = 0;
  int32_t rowsHanded = 0;
  uint32_t inputComplete = 0;
  platform::Module gdiplusModule = nullptr;
  uintptr_t gdiplusToken = 0;
  gdiplus::StartupFn gdiplusStartup = nullptr;
  gdiplus::ShutdownFn gdiplusShutdown = nullptr;
  gdiplus::CreateBitmapFromStreamFn gdipCreateBitmapFromStream = nullptr;
  gdiplus::GetImageWidthFn gdipGetImageWidth = nullptr;
  gdiplus::GetImageHeightFn gdipGetImageHeight = nullptr;
  gdiplus::GetImagePixelFormatFn gdipGetImagePixelFormat = nullptr;
  gdiplus::SaveImageToStreamFn gdipSaveImageToStream = nullptr;
  gdiplus::GetImageEncodersSizeFn gdipGetImageEncodersSize = nullptr;
  gdiplus::GetImageEncodersFn gdipGetImageEncoders = nullptr;
  uint32_t elapsedMs = 0;
  uint32_t callStartTick = 0;
  uint32_t writeCalls = 0;
  uint32_t readCalls = 0;
};

}  // namespace jpegdec
