// damage_sweep: how the library meets damage in transfer, over images made the way the tests make
// them (libjpeg, several sampling layouts, sizes, restart intervals or none). Two kinds of damage,
// one at a time: (a) one byte of the scan data changed (XORed with a value from a fixed-seed
// generator; restart markers left alone), (b) one restart marker removed (its two bytes). Each
// damaged file is decoded whole through the public operations in streaming mode (3) and in
// buffered mode (2), and by libjpeg-turbo, whose warnings that mean damaged data are counted
// (IsCorruptDataWarning in tests/support/libjpeg_reference.h).
//
// For every decode it notes how the decode ended (Read 2, -1, or otherwise) and how many rows
// came out equal to the intact file's, before and after the damage: the damage lies in the bands
// (MCU rows) that hold the MCUs of the restart interval it hit (for a lost marker, the intervals
// on both sides of it), or, without restart intervals, the band being decoded when the changed
// byte is read. A row not handed out counts as unequal. Output is deterministic; the summary
// table comes last.
//
// Usage: damage_sweep [BYTE_CASES_PER_IMAGE [MARKERS_PER_IMAGE]]   (defaults 80 and 150)
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <vector>

#include "decoder/jpeg_constants.h"
#include "jpegdec/jpegdec.h"
#include "jpegdec/jpegdec_probe.h"
#include "support/host_driver.h"
#include "support/libjpeg_reference.h"
#include "support/split_mix.h"

