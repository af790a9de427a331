#include "support/libjpeg_reference.h"

#if defined(JPEGDEC_HAVE_LIBJPEG)

#include <algorithm>
#include <csetjmp>
#include <cstdio>
#include <cstdlib>
#include <cstring>

// jpeglib.h needs size_t and FILE declared first.
#include <jpeglib.h>

// After jpeglib.h, whose configuration decides which messages it names.
#include <jerror.h>

namespace jpegdec::test {
namespace {

// libjpeg reports fatal errors through error_exit, which must not return: it jumps back to the
// call that started the work. No C++ object lives in the frames it jumps over.
struct ErrorTrap {
  jpeg_error_mgr manager;
  std::jmp_buf jump;
  char message[JMSG_LENGTH_MAX];
  bool inScanData;      // the first scan header has been read
  int corruptWarnings;  // IsCorruptDataWarning's count
};

void TrapError(j_common_ptr info) {
  auto* trap = reinterpret_cast<ErrorTrap*>(info->err);
  (*info->err->format_message)(info, trap->message);
  std::longjmp(trap->jump, 1);
}

// Level -1 is a warning; libjpeg counts them itself (num_warnings). Trace messages are ignored.
void CountWarning(j_common_ptr info, int level) {
  if (level < 0) {
    auto* trap = reinterpret_cast<ErrorTrap*>(info->err);
    ++trap->manager.num_warnings;
    if (IsCorruptDataWarning(trap->manager.msg_code, trap->inScanData)) {
      ++trap->corruptWarnings;
    }
  }
}

void InstallTrap(ErrorTrap* trap) {
  jpeg_std_error(&trap->manager);
  trap->manager.error_exit = TrapError;
  trap->manager.emit_message = CountWarning;
  trap->message[0] = '\0';
  trap->inScanData = false;
  trap->corruptWarnings = 0;
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
  trap->inScanData = true;
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
  jpeg_destroy_decompress(&info);
  if (invert) {
    for (auto& sample : out->pixels) {
      sample = static_cast<std::uint8_t>(255 - sample);
    }
  }
  return true;
}

// ---- The scan data encoded afresh (T.81 F.1.2, Annex C) ----

// A Huffman table as the encoder uses it: code and length per symbol.
struct EncodeTable {
  unsigned code[256] = {};
  int size[256] = {};
};

EncodeTable MakeEncodeTable(const JHUFF_TBL& table) {
  EncodeTable t;
  unsigned code = 0;
  int k = 0;
  for (int length = 1; length <= 16; ++length) {
    for (int i = 0; i < table.bits[length]; ++i, ++k) {
      t.code[table.huffval[k]] = code++;
      t.size[table.huffval[k]] = length;
    }
    code <<= 1;
  }
  return t;
}

// Bits most significant first, 0x00 stuffed after every 0xFF.
class BitWriter {
 public:
  explicit BitWriter(std::vector<std::uint8_t>* out, int paddingBit)
      : out_(out), padding_(paddingBit) {}
  void Put(unsigned bits, int count) {
    for (int i = count - 1; i >= 0; --i) {
      byte_ = (byte_ << 1) | ((bits >> i) & 1u);
      if (++held_ == 8) {
        Emit();
      }
    }
  }
  // Pads the byte begun with the padding bit.
  void Flush() {
    while (held_ != 0) {
      Put(static_cast<unsigned>(padding_), 1);
    }
  }

