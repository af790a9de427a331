#include "image_writer.h"

#include <cctype>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <system_error>

#if defined(JPEGDEC_CLI_HAVE_PNG)
#include <png.h>
#endif

namespace jpegdec_cli {
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

// Netpbm: P5 (grey), P6 (RGB; grey is expanded), P7 (PAM, any depth).
bool WriteNetpbm(std::FILE* file, Format format, const Image& image) {
  const std::string size = std::to_string(image.width) + " " + std::to_string(image.height);
  if (format == Format::kPam) {
    static const char* const kTupleTypes[] = {"", "GRAYSCALE", "GRAYSCALE_ALPHA", "RGB", "CMYK"};
    std::string header = "P7\nWIDTH " + std::to_string(image.width) + "\nHEIGHT " +
                         std::to_string(image.height) + "\nDEPTH " +
                         std::to_string(image.channels) + "\nMAXVAL 255\nTUPLTYPE " +
                         kTupleTypes[image.channels] + "\nENDHDR\n";
    return PutText(file, header) && Put(file, image.pixels.data(), image.pixels.size());
  }
  if (format == Format::kPgm || image.channels == 3) {
    const char* magic = format == Format::kPgm ? "P5\n" : "P6\n";
    return PutText(file, std::string(magic) + size + "\n255\n") &&
           Put(file, image.pixels.data(), image.pixels.size());
  }
  // A grey image as PPM: each sample three times.
  if (!PutText(file, "P6\n" + size + "\n255\n")) {
    return false;
  }
  std::vector<std::uint8_t> row(static_cast<std::size_t>(image.width) * 3);
  for (std::uint32_t y = 0; y < image.height; ++y) {
    const std::uint8_t* grey = image.pixels.data() + static_cast<std::size_t>(y) * image.width;
    for (std::uint32_t x = 0; x < image.width; ++x) {
      row[3 * x] = row[3 * x + 1] = row[3 * x + 2] = grey[x];
    }
    if (!Put(file, row.data(), row.size())) {
      return false;
    }
  }
  return true;
}

#if defined(JPEGDEC_CLI_HAVE_PNG)
void PngError(png_structp png, png_const_charp message) {
  auto* error = static_cast<std::string*>(png_get_error_ptr(png));
  *error = message;
  png_longjmp(png, 1);
}

void PngWarning(png_structp /*png*/, png_const_charp /*message*/) {}

// libpng reports failures by a long jump back here; no C++ object lives in the frames between.
bool WritePng(std::FILE* file, const Image& image, std::string* pngError) {
  png_structp png = png_create_write_struct(PNG_LIBPNG_VER_STRING, pngError, PngError, PngWarning);
  if (png == nullptr) {
    *pngError = "out of memory";
    return false;
  }
  png_infop info = png_create_info_struct(png);
  if (info == nullptr || setjmp(png_jmpbuf(png)) != 0) {
    png_destroy_write_struct(&png, &info);
    return false;
  }
  png_init_io(png, file);
  png_set_IHDR(png, info, image.width, image.height, 8,
               image.channels == 1 ? PNG_COLOR_TYPE_GRAY : PNG_COLOR_TYPE_RGB, PNG_INTERLACE_NONE,
               PNG_COMPRESSION_TYPE_DEFAULT, PNG_FILTER_TYPE_DEFAULT);
  png_write_info(png, info);
  const std::size_t rowBytes = static_cast<std::size_t>(image.width) * image.channels;
  for (std::uint32_t y = 0; y < image.height; ++y) {
    png_write_row(png, image.pixels.data() + static_cast<std::size_t>(y) * rowBytes);
  }
  png_write_end(png, nullptr);
  png_destroy_write_struct(&png, &info);
  return true;
}
#endif

}  // namespace

Format FormatFromName(const std::string& path) {
  const std::string extension = Lower(std::filesystem::path(path).extension().string());
  if (extension == ".png") {
    return Format::kPng;
  }
  if (extension == ".ppm" || extension == ".pnm") {
    return Format::kPpm;
  }
  if (extension == ".pgm") {
    return Format::kPgm;
  }
  if (extension == ".pam") {
    return Format::kPam;
  }
  return Format::kUnknown;
}

const char* FormatName(Format format) {
  switch (format) {
    case Format::kPng:
      return "PNG";
    case Format::kPpm:
      return "PPM";
    case Format::kPgm:
      return "PGM";
    case Format::kPam:
      return "PAM";
    case Format::kUnknown:
      break;
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

std::string FormatProblem(Format format, const Image& image) {
  if (image.channels < 1 || image.channels > 4) {
    return "the image has " + std::to_string(image.channels) + " components";
  }
  switch (format) {
    case Format::kPng:
    case Format::kPpm:
      if (image.channels == 1 || image.channels == 3) {
        return "";
      }
      return "a " + std::to_string(image.channels) + "-component image cannot be written as " +
             FormatName(format) + "; name the output *.pam";
    case Format::kPgm:
      if (image.channels == 1) {
        return "";
      }
      return "a colour image cannot be written as PGM; name the output *.ppm, *.png or *.pam";
    case Format::kPam:
      return "";
    case Format::kUnknown:
      break;
  }
  return "unknown output format";
}

bool WriteImage(const std::string& path, Format format, const Image& image, std::string* error) {
  const std::string temporary = path + ".partial";
  std::FILE* file = std::fopen(temporary.c_str(), "wb");
  if (file == nullptr) {
    *error = "cannot create '" + temporary + "': " + std::strerror(errno);
    return false;
  }
  bool ok = false;
  std::string detail;
#if defined(JPEGDEC_CLI_HAVE_PNG)
  if (format == Format::kPng) {
    ok = WritePng(file, image, &detail);
  } else {
    ok = WriteNetpbm(file, format, image);
  }
#else
  ok = format != Format::kPng && WriteNetpbm(file, format, image);
#endif
  if (!ok && detail.empty()) {
    detail = std::strerror(errno);
  }
  if (std::fclose(file) != 0 && ok) {
    ok = false;
    detail = std::strerror(errno);
  }
  std::error_code code;
  if (ok) {
    std::filesystem::rename(temporary, path, code);
    if (code) {
      ok = false;
      detail = "cannot rename to '" + path + "': " + code.message();
    }
  }
  if (!ok) {
    std::filesystem::remove(temporary, code);
    *error = "cannot write '" + path + "': " + detail;
  }
  return ok;
}

}  // namespace jpegdec_cli
