// The portable build's stand-in for the system imaging library, called through its flat entry
// points as the GDI+ back-end calls them: decoding a JPEG file from a stream, reporting its size
// and pixel format, and writing a standard BMP file into another stream.
#include <gtest/gtest.h>

#if !defined(_WIN32) && defined(JPEGDEC_HAVE_LIBJPEG)

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

// libjpeg's header needs FILE and size_t declared first.
#include <jpeglib.h>

#include "platform/platform.h"
#include "platform/portable/imaging_standin.h"
#include "platform/portable/test_hooks.h"

namespace jpegdec {
namespace {

namespace imaging = platform::standin::testing;
using Bytes = std::vector<uint8_t>;

constexpr gdiplus::Guid kBmpEncoder = {
    0x557CF400, 0x1A04, 0x11D3, {0x9A, 0x73, 0x00, 0x00, 0xF8, 0x1E, 0xF3, 0x2E}};

// A test image: `components` bytes per pixel of smooth gradients, so that every decoder's
// rounding shows.
Bytes Gradient(uint32_t width, uint32_t height, int components) {
  Bytes pixels(size_t{width} * height * static_cast<size_t>(components));
  for (uint32_t y = 0; y < height; ++y) {
    for (uint32_t x = 0; x < width; ++x) {
      for (int c = 0; c < components; ++c) {
        pixels[(size_t{y} * width + x) * static_cast<size_t>(components) + static_cast<size_t>(c)] =
            static_cast<uint8_t>((x * 7 + y * 3 + static_cast<uint32_t>(c) * 60) % 256);
      }
    }
  }
  return pixels;
}

Bytes Encode(const Bytes& pixels, uint32_t width, uint32_t height, int components,
             J_COLOR_SPACE space) {
  jpeg_compress_struct cinfo{};
  jpeg_error_mgr error{};
  cinfo.err = jpeg_std_error(&error);
  jpeg_create_compress(&cinfo);
  unsigned char* out = nullptr;
  unsigned long size = 0;
  jpeg_mem_dest(&cinfo, &out, &size);
  cinfo.image_width = width;
  cinfo.image_height = height;
  cinfo.input_components = components;
  cinfo.in_color_space = space;
  jpeg_set_defaults(&cinfo);
  jpeg_set_quality(&cinfo, 90, TRUE);
  jpeg_start_compress(&cinfo, TRUE);
  while (cinfo.next_scanline < cinfo.image_height) {
    JSAMPROW row = const_cast<uint8_t*>(pixels.data()) +
                   size_t{cinfo.next_scanline} * width * static_cast<size_t>(components);
    jpeg_write_scanlines(&cinfo, &row, 1);
  }
  jpeg_finish_compress(&cinfo);
  jpeg_destroy_compress(&cinfo);
  Bytes file(out, out + size);
  std::free(out);
  return file;
}

// libjpeg's own decode, top-down, in `space`.
Bytes Decode(const Bytes& file, J_COLOR_SPACE space, int components) {
  jpeg_decompress_struct cinfo{};
  jpeg_error_mgr error{};
  cinfo.err = jpeg_std_error(&error);
  jpeg_create_decompress(&cinfo);
  jpeg_mem_src(&cinfo, file.data(), static_cast<unsigned long>(file.size()));
  jpeg_read_header(&cinfo, TRUE);
  cinfo.out_color_space = space;
  jpeg_start_decompress(&cinfo);
  Bytes pixels(size_t{cinfo.output_width} * cinfo.output_height * static_cast<size_t>(components));
  while (cinfo.output_scanline < cinfo.output_height) {
    JSAMPROW row = pixels.data() + size_t{cinfo.output_scanline} * cinfo.output_width *
                                       static_cast<size_t>(components);
    jpeg_read_scanlines(&cinfo, &row, 1);
  }
  jpeg_finish_decompress(&cinfo);
  jpeg_destroy_decompress(&cinfo);
  return pixels;
}

uint32_t Le32(const uint8_t* p) {
  return uint32_t{p[0]} | uint32_t{p[1]} << 8 | uint32_t{p[2]} << 16 | uint32_t{p[3]} << 24;
}
uint32_t Le16(const uint8_t* p) { return uint32_t{p[0]} | uint32_t{p[1]} << 8; }

// The flat entry points, looked up by name as the back-end does.
struct Imaging {
  gdiplus::StartupFn startup = Get<gdiplus::StartupFn>("GdiplusStartup");
  gdiplus::ShutdownFn shutdown = Get<gdiplus::ShutdownFn>("GdiplusShutdown");
  gdiplus::CreateBitmapFromStreamFn create =
      Get<gdiplus::CreateBitmapFromStreamFn>("GdipCreateBitmapFromStream");
  gdiplus::GetImageWidthFn width = Get<gdiplus::GetImageWidthFn>("GdipGetImageWidth");
  gdiplus::GetImageHeightFn height = Get<gdiplus::GetImageHeightFn>("GdipGetImageHeight");
  gdiplus::GetImagePixelFormatFn format =
      Get<gdiplus::GetImagePixelFormatFn>("GdipGetImagePixelFormat");
  gdiplus::SaveImageToStreamFn save = Get<gdiplus::SaveImageToStreamFn>("GdipSaveImageToStream");
  gdiplus::GetImageEncodersSizeFn encodersSize =
      Get<gdiplus::GetImageEncodersSizeFn>("GdipGetImageEncodersSize");
  gdiplus::GetImageEncodersFn encoders = Get<gdiplus::GetImageEncodersFn>("GdipGetImageEncoders");
  gdiplus::DisposeImageFn dispose = Get<gdiplus::DisposeImageFn>("GdipDisposeImage");

