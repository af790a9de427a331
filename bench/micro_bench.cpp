// Micro-benchmarks of the decoder's hot routines, called through its internal headers on a
// context that the decoder itself prepared from a real page's headers:
//   - Huffman decoding of whole blocks (DecodeNextBlock) over the
//     entropy-coded data of a grey text page with the standard tables,
//   - the 8x8 inverse DCT on dequantised blocks taken from that page,
//   - ConvertYCbCrToRgb and InterleaveBand on a 4:2:0 colour band.
// The pages are drawn by page.cpp and encoded in memory with libjpeg (standard tables, q75).
#include <benchmark/benchmark.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <vector>
// jpeglib.h needs <cstdio> (FILE, size_t) before it.
// clang-format off
#include <jpeglib.h>
// clang-format on

#include "decoder/band_geometry.h"
#include "decoder/decoder.h"
#include "decoder/decoder_context.h"
#include "decoder/entropy/huffman.h"
#include "decoder/marker_parser.h"
#include "decoder/output/band_output.h"
#include "decoder/transform/reconstruct.h"
#include "page.h"

namespace jpegdec::bench {
namespace {

constexpr int kDpi = 300;
constexpr int kCropRows = 1024;  // rows of the page kept (from the top: header and text)
constexpr int kQuality = 75;
constexpr std::uint64_t kSeed = 7;
constexpr std::size_t kIdctBlocks = 256;

std::vector<std::uint8_t> Encode(const Page& page, int rows, bool subsample) {
  jpeg_compress_struct cinfo;
  jpeg_error_mgr err;
  cinfo.err = jpeg_std_error(&err);
  jpeg_create_compress(&cinfo);
  unsigned char* buffer = nullptr;
  unsigned long size = 0;
  jpeg_mem_dest(&cinfo, &buffer, &size);
  cinfo.image_width = static_cast<JDIMENSION>(page.width);
  cinfo.image_height = static_cast<JDIMENSION>(rows);
  cinfo.input_components = page.channels;
  cinfo.in_color_space = page.channels == 3 ? JCS_RGB : JCS_GRAYSCALE;
  jpeg_set_defaults(&cinfo);
  jpeg_set_quality(&cinfo, kQuality, TRUE);
  if (page.channels == 3) {
    cinfo.comp_info[0].h_samp_factor = subsample ? 2 : 1;
    cinfo.comp_info[0].v_samp_factor = subsample ? 2 : 1;
  }
  jpeg_start_compress(&cinfo, TRUE);
  const std::size_t stride =
      static_cast<std::size_t>(page.width) * static_cast<std::size_t>(page.channels);
  while (cinfo.next_scanline < cinfo.image_height) {
    JSAMPROW row = const_cast<JSAMPROW>(page.pixels.data() + cinfo.next_scanline * stride);
    jpeg_write_scanlines(&cinfo, &row, 1);
  }
  jpeg_finish_compress(&cinfo);
  jpeg_destroy_compress(&cinfo);
  std::vector<std::uint8_t> out(buffer, buffer + size);
  std::free(buffer);
  return out;
}

// Offset of the first entropy-coded byte (just past the first scan header), or 0.
std::size_t ScanDataOffset(const std::vector<std::uint8_t>& jpeg) {
  std::size_t pos = 2;
  while (pos + 4 <= jpeg.size() && jpeg[pos] == 0xFF) {
    const std::size_t length = static_cast<std::size_t>(jpeg[pos + 2]) << 8 | jpeg[pos + 3];
    if (jpeg[pos + 1] == 0xDA) {
      return pos + 2 + length;
    }
    pos += 2 + length;
  }
  return 0;
}

// A decoder context that has read every header up to the scan data, as DecodeStep leaves it.
struct Prepared {
  std::vector<std::uint8_t> jpeg;
  std::size_t scanStart = 0;
  DecoderContext* context = nullptr;
  const char* error = nullptr;

