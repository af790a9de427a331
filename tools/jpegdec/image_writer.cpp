#include "image_writer.h"

#include <cctype>
#include <cerrno>
#include <cstdint>
#include <cstring>
#include <filesystem>
#include <new>
#include <vector>

#if defined(JPEGDEC_CLI_HAVE_PNG)
#include <png.h>
#endif

#include "file_io.h"

namespace jpegdec_cli {

bool ImageWriter::CheckErrno(bool ok) {
  if (!ok && error_.empty()) {
    error_ = std::strerror(errno);
  }
  return ok;
}

namespace {

std::string Lower(std::string text) {
  for (char& c : text) {
    c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
  }
  return text;
}

bool Put(std::FILE* file, const void* data, std::size_t size) {
  return size == 0 || std::fwrite(data, 1, size, file) == size;
}

bool PutText(std::FILE* file, const std::string& text) {
  return Put(file, text.data(), text.size());
}

// PAM's TUPLTYPE and a comment line saying what the samples are.
struct PamNames {
  const char* tupleType;
  const char* comment;
};

PamNames NamesOf(Samples samples) {
  switch (samples) {
    case Samples::kGrey:
      return {"GRAYSCALE", "grey"};
    case Samples::kTwo:
      return {"TWO_COMPONENTS", "two components as stored"};
    case Samples::kRgb:
      return {"RGB", "R, G, B"};
    case Samples::kStored3:
      return {"THREE_COMPONENTS", "three components as stored, without colour transform"};
    case Samples::kRgbInvertedK:
      return {"RGB_INVERTED_K", "R, G, B, 255-K (YCCK converted to R, G, B; K inverted)"};
    case Samples::kCmyk:
      return {"CMYK", "C, M, Y, K as stored"};
  }
  return {"UNKNOWN", "unknown"};
}

class NetpbmWriter final : public ImageWriter {
 public:
  NetpbmWriter(std::FILE* stream, Format format, const ImageShape& shape)
      : stream_(stream), format_(format), shape_(shape) {}

  bool Begin() {
    const std::string size = std::to_string(shape_.width) + " " + std::to_string(shape_.height);
    std::string header;
    if (format_ == Format::kPam) {
      const PamNames names = NamesOf(shape_.samples);
      header = std::string("P7\n# samples: ") + names.comment + "\nWIDTH " +
               std::to_string(shape_.width) + "\nHEIGHT " + std::to_string(shape_.height) +
               "\nDEPTH " + std::to_string(shape_.channels) + "\nMAXVAL 255\nTUPLTYPE " +
               names.tupleType + "\nENDHDR\n";
    } else {
      header = std::string(format_ == Format::kPgm ? "P5\n" : "P6\n") + size + "\n255\n";
      if (format_ == Format::kPpm && shape_.channels == 1) {
        expanded_.resize(static_cast<std::size_t>(shape_.width) * 3);
      }
    }
    return CheckErrno(PutText(stream_, header));
  }

  bool WriteRow(const std::uint8_t* row) override {
    if (!expanded_.empty()) {
      // A grey image as PPM: each sample three times.
      for (std::uint32_t x = 0; x < shape_.width; ++x) {
        expanded_[3 * x] = expanded_[3 * x + 1] = expanded_[3 * x + 2] = row[x];
      }
      return CheckErrno(Put(stream_, expanded_.data(), expanded_.size()));
    }
    return CheckErrno(Put(stream_, row, static_cast<std::size_t>(shape_.width) * shape_.channels));
  }

  bool Finish() override { return true; }

 private:
  std::FILE* stream_;
  Format format_;
  ImageShape shape_;
  std::vector<std::uint8_t> expanded_;
};

// BMP as the system writes it: a 14-byte file header, a 40-byte information header, for grey a
// table of 256 grey entries, then the rows bottom-up, B, G, R (or one grey byte) per pixel, each
// padded to a multiple of 4 bytes.
constexpr std::uint32_t kBmpFileHeader = 14;
constexpr std::uint32_t kBmpInfoHeader = 40;
constexpr std::uint32_t kBmpGreyTable = 256 * 4;
constexpr std::uint64_t kBmpLargestFile = 0xFFFFFFFFu;  // the file header's size field

std::uint64_t BmpStride(const ImageShape& shape) {
  return (std::uint64_t{shape.width} * shape.channels + 3) / 4 * 4;
}

std::uint64_t BmpPixelsAt(const ImageShape& shape) {
  return kBmpFileHeader + kBmpInfoHeader + (shape.channels == 1 ? kBmpGreyTable : 0);
}

void PutLe(std::vector<std::uint8_t>* out, std::uint32_t value, int bytes) {
  for (int i = 0; i < bytes; ++i) {
    out->push_back(static_cast<std::uint8_t>(value >> (8 * i)));
  }
}

class BmpWriter final : public ImageWriter {
 public:
  BmpWriter(std::FILE* stream, const ImageShape& shape)
      : stream_(stream),
        shape_(shape),
        stride_(static_cast<std::size_t>(BmpStride(shape))),
        row_(stride_, 0) {}

