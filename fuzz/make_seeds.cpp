// Writes the fuzz targets' own seed files into a folder: small images encoded by libjpeg from the
// tests' test pattern, one for each colour model, sampling layout, restart spacing and table
// kind the decoder handles (and a progressive and an arithmetic-coded file it refuses), plus the
// hand-made quadrant images of the back-end tests, and a page of unknown length (frame height 0,
// the lines in a DNL segment). scripts/make-seeds.sh runs it and minimises the result into
// fuzz/seeds/.
//
// Usage: make_fuzz_seeds FOLDER
#include <cstdio>
#include <string>
#include <utility>
#include <vector>

#include "support/jpeg_builder.h"
#include "support/libjpeg_reference.h"
#include "support/quadrant_images.h"

namespace jpegdec::test {
namespace {

std::vector<EncodeRecipe> Recipes() {
  struct Row {
    Colour colour;
    std::uint32_t width;
    std::uint32_t height;
    Factors factors;
    unsigned restartInterval;
    unsigned restartRows;
    bool optimize;
    int quality;
  };
  const Factors kTallest = {{1, 4}, {1, 2}, {1, 1}};
  const Factors kWidest = {{4, 2}, {1, 1}, {1, 1}};
  const std::vector<Row> rows = {
      {Colour::kGrey, 17, 13, {}, 0, 0, false, 85},
      {Colour::kGrey, 64, 24, {}, 3, 0, true, 60},
      {Colour::kYCbCr, 16, 16, {}, 0, 0, false, 85},
      {Colour::kYCbCr, 33, 17, k420, 0, 0, false, 75},
      {Colour::kYCbCr, 40, 24, k422, 0, 1, true, 92},
      {Colour::kYCbCr, 24, 40, k440, 2, 0, false, 50},
      {Colour::kYCbCr, 48, 9, k411, 0, 0, true, 85},
      {Colour::kYCbCr, 13, 35, kTallest, 1, 0, false, 85},
      {Colour::kYCbCr, 37, 21, kWidest, 0, 0, true, 95},
      {Colour::kYCbCrAdobe, 24, 16, k420, 0, 0, false, 85},
      {Colour::kRgb, 16, 8, {}, 0, 0, false, 85},
      {Colour::kCmyk, 16, 16, {}, 0, 1, false, 85},
      {Colour::kYcck, 32, 16, kFour420, 0, 0, true, 85},
      {Colour::kCmykNoAdobe, 9, 9, {}, 0, 0, false, 85},
  };
  std::vector<EncodeRecipe> recipes;
  for (const Row& row : rows) {
    EncodeRecipe recipe = MakeRecipe(row.colour, row.width, row.height, row.factors);
    recipe.restartInterval = row.restartInterval;
    recipe.restartRows = row.restartRows;
    recipe.optimize = row.optimize;
    recipe.quality = row.quality;
    recipe.seed = static_cast<std::uint32_t>(recipes.size() + 1);
    recipes.push_back(recipe);
  }
  EncodeRecipe progressive;
  progressive.progressive = true;
  recipes.push_back(progressive);
  EncodeRecipe arithmetic;
  arithmetic.arithmetic = true;
  recipes.push_back(arithmetic);
  return recipes;
}

bool Write(const std::string& path, const std::uint8_t* data, std::size_t size) {
  std::FILE* file = std::fopen(path.c_str(), "wb");
  if (file == nullptr) {
    return false;
  }
  const bool written = std::fwrite(data, 1, size, file) == size;
  return std::fclose(file) == 0 && written;
}

// The file as a page of unknown length: the frame header's height 0, and a DNL segment giving
// `lines` before the end-of-image marker. Empty when the file has no frame header or end marker.
std::vector<std::uint8_t> AsOpenPage(std::vector<std::uint8_t> file, std::uint16_t lines) {
  const std::size_t size = file.size();
  if (size < 2 || file[size - 2] != 0xFF || file[size - 1] != 0xD9) {
    return {};
  }
  for (std::size_t i = 2; i + 6 < size; ++i) {
    if (file[i] == 0xFF && (file[i + 1] == 0xC0 || file[i + 1] == 0xC1)) {
      file[i + 5] = 0;
      file[i + 6] = 0;
      const std::vector<std::uint8_t> dnl = JpegBuilder().Dnl(lines).Take();
      file.insert(file.end() - 2, dnl.begin(), dnl.end());
      return file;
    }
  }
  return {};
}

// Writes every seed into `folder`; false when one could not be made or written.
bool WriteSeeds(const std::string& folder) {
  bool ok = true;
  for (const EncodeRecipe& recipe : Recipes()) {
    std::string error;
    const std::vector<std::uint8_t> file = EncodeJpeg(recipe, &error);
    if (file.empty()) {
      std::fprintf(stderr, "%s: %s\n", recipe.Name().c_str(), error.c_str());
      ok = false;
      continue;
    }
    ok = Write(folder + "/" + recipe.Name() + ".jpg", file.data(), file.size()) && ok;
  }
  EncodeRecipe page;
  page.width = 33;
  page.height = 37;
  page.factors = {{2, 2}, {1, 1}, {1, 1}};
  page.restartInterval = 2;
  std::string error;
  const std::vector<std::uint8_t> open =
      AsOpenPage(EncodeJpeg(page, &error), static_cast<std::uint16_t>(page.height));
  ok = !open.empty() &&
       Write(folder + "/open_page_dnl_" + page.Name() + ".jpg", open.data(), open.size()) && ok;
  ok = Write(folder + "/quadrants_colour.jpg", kColourQuadrants, sizeof kColourQuadrants) && ok;
  ok = Write(folder + "/quadrants_grey.jpg", kGreyQuadrants, sizeof kGreyQuadrants) && ok;
  ok = Write(folder + "/quadrants_cmyk.jpg", kCmykQuadrants, sizeof kCmykQuadrants) && ok;
  return ok;
}

}  // namespace
}  // namespace jpegdec::test

int main(int argc, char** argv) {
  if (argc != 2) {
    std::fprintf(stderr, "usage: make_fuzz_seeds FOLDER\n");
    return 1;
  }
  return jpegdec::test::WriteSeeds(argv[1]) ? 0 : 1;
}