namespace jpegdec::test {
namespace {

using Bytes = std::vector<std::uint8_t>;

constexpr std::uint64_t kSeed = 29;
constexpr int kDefaultByteCases = 80;
constexpr int kDefaultMarkerCases = 150;

EncodeRecipe Recipe(Colour colour, std::uint32_t width, std::uint32_t height, Factors factors,
                    unsigned restartInterval, unsigned restartRows = 0, bool optimize = false) {
  EncodeRecipe recipe = MakeRecipe(colour, width, height, std::move(factors));
  recipe.restartInterval = restartInterval;
  recipe.restartRows = restartRows;
  recipe.optimize = optimize;
  recipe.quality = 85;
  recipe.seed = width + height;
  return recipe;
}

std::vector<EncodeRecipe> Recipes() {
  return {
      Recipe(Colour::kGrey, 200, 160, {}, 1),
      Recipe(Colour::kGrey, 120, 97, {}, 2),
      Recipe(Colour::kGrey, 64, 48, {}, 0),
      Recipe(Colour::kYCbCr, 96, 64, k444, 1),
      Recipe(Colour::kYCbCr, 48, 40, k444, 0),
      Recipe(Colour::kYCbCr, 160, 96, k422, 1),
      Recipe(Colour::kYCbCr, 80, 48, k422, 0, 0, true),
      Recipe(Colour::kYCbCr, 192, 128, k420, 1),
      Recipe(Colour::kYCbCr, 256, 192, k420, 1),
      Recipe(Colour::kYCbCr, 320, 240, k420, 3),
      Recipe(Colour::kYCbCr, 240, 176, k420, 2),
      Recipe(Colour::kYCbCr, 96, 64, k420, 0),
      Recipe(Colour::kYCbCr, 240, 160, k420, 0, 1, true),
      Recipe(Colour::kYCbCr, 200, 120, k420, 7, 0, true),
      Recipe(Colour::kYCbCr, 96, 96, k440, 2),
      Recipe(Colour::kYCbCr, 192, 48, k411, 1),
      Recipe(Colour::kCmyk, 64, 64, {}, 1),
      Recipe(Colour::kYcck, 96, 64, kFour420, 2),
  };
}

// Where an image's scan data lies, its restart markers, and its bands.
struct Layout {
  std::size_t scanBegin = 0;          // first byte after the scan header
  std::size_t scanEnd = 0;            // the end marker's 0xFF
  std::vector<std::size_t> restarts;  // offsets of the restart markers' 0xFF
  std::uint32_t restartInterval = 0;
  std::uint32_t mcusPerRow = 0;
  std::uint32_t bandLines = 0;
  std::uint32_t height = 0;
  std::uint32_t bands = 0;
  // Bytes written when each band's first row could be read, from a decode in 1-byte pieces.
  std::vector<std::size_t> bandComplete;
};

bool FindLayout(const Bytes& file, Layout* layout) {
  JpegDecFrameInfo frame;
  if (JpegDecProbeFrame(file.data(), file.size(), &frame) != JPEGDEC_PROBE_FRAME) {
    return false;
  }
  std::uint32_t maxH = 1;
  std::uint32_t maxV = 1;
  for (unsigned c = 0; c < frame.componentCount && frame.componentCount > 1; ++c) {
    maxH = frame.horizontal[c] > maxH ? frame.horizontal[c] : maxH;
    maxV = frame.vertical[c] > maxV ? frame.vertical[c] : maxV;
  }
  const std::uint32_t mcuWidth = kBlockSide * maxH;
  layout->bandLines = kBlockSide * maxV;
  layout->mcusPerRow = (frame.width + mcuWidth - 1) / mcuWidth;
  layout->height = frame.height;
  layout->bands = (frame.height + layout->bandLines - 1) / layout->bandLines;
  layout->restartInterval = frame.restartInterval;
  // The scan header (self-made files: one scan, segments back to back), then the scan data up
  // to the end marker; restart markers are 0xFF 0xD0..0xD7 (a data 0xFF is followed by 0x00).
  std::size_t at = 2;
  while (at + 3 < file.size() && file[at] == kMarkerPrefix && file[at + 1] != kMarkerSos) {
    at += 2 + static_cast<std::size_t>(file[at + 2] << 8 | file[at + 3]);
  }
  if (at + 3 >= file.size()) {
    return false;
  }
  layout->scanBegin = at + 2 + static_cast<std::size_t>(file[at + 2] << 8 | file[at + 3]);
  for (std::size_t i = layout->scanBegin; i + 1 < file.size(); ++i) {
    if (file[i] != kMarkerPrefix) {
      continue;
    }
    if (IsRestartMarker(file[i + 1])) {
      layout->restarts.push_back(i);
    } else if (file[i + 1] == kMarkerEoi) {
      layout->scanEnd = i;
      break;
    }
  }
  if (layout->scanEnd == 0) {
    return false;
  }
  HostOptions options;
  options.traceRows = true;
  const HostResult traced = DecodeThroughHost(file, options, PieceSchedule::Fixed(1));
  for (std::uint32_t band = 0; band < layout->bands; ++band) {
    std::size_t written = file.size();
    for (std::size_t i = 0; i < traced.rowsAtWrite.size(); ++i) {
      if (traced.rowsAtWrite[i] > band * layout->bandLines) {
        written = i;
        break;
      }
    }
    layout->bandComplete.push_back(written);
  }
  return true;
}

// The bands [first, last] that the damage touches.
struct BandRange {
  std::uint32_t first;
  std::uint32_t last;
};

// Bands holding the MCUs of restart intervals [firstInterval, lastInterval].
BandRange IntervalBands(const Layout& layout, std::size_t firstInterval, std::size_t lastInterval) {
  const std::uint64_t firstMcu = std::uint64_t{firstInterval} * layout.restartInterval;
  const std::uint64_t endMcu = std::uint64_t{lastInterval + 1} * layout.restartInterval;
  BandRange range;
  range.first = static_cast<std::uint32_t>(firstMcu / layout.mcusPerRow);
  range.last = static_cast<std::uint32_t>((endMcu - 1) / layout.mcusPerRow);
  if (range.last >= layout.bands) {
    range.last = layout.bands - 1;
  }
  return range;
}

// The band being decoded when the byte at `offset` is read (the bands before it were complete
// with fewer bytes); the bands' count when every band was complete before it.
std::uint32_t BandAtByte(const Layout& layout, std::size_t offset) {
  for (std::uint32_t band = 0; band < layout.bands; ++band) {
    if (layout.bandComplete[band] > offset) {
      return band;
    }
  }
  return layout.bands;
}

struct Tally {
  int cases = 0;
  int ended = 0;          // Read returned 2
  int endedWarned = 0;    // of them, libjpeg reported damaged data
  int failed = 0;         // Read returned -1
  int other = 0;          // anything else (a host that would wait for ever, say)
  int libjpegWarned = 0;  // all cases libjpeg reported as damaged
  // Rows equal to the intact file's / rows the intact file has there, by how the decode ended.
  std::uint64_t equalBefore[2] = {0, 0};
  std::uint64_t rowsBefore[2] = {0, 0};
  std::uint64_t equalAfter[2] = {0, 0};
  std::uint64_t rowsAfter[2] = {0, 0};
};

// Row `row` of a host decode equals the intact file's.
bool SameRow(const HostResult& got, const HostResult& intact, std::uint32_t row) {
  if (row >= got.rows || got.rowLength != intact.rowLength) {
    return false;
  }
  const std::size_t length = intact.rowLength;
  for (std::size_t i = 0; i < length; ++i) {
    if (got.pixels[row * length + i] != intact.pixels[row * length + i]) {
      return false;
    }
  }
  return true;
}

void Count(const HostResult& got, const HostResult& intact, const Layout& layout,
           const BandRange& damage, bool libjpegWarned, Tally* tally) {
  ++tally->cases;
  tally->libjpegWarned += libjpegWarned ? 1 : 0;
  int outcome = -1;
  if (got.end == HostEnd::kEnd) {
    ++tally->ended;
    tally->endedWarned += libjpegWarned ? 1 : 0;
    outcome = 0;
  } else if (got.end == HostEnd::kFailed) {
    ++tally->failed;
    outcome = 1;
  } else {
    ++tally->other;
    return;
  }
  const std::uint32_t firstDamaged = damage.first * layout.bandLines;
  const std::uint32_t afterDamage = (damage.last + 1) * layout.bandLines;
  for (std::uint32_t row = 0; row < intact.rows; ++row) {
    const bool same = SameRow(got, intact, row);
    if (row < firstDamaged) {
      ++tally->rowsBefore[outcome];
      tally->equalBefore[outcome] += same ? 1 : 0;
    } else if (row >= afterDamage) {
      ++tally->rowsAfter[outcome];
      tally->equalAfter[outcome] += same ? 1 : 0;
    }
  }
}

HostResult DecodeWhole(const Bytes& file, std::int32_t mode) {
  HostOptions options;
  options.mode = mode;
  return DecodeThroughHost(file, options, PieceSchedule::Whole());
}

std::string Share(std::uint64_t part, std::uint64_t whole) {
  if (whole == 0) {
    return "-";
  }
  char text[48];
  std::snprintf(text, sizeof text, "%llu/%llu (%.1f %%)", static_cast<unsigned long long>(part),
                static_cast<unsigned long long>(whole),
                100.0 * static_cast<double>(part) / static_cast<double>(whole));
  return text;
}

void PrintRow(const char* damage, const char* mode, const Tally& t) {
  std::printf("| %s | %s | %d | %d | %d | %d | %d | %d | %s | %s | %s | %s |\n", damage, mode,
              t.cases, t.libjpegWarned, t.ended, t.endedWarned, t.failed, t.other,
              Share(t.equalBefore[0], t.rowsBefore[0]).c_str(),
              Share(t.equalAfter[0], t.rowsAfter[0]).c_str(),
              Share(t.equalBefore[1], t.rowsBefore[1]).c_str(),
              Share(t.equalAfter[1], t.rowsAfter[1]).c_str());
}

// The sweep over every image, `byteCases` changed bytes and up to `markerCases` removed markers
// each; 1 when an image cannot be made or its intact file does not decode.
int Sweep(int byteCases, int markerCases) {
  SplitMix random(kSeed);
  enum { kByteStreaming, kByteBuffered, kMarkerStreaming, kMarkerBuffered, kTallies };
  Tally tallies[kTallies];

  std::printf(
      "Streaming mode, image by image: cases, then how many ended with 2 / of them libjpeg warns "
      "about / ended with -1, and the rows after the damage equal to the intact file's.\n\n"
      "| image | scan bytes | restart interval | markers | bytes changed | ended | rows after | "
      "markers removed | ended | rows after |\n|---|---|---|---|---|---|---|---|---|---|\n");
  for (const EncodeRecipe& recipe : Recipes()) {
    std::string error;
    const Bytes intactFile = EncodeJpeg(recipe, &error);
    Layout layout;
    if (intactFile.empty() || !FindLayout(intactFile, &layout)) {
      std::printf("%s: cannot make or read it (%s)\n", recipe.Name().c_str(), error.c_str());
      return 1;
    }
    const HostResult intact = DecodeWhole(intactFile, JPEGDEC_MODE_STREAMING);
    if (intact.end != HostEnd::kEnd) {
      std::printf("%s: the intact file does not decode\n", recipe.Name().c_str());
      return 1;
    }

    Tally image[2];  // streaming: bytes changed, markers removed
    // One damaged file decoded by libjpeg and both ways of the library, counted in the image's
    // streaming tally and the totals of that kind of damage (`kind`: 0 bytes, 1 markers).
    const auto judge = [&](const Bytes& damaged, const BandRange& range, int kind) {
      const bool warned = DecodeReference(damaged).corruptWarnings > 0;
      const HostResult streamed = DecodeWhole(damaged, JPEGDEC_MODE_STREAMING);
      const HostResult buffered = DecodeWhole(damaged, JPEGDEC_MODE_BUFFERED);
      Count(streamed, intact, layout, range, warned, &image[kind]);
      Count(streamed, intact, layout, range, warned,
            &tallies[kind == 0 ? kByteStreaming : kMarkerStreaming]);
      Count(buffered, intact, layout, range, warned,
            &tallies[kind == 0 ? kByteBuffered : kMarkerBuffered]);
    };

    // (a) One byte of the scan data changed.
    for (int n = 0; n < byteCases; ++n) {
      std::size_t offset = layout.scanBegin + random.Below(layout.scanEnd - layout.scanBegin);
      const std::uint8_t change = static_cast<std::uint8_t>(1 + random.Below(255));
      bool onMarker = false;
      std::size_t interval = 0;
      for (const std::size_t marker : layout.restarts) {
        onMarker = onMarker || offset == marker || offset == marker + 1;
        interval += marker < offset ? 1 : 0;
      }
      if (onMarker) {
        continue;  // the markers are the other kind of damage
      }
      Bytes damaged = intactFile;
      damaged[offset] = static_cast<std::uint8_t>(damaged[offset] ^ change);
      BandRange range;
      if (layout.restartInterval != 0) {
        range = IntervalBands(layout, interval, interval);
      } else {
        const std::uint32_t band = BandAtByte(layout, offset);
        range = {band, band};
      }
      judge(damaged, range, 0);
    }

    // (b) One restart marker removed, spread evenly over the image's markers.
    const std::size_t markers = layout.restarts.size();
    const std::size_t wanted = markers < static_cast<std::size_t>(markerCases)
                                   ? markers
                                   : static_cast<std::size_t>(markerCases);
    for (std::size_t n = 0; n < wanted; ++n) {
      const std::size_t k = wanted == 1 ? 0 : n * (markers - 1) / (wanted - 1);
      Bytes damaged = intactFile;
      const auto at = damaged.begin() + static_cast<std::ptrdiff_t>(layout.restarts[k]);
      damaged.erase(at, at + 2);
      // Marker k ends interval k: the intervals on both sides of it run together.
      const BandRange range = IntervalBands(layout, k, k + 1);
      judge(damaged, range, 1);
    }
    std::printf("| %s | %zu | %u | %zu", recipe.Name().c_str(), layout.scanEnd - layout.scanBegin,
                layout.restartInterval, markers);
    for (const Tally& t : image) {
      std::printf(
          " | %d | %d / %d / %d | %s", t.cases, t.ended, t.endedWarned, t.failed,
          Share(t.equalAfter[0] + t.equalAfter[1], t.rowsAfter[0] + t.rowsAfter[1]).c_str());
    }
    std::printf(" |\n");
  }

  std::printf(
      "\nRows: equal to the intact file's / rows there, before and after the damaged bands.\n\n"
      "| damage | mode | cases | libjpeg warns | end 2 | end 2, libjpeg warns | end -1 | other | "
      "end 2: rows before | end 2: rows after | end -1: rows before | end -1: rows after |\n"
      "|---|---|---|---|---|---|---|---|---|---|---|---|\n");
  PrintRow("byte changed", "streaming", tallies[kByteStreaming]);
  PrintRow("byte changed", "buffered", tallies[kByteBuffered]);
  PrintRow("marker removed", "streaming", tallies[kMarkerStreaming]);
  PrintRow("marker removed", "buffered", tallies[kMarkerBuffered]);
  return 0;
}

}  // namespace
}  // namespace jpegdec::test

int main(int argc, char** argv) {
  const int byteCases = argc > 1 ? std::atoi(argv[1]) : jpegdec::test::kDefaultByteCases;
  const int markerCases = argc > 2 ? std::atoi(argv[2]) : jpegdec::test::kDefaultMarkerCases;
  return jpegdec::test::Sweep(byteCases, markerCases);
}