  bool Begin() {
    const std::uint64_t pixelsAt = BmpPixelsAt(shape_);
    const std::uint64_t imageSize = std::uint64_t{stride_} * shape_.height;
    const bool metres = shape_.resolution.unit == Resolution::Unit::kMetre;
    std::vector<std::uint8_t> header = {'B', 'M'};
    PutLe(&header, static_cast<std::uint32_t>(pixelsAt + imageSize), 4);
    PutLe(&header, 0, 4);  // reserved
    PutLe(&header, static_cast<std::uint32_t>(pixelsAt), 4);
    PutLe(&header, kBmpInfoHeader, 4);
    PutLe(&header, shape_.width, 4);
    PutLe(&header, shape_.height, 4);  // positive: bottom-up
    PutLe(&header, 1, 2);              // planes
    PutLe(&header, shape_.channels * 8, 2);
    PutLe(&header, 0, 4);  // uncompressed
    PutLe(&header, static_cast<std::uint32_t>(imageSize), 4);
    PutLe(&header, metres ? shape_.resolution.x : 0, 4);
    PutLe(&header, metres ? shape_.resolution.y : 0, 4);
    PutLe(&header, shape_.channels == 1 ? 256 : 0, 4);  // colours in the table
    PutLe(&header, 0, 4);                               // all of them important
    if (shape_.channels == 1) {
      for (std::uint32_t level = 0; level < 256; ++level) {
        PutLe(&header, level * 0x010101u, 4);  // B, G, R, 0
      }
    }
    if (!CheckErrno(Put(stream_, header.data(), header.size()))) {
      return false;
    }
    // Rows are placed where they belong in a file; a pipe, a device or a file opened for
    // appending gets them in order at the end.
    if (WritesLandWhereSet(stream_)) {
      const long long at = StreamPosition(stream_);
      if (at >= 0) {
        pixelsAt_ = static_cast<std::uint64_t>(at);
        return true;
      }
    }
    if (static_cast<std::size_t>(imageSize) != imageSize) {
      error_ = "a BMP this large can only be written to a file not opened for appending";
      return false;
    }
    holding_ = true;  // the image's memory is taken with the first row
    return true;
  }

  bool WriteRow(const std::uint8_t* row) override {
    if (shape_.channels == 3) {
      for (std::uint32_t x = 0; x < shape_.width; ++x) {
        row_[3 * x] = row[3 * x + 2];
        row_[3 * x + 1] = row[3 * x + 1];
        row_[3 * x + 2] = row[3 * x];
      }
    } else {
      std::memcpy(row_.data(), row, shape_.width);
    }
    if (y_ >= shape_.height) {
      error_ = "more rows than the header says";
      return false;
    }
    const std::uint64_t slot = shape_.height - 1 - y_++;
    if (holding_ && held_.empty()) {
      try {
        held_.resize(static_cast<std::size_t>(std::uint64_t{stride_} * shape_.height));
      } catch (const std::bad_alloc&) {
        error_ = "not enough memory to hold the image (a BMP to a pipe waits for its last row)";
        outOfMemory_ = true;
        return false;
      }
    }
    if (holding_) {
      std::memcpy(held_.data() + slot * stride_, row_.data(), stride_);
      return true;
    }
    return CheckErrno(SeekStream(stream_, pixelsAt_ + slot * stride_) &&
                      Put(stream_, row_.data(), row_.size()));
  }

  bool Finish() override {
    if (holding_) {
      return CheckErrno(Put(stream_, held_.data(), held_.size()));
    }
    // Leave the position at the end of the file.
    return CheckErrno(SeekStream(stream_, pixelsAt_ + std::uint64_t{stride_} * shape_.height));
  }