  template <typename Fn>
  static Fn Get(const char* name) {
    return reinterpret_cast<Fn>(platform::standin::FindImagingEntryPoint(name));
  }
};

// A block holding `bytes`, and a stream over it.
struct StreamOver {
  explicit StreamOver(const Bytes& bytes)
      : block(platform::AllocateMovableZeroed(static_cast<uint32_t>(bytes.size()))) {
    if (!bytes.empty()) {
      std::memcpy(platform::LockBlock(block), bytes.data(), bytes.size());
      platform::UnlockBlock(block);
    }
    stream = platform::CreateStreamOnBlock(block);
  }
  ~StreamOver() {
    platform::ReleaseStream(stream);
    platform::ReleaseBlock(block);
  }
  Bytes Contents() const {
    const auto* p = static_cast<const uint8_t*>(platform::LockBlock(block));
    Bytes out(p, p + platform::BlockSize(block));
    platform::UnlockBlock(block);
    return out;
  }
  platform::MemoryBlock block;
  platform::Stream stream;
};

class ImagingStandin : public ::testing::Test {
 protected:
  void SetUp() override {
    imaging::ResetHooks();
    ASSERT_TRUE(platform::standin::ImagingAvailable()) << "libturbojpeg cannot be loaded";
    const gdiplus::StartupInput input{1, nullptr, 0, 0};
    ASSERT_EQ(api_.startup(&token_, &input, nullptr), gdiplus::kOk);
  }
  void TearDown() override {
    api_.shutdown(token_);
    imaging::ResetHooks();
    EXPECT_EQ(imaging::LiveStartups(), 0);
    EXPECT_EQ(imaging::LiveBitmaps(), 0);
  }

  // The file decoded and saved as BMP; empty when either step fails.
  Bytes ToBmp(const Bytes& jpeg, gdiplus::PixelFormat* format = nullptr) {
    StreamOver input(jpeg);
    gdiplus::GpBitmap* bitmap = nullptr;
    if (api_.create(input.stream, &bitmap) != gdiplus::kOk) {
      EXPECT_EQ(bitmap, nullptr);
      return {};
    }
    if (format != nullptr) {
      EXPECT_EQ(api_.format(bitmap, format), gdiplus::kOk);
    }
    StreamOver output({});
    const gdiplus::GpStatus saved = api_.save(bitmap, output.stream, &kBmpEncoder, nullptr);
    EXPECT_EQ(api_.dispose(bitmap), gdiplus::kOk);
    return saved == gdiplus::kOk ? output.Contents() : Bytes{};
  }

