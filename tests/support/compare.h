// Sample-by-sample comparison of two images held as rows of interleaved components, reporting
// the worst sample with its position.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

namespace jpegdec::test {

// Largest difference allowed between a sample of this library and libjpeg-turbo decoding with
// its integer inverse DCT and box upsampling. The two inverse DCTs round differently, by up to
// two levels (measured over the corpus); YCbCr conversion amplifies a chroma difference by up
// to 1.77, so converted samples differ by up to five. A misplaced block, a wrong upsampling or
// swapped channels differ by far more (tests/decode_streaming_test.cpp shows it).
constexpr int kReferenceToleranceRaw = 2;        // grey, untransformed RGB and CMYK
constexpr int kReferenceToleranceConverted = 5;  // from YCbCr or YCCK

struct ImageView {
  const std::uint8_t* data = nullptr;
  std::uint32_t rows = 0;
  std::uint32_t rowLength = 0;   // bytes per row
  std::uint32_t components = 1;  // bytes per pixel
};

struct ImageDifference {
  bool sameShape = true;     // same row count and row length
  std::string shape;         // what differs in shape, when it does
  int maxDiff = 0;           // largest absolute sample difference
  std::uint32_t row = 0;     // where it is (first occurrence)
  std::uint32_t column = 0;  // pixel
  std::uint32_t component = 0;
  int actual = 0;
  int expected = 0;
  std::uint64_t differing = 0;  // samples that differ at all
  std::uint64_t compared = 0;

  // "max 3 at row 5, column 17, component 2 (got 120, want 123); 41 of 3000 samples differ"
  std::string Describe() const;
};

// Compares the first `rows` rows of both images (0: all rows, and the row counts must agree).
ImageDifference CompareImages(const ImageView& actual, const ImageView& expected,
                              std::uint32_t rows = 0);

// The same, for images held in vectors of whole rows.
ImageView View(const std::vector<std::uint8_t>& pixels, std::uint32_t rowLength,
               std::uint32_t components);

}  // namespace jpegdec::test