 private:
  void Emit() {
    out_->push_back(static_cast<std::uint8_t>(byte_));
    if (byte_ == 0xFF) {
      out_->push_back(0x00);
    }
    byte_ = 0;
    held_ = 0;
  }
  std::vector<std::uint8_t>* out_;
  int padding_;
  unsigned byte_ = 0;
  int held_ = 0;
};

int Magnitude(int value) {
  int bits = 0;
  for (unsigned v = static_cast<unsigned>(value < 0 ? -value : value); v != 0; v >>= 1) {
    ++bits;
  }
  return bits;
}

// Natural position of zig-zag index k (T.81 Figure A.6), walked out diagonal by diagonal.
std::vector<int> ZigZagOrder() {
  std::vector<int> order;
  for (int sum = 0; sum < 15; ++sum) {
    for (int i = 0; i <= sum; ++i) {
      const int row = sum % 2 == 0 ? sum - i : i;
      const int col = sum - row;
      if (row < 8 && col < 8) {
        order.push_back(row * 8 + col);
      }
    }
  }
  return order;
}

void EncodeBlock(const JCOEF* block, int* lastDc, const EncodeTable& dc, const EncodeTable& ac,
                 const std::vector<int>& zigzag, BitWriter* w) {
  const int diff = block[0] - *lastDc;
  *lastDc = block[0];
  int bits = Magnitude(diff);
  w->Put(dc.code[bits], dc.size[bits]);
  // Negative values are sent as value - 1 in `bits` bits (T.81 F.1.2.1).
  w->Put(static_cast<unsigned>(diff < 0 ? diff - 1 : diff) & ((1u << bits) - 1u), bits);
  int run = 0;
  for (int k = 1; k < 64; ++k) {
    const int value = block[zigzag[static_cast<std::size_t>(k)]];
    if (value == 0) {
      ++run;
      continue;
    }
    for (; run > 15; run -= 16) {
      w->Put(ac.code[0xF0], ac.size[0xF0]);
    }
    bits = Magnitude(value);
    const int symbol = run << 4 | bits;
    w->Put(ac.code[symbol], ac.size[symbol]);
    w->Put(static_cast<unsigned>(value < 0 ? value - 1 : value) & ((1u << bits) - 1u), bits);
    run = 0;
  }
  if (run > 0) {
    w->Put(ac.code[0x00], ac.size[0x00]);
  }
}

// Offset of the first scan's entropy-coded data (past its SOS segment), or 0.
std::size_t ScanDataOffset(const std::vector<std::uint8_t>& file) {
  std::size_t i = 2;
  while (i + 3 < file.size() && file[i] == 0xFF) {
    const std::size_t end = i + 2 + static_cast<std::size_t>(file[i + 2] << 8 | file[i + 3]);
    if (file[i + 1] == 0xDA) {
      return end;
    }
    i = end;
  }
  return 0;
}

bool RunReencode(const std::vector<std::uint8_t>& file, int paddingBit,
                 std::vector<std::uint8_t>* out, ErrorTrap* trap) {
  // Everything with a destructor is made before the trap is set.
  const std::vector<int> zigzag = ZigZagOrder();
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
  jvirt_barray_ptr* coefficients = jpeg_read_coefficients(&info);
  const std::size_t scanData = ScanDataOffset(file);
  if (info.progressive_mode || info.arith_code || info.input_scan_number != 1 || scanData == 0) {
    std::strcpy(trap->message, "not a one-scan sequential Huffman file");
    jpeg_destroy_decompress(&info);
    return false;
  }
  out->assign(file.begin(), file.begin() + static_cast<std::ptrdiff_t>(scanData));
  EncodeTable dc[NUM_HUFF_TBLS];
  EncodeTable ac[NUM_HUFF_TBLS];
  for (int t = 0; t < NUM_HUFF_TBLS; ++t) {
    if (info.dc_huff_tbl_ptrs[t] != nullptr) {
      dc[t] = MakeEncodeTable(*info.dc_huff_tbl_ptrs[t]);
    }
    if (info.ac_huff_tbl_ptrs[t] != nullptr) {
      ac[t] = MakeEncodeTable(*info.ac_huff_tbl_ptrs[t]);
    }
  }
  BitWriter w(out, paddingBit);
  int lastDc[MAX_COMPS_IN_SCAN] = {};
  const bool single = info.comps_in_scan == 1;
  const JDIMENSION rows = single ? info.cur_comp_info[0]->height_in_blocks : info.MCU_rows_in_scan;
  const JDIMENSION columns = single ? info.cur_comp_info[0]->width_in_blocks : info.MCUs_per_row;
  unsigned mcus = 0;
  unsigned restarts = 0;
  for (JDIMENSION mcuRow = 0; mcuRow < rows; ++mcuRow) {
    for (JDIMENSION mcuCol = 0; mcuCol < columns; ++mcuCol) {
      if (info.restart_interval != 0 && mcus != 0 && mcus % info.restart_interval == 0) {
        w.Flush();
        out->push_back(0xFF);
        out->push_back(static_cast<std::uint8_t>(0xD0 + restarts++ % 8));
        std::fill(std::begin(lastDc), std::end(lastDc), 0);
      }
      ++mcus;
      for (int s = 0; s < info.comps_in_scan; ++s) {
        jpeg_component_info* c = info.cur_comp_info[s];
        const int v = single ? 1 : c->v_samp_factor;
        const int h = single ? 1 : c->h_samp_factor;
        for (int y = 0; y < v; ++y) {
          JBLOCKARRAY blockRow = (*info.mem->access_virt_barray)(
              reinterpret_cast<j_common_ptr>(&info), coefficients[c->component_index],
              mcuRow * static_cast<JDIMENSION>(v) + static_cast<JDIMENSION>(y), 1, FALSE);
          for (int x = 0; x < h; ++x) {
            EncodeBlock(
                blockRow[0][mcuCol * static_cast<JDIMENSION>(h) + static_cast<JDIMENSION>(x)],
                &lastDc[s], dc[c->dc_tbl_no], ac[c->ac_tbl_no], zigzag, &w);
          }
        }
      }
    }
  }
  w.Flush();
  out->push_back(0xFF);
  out->push_back(0xD9);
  jpeg_destroy_decompress(&info);
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

bool IsCorruptDataWarning(int messageCode, bool inScanData) {
  switch (messageCode) {
    case JWRN_HUFF_BAD_CODE:
    case JWRN_ARITH_BAD_CODE:
    case JWRN_HIT_MARKER:
    case JWRN_MUST_RESYNC:
      return true;
    case JWRN_EXTRANEOUS_DATA:
      return inScanData;
    default:
      return false;
  }
}

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

EncodeRecipe MakeRecipe(Colour colour, std::uint32_t width, std::uint32_t height, Factors factors) {
  EncodeRecipe recipe;
  recipe.colour = colour;
  recipe.width = width;
  recipe.height = height;
  recipe.factors = std::move(factors);
  return recipe;
}

EncodeRecipe WithRestart(EncodeRecipe recipe, unsigned mcus, unsigned rows) {
  recipe.restartInterval = mcus;
  recipe.restartRows = rows;
  return recipe;
}

EncodeRecipe ZeroPadded(EncodeRecipe recipe) {
  recipe.zeroPadding = true;
  return recipe;
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
  if (zeroPadding) {
    name += "_pad0";
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
  if (recipe.zeroPadding && !file.empty()) {
    file = ReencodeWithPadding(file, 0, error);
  }
  return file;
}

std::vector<std::uint8_t> ReencodeWithPadding(const std::vector<std::uint8_t>& file, int paddingBit,
                                              std::string* error) {
  std::vector<std::uint8_t> out;
  ErrorTrap trap;
  if (!RunReencode(file, paddingBit, &out, &trap)) {
    out.clear();
    if (error != nullptr) {
      *error = trap.message;
    }
  }
  return out;
}

ReferenceImage DecodeReference(const std::vector<std::uint8_t>& file, bool fancyUpsampling) {
  ReferenceImage image;
  ErrorTrap trap;
  image.ok = RunDecode(file, fancyUpsampling, &image, &trap);
  // Warnings counted up to a fatal error too: damage libjpeg reported before giving up.
  image.warnings = static_cast<int>(trap.manager.num_warnings);
  image.corruptWarnings = trap.corruptWarnings;
  if (!image.ok) {
    image.error = trap.message;
    image.pixels.clear();
  }
  return image;
}

}  // namespace jpegdec::test

#endif  // JPEGDEC_HAVE_LIBJPEG
