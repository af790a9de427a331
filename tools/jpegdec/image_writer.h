// Writes a decoded image row by row, as the rows come from the library: PNG (through libpng,
// one IDAT stream), PPM, PGM or PAM. Nothing of the image is kept but the row in hand.
#pragma once

#include <cstdint>
#include <cstdio>
#include <memory>
#include <string>

namespace jpegdec_cli {

// kPnm stands for PPM or PGM, whichever the image needs (ResolvePnm).
enum class Format { kUnknown, kPng, kPpm, kPgm, kPnm, kPam };

// What the samples of a row are, as the output's header names them.
enum class Samples {
  kGrey,          // one grey byte
  kTwo,           // two components as stored
  kRgb,           // R, G, B
  kStored3,       // three components as stored (Adobe transform 0)
  kRgbInvertedK,  // R, G, B and 255 - K (YCCK converted)
  kCmyk,          // C, M, Y, K as stored (Adobe transform 0)
};

struct ImageShape {
  std::uint32_t width = 0;
  std::uint32_t height = 0;
  std::uint32_t channels = 0;  // 1 to 4
  Samples samples = Samples::kRgb;
};

// By the file name's extension (case-insensitive); --format's names: png, pnm, pam.
Format FormatFromName(const std::string& path);
bool FormatFromOption(const std::string& name, Format* format);
const char* FormatName(Format format);
bool FormatAvailable(Format format);  // PNG needs libpng

// PNM becomes PPM for colour and PGM for grey; other formats stay.
Format ResolvePnm(Format format, const ImageShape& shape);

// Why `format` cannot hold the image, or "" when it can.
std::string FormatProblem(Format format, const ImageShape& shape);

class ImageWriter {
 public:
  virtual ~ImageWriter() = default;
  // Each row is shape.width x shape.channels bytes.
  virtual bool WriteRow(const std::uint8_t* row) = 0;
  // After the last row: the format's trailer. The stream is flushed and closed by its owner.
  virtual bool Finish() = 0;
  const std::string& error() const { return error_; }

 protected:
  std::string error_;
};

// Writes the header at once; null with `error` set when that fails.
std::unique_ptr<ImageWriter> StartImage(std::FILE* stream, Format format, const ImageShape& shape,
                                        std::string* error);

}  // namespace jpegdec_cli
