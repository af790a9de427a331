#include "support/libjpeg_reference.h"

#if defined(JPEGDEC_HAVE_LIBJPEG)

#include <csetjmp>
#include <cstdio>
#include <cstdlib>
#include <cstring>

// jpeglib.h needs size_t and FILE declared first.
#include <jpeglib.h>

namespace jpegdec::test {
namespace {

// libjpeg reports fatal errors through error_exit, which must not return: it jumps back to the
// call that started the work. No C++ object lives in the frames it jumps over.
struct ErrorTrap {
  jpeg_error_mgr manager;
  std::jmp_buf jump;
  char message[JMSG_LENGTH_MAX];
};

void TrapError(j_common_ptr info) {
  auto* trap = reinterpret_cast<ErrorTrap*>(info->err);
  (*info->err->format_message)(info, trap->message);
  std::longjmp(trap->jump, 1);
}

void IgnoreMessage(j_common_ptr /*info*/, int /*level*/) {}

void InstallTrap(ErrorTrap* trap) {
  jpeg_std_error(&trap->manager);
  trap->manager.error_exit = TrapError;
  trap->manager.emit_message = IgnoreMessage;
  trap->message[0] = '\0';
}

J_COLOR_SPACE StoredSpace(Colour colour) {
  switch (colour) {
    case Colour::kGrey:
      return JCS_GRAYSCALE;
    case Colour::kYCbCr:
    case Colour::kYCbCrAdobe:
      return JCS_YCbCr;
    case Colour::kRgb:
      return JCS_RGB;
    case Colour::kCmyk:
    case Colour::kCmykNoAdobe:
      return JCS_CMYK;
    case Colour::kYcck:
      return JCS_YCCK;
  }
  return JCS_UNKNOWN;
}

// Runs the encoder; returns false with trap->message set when libjpeg fails.
bool RunEncode(const EncodeRecipe& recipe, const std::vector<std::uint8_t>& pattern,
               unsigned char** buffer, unsigned long* size, ErrorTrap* trap) {
  jpeg_compress_struct info;
  InstallTrap(trap);
  info.err = &trap->manager;
  if (setjmp(trap->jump) != 0) {
    jpeg_destroy_compress(&info);
    return false;
  }
  jpeg_create_compress(&info);
  jpeg_mem_dest(&info, buffer, size);
  const std::uint32_t components = ComponentCount(recipe.colour);
  info.image_width = recipe.width;
  info.image_height = recipe.height;
  info.input_components = static_cast<int>(components);
  info.in_color_space = components == 1 ? JCS_GRAYSCALE : components == 3 ? JCS_RGB : JCS_CMYK;
  jpeg_set_defaults(&info);
  jpeg_set_colorspace(&info, StoredSpace(recipe.colour));
  if (recipe.colour == Colour::kYCbCrAdobe) {
    info.write_JFIF_header = FALSE;
    info.write_Adobe_marker = TRUE;
  } else if (recipe.colour == Colour::kCmykNoAdobe) {
    info.write_Adobe_marker = FALSE;
  }
  jpeg_set_quality(&info, recipe.quality, TRUE);
  info.dct_method = JDCT_ISLOW;
  info.optimize_coding = recipe.optimize ? TRUE : FALSE;
  info.arith_code = recipe.arithmetic ? TRUE : FALSE;
  if (recipe.progressive) {
    jpeg_simple_progression(&info);
  }
  info.restart_interval = recipe.restartInterval;
  info.restart_in_rows = static_cast<int>(recipe.restartRows);
  for (std::size_t c = 0; c < recipe.factors.size() && c < components; ++c) {
    info.comp_info[c].h_samp_factor = recipe.factors[c].first;
    info.comp_info[c].v_samp_factor = recipe.factors[c].second;
  }
  jpeg_start_compress(&info, TRUE);
  const std::size_t stride = static_cast<std::size_t>(recipe.width) * components;
  while (info.next_scanline < info.image_height) {
    // libjpeg's row pointer is not const; it only reads the samples.
    auto* row = const_cast<JSAMPLE*>(pattern.data() + info.next_scanline * stride);
    jpeg_write_scanlines(&info, &row, 1);
  }
  jpeg_finish_compress(&info);
  jpeg_destroy_compress(&info);
  return true;
}

// The colour transform this library applies: 0 means raw components (after an "Adobe" segment
// with transform 0, or 255 for a frame that is not three-component).
bool StoredRaw(const jpeg_decompress_struct& info) {
  if (!info.saw_Adobe_marker) {
    return false;
  }
  if (info.Adobe_transform == 255) {
    return info.num_components != 3;
  }
  return info.Adobe_transform == 0;
}

bool RunDecode(const std::vector<std::uint8_t>& file, bool fancy, ReferenceImage* out,
               ErrorTrap* trap) {
  jpeg_decompress_struct info;
  InstallTrap(trap);
  info.err = &trap->manager;
  if (setjmp(trap->jump) != 0) {
    jpeg_destroy_decompress(&info);
    return false;
  }
  jpeg_create_decompress(&info);
  jpeg_mem_src(&info, file.data(), static_cast<unsigned long>(file.size()));
  jpeg_read_header(&info, TRUE);
  const bool raw = StoredRaw(info);
  bool invert = false;
  switch (info.num_components) {
    case 1:
      info.jpeg_color_space = JCS_GRAYSCALE;
      info.out_color_space = JCS_GRAYSCALE;
      break;
    case 3:
      info.jpeg_color_space = raw ? JCS_RGB : JCS_YCbCr;
      info.out_color_space = JCS_RGB;
      break;
    case 4:
      // libjpeg turns YCCK into C,M,Y,K with C = 255 - R (and so on) and K as stored; this
      // library gives R,G,B and 255 - K: every byte inverted.
      info.jpeg_color_space = raw ? JCS_CMYK : JCS_YCCK;
      info.out_color_space = JCS_CMYK;
      invert = !raw;
      break;
    default:
      info.jpeg_color_space = JCS_UNKNOWN;
      info.out_color_space = JCS_UNKNOWN;
      break;
  }
  info.dct_method = JDCT_ISLOW;
  info.do_fancy_upsampling = fancy ? TRUE : FALSE;
  info.do_block_smoothing = FALSE;
  jpeg_start_decompress(&info);
  out->width = info.output_width;
  out->height = info.output_height;
  out->components = static_cast<std::uint32_t>(info.output_components);
  const std::size_t stride = static_cast<std::size_t>(out->width) * out->components;
  out->pixels.assign(stride * out->height, 0);
  while (info.output_scanline < info.output_height) {
    JSAMPROW row = out->pixels.data() + info.output_scanline * stride;
    jpeg_read_scanlines(&info, &row, 1);
  }
  jpeg_finish_decompress(&info);
  out->warnings = static_cast<int>(trap->manager.num_warnings);
  jpeg_destroy_decompress(&info);
  if (invert) {
    for (auto& sample : out->pixels) {
      sample = static_cast<std::uint8_t>(255 - sample);
    }
  }
  return true;
}

std::uint8_t Clamp(double value) {
  if (value < 0) {
    return 0;
  }
  if (value > 255) {
    return 255;
  }
  return static_cast<std::uint8_t>(value);
}

}  // namespace

std::uint32_t ComponentCount(Colour colour) {
  switch (colour) {
    case Colour::kGrey:
      return 1;
    case Colour::kYCbCr:
    case Colour::kYCbCrAdobe:
    case Colour::kRgb:
      return 3;
    case Colour::kCmyk:
    case Colour::kYcck:
    case Colour::kCmykNoAdobe:
      return 4;
  }
  return 0;
}

const char* ColourName(Colour colour) {
  switch (colour) {
    case Colour::kGrey:
      return "grey";
    case Colour::kYCbCr:
      return "ycbcr";
    case Colour::kYCbCrAdobe:
      return "ycbcr_adobe";
    case Colour::kRgb:
      return "rgb";
    case Colour::kCmyk:
      return "cmyk";
    case Colour::kYcck:
      return "ycck";
    case Colour::kCmykNoAdobe:
      return "cmyk_no_adobe";
  }
  return "?";
}

std::string EncodeRecipe::Name() const {
  std::string name = ColourName(colour);
  for (const auto& [h, v] : factors) {
    name += "_" + std::to_string(h) + "x" + std::to_string(v);
  }
  name += "_" + std::to_string(width) + "x" + std::to_string(height);
  if (restartInterval != 0) {
    name += "_rst" + std::to_string(restartInterval);
  }
  if (restartRows != 0) {
    name += "_rstrows" + std::to_string(restartRows);
  }
  if (optimize) {
    name += "_opt";
  }
  if (progressive) {
    name += "_progressive";
  }
  if (arithmetic) {
    name += "_arithmetic";
  }
  name += "_q" + std::to_string(quality);
  return name;
}

std::vector<std::uint8_t> MakePattern(std::uint32_t width, std::uint32_t height,
                                      std::uint32_t components, std::uint32_t seed) {
  std::vector<std::uint8_t> pixels(static_cast<std::size_t>(width) * height * components);
  std::uint32_t noise = seed * 2654435761u + 1;
  std::size_t at = 0;
  for (std::uint32_t y = 0; y < height; ++y) {
    for (std::uint32_t x = 0; x < width; ++x) {
      for (std::uint32_t c = 0; c < components; ++c) {
        noise = noise * 1664525u + 1013904223u;
        // A gradient whose direction depends on the component, a checker of 8x8 blocks whose
        // level depends on the block's position, and noise of a few levels.
        const double gradient =
            40.0 * (c + 1) * x / (width + 1.0) + 30.0 * (3 - c % 3) * y / (height + 1.0);
        const double checker = 14.0 * ((x / 8 + 3 * (y / 8) + c + seed) % 5);
        const double jitter = static_cast<double>(noise >> 29);
        pixels[at++] = Clamp(40 + 20 * c + gradient + checker + jitter);
      }
    }
  }
  return pixels;
}

std::vector<std::uint8_t> EncodeJpeg(const EncodeRecipe& recipe, std::string* error) {
  const std::vector<std::uint8_t> pattern =
      MakePattern(recipe.width, recipe.height, ComponentCount(recipe.colour), recipe.seed);
  unsigned char* buffer = nullptr;
  unsigned long size = 0;
  ErrorTrap trap;
  std::vector<std::uint8_t> file;
  if (RunEncode(recipe, pattern, &buffer, &size, &trap)) {
    file.assign(buffer, buffer + size);
  } else if (error != nullptr) {
    *error = trap.message;
  }
  std::free(buffer);
  return file;
}

ReferenceImage DecodeReference(const std::vector<std::uint8_t>& file, bool fancyUpsampling) {
  ReferenceImage image;
  ErrorTrap trap;
  image.ok = RunDecode(file, fancyUpsampling, &image, &trap);
  if (!image.ok) {
    image.error = trap.message;
    image.pixels.clear();
  }
  return image;
}

}  // namespace jpegdec::test

#endif  // JPEGDEC_HAVE_LIBJPEG