 private:
  std::FILE* stream_;
  ImageShape shape_;
  std::size_t stride_;
  std::vector<std::uint8_t> row_;
  std::vector<std::uint8_t> held_;
  bool holding_ = false;
  std::uint64_t pixelsAt_ = 0;
  std::uint32_t y_ = 0;
};

#if defined(JPEGDEC_CLI_HAVE_PNG)
void PngError(png_structp png, png_const_charp message) {
  auto* error = static_cast<std::string*>(png_get_error_ptr(png));
  *error = message;
  png_longjmp(png, 1);
}

void PngWarning(png_structp /*png*/, png_const_charp /*message*/) {}

// libpng reports failures by a long jump. Each call into it gets its own landing point in a
// small function with no C++ object alive, so the jump never skips a destructor.
bool PngBegin(png_structp png, png_infop info, std::FILE* stream, const ImageShape& shape) {
  if (setjmp(png_jmpbuf(png)) != 0) {
    return false;
  }
  png_init_io(png, stream);
  png_set_IHDR(png, info, shape.width, shape.height, 8,
               shape.channels == 1 ? PNG_COLOR_TYPE_GRAY : PNG_COLOR_TYPE_RGB, PNG_INTERLACE_NONE,
               PNG_COMPRESSION_TYPE_DEFAULT, PNG_FILTER_TYPE_DEFAULT);
  if (shape.resolution.unit != Resolution::Unit::kNone) {
    png_set_pHYs(png, info, shape.resolution.x, shape.resolution.y,
                 shape.resolution.unit == Resolution::Unit::kMetre ? PNG_RESOLUTION_METER
                                                                   : PNG_RESOLUTION_UNKNOWN);
  }
  png_write_info(png, info);
  return true;
}

bool PngRow(png_structp png, const std::uint8_t* row) {
  if (setjmp(png_jmpbuf(png)) != 0) {
    return false;
  }
  png_write_row(png, row);
  return true;
}

bool PngEnd(png_structp png) {
  if (setjmp(png_jmpbuf(png)) != 0) {
    return false;
  }
  png_write_end(png, nullptr);
  return true;
}

class PngWriter final : public ImageWriter {
 public:
  ~PngWriter() override { png_destroy_write_struct(&png_, &info_); }

  bool Begin(std::FILE* stream, const ImageShape& shape) {
    png_ = png_create_write_struct(PNG_LIBPNG_VER_STRING, &error_, PngError, PngWarning);
    info_ = png_ == nullptr ? nullptr : png_create_info_struct(png_);
    if (info_ == nullptr) {
      error_ = "out of memory";
      return false;
    }
    return Check(PngBegin(png_, info_, stream, shape));
  }
  bool WriteRow(const std::uint8_t* row) override { return Check(PngRow(png_, row)); }
  bool Finish() override { return Check(PngEnd(png_)); }

 private:
  bool Check(bool ok) {
    if (!ok && error_.empty()) {
      error_ = "PNG encoder failed";
    }
    return ok;
  }

  png_structp png_ = nullptr;
  png_infop info_ = nullptr;
};
#endif

// Each format's names: the file extension that chooses it, the --format value that does (none
// for the two the PNM choice covers), and its name in messages.
struct FormatNames {
  Format format;
  const char* extension;
  const char* option;
  const char* display;
};
// clang-format off
constexpr FormatNames kFormatNames[] = {
    {Format::kPng, ".png", "png",   "PNG"},
    {Format::kPpm, ".ppm", nullptr, "PPM"},
    {Format::kPgm, ".pgm", nullptr, "PGM"},
    {Format::kPnm, ".pnm", "pnm",   "PNM"},
    {Format::kPam, ".pam", "pam",   "PAM"},
    {Format::kBmp, ".bmp", "bmp",   "BMP"},
};
// clang-format on

}  // namespace

void RgbToGrey(const std::uint8_t* rgb, std::uint8_t* grey, std::uint32_t width) {
  for (std::uint32_t x = 0; x < width; ++x) {
    const std::uint32_t sum = kGreyFromRed * rgb[3 * x] + kGreyFromGreen * rgb[3 * x + 1] +
                              kGreyFromBlue * rgb[3 * x + 2] + kGreyHalf;
    grey[x] = static_cast<std::uint8_t>(sum >> kGreyFractionBits);
  }
}

Format FormatFromName(const std::string& path) {
  const std::string extension = Lower(std::filesystem::path(path).extension().string());
  for (const FormatNames& names : kFormatNames) {
    if (extension == names.extension) {
      return names.format;
    }
  }
  return Format::kUnknown;
}

bool FormatFromOption(const std::string& name, Format* format) {
  const std::string lower = Lower(name);
  for (const FormatNames& names : kFormatNames) {
    if (names.option != nullptr && lower == names.option) {
      *format = names.format;
      return true;
    }
  }
  return false;
}

const char* FormatName(Format format) {
  for (const FormatNames& names : kFormatNames) {
    if (format == names.format) {
      return names.display;
    }
  }
  return "unknown";
}

bool FormatAvailable(Format format) {
#if defined(JPEGDEC_CLI_HAVE_PNG)
  return format != Format::kUnknown;
#else
  return format != Format::kUnknown && format != Format::kPng;
#endif
}

Format ResolvePnm(Format format, const ImageShape& shape) {
  if (format != Format::kPnm) {
    return format;
  }
  return shape.channels == 1 ? Format::kPgm : Format::kPpm;
}

std::string FormatProblem(Format format, const ImageShape& shape) {
  if (shape.channels < 1 || shape.channels > 4) {
    return "the image has " + std::to_string(shape.channels) + " components";
  }
  switch (format) {
    case Format::kBmp:
      if ((shape.channels == 1 || shape.channels == 3) &&
          BmpPixelsAt(shape) + BmpStride(shape) * shape.height > kBmpLargestFile) {
        return "a BMP file holds at most 4 GiB; write PNG or PAM";
      }
      [[fallthrough]];
    case Format::kPng:
    case Format::kPpm:
      if (shape.channels == 1 || shape.channels == 3) {
        return "";
      }
      return "a " + std::to_string(shape.channels) + "-component image cannot be written as " +
             FormatName(format) + "; write PAM (*.pam or --format pam)";
    case Format::kPgm:
      if (shape.channels == 1) {
        return "";
      }
      return "a colour image cannot be written as PGM; name the output *.ppm, *.png or *.pam";
    case Format::kPam:
      return "";
    case Format::kPnm:
    case Format::kUnknown:
      break;
  }
  return "unknown output format";
}

std::unique_ptr<ImageWriter> StartKnownHeight(std::FILE* stream, Format format,
                                              const ImageShape& shape, std::string* error);

// A page of unknown length (height 0 in the frame header, the lines given after the scan data):
// every format's header holds the height, so the rows are held until the last one is in, and the
// image is written then.
class HeldImageWriter final : public ImageWriter {
 public:
  HeldImageWriter(std::FILE* stream, Format format, const ImageShape& shape)
      : stream_(stream), format_(format), shape_(shape) {}

