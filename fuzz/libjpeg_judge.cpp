#include "libjpeg_judge.h"

#include <csetjmp>
#include <cstdio>

// jpeglib.h needs size_t and FILE declared first.
#include <jpeglib.h>

// After jpeglib.h, whose configuration decides which messages it names.
#include <jerror.h>

#include "support/libjpeg_reference.h"

namespace jpegdec::fuzz {
namespace {

constexpr int kWarningLevel = -1;  // emit_message's level for a warning (others are traces)

// libjpeg reports fatal errors through error_exit, which must not return: it jumps back to the
// call that started the work. Only libjpeg's C frames lie between.
struct Trap {
  jpeg_error_mgr manager;
  std::jmp_buf jump;
  const std::uint8_t* data;
  std::size_t size;
  // Set once the scan header is read: bytes skipped before a marker then mean scan data left
  // over (damage) until the first marker after the scan data other than a restart marker;
  // after that they are bytes between segments, which this library skips by design.
  bool scanBegun;
  std::size_t scanEndCode;
  int corruptWarnings;
  char firstCorrupt[JMSG_LENGTH_MAX];
};

void Fail(j_common_ptr info) {
  auto* trap = reinterpret_cast<Trap*>(info->err);
  std::longjmp(trap->jump, 1);
}

void CountMessage(j_common_ptr info, int level) {
  auto* trap = reinterpret_cast<Trap*>(info->err);
  if (level != kWarningLevel) {
    return;
  }
  ++trap->manager.num_warnings;
  // The reader stands at most just past the marker whose search skipped the bytes. Once the
  // input is used up, libjpeg reads an end marker of its own (after "premature end of file"),
  // outside the input: what it skips there is none of the file's data.
  const jpeg_source_mgr* source = reinterpret_cast<j_decompress_ptr>(info)->src;
  const bool inInput =
      source->next_input_byte >= trap->data && source->next_input_byte <= trap->data + trap->size;
  const std::size_t read = trap->size - source->bytes_in_buffer;
  const bool inScanData =
      trap->scanBegun && inInput && (trap->scanEndCode == 0 || read <= trap->scanEndCode + 1);
  if (jpegdec::test::IsCorruptDataWarning(trap->manager.msg_code, inScanData)) {
    if (trap->corruptWarnings++ == 0) {
      (*trap->manager.format_message)(info, trap->firstCorrupt);
    }
  }
}

// The colour spaces that give this library's layout.
void ChooseColourSpaces(jpeg_decompress_struct* info, bool converted) {
  switch (info->num_components) {
    case 1:
      info->jpeg_color_space = JCS_GRAYSCALE;
      info->out_color_space = JCS_GRAYSCALE;
      break;
    case 3:
      info->jpeg_color_space = converted ? JCS_YCbCr : JCS_RGB;
      info->out_color_space = JCS_RGB;
      break;
    case 4:
      // YCCK comes out as C, M, Y, K with C = 255 - R (and so on) and K as stored: every byte
      // is then inverted to give R, G, B and 255 - K.
      info->jpeg_color_space = converted ? JCS_YCCK : JCS_CMYK;
      info->out_color_space = JCS_CMYK;
      break;
    default:
      info->jpeg_color_space = JCS_UNKNOWN;
      info->out_color_space = JCS_UNKNOWN;
      break;
  }
}

bool Run(const std::uint8_t* data, std::size_t size, bool converted, std::uint64_t largestSamples,
         Judgement* out, Trap* trap) {
  jpeg_decompress_struct info;
  info.err = jpeg_std_error(&trap->manager);
  trap->manager.error_exit = Fail;
  trap->manager.emit_message = CountMessage;
  if (setjmp(trap->jump) != 0) {
    out->fatalCode = trap->manager.msg_code;
    jpeg_destroy_decompress(&info);
    return false;
  }
  jpeg_create_decompress(&info);
  jpeg_mem_src(&info, data, static_cast<unsigned long>(size));
  jpeg_read_header(&info, TRUE);
  const std::size_t scanBegin = size - info.src->bytes_in_buffer;
  const std::uint64_t samples = std::uint64_t{info.image_width} * info.image_height *
                                static_cast<unsigned>(info.num_components);
  if (samples > largestSamples) {
    out->tooLarge = true;
    jpeg_destroy_decompress(&info);
    return false;
  }
  ChooseColourSpaces(&info, converted);
  info.dct_method = JDCT_ISLOW;
  info.do_fancy_upsampling = FALSE;
  info.do_block_smoothing = FALSE;
  jpeg_start_decompress(&info);
  out->walk = WalkScan(info, data, size, scanBegin);
  out->scanBegun = true;
  out->scanBegin = scanBegin;
  trap->scanBegun = true;
  trap->scanEndCode = out->walk.endMarkerCode;
  out->width = info.output_width;
  out->height = info.output_height;
  out->components = static_cast<std::uint32_t>(info.output_components);
  const std::size_t stride = std::size_t{out->width} * out->components;
  out->pixels.assign(stride * out->height, 0);
  while (info.output_scanline < info.output_height) {
    JSAMPROW row = out->pixels.data() + std::size_t{info.output_scanline} * stride;
    jpeg_read_scanlines(&info, &row, 1);
  }
  jpeg_finish_decompress(&info);
  const bool invert = info.num_components == 4 && converted;
  jpeg_destroy_decompress(&info);
  if (invert) {
    for (std::uint8_t& sample : out->pixels) {
      sample = static_cast<std::uint8_t>(255 - sample);
    }
  }
  return true;
}

}  // namespace

Judgement JudgeWithLibjpeg(const std::uint8_t* data, std::size_t size, bool converted,
                           std::uint64_t largestSamples) {
  Judgement judgement;
  Trap trap{};
  trap.data = data;
  trap.size = size;
  judgement.decoded = Run(data, size, converted, largestSamples, &judgement, &trap);
  judgement.warnings = static_cast<int>(trap.manager.num_warnings);
  judgement.corruptWarnings = trap.corruptWarnings;
  if (trap.corruptWarnings > 0) {
    judgement.firstCorrupt = trap.firstCorrupt;
  }
  judgement.noImage = judgement.fatalCode == JERR_NO_IMAGE;
  if (!judgement.decoded) {
    judgement.pixels.clear();
  }
  return judgement;
}

}  // namespace jpegdec::fuzz
