// libjpeg-turbo as encoder of test images and as the reference decoder (native build only:
// JPEGDEC_HAVE_LIBJPEG). The reference decodes with the integer inverse DCT and box upsampling,
// and gives its rows in this library's layout: R,G,B for colour, one grey byte, and for four
// components R,G,B and the inverted fourth component (or the raw components when an "Adobe"
// segment says the data is untransformed).
#pragma once

#if defined(JPEGDEC_HAVE_LIBJPEG)

#include <cstdint>
#include <string>
#include <utility>
#include <vector>

namespace jpegdec::test {

// The colour model of an encoded test image and the segments that announce it.
enum class Colour {
  kGrey,         // one component (JFIF)
  kYCbCr,        // three components, JFIF
  kYCbCrAdobe,   // three components, "Adobe" segment with transform 1, no JFIF
  kRgb,          // three components stored as R,G,B: "Adobe" transform 0
  kCmyk,         // four components stored as C,M,Y,K: "Adobe" transform 0
  kYcck,         // four components stored as Y,Cb,Cr,K: "Adobe" transform 2
  kCmykNoAdobe,  // four components without any "Adobe" segment
};
std::uint32_t ComponentCount(Colour colour);
const char* ColourName(Colour colour);

// Sampling factors (h, v) per component.
using Factors = std::vector<std::pair<int, int>>;
// The common samplings of three components, luma first, and four-component 4:2:0 (the fourth
// component sampled like the first).
inline const Factors k444 = {{1, 1}, {1, 1}, {1, 1}};
inline const Factors k422 = {{2, 1}, {1, 1}, {1, 1}};
inline const Factors k420 = {{2, 2}, {1, 1}, {1, 1}};
inline const Factors k440 = {{1, 2}, {1, 1}, {1, 1}};
inline const Factors k411 = {{4, 1}, {1, 1}, {1, 1}};
inline const Factors kFour420 = {{2, 2}, {1, 1}, {1, 1}, {2, 2}};

struct EncodeRecipe {
  std::uint32_t width = 16;
  std::uint32_t height = 16;
  Colour colour = Colour::kYCbCr;
  Factors factors = {};          // empty: 1x1 for every component
  unsigned restartInterval = 0;  // MCUs between restart markers (0: none)
  unsigned restartRows = 0;      // MCU rows between restart markers (0: none)
  bool optimize = false;         // optimised Huffman tables instead of the standard ones
  int quality = 85;
  std::uint32_t seed = 1;    // picks the test pattern
  bool progressive = false;  // a progressive file (outside what this library decodes)
  bool arithmetic = false;   // arithmetic coding (likewise)
  // The last byte of every restart interval (and of the scan) padded with 0 bits instead of the
  // 1 bits libjpeg writes: the scan data encoded afresh (ReencodeWithPadding).
  bool zeroPadding = false;

  std::string Name() const;  // e.g. "420_33x17_rst2_opt"
};

// A recipe of a colour model, a size and a sampling, every other field at its default.
EncodeRecipe MakeRecipe(Colour colour, std::uint32_t width, std::uint32_t height,
                        Factors factors = {});

// The recipe with a restart marker every `mcus` MCUs, or every `rows` MCU rows (0: none).
EncodeRecipe WithRestart(EncodeRecipe recipe, unsigned mcus, unsigned rows = 0);
// The recipe with the last byte of every restart interval padded with 0 bits (zeroPadding).
EncodeRecipe ZeroPadded(EncodeRecipe recipe);

// A test pattern of `components` samples per pixel: smooth gradients, a block-sized checker and
// a little noise, different in every component so that swapped or misplaced data shows.
std::vector<std::uint8_t> MakePattern(std::uint32_t width, std::uint32_t height,
                                      std::uint32_t components, std::uint32_t seed);

// Encodes MakePattern's image as `recipe` says; empty with `error` set on failure.
std::vector<std::uint8_t> EncodeJpeg(const EncodeRecipe& recipe, std::string* error);

// `file` with its scan data encoded afresh from its own coefficients and Huffman tables, the
// last byte of every restart interval and of the scan padded with `paddingBit` (0 or 1); with 1
// the bytes are libjpeg's own. One-scan sequential Huffman files only: empty, with `error` set,
// for any other.
std::vector<std::uint8_t> ReencodeWithPadding(const std::vector<std::uint8_t>& file, int paddingBit,
                                              std::string* error);

// Whether libjpeg's warning `messageCode` (a JWRN_ code of jerror.h) says that the image data is
// damaged, as this library sees damage; `inScanData`: it came after the first scan header, once
// the scan's data had begun. Corrupt: a bad Huffman or arithmetic code, a marker met before the
// scan's data was complete ("premature end of data segment"), a restart marker out of its place,
// and bytes skipped before a marker once the scan data began (scan data left over, the mark of
// a decode out of step with its data). Not corrupt: bytes skipped between the segments before
// the scan (this library skips them by design), a file that ends without its end marker
// ("premature end of JPEG file" alone: every row was decoded; cut inside the scan, libjpeg also
// reports the premature end of the data segment), and notes about segments this library does
// not read or judge otherwise (an unknown Adobe transform or JFIF version, scan parameters a
// sequential scan does not use).
bool IsCorruptDataWarning(int messageCode, bool inScanData);

struct ReferenceImage {
  bool ok = false;
  std::string error;
  int warnings = 0;         // libjpeg's count of warnings of any kind
  int corruptWarnings = 0;  // of them, those that say the data is damaged (IsCorruptDataWarning)
  std::uint32_t width = 0;
  std::uint32_t height = 0;
  std::uint32_t components = 0;
  std::vector<std::uint8_t> pixels;  // height rows of width x components bytes
};

// Decodes `file` with libjpeg-turbo (JDCT_ISLOW, no fancy upsampling) into this library's row
// layout. The colour model follows this library's rule: "Adobe" transform 0 means raw
// components; otherwise three components are YCbCr and four are YCCK. `fancyUpsampling` turns
// libjpeg's smoothing upsampler on instead (to show that the tolerance tells them apart).
ReferenceImage DecodeReference(const std::vector<std::uint8_t>& file, bool fancyUpsampling = false);

}  // namespace jpegdec::test

#endif  // JPEGDEC_HAVE_LIBJPEG