  Imaging api_;
  uintptr_t token_ = 0;
};

TEST_F(ImagingStandin, ResolvesItsEntryPointsByName) {
  const char* names[] = {
      "GdiplusStartup",        "GdiplusShutdown",          "GdipCreateBitmapFromStream",
      "GdipGetImageWidth",     "GdipGetImageHeight",       "GdipGetImagePixelFormat",
      "GdipSaveImageToStream", "GdipGetImageEncodersSize", "GdipGetImageEncoders",
      "GdipDisposeImage"};
  for (const char* name : names) {
    EXPECT_NE(platform::standin::FindImagingEntryPoint(name), nullptr) << name;
  }
  EXPECT_EQ(platform::standin::FindImagingEntryPoint("GdipCreateBitmapFromFile"), nullptr);
  EXPECT_EQ(platform::standin::FindImagingEntryPoint("gdiplusstartup"), nullptr);
  EXPECT_EQ(platform::standin::FindImagingEntryPoint(nullptr), nullptr);
}

TEST_F(ImagingStandin, CountsStartupsUntilTheirShutdown) {
  const gdiplus::StartupInput input{1, nullptr, 0, 0};
  uintptr_t second = 0;
  ASSERT_EQ(api_.startup(&second, &input, nullptr), gdiplus::kOk);
  EXPECT_EQ(imaging::LiveStartups(), 2);
  api_.shutdown(second);
  EXPECT_EQ(imaging::LiveStartups(), 1);
  const gdiplus::StartupInput version2{2, nullptr, 0, 0};
  EXPECT_NE(api_.startup(&second, &version2, nullptr), gdiplus::kOk);
  EXPECT_EQ(imaging::LiveStartups(), 1);
}

struct BmpCase {
  const char* name;
  int components;
  J_COLOR_SPACE space;
  gdiplus::PixelFormat format;
  uint32_t bitsPerPixel;
  uint32_t pixelOffset;
};

TEST_F(ImagingStandin, WritesBottomUpBmpFilesOfTheDecodedImage) {
  const BmpCase cases[] = {
      {"colour", 3, JCS_RGB, gdiplus::kFormat24bppRgb, 24, 54},
      {"grey", 1, JCS_GRAYSCALE, gdiplus::kFormat8bppIndexed, 8, 54 + 1024},
      {"four components", 4, JCS_CMYK, gdiplus::kFormat32bppArgb, 24, 54},
  };
  const uint32_t width = 37;  // rows that need padding at every depth
  const uint32_t height = 23;
  for (const BmpCase& c : cases) {
    SCOPED_TRACE(c.name);
    const Bytes jpeg =
        Encode(Gradient(width, height, c.components), width, height, c.components, c.space);
    gdiplus::PixelFormat format = 0;
    const Bytes bmp = ToBmp(jpeg, &format);
    ASSERT_GE(bmp.size(), 54u);
    EXPECT_EQ(format, c.format);
    const uint32_t stride = (c.bitsPerPixel * width + 31) / 32 * 4;
    EXPECT_EQ(bmp[0], 'B');
    EXPECT_EQ(bmp[1], 'M');
    EXPECT_EQ(Le32(&bmp[2]), bmp.size());
    EXPECT_EQ(Le32(&bmp[10]), c.pixelOffset);
    EXPECT_EQ(Le32(&bmp[14]), 40u);
    EXPECT_EQ(Le32(&bmp[18]), width);
    EXPECT_EQ(Le32(&bmp[22]), height);  // positive: bottom-up
    EXPECT_EQ(Le16(&bmp[28]), c.bitsPerPixel);
    EXPECT_EQ(Le32(&bmp[30]), 0u);
    ASSERT_EQ(bmp.size(), c.pixelOffset + size_t{stride} * height);
    if (c.bitsPerPixel == 8) {
      for (uint32_t i = 0; i < 256; ++i) {
        const uint8_t* entry = &bmp[54 + 4 * i];
        EXPECT_TRUE(entry[0] == i && entry[1] == i && entry[2] == i) << "grey entry " << i;
      }
    }
    // The pixels are libjpeg's decode of the file: the same library decodes both.
    Bytes expected;
    if (c.components == 4) {
      const Bytes cmyk = Decode(jpeg, JCS_CMYK, 4);
      for (size_t i = 0; i < cmyk.size(); i += 4) {
        for (size_t k = 0; k < 3; ++k) {
          expected.push_back(static_cast<uint8_t>((cmyk[i + k] * cmyk[i + 3] + 127) / 255));
        }
      }
    } else {
      expected = Decode(jpeg, c.space, c.components);
    }
    const uint32_t channels = c.components == 1 ? 1 : 3;
    int mismatches = 0;
    for (uint32_t y = 0; y < height; ++y) {
      const uint8_t* stored = &bmp[c.pixelOffset + size_t{height - 1 - y} * stride];
      for (uint32_t x = 0; x < width; ++x) {
        for (uint32_t k = 0; k < channels; ++k) {
          const uint32_t from = channels == 3 ? 2 - k : 0;  // B, G, R in the file
          if (stored[x * channels + from] != expected[(size_t{y} * width + x) * channels + k]) {
            ++mismatches;
          }
        }
      }
    }
    EXPECT_EQ(mismatches, 0);
  }
}

TEST_F(ImagingStandin, RefusesWhatIsNotAJpegFile) {
  const Bytes inputs[] = {{}, Bytes(500, 0), Bytes{0xFF, 0xD8, 0xFF, 0xDB, 0x00}};
  for (const Bytes& input : inputs) {
    StreamOver stream(input);
    gdiplus::GpBitmap* bitmap = reinterpret_cast<gdiplus::GpBitmap*>(&stream);
    EXPECT_NE(api_.create(stream.stream, &bitmap), gdiplus::kOk);
    EXPECT_EQ(bitmap, nullptr);
  }
  EXPECT_NE(api_.create(nullptr, nullptr), gdiplus::kOk);
}

TEST_F(ImagingStandin, SavesOnlyWithItsBmpEncoderAndWhenAllowed) {
  const Bytes jpeg = Encode(Gradient(8, 8, 3), 8, 8, 3, JCS_RGB);
  StreamOver input(jpeg);
  gdiplus::GpBitmap* bitmap = nullptr;
  ASSERT_EQ(api_.create(input.stream, &bitmap), gdiplus::kOk);
  uint32_t w = 0;
  uint32_t h = 0;
  EXPECT_EQ(api_.width(bitmap, &w), gdiplus::kOk);
  EXPECT_EQ(api_.height(bitmap, &h), gdiplus::kOk);
  EXPECT_EQ(w, 8u);
  EXPECT_EQ(h, 8u);
  EXPECT_NE(api_.width(bitmap, nullptr), gdiplus::kOk);

  StreamOver output({});
  const gdiplus::Guid unknown{};
  EXPECT_NE(api_.save(bitmap, output.stream, &unknown, nullptr), gdiplus::kOk);
  EXPECT_NE(api_.save(bitmap, output.stream, nullptr, nullptr), gdiplus::kOk);
  imaging::SetSaveFailure(true);
  EXPECT_NE(api_.save(bitmap, output.stream, &kBmpEncoder, nullptr), gdiplus::kOk);
  EXPECT_EQ(platform::BlockSize(output.block), 0u);  // nothing written
  imaging::SetSaveFailure(false);
  imaging::SetBmpDepth(16);
  ASSERT_EQ(api_.save(bitmap, output.stream, &kBmpEncoder, nullptr), gdiplus::kOk);
  const Bytes bmp = output.Contents();
  ASSERT_GE(bmp.size(), 54u);
  EXPECT_EQ(Le16(&bmp[28]), 16u);
  EXPECT_EQ(bmp.size(), 54u + 16u * 8u);
  EXPECT_EQ(api_.dispose(bitmap), gdiplus::kOk);
}

struct EncoderListCase {
  imaging::EncoderList list;
  uint32_t count;
  uint32_t size;
  const char16_t* mimeTypes[2];
};

TEST_F(ImagingStandin, ReportsItsEncoderList) {
  const uint32_t record = sizeof(gdiplus::ImageCodecInfo);
  const EncoderListCase cases[] = {
      {imaging::EncoderList::kBmpOnly, 1, record, {u"image/bmp", nullptr}},
      {imaging::EncoderList::kWithoutBmp, 1, record, {u"image/png", nullptr}},
      {imaging::EncoderList::kSecondWithText, 2, 2 * record + 40, {u"image/png", u"image/bmp"}},
      {imaging::EncoderList::kShorterThanCount, 2, record, {nullptr, nullptr}},
  };
  for (const EncoderListCase& c : cases) {
    SCOPED_TRACE(static_cast<int>(c.list));
    imaging::SetEncoderList(c.list);
    uint32_t count = 0;
    uint32_t size = 0;
    ASSERT_EQ(api_.encodersSize(&count, &size), gdiplus::kOk);
    EXPECT_EQ(count, c.count);
    EXPECT_EQ(size, c.size);
    std::vector<uint8_t> buffer(size + sizeof(gdiplus::ImageCodecInfo));
    auto* list = reinterpret_cast<gdiplus::ImageCodecInfo*>(buffer.data());
    EXPECT_NE(api_.encoders(count, size + 1, list), gdiplus::kOk);
    ASSERT_EQ(api_.encoders(count, size, list), gdiplus::kOk);
    for (uint32_t i = 0; i < count && c.mimeTypes[i] != nullptr; ++i) {
      ASSERT_NE(list[i].mimeType, nullptr);
      EXPECT_EQ(std::u16string(list[i].mimeType), std::u16string(c.mimeTypes[i]));
    }
  }
}

}  // namespace
}  // namespace jpegdec

#endif