  Prepared(const Page& page, int rows, bool subsample) : jpeg(Encode(page, rows, subsample)) {
    scanStart = ScanDataOffset(jpeg);
    context = CreateDecoderContext();
    if (context == nullptr || scanStart == 0) {
      error = "the decoder cannot create a context yet";
      return;
    }
    StepResult r;
    int steps = 0;
    do {
      r = DecodeStep(context, jpeg.data(), static_cast<std::int32_t>(scanStart));
    } while (r.status == JD_OK && ++steps < 100);
    if (r.status != JD_NEED_DATA || context->phase != kPhaseInScan) {
      error = "the decoder does not reach the scan data of a plain baseline file yet";
    }
  }
  ~Prepared() {
    if (context != nullptr) {
      std::free(context->bandBuffer);
      context->bandBuffer = nullptr;
      ReleaseDecoderContext(context);
    }
  }
  Prepared(const Prepared&) = delete;
  Prepared& operator=(const Prepared&) = delete;

  // Back to the first entropy-coded byte, as a scan header leaves the decoder: the library's
  // own reset of the scan state, at the first block of the first MCU.
  void Rewind() {
    DecoderContext* c = context;
    c->inPtr = jpeg.data() + scanStart;
    c->inAvail = static_cast<std::int32_t>(jpeg.size() - scanStart);
    c->phase = kPhaseInScan;
    c->markerPending = 0;
    ResetScanState(c);
    c->coefIndex = 0;
    c->curComp = 0;
    c->blockCol = 1;
    c->blockRow = 1;
    c->blocksDone = 0;
    c->mcuX = 0;
  }
};

const Page& GreyPage() {
  static const Page page = MakePage(kDpi, false, kSeed);
  return page;
}

const Page& ColourPage() {
  static const Page page = MakePage(kDpi, true, kSeed);
  return page;
}

Prepared& GreyContext() {
  static Prepared prepared(GreyPage(), kCropRows, false);
  return prepared;
}

Prepared& ColourContext() {
  static Prepared prepared(ColourPage(), kCropRows, true);
  return prepared;
}

// Decodes every block of the grey scan; returns the block count, or -1 on a failure.
long DecodeAllBlocks(Prepared& p, std::vector<std::int16_t>* keep) {
  DecoderContext* c = p.context;
  p.Rewind();
  long blocks = 0;
  for (;;) {
    const std::uint8_t r = DecodeNextBlock(c);  // DC predicted into block[0]
    if (r == JD_OK) {
      if (c->markerPending != 0) {
        return blocks;  // the end-of-image marker
      }
      continue;  // a fill byte taken
    }
    if (r != 1) {
      return -1;
    }
    if (keep != nullptr) {
      const std::uint8_t* q = c->quantTables[c->comp[0].quantTable].values;
      std::int16_t natural[kBlockSize];
      for (int n = 0; n < kBlockSize; ++n) {
        natural[n] = static_cast<std::int16_t>(c->block[ZigZagIndex[n]] * q[ZigZagIndex[n]]);
      }
      keep->insert(keep->end(), natural, natural + kBlockSize);
    }
    ++blocks;
  }
}

long ExpectedBlocks(const Prepared& p) {
  return static_cast<long>((p.context->width + 7) / 8) * ((p.context->height + 7) / 8);
}

void BM_HuffmanDecodeBlocks(benchmark::State& state) {
  Prepared& p = GreyContext();
  if (p.error != nullptr) {
    state.SkipWithError(p.error);
    return;
  }
  long blocks = 0;
  for (auto _ : state) {
    blocks = DecodeAllBlocks(p, nullptr);
    benchmark::DoNotOptimize(p.context->block);
  }
  if (blocks != ExpectedBlocks(p)) {
    state.SkipWithError("the entropy decoder did not decode every block of the scan");
    return;
  }
  state.SetItemsProcessed(state.iterations() * blocks);
  state.SetBytesProcessed(state.iterations() *
                          static_cast<std::int64_t>(p.jpeg.size() - p.scanStart));
  state.counters["blocks"] = static_cast<double>(blocks);
}
BENCHMARK(BM_HuffmanDecodeBlocks)->Unit(benchmark::kMillisecond);

void BM_InverseDct8x8(benchmark::State& state) {
  static std::vector<std::int16_t> blocks;
  if (blocks.empty()) {
    Prepared& p = GreyContext();
    std::vector<std::int16_t> all;
    if (p.error != nullptr || DecodeAllBlocks(p, &all) <= 0) {
      state.SkipWithError(p.error != nullptr ? p.error : "the scan could not be decoded");
      return;
    }
    // Every n-th block of the page: flat paper, text edges and the heading alike.
    const std::size_t count = all.size() / 64;
    for (std::size_t i = 0; i < kIdctBlocks; ++i) {
      const std::size_t b = i * count / kIdctBlocks;
      blocks.insert(blocks.end(), all.begin() + static_cast<std::ptrdiff_t>(b * 64),
                    all.begin() + static_cast<std::ptrdiff_t>(b * 64 + 64));
    }
  }
  alignas(32) std::int16_t block[64];
  std::size_t i = 0;
  for (auto _ : state) {
    std::memcpy(block, blocks.data() + (i++ % kIdctBlocks) * 64, sizeof block);
    InverseDct8x8(block);
    benchmark::DoNotOptimize(block);
  }
  state.SetItemsProcessed(state.iterations());
}
BENCHMARK(BM_InverseDct8x8);

// A band of the colour page's first MCU row in the decoder's layout (one full-resolution segment
// per component per line), filled with the page's own Y, Cb and Cr values.
bool PrepareBand(Prepared& p) {
  DecoderContext* c = p.context;
  if (c->bandBuffer != nullptr) {
    return true;
  }
  // The decoder's own layout: lines after the headroom the band output writes its rows into.
  const std::size_t segment = SegmentWidth(c);
  const std::size_t line = BandLineBytes(c);
  const std::size_t lines = BandLines(c);
  c->bandBuffer = static_cast<std::uint8_t*>(std::malloc(BandBufferSize(c)));
  if (c->bandBuffer == nullptr) {
    return false;
  }
  const Page& page = ColourPage();
  const std::size_t width = static_cast<std::size_t>(page.width);
  for (std::size_t y = 0; y < lines; ++y) {
    for (std::size_t x = 0; x < segment; ++x) {
      const std::size_t px = std::min(x, width - 1);
      const std::uint8_t* rgb = page.pixels.data() + (y * width + px) * 3;
      const int r = rgb[0], g = rgb[1], b = rgb[2];
      std::uint8_t* at = BandLineOrigin(c) + y * line + x;
      at[0] = static_cast<std::uint8_t>((19595 * r + 38470 * g + 7471 * b + 32768) >> 16);
      at[segment] = static_cast<std::uint8_t>((-11059 * r - 21709 * g + 32768 * b + 8421376) >> 16);
      at[2 * segment] =
          static_cast<std::uint8_t>((32768 * r - 27439 * g - 5329 * b + 8421376) >> 16);
    }
  }
  return true;
}

void BM_ConvertYCbCrToRgb(benchmark::State& state) {
  Prepared& p = ColourContext();
  if (p.error != nullptr || !PrepareBand(p)) {
    state.SkipWithError(p.error != nullptr ? p.error : "no memory for the band");
    return;
  }
  for (auto _ : state) {
    ConvertYCbCrToRgb(p.context);
    benchmark::ClobberMemory();
  }
  const std::int64_t pixels = static_cast<std::int64_t>(p.context->width) * 8 * p.context->maxV;
  state.SetItemsProcessed(state.iterations() * pixels);
  state.counters["band_pixels"] = static_cast<double>(pixels);
}
BENCHMARK(BM_ConvertYCbCrToRgb)->Unit(benchmark::kMicrosecond);

void BM_InterleaveBand(benchmark::State& state) {
  Prepared& p = ColourContext();
  if (p.error != nullptr || !PrepareBand(p)) {
    state.SkipWithError(p.error != nullptr ? p.error : "no memory for the band");
    return;
  }
  std::uint16_t rows = 0;
  for (auto _ : state) {
    p.context->rowsOutput = 0;  // every band is the page's first
    rows = InterleaveBand(p.context);
    benchmark::ClobberMemory();
  }
  if (rows != 8 * p.context->maxV) {
    state.SkipWithError("InterleaveBand did not return a whole band");
    return;
  }
  const std::int64_t pixels = static_cast<std::int64_t>(p.context->width) * rows;
  state.SetItemsProcessed(state.iterations() * pixels);
  state.counters["band_pixels"] = static_cast<double>(pixels);
}
BENCHMARK(BM_InterleaveBand)->Unit(benchmark::kMicrosecond);

}  // namespace
}  // namespace jpegdec::bench

BENCHMARK_MAIN();