  bool WriteRow(const std::uint8_t* row) override {
    const std::size_t rowBytes = std::size_t{shape_.width} * shape_.channels;
    try {
      held_.insert(held_.end(), row, row + rowBytes);
    } catch (const std::bad_alloc&) {
      error_ =
          "not enough memory to hold the image (a page of unknown length is held until its "
          "last row)";
      outOfMemory_ = true;
      return false;
    }
    ++shape_.height;
    return true;
  }

  bool Finish() override {
    const std::string problem = FormatProblem(format_, shape_);
    if (!problem.empty()) {
      error_ = problem;
      return false;
    }
    std::unique_ptr<ImageWriter> writer = StartKnownHeight(stream_, format_, shape_, &error_);
    if (writer == nullptr) {
      return false;
    }
    const std::size_t rowBytes = std::size_t{shape_.width} * shape_.channels;
    for (std::size_t at = 0; at < held_.size(); at += rowBytes) {
      if (!writer->WriteRow(held_.data() + at)) {
        error_ = writer->error();
        outOfMemory_ = writer->outOfMemory();
        return false;
      }
    }
    if (!writer->Finish()) {
      error_ = writer->error();
      return false;
    }
    return true;
  }

 private:
  std::FILE* stream_;
  Format format_;
  ImageShape shape_;  // its height counts the rows held
  std::vector<std::uint8_t> held_;
};

std::unique_ptr<ImageWriter> StartImage(std::FILE* stream, Format format, const ImageShape& shape,
                                        std::string* error) {
  if (shape.height == 0) {
    return std::make_unique<HeldImageWriter>(stream, format, shape);
  }
  return StartKnownHeight(stream, format, shape, error);
}

std::unique_ptr<ImageWriter> StartKnownHeight(std::FILE* stream, Format format,
                                              const ImageShape& shape, std::string* error) {
#if defined(JPEGDEC_CLI_HAVE_PNG)
  if (format == Format::kPng) {
    auto writer = std::make_unique<PngWriter>();
    if (!writer->Begin(stream, shape)) {
      *error = writer->error();
      return nullptr;
    }
    return writer;
  }
#endif
  if (format == Format::kPng || format == Format::kUnknown || format == Format::kPnm) {
    *error = format == Format::kPng ? "this build writes no PNG" : "no output format";
    return nullptr;
  }
  if (format == Format::kBmp) {
    auto writer = std::make_unique<BmpWriter>(stream, shape);
    if (!writer->Begin()) {
      *error = writer->error();
      return nullptr;
    }
    return writer;
  }
  auto writer = std::make_unique<NetpbmWriter>(stream, format, shape);
  if (!writer->Begin()) {
    *error = writer->error();
    return nullptr;
  }
  return writer;
}

}  // namespace jpegdec_cli
