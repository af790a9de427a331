#include "backends/gdiplus_backend.h"

#include <cstring>
#include <limits>

namespace jpegdec {

namespace {

constexpr const char* kGdiplusModuleName = "gdiplus.dll";
constexpr uint32_t kBmpFileHeaderBytes = 14;
constexpr uint32_t kBmpInfoHeaderBytes = 40;
constexpr uint32_t kBmpHeaderBytes = kBmpFileHeaderBytes + kBmpInfoHeaderBytes;  // 54
constexpr uint32_t kBmpGreyPaletteBytes = 256 * 4;
constexpr uint32_t kBmpUncompressed = 0;  // BI_RGB
constexpr uint64_t kLargestBlock = std::numeric_limits<uint32_t>::max();
constexpr char16_t kBmpMimeType[] = u"image/bmp";

uint32_t ReadLe16(const uint8_t* p) { return uint32_t{p[0]} | uint32_t{p[1]} << 8; }

uint32_t ReadLe32(const uint8_t* p) {
  return uint32_t{p[0]} | uint32_t{p[1]} << 8 | uint32_t{p[2]} << 16 | uint32_t{p[3]} << 24;
}

bool SameText(const char16_t* a, const char16_t* b) {
  for (; *a != u'\0' && *b != u'\0'; ++a, ++b) {
    if (*a != *b) {
      return false;
    }
  }
  return *a == *b;
}

template <typename Fn>
bool Resolve(platform::Module module, const char* name, Fn* fn) {
  // Entry points come back as a generic function pointer; each is called with its own type.
  *fn = reinterpret_cast<Fn>(platform::FindEntryPoint(module, name));
  return *fn != nullptr;
}

}  // namespace

bool FlipRowOrder(uint8_t* firstRow, uint32_t rowBytes, uint32_t rows) {
  if (rows < 2 || rowBytes == 0) {
    return true;
  }
  auto* scratch = static_cast<uint8_t*>(platform::HeapAllocate(rowBytes));
  if (scratch == nullptr) {
    return false;
  }
  uint8_t* top = firstRow;
  uint8_t* bottom = firstRow + size_t{rows - 1} * rowBytes;
  for (uint32_t i = 0; i < rows / 2; ++i) {
    std::memcpy(scratch, top, rowBytes);
    std::memcpy(top, bottom, rowBytes);
    std::memcpy(bottom, scratch, rowBytes);
    top += rowBytes;
    bottom -= rowBytes;
  }
  platform::HeapRelease(scratch);
  return true;
}

void SwapRedBlue(uint8_t* firstRow, uint32_t rowBytes, uint32_t rows, uint32_t width) {
  for (uint32_t y = 0; y < rows; ++y) {
    uint8_t* pixel = firstRow + size_t{y} * rowBytes;
    for (uint32_t x = 0; x < width; ++x, pixel += 3) {
      const uint8_t first = pixel[0];
      pixel[0] = pixel[2];
      pixel[2] = first;
    }
  }
}

bool ReadBmpLayout(const uint8_t* file, uint32_t size, BmpLayout* layout) {
  if (size < kBmpHeaderBytes || file[0] != 'B' || file[1] != 'M') {
    return false;
  }
  // The file size at byte 2 is not used: some encoders leave the colour table out of it.
  const uint32_t pixelOffset = ReadLe32(file + 10);
  const uint8_t* info = file + kBmpFileHeaderBytes;
  const uint32_t infoSize = ReadLe32(info);
  const auto width = static_cast<int32_t>(ReadLe32(info + 4));
  const auto height = static_cast<int32_t>(ReadLe32(info + 8));
  const uint32_t bits = ReadLe16(info + 14);
  const uint32_t compression = ReadLe32(info + 16);
  if (infoSize < kBmpInfoHeaderBytes || width <= 0 || height == 0 ||
      height == std::numeric_limits<int32_t>::min() || (bits != 8 && bits != 24) ||
      compression != kBmpUncompressed ||
      uint64_t{pixelOffset} < uint64_t{kBmpFileHeaderBytes} + infoSize) {
    return false;
  }
  const auto columns = static_cast<uint32_t>(width);
  const uint32_t rows =
      height > 0 ? static_cast<uint32_t>(height) : 0u - static_cast<uint32_t>(height);
  const uint64_t stride = BitmapStride(bits, columns);
  const uint64_t end = uint64_t{pixelOffset} + stride * rows;
  if (end > size) {
    return false;
  }
  layout->bitsPerPixel = bits;
  layout->width = columns;
  layout->rows = rows;
  layout->bottomUp = height > 0;
  layout->pixelOffset = pixelOffset;
  layout->rowBytes = static_cast<uint32_t>(stride);
  return true;
}

GdiplusBackend::~GdiplusBackend() { Teardown(nullptr); }

int32_t GdiplusBackend::SetUp(uint32_t width, uint32_t height) {
  elapsedMs = 0;
  callStartTick = 0;
  writeCalls = 0;
  readCalls = 0;
  if (outputBlock != nullptr) {
    return 0;
  }
  const uint64_t imageBytes = uint64_t{Stride24(width)} * height;
  inputComplete = 0;
  rowLimit = 0;
  rowsHanded = 0;
  outputConsumed = 0;
  outputSize = static_cast<uint32_t>(imageBytes < kLargestBlock ? imageBytes : kLargestBlock);
  converted = false;
  conversionFailed = false;
  // A placeholder until the conversion writes the real bitmap.
  outputBlock = platform::AllocateMovableZeroed(0);
  if (outputBlock == nullptr) {
    return 0;
  }
  outputCursor = nullptr;
  return StartCollecting(&input, width, height);
}

int32_t GdiplusBackend::Write(const uint8_t* data, uint32_t length) {
  callStartTick = platform::TickCount();
  ++writeCalls;
  int32_t result = 0;
  // After MarkInputComplete the host has said the file was complete: later bytes are not part
  // of it.
  if (inputComplete == 0) {
    result = AppendToBlock(&input, data, length);
  }
  elapsedMs += platform::TickCount() - callStartTick;
  return result;
}

void GdiplusBackend::MarkInputComplete(int32_t limit) {
  inputComplete = 1;
  if (limit > 0) {
    rowLimit = limit;
  }
}

int32_t GdiplusBackend::Read(uint8_t** row, uint32_t* rowLength) {
  callStartTick = platform::TickCount();
  ++readCalls;
  int32_t result = 1;
  if (!converted && !conversionFailed && input.block == nullptr) {
    // The collected file was lost to a failed growth: fail now rather than answer 1 to a host
    // that keeps offering the refused piece and so never reaches EndOfInput.
    conversionFailed = true;
  }
  if (conversionFailed) {
    result = -1;
  } else if (inputComplete != 0) {
    if (!converted) {
      Convert();
    }
    if (conversionFailed) {
      result = -1;
    } else if (row != nullptr && rowLength != nullptr) {
      result = HandOutRow(row, rowLength);
    }
  }
  elapsedMs += platform::TickCount() - callStartTick;
  return result;
}

int32_t GdiplusBackend::HandOutRow(uint8_t** row, uint32_t* rowLength) {
  if (uint64_t{outputConsumed} + rowBytes > uint64_t{outputSize} - pixelOffset ||
      rowsHanded >= rowLimit) {
    return 2;
  }
  if (outputCursor == nullptr) {
    auto* base = static_cast<uint8_t*>(platform::LockBlock(outputBlock));
    if (base == nullptr) {
      return -1;
    }
    outputCursor = base + pixelOffset + outputConsumed;
  }
  *row = outputCursor;
  *rowLength = rowBytes;
  outputCursor += rowBytes;
  outputConsumed += rowBytes;
  ++rowsHanded;
  return 0;
}

int32_t GdiplusBackend::Convert() {
  bool ok = LoadGdiplus();
  if (ok) {
    gdiplus::GpBitmap* bitmap = nullptr;
    ok = DecodeToBmp(&bitmap) && TurnRows();
    if (bitmap != nullptr && gdipDisposeImage != nullptr) {
      gdipDisposeImage(bitmap);
    }
    UnloadGdiplus();
  }
  ReleaseInput();
  if (!ok) {
    ReleaseOutput();
    conversionFailed = true;
    return -1;
  }
  converted = true;
  return 1;
}

bool GdiplusBackend::DecodeToBmp(gdiplus::GpBitmap** bitmap) {
  platform::Stream stream = platform::CreateStreamOnBlock(input.block);
  if (stream == nullptr) {
    return false;
  }
  const gdiplus::GpStatus decoded = gdipCreateBitmapFromStream(stream, bitmap);
  platform::ReleaseStream(stream);
  if (decoded != gdiplus::kOk || *bitmap == nullptr) {
    return false;
  }
  uint32_t width = 0;
  uint32_t height = 0;
  gdiplus::PixelFormat format = 0;
  if (gdipGetImageWidth(*bitmap, &width) != gdiplus::kOk ||
      gdipGetImageHeight(*bitmap, &height) != gdiplus::kOk ||
      gdipGetImagePixelFormat(*bitmap, &format) != gdiplus::kOk) {
    return false;
  }
  ReleaseOutput();  // the placeholder
  // A first guess at the file's size; the stream grows the block if the encoder needs more.
  uint32_t bits = 32;
  uint64_t extra = kBmpHeaderBytes;
  if (format == gdiplus::kFormat24bppRgb) {
    bits = 24;
  } else if (format == gdiplus::kFormat8bppIndexed) {
    bits = 8;
    extra += kBmpGreyPaletteBytes;
  }
  const uint64_t guess = BitmapStride(bits, width) * height + extra;
  if (guess > kLargestBlock) {
    return false;
  }
  outputBlock = platform::AllocateMovableZeroed(static_cast<uint32_t>(guess));
  if (outputBlock == nullptr) {
    return false;
  }
  gdiplus::Guid encoder{};
  if (FindBmpEncoder(&encoder) < 0) {
    return false;
  }
  platform::Stream output = platform::CreateStreamOnBlock(outputBlock);
  if (output == nullptr) {
    return false;
  }
  const gdiplus::GpStatus saved = gdipSaveImageToStream(*bitmap, output, &encoder, nullptr);
  platform::ReleaseStream(output);
  return saved == gdiplus::kOk;
}

bool GdiplusBackend::TurnRows() {
  auto* file = static_cast<uint8_t*>(platform::LockBlock(outputBlock));
  if (file == nullptr) {
    return false;
  }
  BmpLayout layout{};
  bool ok = ReadBmpLayout(file, platform::BlockSize(outputBlock), &layout);
  if (ok) {
    uint8_t* firstRow = file + layout.pixelOffset;
    if (layout.bottomUp) {
      ok = FlipRowOrder(firstRow, layout.rowBytes, layout.rows);
    }
    if (ok && layout.bitsPerPixel == 24) {
      SwapRedBlue(firstRow, layout.rowBytes, layout.rows, layout.width);
    }
  }
  platform::UnlockBlock(outputBlock);
  if (ok) {
    pixelOffset = layout.pixelOffset;
    rowBytes = layout.rowBytes;
    outputSize = layout.pixelOffset + layout.rowBytes * layout.rows;  // checked by the layout
    outputConsumed = 0;
  }
  return ok;
}

bool GdiplusBackend::LoadGdiplus() {
  if (gdiplusModule != nullptr) {
    return true;
  }
  platform::Module module = platform::LoadModule(kGdiplusModuleName);
  if (module == nullptr) {
    return false;
  }
  const bool complete =
      Resolve(module, "GdiplusStartup", &gdiplusStartup) &&
      Resolve(module, "GdiplusShutdown", &gdiplusShutdown) &&
      Resolve(module, "GdipCreateBitmapFromStream", &gdipCreateBitmapFromStream) &&
      Resolve(module, "GdipGetImageWidth", &gdipGetImageWidth) &&
      Resolve(module, "GdipGetImageHeight", &gdipGetImageHeight) &&
      Resolve(module, "GdipGetImagePixelFormat", &gdipGetImagePixelFormat) &&
      Resolve(module, "GdipSaveImageToStream", &gdipSaveImageToStream) &&
      Resolve(module, "GdipGetImageEncodersSize", &gdipGetImageEncodersSize) &&
      Resolve(module, "GdipGetImageEncoders", &gdipGetImageEncoders);
  Resolve(module, "GdipDisposeImage", &gdipDisposeImage);
  gdiplusModule = module;
  if (!complete) {
    // Nothing was started: unloading calls no entry point.
    UnloadGdiplus();
    return false;
  }
  const gdiplus::StartupInput startup{1, nullptr, 0, 0};
  gdiplusStarted = gdiplusStartup(&gdiplusToken, &startup, nullptr) == gdiplus::kOk;
  return true;
}

void GdiplusBackend::UnloadGdiplus() {
  if (gdiplusModule == nullptr) {
    return;
  }
  if (gdiplusStarted) {
    gdiplusShutdown(gdiplusToken);
  }
  platform::UnloadModule(gdiplusModule);
  gdiplusModule = nullptr;
  gdiplusToken = 0;
  gdiplusStarted = false;
  gdiplusStartup = nullptr;
  gdiplusShutdown = nullptr;
  gdipCreateBitmapFromStream = nullptr;
  gdipGetImageWidth = nullptr;
  gdipGetImageHeight = nullptr;
  gdipGetImagePixelFormat = nullptr;
  gdipSaveImageToStream = nullptr;
  gdipGetImageEncodersSize = nullptr;
  gdipGetImageEncoders = nullptr;
  gdipDisposeImage = nullptr;
}

int32_t GdiplusBackend::FindBmpEncoder(gdiplus::Guid* id) {
  uint32_t count = 0;
  uint32_t size = 0;
  if (gdipGetImageEncodersSize(&count, &size) != gdiplus::kOk || size == 0) {
    return -1;
  }
  // The list must hold `count` whole records; GDI+ may place their strings behind them.
  if (size / sizeof(gdiplus::ImageCodecInfo) < count) {
    return -1;
  }
  auto* list = static_cast<gdiplus::ImageCodecInfo*>(platform::HeapAllocate(size));
  if (list == nullptr) {
    return -1;
  }
  int32_t found = -1;
  if (gdipGetImageEncoders(count, size, list) == gdiplus::kOk) {
    for (uint32_t i = 0; i < count; ++i) {
      if (list[i].mimeType != nullptr && SameText(list[i].mimeType, kBmpMimeType)) {
        *id = list[i].clsid;
        found = static_cast<int32_t>(i);
        break;
      }
    }
  }
  platform::HeapRelease(list);
  return found;
}

void GdiplusBackend::ReleaseInput() { ReleaseCollected(&input); }

void GdiplusBackend::ReleaseOutput() {
  if (outputCursor != nullptr) {
    platform::UnlockBlock(outputBlock);
    outputCursor = nullptr;
  }
  platform::ReleaseBlock(outputBlock);
  outputBlock = nullptr;
  outputSize = 0;
  rowBytes = 0;
}

void GdiplusBackend::Teardown(uint32_t* leftover) {
  ReleaseInput();
  ReleaseOutput();
  if (leftover != nullptr) {
    *leftover = 0;
  }
  UnloadGdiplus();
}

}  // namespace jpegdec
