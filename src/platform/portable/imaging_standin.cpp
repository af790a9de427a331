// What stands in for the system's imaging library on Linux. It keeps to what the GDI+ back-end
// relies on: a bitmap object made from a stream holding a JPEG file, its size and pixel format
// (24-bit RGB for colour, 8-bit indexed for greyscale, 32-bit ARGB for four-component images),
// and a BMP encoder found by its MIME type that writes a standard bottom-up BMP file into a
// stream. Decoding uses libturbojpeg, looked up at run time so that the library has no link-time
// dependency on it; when it cannot be loaded, neither can "gdiplus.dll". It is loaded once per
// process, by the first thread that asks, and kept: its handles are made per conversion, so
// conversions on separate threads share nothing but the counters, which are atomic.
#include "platform/portable/imaging_standin.h"

#include <dlfcn.h>

#include <atomic>
#include <cstdlib>
#include <cstring>
#include <iterator>

#include "platform/portable/test_hooks.h"

namespace jpegdec::platform::standin {
namespace {

using gdiplus::GpStatus;

constexpr GpStatus kGenericError = 1;
constexpr GpStatus kInvalidParameter = 2;
constexpr GpStatus kOutOfMemory = 3;
constexpr GpStatus kWin32Error = 7;
constexpr GpStatus kUnknownImageFormat = 13;

// ---- libturbojpeg, resolved with dlsym ----

constexpr const char* kTurboJpegLibrary = "libturbojpeg.so.0";
constexpr int kPixelRgb = 0;      // TJPF_RGB
constexpr int kPixelGrey = 6;     // TJPF_GRAY
constexpr int kPixelCmyk = 11;    // TJPF_CMYK
constexpr int kSpaceGrey = 2;     // TJCS_GRAY
constexpr int kSpaceCmyk = 3;     // TJCS_CMYK
constexpr int kSpaceYcck = 4;     // TJCS_YCCK
constexpr int kErrorWarning = 0;  // TJERR_WARNING
// Larger images are refused as too big for memory, as the system's library refuses them: their
// bitmap could not be written to a 32-bit stream anyway.
constexpr std::uint64_t kLargestImageBytes = 0x7FFFFFFF;

struct TurboJpeg {
  void* library = nullptr;
  void* (*initDecompress)() = nullptr;
  int (*decompressHeader3)(void*, const unsigned char*, unsigned long, int*, int*, int*,
                           int*) = nullptr;
  int (*decompress2)(void*, const unsigned char*, unsigned long, unsigned char*, int, int, int, int,
                     int) = nullptr;
  int (*destroy)(void*) = nullptr;
  int (*getErrorCode)(void*) = nullptr;  // absent from old versions
};

template <typename Fn>
bool Lookup(void* library, const char* name, Fn* fn) {
  *fn = reinterpret_cast<Fn>(dlsym(library, name));
  return *fn != nullptr;
}

void OpenTurboJpeg(TurboJpeg* tj) {
  tj->library = dlopen(kTurboJpegLibrary, RTLD_NOW | RTLD_LOCAL);
  if (tj->library == nullptr) {
    return;
  }
  Lookup(tj->library, "tjGetErrorCode", &tj->getErrorCode);
  if (!Lookup(tj->library, "tjInitDecompress", &tj->initDecompress) ||
      !Lookup(tj->library, "tjDecompressHeader3", &tj->decompressHeader3) ||
      !Lookup(tj->library, "tjDecompress2", &tj->decompress2) ||
      !Lookup(tj->library, "tjDestroy", &tj->destroy)) {
    dlclose(tj->library);
    *tj = TurboJpeg{};
  }
}

// libturbojpeg as loaded by the first caller (a function's static: threads arriving while it
// loads wait for it); null library when it cannot be had. Never unloaded.
const TurboJpeg& TheTurboJpeg() {
  static const TurboJpeg tj = [] {
    TurboJpeg loaded;
    OpenTurboJpeg(&loaded);
    return loaded;
  }();
  return tj;
}

// ---- Objects handed to the caller ----

struct Session {
  std::uint32_t version;
};

// A decoded image: rows top-down, `channels` bytes per pixel (1 grey, 3 R,G,B), no padding.
struct Bitmap {
  std::uint32_t width;
  std::uint32_t height;
  std::uint32_t channels;
  gdiplus::PixelFormat format;
  std::uint8_t* pixels;
};

// ---- Test hooks and counters ----

// Set by a test while no conversion runs, read by every conversion.
struct Hooks {
  std::atomic<bool> saveFails{false};
  std::atomic<std::uint32_t> bmpDepth{0};
  std::atomic<testing::EncoderList> encoders{testing::EncoderList::kBmpOnly};
};

struct Counters {
  std::atomic<std::int64_t> bitmaps{0};
  std::atomic<std::int64_t> startups{0};
};

constexpr std::memory_order kRelaxed = std::memory_order_relaxed;

Hooks& TheHooks() {
  static Hooks hooks;
  return hooks;
}

Counters& TheCounters() {
  static Counters counters;
  return counters;
}

// ---- Encoders ----

constexpr gdiplus::Guid kBmpEncoderId = {
    0x557CF400, 0x1A04, 0x11D3, {0x9A, 0x73, 0x00, 0x00, 0xF8, 0x1E, 0xF3, 0x2E}};
constexpr gdiplus::Guid kPngEncoderId = {
    0x557CF406, 0x1A04, 0x11D3, {0x9A, 0x73, 0x00, 0x00, 0xF8, 0x1E, 0xF3, 0x2E}};
constexpr gdiplus::Guid kBmpFormatId = {
    0xB96B3CAB, 0x0728, 0x11D3, {0x9D, 0x7B, 0x00, 0x00, 0xF8, 0x1E, 0xF3, 0x2E}};
constexpr gdiplus::Guid kPngFormatId = {
    0xB96B3CAF, 0x0728, 0x11D3, {0x9D, 0x7B, 0x00, 0x00, 0xF8, 0x1E, 0xF3, 0x2E}};
constexpr char16_t kBmpMime[] = u"image/bmp";
constexpr char16_t kPngMime[] = u"image/png";
constexpr std::uint32_t kRecordBytes = sizeof(gdiplus::ImageCodecInfo);

struct EncoderListShape {
  std::uint32_t count;
  std::uint32_t size;
};

EncoderListShape ShapeOf(testing::EncoderList list) {
  switch (list) {
    case testing::EncoderList::kBmpOnly:
    case testing::EncoderList::kWithoutBmp:
      return {1, kRecordBytes};
    case testing::EncoderList::kSecondWithText:
      return {2, 2 * kRecordBytes + sizeof kPngMime + sizeof kBmpMime};
    case testing::EncoderList::kShorterThanCount:
      return {2, kRecordBytes};
  }
  return {0, 0};
}

gdiplus::ImageCodecInfo Record(const gdiplus::Guid& clsid, const gdiplus::Guid& format,
                               const char16_t* mime) {
  gdiplus::ImageCodecInfo record{};
  record.clsid = clsid;
  record.formatId = format;
  record.mimeType = mime;
  record.version = 1;
  return record;
}

bool SameGuid(const gdiplus::Guid& a, const gdiplus::Guid& b) {
  return a.data1 == b.data1 && a.data2 == b.data2 && a.data3 == b.data3 &&
         std::memcmp(a.data4, b.data4, sizeof a.data4) == 0;
}

// ---- BMP writing ----

constexpr std::uint32_t kFileHeaderBytes = 14;
constexpr std::uint32_t kInfoHeaderBytes = 40;
constexpr std::uint32_t kPaletteEntries = 256;
constexpr std::uint32_t kPixelsPerMetre = 3780;  // 96 dots per inch

void PutLe16(std::uint8_t* p, std::uint32_t v) {
  p[0] = static_cast<std::uint8_t>(v);
  p[1] = static_cast<std::uint8_t>(v >> 8);
}

void PutLe32(std::uint8_t* p, std::uint32_t v) {
  PutLe16(p, v);
  PutLe16(p + 2, v >> 16);
}

// One BMP row of `bits` per pixel from a top-down image row, in the file's byte order.
void EncodeRow(const Bitmap& image, const std::uint8_t* in, std::uint32_t bits, std::uint8_t* out) {
  for (std::uint32_t x = 0; x < image.width; ++x, in += image.channels) {
    const std::uint8_t r = in[0];
    const std::uint8_t g = image.channels == 3 ? in[1] : in[0];
    const std::uint8_t b = image.channels == 3 ? in[2] : in[0];
    switch (bits) {
      case 8:
        *out++ = g;  // greyscale images only: the grey level is the palette index
        break;
      case 24:
        *out++ = b;
        *out++ = g;
        *out++ = r;
        break;
      case 16: {  // 5-5-5
        const auto v = static_cast<std::uint32_t>((r >> 3) << 10 | (g >> 3) << 5 | (b >> 3));
        PutLe16(out, v);
        out += 2;
        break;
      }
      default:  // 32 bits: B, G, R, unused
        *out++ = b;
        *out++ = g;
        *out++ = r;
        *out++ = 0;
        break;
    }
  }
}

GpStatus WriteBmp(const Bitmap& image, Stream stream) {
  std::uint32_t bits = image.channels == 1 ? 8 : 24;
  if (const std::uint32_t depth = TheHooks().bmpDepth.load(kRelaxed); depth != 0) {
    bits = depth;
  }
  const std::uint64_t stride = ((std::uint64_t{bits} * image.width + 31) / 32) * 4;
  const std::uint32_t paletteBytes = bits == 8 ? kPaletteEntries * 4 : 0;
  const std::uint32_t offset = kFileHeaderBytes + kInfoHeaderBytes + paletteBytes;
  const std::uint64_t pixelBytes = stride * image.height;
  const std::uint64_t fileBytes = offset + pixelBytes;
  if (fileBytes > 0xFFFFFFFFu) {
    return kOutOfMemory;
  }
  auto* file = static_cast<std::uint8_t*>(std::calloc(static_cast<std::size_t>(fileBytes), 1));
  if (file == nullptr) {
    return kOutOfMemory;
  }
  file[0] = 'B';
  file[1] = 'M';
  PutLe32(file + 2, static_cast<std::uint32_t>(fileBytes));
  PutLe32(file + 10, offset);
  std::uint8_t* info = file + kFileHeaderBytes;
  PutLe32(info, kInfoHeaderBytes);
  PutLe32(info + 4, image.width);
  PutLe32(info + 8, image.height);  // positive: bottom-up rows
  PutLe16(info + 12, 1);
  PutLe16(info + 14, bits);
  PutLe32(info + 16, 0);  // uncompressed
  PutLe32(info + 20, static_cast<std::uint32_t>(pixelBytes));
  PutLe32(info + 24, kPixelsPerMetre);
  PutLe32(info + 28, kPixelsPerMetre);
  PutLe32(info + 32, paletteBytes != 0 ? kPaletteEntries : 0);
  std::uint8_t* palette = info + kInfoHeaderBytes;
  for (std::uint32_t i = 0; i < paletteBytes / 4; ++i) {
    palette[4 * i] = palette[4 * i + 1] = palette[4 * i + 2] = static_cast<std::uint8_t>(i);
  }
  const std::size_t inStride = std::size_t{image.width} * image.channels;
  for (std::uint32_t y = 0; y < image.height; ++y) {
    const std::uint8_t* in = image.pixels + (image.height - 1 - y) * inStride;
    EncodeRow(image, in, bits, file + offset + y * stride);
  }
  const bool written = StreamWrite(stream, file, static_cast<std::uint32_t>(fileBytes));
  std::free(file);
  return written ? gdiplus::kOk : kWin32Error;
}

// ---- JPEG decoding ----

// Four-component data as Adobe applications store it (inverted: 255 = no ink), to R, G, B.
void CmykToRgb(const std::uint8_t* cmyk, std::size_t pixels, std::uint8_t* rgb) {
  for (std::size_t i = 0; i < pixels; ++i, cmyk += 4, rgb += 3) {
    const std::uint32_t k = cmyk[3];
    for (int c = 0; c < 3; ++c) {
      rgb[c] = static_cast<std::uint8_t>((cmyk[c] * k + 127) / 255);
    }
  }
}

// Decodes `size` bytes of JPEG data into `image`'s pixels (allocated here).
GpStatus DecodeJpeg(const TurboJpeg& tj, const std::uint8_t* data, std::uint32_t size,
                    Bitmap* image) {
  void* handle = tj.initDecompress();
  if (handle == nullptr) {
    return kOutOfMemory;
  }
  int width = 0;
  int height = 0;
  int subsampling = 0;
  int space = 0;
  GpStatus status = kUnknownImageFormat;
  // The header reader also complains about sampling factors it has no name for, after it has
  // filled in the size; decoding such files works all the same.
  tj.decompressHeader3(handle, data, size, &width, &height, &subsampling, &space);
  if (width > 0 && height > 0 &&
      std::uint64_t{static_cast<std::uint32_t>(width)} * static_cast<std::uint32_t>(height) * 4 <=
          kLargestImageBytes) {
    const bool grey = space == kSpaceGrey;
    const bool fourComponents = space == kSpaceCmyk || space == kSpaceYcck;
    const int format = grey ? kPixelGrey : fourComponents ? kPixelCmyk : kPixelRgb;
    const std::size_t decodedChannels = grey ? 1 : fourComponents ? 4 : 3;
    const std::size_t pixels = static_cast<std::size_t>(width) * static_cast<std::size_t>(height);
    // Zero-filled: a file that ends early or breaks off decodes with a warning and leaves the
    // rows it never reached unwritten, and those rows are handed out too.
    auto* decoded = static_cast<std::uint8_t*>(std::calloc(pixels, decodedChannels));
    status = kOutOfMemory;
    if (decoded != nullptr) {
      const bool ok =
          tj.decompress2(handle, data, size, decoded, width, 0, height, format, 0) == 0 ||
          (tj.getErrorCode != nullptr && tj.getErrorCode(handle) == kErrorWarning);
      status = ok ? gdiplus::kOk : kUnknownImageFormat;
      if (ok && fourComponents) {
        auto* rgb = static_cast<std::uint8_t*>(std::malloc(pixels * 3));
        if (rgb != nullptr) {
          CmykToRgb(decoded, pixels, rgb);
        }
        std::free(decoded);
        decoded = rgb;
        status = rgb != nullptr ? gdiplus::kOk : kOutOfMemory;
      }
      if (status == gdiplus::kOk) {
        image->width = static_cast<std::uint32_t>(width);
        image->height = static_cast<std::uint32_t>(height);
        image->channels = grey ? 1 : 3;
        image->format = grey             ? gdiplus::kFormat8bppIndexed
                        : fourComponents ? gdiplus::kFormat32bppArgb
                                         : gdiplus::kFormat24bppRgb;
        image->pixels = decoded;
      } else {
        std::free(decoded);
      }
    }
  }
  tj.destroy(handle);
  return status;
}

// ---- The flat entry points ----

GpStatus JD_WINAPI StandinStartup(std::uintptr_t* token, const gdiplus::StartupInput* input,
                                  void* /*output*/) {
  if (token == nullptr || input == nullptr || input->gdiplusVersion != 1) {
    return kInvalidParameter;
  }
  auto* session = static_cast<Session*>(std::malloc(sizeof(Session)));
  if (session == nullptr) {
    return kOutOfMemory;
  }
  session->version = input->gdiplusVersion;
  *token = reinterpret_cast<std::uintptr_t>(session);
  TheCounters().startups.fetch_add(1, kRelaxed);
  return gdiplus::kOk;
}

void JD_WINAPI StandinShutdown(std::uintptr_t token) {
  if (token != 0) {
    std::free(reinterpret_cast<Session*>(token));
    TheCounters().startups.fetch_sub(1, kRelaxed);
  }
}

GpStatus JD_WINAPI StandinCreateBitmapFromStream(Stream stream, gdiplus::GpBitmap** bitmap) {
  if (stream == nullptr || bitmap == nullptr) {
    return kInvalidParameter;
  }
  *bitmap = nullptr;
  const std::uint32_t size = StreamSize(stream);
  auto* data = static_cast<std::uint8_t*>(std::malloc(size == 0 ? 1 : size));
  if (data == nullptr) {
    return kOutOfMemory;
  }
  const std::uint32_t got = StreamRead(stream, data, size);
  const TurboJpeg& tj = TheTurboJpeg();
  GpStatus status = kWin32Error;
  Bitmap image{};
  if (tj.library != nullptr) {
    status = DecodeJpeg(tj, data, got, &image);
  }
  std::free(data);
  if (status != gdiplus::kOk) {
    return status;
  }
  auto* object = static_cast<Bitmap*>(std::malloc(sizeof(Bitmap)));
  if (object == nullptr) {
    std::free(image.pixels);
    return kOutOfMemory;
  }
  *object = image;
  *bitmap = object;
  TheCounters().bitmaps.fetch_add(1, kRelaxed);
  return gdiplus::kOk;
}

GpStatus JD_WINAPI StandinDisposeImage(gdiplus::GpImage* image) {
  if (image == nullptr) {
    return kInvalidParameter;
  }
  auto* bitmap = static_cast<Bitmap*>(image);
  std::free(bitmap->pixels);
  std::free(bitmap);
  TheCounters().bitmaps.fetch_sub(1, kRelaxed);
  return gdiplus::kOk;
}

GpStatus JD_WINAPI StandinGetImageWidth(gdiplus::GpImage* image, std::uint32_t* width) {
  if (image == nullptr || width == nullptr) {
    return kInvalidParameter;
  }
  *width = static_cast<const Bitmap*>(image)->width;
  return gdiplus::kOk;
}

GpStatus JD_WINAPI StandinGetImageHeight(gdiplus::GpImage* image, std::uint32_t* height) {
  if (image == nullptr || height == nullptr) {
    return kInvalidParameter;
  }
  *height = static_cast<const Bitmap*>(image)->height;
  return gdiplus::kOk;
}

GpStatus JD_WINAPI StandinGetImagePixelFormat(gdiplus::GpImage* image,
                                              gdiplus::PixelFormat* format) {
  if (image == nullptr || format == nullptr) {
    return kInvalidParameter;
  }
  *format = static_cast<const Bitmap*>(image)->format;
  return gdiplus::kOk;
}

GpStatus JD_WINAPI StandinSaveImageToStream(gdiplus::GpImage* image, Stream stream,
                                            const gdiplus::Guid* encoder,
                                            const void* /*parameters*/) {
  if (image == nullptr || stream == nullptr || encoder == nullptr) {
    return kInvalidParameter;
  }
  if (!SameGuid(*encoder, kBmpEncoderId)) {
    return kInvalidParameter;  // the only encoder there is
  }
  if (TheHooks().saveFails.load(kRelaxed)) {
    return kGenericError;
  }
  return WriteBmp(*static_cast<const Bitmap*>(image), stream);
}

GpStatus JD_WINAPI StandinGetImageEncodersSize(std::uint32_t* count, std::uint32_t* size) {
  if (count == nullptr || size == nullptr) {
    return kInvalidParameter;
  }
  const EncoderListShape shape = ShapeOf(TheHooks().encoders.load(kRelaxed));
  *count = shape.count;
  *size = shape.size;
  return gdiplus::kOk;
}

GpStatus JD_WINAPI StandinGetImageEncoders(std::uint32_t count, std::uint32_t size,
                                           gdiplus::ImageCodecInfo* encoders) {
  const testing::EncoderList list = TheHooks().encoders.load(kRelaxed);
  const EncoderListShape shape = ShapeOf(list);
  if (encoders == nullptr || count != shape.count || size != shape.size) {
    return kInvalidParameter;
  }
  switch (list) {
    case testing::EncoderList::kBmpOnly:
      encoders[0] = Record(kBmpEncoderId, kBmpFormatId, kBmpMime);
      break;
    case testing::EncoderList::kWithoutBmp:
      encoders[0] = Record(kPngEncoderId, kPngFormatId, kPngMime);
      break;
    case testing::EncoderList::kSecondWithText: {
      auto* text = reinterpret_cast<char16_t*>(encoders + 2);
      std::memcpy(text, kPngMime, sizeof kPngMime);
      std::memcpy(text + std::size(kPngMime), kBmpMime, sizeof kBmpMime);
      encoders[0] = Record(kPngEncoderId, kPngFormatId, text);
      encoders[1] = Record(kBmpEncoderId, kBmpFormatId, text + std::size(kPngMime));
      break;
    }
    case testing::EncoderList::kShorterThanCount:
      encoders[0] = Record(kBmpEncoderId, kBmpFormatId, kBmpMime);
      break;
  }
  return gdiplus::kOk;
}

struct NamedEntryPoint {
  const char* name;
  EntryPoint entry;
};

// Every entry point is a plain function; callers cast it back to its own type.
template <typename Fn>
EntryPoint Generic(Fn fn) {
  return reinterpret_cast<EntryPoint>(fn);
}

}  // namespace

bool ImagingAvailable() { return TheTurboJpeg().library != nullptr; }

EntryPoint FindImagingEntryPoint(const char* name) {
  const NamedEntryPoint table[] = {
      {"GdiplusStartup", Generic(&StandinStartup)},
      {"GdiplusShutdown", Generic(&StandinShutdown)},
      {"GdipCreateBitmapFromStream", Generic(&StandinCreateBitmapFromStream)},
      {"GdipGetImageWidth", Generic(&StandinGetImageWidth)},
      {"GdipGetImageHeight", Generic(&StandinGetImageHeight)},
      {"GdipGetImagePixelFormat", Generic(&StandinGetImagePixelFormat)},
      {"GdipSaveImageToStream", Generic(&StandinSaveImageToStream)},
      {"GdipGetImageEncodersSize", Generic(&StandinGetImageEncodersSize)},
      {"GdipGetImageEncoders", Generic(&StandinGetImageEncoders)},
      {"GdipDisposeImage", Generic(&StandinDisposeImage)},
  };
  if (name == nullptr) {
    return nullptr;
  }
  for (const NamedEntryPoint& entry : table) {
    if (std::strcmp(entry.name, name) == 0) {
      return entry.entry;
    }
  }
  return nullptr;
}

namespace testing {

void ResetHooks() {
  TheHooks().saveFails.store(false, kRelaxed);
  TheHooks().bmpDepth.store(0, kRelaxed);
  TheHooks().encoders.store(EncoderList::kBmpOnly, kRelaxed);
}
void SetSaveFailure(bool fail) { TheHooks().saveFails.store(fail, kRelaxed); }
void SetBmpDepth(std::uint32_t bitsPerPixel) { TheHooks().bmpDepth.store(bitsPerPixel, kRelaxed); }
void SetEncoderList(EncoderList list) { TheHooks().encoders.store(list, kRelaxed); }
std::int64_t LiveBitmaps() { return TheCounters().bitmaps.load(kRelaxed); }
std::int64_t LiveStartups() { return TheCounters().startups.load(kRelaxed); }

}  // namespace testing
}  // namespace jpegdec::platform::standin
