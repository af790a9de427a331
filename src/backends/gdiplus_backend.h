// The GDI+ back-end: collects the file, has the system's imaging library decode it and write a
// BMP file into memory, and hands that bitmap's rows out top-down: R, G, B rows padded to a
// multiple of 4 bytes for a 24-bit bitmap, one byte per pixel (padded likewise) for an 8-bit one.
#pragma once

#include <cstdint>

#include "backends/global_block.h"
#include "platform/platform.h"

namespace jpegdec {

// Reverses the order of `rows` rows of `rowBytes` bytes in place. false (nothing moved) when
// the scratch row cannot be allocated.
bool FlipRowOrder(uint8_t* firstRow, uint32_t rowBytes, uint32_t rows);

// Exchanges the first and third byte of each of the first `width` 3-byte pixels of every row.
void SwapRedBlue(uint8_t* firstRow, uint32_t rowBytes, uint32_t rows, uint32_t width);

// Where the pixel rows of a BMP file lie, as its own headers say.
struct BmpLayout {
  uint32_t bitsPerPixel;
  uint32_t width;
  uint32_t rows;
  bool bottomUp;
  uint32_t pixelOffset;  // first stored row, from the start of the file
  uint32_t rowBytes;     // stored row length, a multiple of 4
};

// Reads the headers of the BMP file in `file` (`size` bytes). false unless it is an
// uncompressed 8- or 24-bit bitmap whose rows all lie inside the bytes given.
bool ReadBmpLayout(const uint8_t* file, uint32_t size, BmpLayout* layout);

class GdiplusBackend {
 public:
  GdiplusBackend() = default;
  GdiplusBackend(const GdiplusBackend&) = delete;
  GdiplusBackend& operator=(const GdiplusBackend&) = delete;
  ~GdiplusBackend();

  int32_t SetUp(uint32_t width, uint32_t height);
  // Collects the bytes, growing the block when needed. 1 stored, 0 not (also after
  // MarkInputComplete: the file is complete).
  int32_t Write(const uint8_t* data, uint32_t length);
  // 0 a row was handed out; 1 nothing yet (input not complete, or no out-parameters);
  // 2 no more rows; -1 the conversion failed (then on every later call) or the output block
  // could not be locked.
  int32_t Read(uint8_t** row, uint32_t* rowLength);
  // The input is complete; a positive `limit` becomes the most rows handed out.
  void MarkInputComplete(int32_t limit);
  // Releases both blocks and GDI+; reports 0 left-over bytes when asked. The object may then be
  // destroyed (or destroyed without this: the destructor releases the same).
  void Teardown(uint32_t* leftover);

  // Loads "gdiplus.dll", resolves its entry points and starts it. false when the module or one
  // of the nine entry points is missing; the module is then unloaded again at once.
  bool LoadGdiplus();
  void UnloadGdiplus();
  // Index of the BMP encoder in GDI+'s list, its class identifier in `id`; -1 when not found.
  int32_t FindBmpEncoder(gdiplus::Guid* id);

  CollectedFile input;
  platform::MemoryBlock outputBlock = nullptr;
  uint8_t* outputCursor = nullptr;
  uint32_t outputSize = 0;  // after the conversion: end of the last row in the BMP file
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
  // Resolved alongside the nine when present: the bitmap is disposed of through it.
  gdiplus::DisposeImageFn gdipDisposeImage = nullptr;
  // GdiplusStartup reported success, so GdiplusShutdown is owed.
  bool gdiplusStarted = false;
  // Offset of the first handed-out row in the BMP file.
  uint32_t pixelOffset = 0;
  // The conversion has run: successfully, or not (then every Read fails).
  bool converted = false;
  bool conversionFailed = false;

 private:
  // Decodes the collected file through GDI+ into a BMP file in `outputBlock` and turns its rows
  // top-down (and R, G, B for 24 bits). Returns 1 or -1; GDI+ is unloaded and the input
  // released afterwards either way.
  int32_t Convert();
  bool DecodeToBmp(gdiplus::GpBitmap** bitmap);
  bool TurnRows();
  int32_t HandOutRow(uint8_t** row, uint32_t* rowLength);
  void ReleaseInput();
  void ReleaseOutput();
};

}  // namespace jpegdec
