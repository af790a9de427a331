#include "support/compare.h"

#include <cstdio>
#include <cstdlib>

namespace jpegdec::test {

std::string ImageDifference::Describe() const {
  if (!sameShape) {
    return shape;
  }
  char text[200];
  std::snprintf(text, sizeof text,
                "max %d at row %u, column %u, component %u (got %d, want %d); %llu of %llu "
                "samples differ",
                maxDiff, row, column, component, actual, expected,
                static_cast<unsigned long long>(differing),
                static_cast<unsigned long long>(compared));
  return text;
}

ImageView View(const std::vector<std::uint8_t>& pixels, std::uint32_t rowLength,
               std::uint32_t components) {
  ImageView view;
  view.data = pixels.data();
  view.rowLength = rowLength;
  view.components = components == 0 ? 1 : components;
  view.rows = rowLength == 0 ? 0 : static_cast<std::uint32_t>(pixels.size() / rowLength);
  return view;
}

ImageDifference CompareImages(const ImageView& actual, const ImageView& expected,
                              std::uint32_t rows) {
  ImageDifference diff;
  char text[200];
  if (actual.rowLength != expected.rowLength) {
    diff.sameShape = false;
    std::snprintf(text, sizeof text, "row length %u, want %u", actual.rowLength,
                  expected.rowLength);
    diff.shape = text;
    return diff;
  }
  if (rows == 0) {
    if (actual.rows != expected.rows) {
      diff.sameShape = false;
      std::snprintf(text, sizeof text, "%u rows, want %u", actual.rows, expected.rows);
      diff.shape = text;
      return diff;
    }
    rows = actual.rows;
  } else if (actual.rows < rows || expected.rows < rows) {
    diff.sameShape = false;
    std::snprintf(text, sizeof text, "%u rows (reference %u), want at least %u", actual.rows,
                  expected.rows, rows);
    diff.shape = text;
    return diff;
  }
  const std::uint32_t components = expected.components == 0 ? 1 : expected.components;
  for (std::uint32_t y = 0; y < rows; ++y) {
    const std::uint8_t* a = actual.data + static_cast<std::size_t>(y) * actual.rowLength;
    const std::uint8_t* e = expected.data + static_cast<std::size_t>(y) * expected.rowLength;
    for (std::uint32_t i = 0; i < expected.rowLength; ++i) {
      const int d = std::abs(int{a[i]} - int{e[i]});
      ++diff.compared;
      if (d == 0) {
        continue;
      }
      ++diff.differing;
      if (d > diff.maxDiff) {
        diff.maxDiff = d;
        diff.row = y;
        diff.column = i / components;
        diff.component = i % components;
        diff.actual = a[i];
        diff.expected = e[i];
      }
    }
  }
  return diff;
}

}  // namespace jpegdec::test
