// Writes a decoded image row by row, as the rows come from the library: PNG (through libpng,
// one IDAT stream), PPM, PGM, PAM or BMP. Nothing of the image is kept but the row in hand,
// except for a BMP written to a pipe or device (BMP stores the bottom row first, so without a
// file to place the rows in, the image is held until its last row) and for a page of unknown
// length, whose height every format's header needs. A file opened for appending counts as a
// pipe here: its writes all land at its end.
#pragma once

#include <cstdint>
#include <cstdio>
#include <memory>
#include <string>

namespace jpegdec_cli {

// kPnm stands for PPM or PGM, whichever the image needs (ResolvePnm).
enum class Format { kUnknown, kPng, kPpm, kPgm, kPnm, kPam, kBmp };

// What the samples of a row are, as the output's header names them.
enum class Samples {
  kGrey,          // one grey byte
  kTwo,           // two components as stored
  kRgb,           // R, G, B
  kStored3,       // three components as stored (Adobe transform 0)
  kRgbInvertedK,  // R, G, B and 255 - K (YCCK converted)
  kCmyk,          // C, M, Y, K as stored (Adobe transform 0)
};

// The page's resolution, as PNG's pHYs chunk holds it.
struct Resolution {
  enum class Unit { kNone, kMetre, kAspectOnly };
  Unit unit = Unit::kNone;
  std::uint32_t x = 0;  // pixels per metre, or the pixel aspect ratio's terms
  std::uint32_t y = 0;
};

struct ImageShape {
  std::uint32_t width = 0;
  std::uint32_t height = 0;
  std::uint32_t channels = 0;  // 1 to 4
  Samples samples = Samples::kRgb;
  Resolution resolution;  // written to PNG (pHYs) and BMP; PNM and PAM have no place for it
};

// The grey of an R, G, B pixel, in the fixed-point arithmetic the decoder's colour conversion
// uses (16 fractional bits, rounded by adding one half before the shift):
//   grey = (19595 R + 38470 G + 7471 B + 32768) >> 16
// The factors are 0.299, 0.587 and 0.114 times 2^16 (19595.26, 38469.63, 7471.10), rounded so
// that they sum to 2^16 exactly: white stays 255 and a grey pixel keeps its value.
inline constexpr std::uint32_t kGreyFromRed = 19595;
inline constexpr std::uint32_t kGreyFromGreen = 38470;
inline constexpr std::uint32_t kGreyFromBlue = 7471;
inline constexpr std::uint32_t kGreyHalf = 32768;  // 0.5 * 2^16
inline constexpr int kGreyFractionBits = 16;
static_assert(kGreyFromRed + kGreyFromGreen + kGreyFromBlue == 1u << kGreyFractionBits);

// `width` R, G, B pixels to `width` grey bytes.
void RgbToGrey(const std::uint8_t* rgb, std::uint8_t* grey, std::uint32_t width);

// By the file name's extension (case-insensitive); --format's names: png, pnm, pam, bmp.
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
  // The failure was memory the image had to be held in.
  bool outOfMemory() const { return outOfMemory_; }

 protected:
  // `ok`, keeping the system's word on the first failure as the error.
  bool CheckErrno(bool ok);

  std::string error_;
  bool outOfMemory_ = false;
};

// Writes the header at once; null with `error` set when that fails. A shape of height 0 (a page
// of unknown length) holds the rows and writes the whole image when it is finished.
std::unique_ptr<ImageWriter> StartImage(std::FILE* stream, Format format, const ImageShape& shape,
                                        std::string* error);

}  // namespace jpegdec_cli
