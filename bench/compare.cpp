// Side-by-side decoding speed and memory: jpegdec (streaming in 64 KiB, 4 KiB and 1-byte pieces,
// buffered, and GDI+ on Windows) against libjpeg-turbo (box/integer, defaults, and fed through a
// suspending source in the same pieces) and stb_image, single-threaded, each file held in
// memory. The decoders take turns: each timed round decodes the file once with every decoder, so
// a ratio is the median of ratios taken within one round, which a machine whose load drifts
// disturbs far less than medians taken minutes apart. Writes a Markdown table with the targets
// the decoder is held to (worst cell of each) and a CSV.
//
// Usage: compare [options] FILE.jpg...
//   --runs N         most timed runs per file and decoder (default 7)
//   --min-runs N     fewest timed runs (default 3)
//   --budget S       stop a file's rounds once --min-runs are done and its decodes took S
//                    seconds per decoder (default 8)
//   --min-sample S   time enough decodes together that one sample lasts S seconds (default 0;
//                    0.5 on Windows, whose process times advance in steps of 10-20 ms)
//   --decoders LIST  comma-separated decoder names (default: all this build has)
//   --markdown FILE  write the tables there (default: standard output)
//   --csv FILE       write one line per file and decoder there
//   --no-verify      skip the untimed pass that checks pixels and measures memory
//   --wall           time with the wall clock (default: the process's CPU time, which other
//                    processes on a busy machine disturb far less)
//   --list           print the decoder names and exit
//   --level L        compare_levels only (the library's core linked in, with the tests' cap on
//                    the fast routines): hold jpegdec to SSE2 or AVX2 (sse2, avx2), as a
//                    processor without AVX2 runs it; libjpeg-turbo is held to its SSE2 routines
//                    by its own JSIMD_FORCESSE2=1 environment variable (scripts/bench.sh --sse2)
#include <algorithm>
#include <chrono>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <string>
#include <vector>

#if defined(JPEGDEC_BENCH_LEVEL_SWITCH)
#include "decoder/cpu_dispatch.h"
#include "decoder/cpu_dispatch_testing.h"
#endif
#include "cpu_time.h"
#include "heap_counter.h"
#include "jpeg_info.h"
#include "jpegdec/jpegdec.h"
#include "jpegdec_peer.h"
#include "peers.h"

namespace jpegdec::bench {
namespace {

constexpr std::size_t k64KiB = 65536;
constexpr std::size_t k4KiB = 4096;

enum class Kind { kJpegdec, kLibjpeg, kStb };

struct Decoder {
  const char* name;
  const char* description;
  Kind kind;
  int mode;           // jpegdec: JPEGDEC_MODE_...; libjpeg: 1 = defaults, 0 = box/integer
  std::size_t piece;  // streaming and suspending sources: bytes per piece (0 = whole file)
};

const Decoder kDecoders[] = {
    {"jpegdec-s64k", "jpegdec mode 3, 64 KiB pieces", Kind::kJpegdec, JPEGDEC_MODE_STREAMING,
     k64KiB},
    {"jpegdec-s4k", "jpegdec mode 3, 4 KiB pieces", Kind::kJpegdec, JPEGDEC_MODE_STREAMING, k4KiB},
    {"jpegdec-s1", "jpegdec mode 3, 1-byte pieces", Kind::kJpegdec, JPEGDEC_MODE_STREAMING, 1},
    {"jpegdec-buf", "jpegdec mode 2 (buffered)", Kind::kJpegdec, JPEGDEC_MODE_BUFFERED, 0},
#if defined(_WIN32)
    {"gdiplus", "jpegdec mode 1 (GDI+)", Kind::kJpegdec, JPEGDEC_MODE_GDIPLUS, 0},
#endif
#if defined(JPEGDEC_BENCH_HAVE_LIBJPEG)
    {"ljt-box", "libjpeg-turbo, integer DCT, box upsampling", Kind::kLibjpeg, 0, 0},
    {"ljt-default", "libjpeg-turbo, defaults (fancy upsampling)", Kind::kLibjpeg, 1, 0},
    {"ljt-susp-64k", "libjpeg-turbo box/integer, suspending source, 64 KiB pieces", Kind::kLibjpeg,
     0, k64KiB},
    {"ljt-susp-4k", "libjpeg-turbo box/integer, suspending source, 4 KiB pieces", Kind::kLibjpeg, 0,
     k4KiB},
    {"ljt-susp-1", "libjpeg-turbo box/integer, suspending source, 1-byte pieces", Kind::kLibjpeg, 0,
     1},
#endif
#if defined(JPEGDEC_BENCH_HAVE_STB)
    {"stb", "stb_image", Kind::kStb, 0, 0},
#endif
};

struct Options {
  int maxRuns = 7;
  int minRuns = 3;
  double budgetSeconds = 8.0;
#if defined(_WIN32)
  double minSampleSeconds = 0.5;  // process times advance in steps of 10-20 ms (Wine: 20)
#else
  double minSampleSeconds = 0.0;
#endif
  std::vector<const Decoder*> decoders;
  std::string markdownPath;
  std::string csvPath;
  bool verify = true;
  bool wallClock = false;
  std::string level;  // --level: "" (the processor's), "sse2" or "avx2"
  std::vector<std::string> files;
};

// Seconds on the clock the options ask for: the process's CPU time (user and system), or the
// wall clock.
double Now(bool wallClock) {
  if (!wallClock) {
    if (const double cpu = ProcessCpuSeconds(); cpu >= 0) {
      return cpu;
    }
  }
  return std::chrono::duration<double>(std::chrono::steady_clock::now().time_since_epoch()).count();
}

const char* ClockName(bool wallClock) {
#if defined(_WIN32)
  return wallClock ? "wall clock" : "process CPU time, which advances in steps of 10-20 ms";
#else
  return wallClock ? "wall clock" : "process CPU time";
#endif
}

struct Cell {
  const Decoder* decoder = nullptr;
  bool ok = false;
  std::vector<double> seconds;  // per decode, one entry per timed sample
  int repetitions = 1;          // decodes per timed sample
  double medianMps = 0;
  double minMps = 0;
  double maxMps = 0;
  double ratio = 0;         // median of the rounds' ratios to the yardstick (its time / this time)
  double ratioOwn64k = 0;   // the same against jpegdec's own 64 KiB streaming
  double ratioGdiplus = 0;  // the same against GDI+ (Windows)
  bool haveMemory = false;
  std::size_t peakBytes = 0;
  bool verified = false;
  int maxDiff = -1;      // largest sample difference from the reference image; -1 not compared
  double diffShare = 0;  // share of samples that differ at all
};

struct FileResult {
  std::string name;
  JpegInfo info;
  std::size_t bytes = 0;
  std::vector<Cell> cells;
};

bool ReadFile(const std::string& path, std::vector<std::uint8_t>* data) {
  std::unique_ptr<std::FILE, int (*)(std::FILE*)> file(std::fopen(path.c_str(), "rb"), std::fclose);
  if (!file) {
    return false;
  }
  std::uint8_t chunk[65536];
  std::size_t n;
  while ((n = std::fread(chunk, 1, sizeof chunk, file.get())) > 0) {
    data->insert(data->end(), chunk, chunk + n);
  }
  return std::ferror(file.get()) == 0;
}

int Run(const Decoder& d, const std::vector<std::uint8_t>& data, const JpegInfo& info,
        PeerOutput* out) {
  switch (d.kind) {
    case Kind::kJpegdec:
      return JpegdecDecode(data.data(), data.size(), d.mode, d.piece, info.width, info.height, out);
    case Kind::kLibjpeg:
#if defined(JPEGDEC_BENCH_HAVE_LIBJPEG)
      return LibjpegDecode(data.data(), data.size(), d.mode, d.piece, out);
#else
      return 0;
#endif
    case Kind::kStb:
#if defined(JPEGDEC_BENCH_HAVE_STB)
      return StbDecode(data.data(), data.size(), out);
#else
      return 0;
#endif
  }
  return 0;
}

std::string Basename(const std::string& path) {
  const std::size_t slash = path.find_last_of("/\\");
  return slash == std::string::npos ? path : path.substr(slash + 1);
}

double Median(std::vector<double> v) {
  std::sort(v.begin(), v.end());
  const std::size_t n = v.size();
  return n % 2 == 1 ? v[n / 2] : (v[n / 2 - 1] + v[n / 2]) / 2;
}

// The untimed pass: decodes once into a whole image (checking rows and pixels against the
// reference image when there is one) and measures the heap high-water mark of the decode.
void VerifyAndMeasure(const std::vector<std::uint8_t>& data, const JpegInfo& info,
                      const std::vector<std::uint8_t>* reference, Cell* cell,
                      std::vector<std::uint8_t>* image) {
  const std::size_t stride = static_cast<std::size_t>(info.width) * info.components;
  image->assign(stride * info.height, 0);
  PeerOutput out = {};
  out.image = image->data();
  out.stride = stride;
  out.imageRows = info.height;
  const std::size_t live = HeapCounterLive();
  HeapCounterReset();
  const int ok = Run(*cell->decoder, data, info, &out);
  cell->peakBytes = HeapCounterPeak() - live;
  cell->haveMemory = HeapCounterAvailable() != 0;
  cell->ok = ok == 1 && out.rows == info.height;
  if (!cell->ok) {
    std::fprintf(stderr, " [%s after %u of %u rows]", ok == 1 ? "ended" : "failed", out.rows,
                 info.height);
  }
  if (!cell->ok || reference == nullptr) {
    return;
  }
  // Padded rows (GDI+) are compared on their first width x components bytes; an 8-bit GDI+
  // result of a grey page is left unchecked, its rows being padded differently.
  if (out.rowBytes < stride || (cell->decoder->mode == JPEGDEC_MODE_GDIPLUS &&
                                cell->decoder->kind == Kind::kJpegdec && info.components == 1)) {
    return;
  }
  int maxDiff = 0;
  std::size_t differ = 0;
  for (std::size_t i = 0; i < image->size(); ++i) {
    const int d = std::abs(static_cast<int>((*image)[i]) - static_cast<int>((*reference)[i]));
    maxDiff = std::max(maxDiff, d);
    differ += d != 0 ? 1u : 0u;
  }
  cell->verified = true;
  cell->maxDiff = maxDiff;
  cell->diffShare = static_cast<double>(differ) / static_cast<double>(image->size());
}

// One untimed decode first: it warms the caches and tells how many decodes one timed sample
// needs to last --min-sample seconds (for coarse clocks).
void WarmCell(const Options& options, const std::vector<std::uint8_t>& data, const JpegInfo& info,
              Cell* cell) {
  PeerOutput warm = {};
  const double warmStart = Now(options.wallClock);
  const int warmOk = Run(*cell->decoder, data, info, &warm);
  const double estimate = Now(options.wallClock) - warmStart;
  cell->ok = warmOk == 1 && warm.rows == info.height;
  cell->repetitions = 1;
  if (cell->ok && estimate < options.minSampleSeconds) {
    cell->repetitions = static_cast<int>(
        std::ceil(options.minSampleSeconds / std::max(estimate, options.minSampleSeconds / 1000)));
  }
}

// One timed sample of a cell: its seconds per decode, or a negative number when a decode failed.
double TimeSample(const Options& options, const std::vector<std::uint8_t>& data,
                  const JpegInfo& info, const Cell& cell) {
  const double start = Now(options.wallClock);
  for (int i = 0; i < cell.repetitions; ++i) {
    PeerOutput out = {};
    const int ok = Run(*cell.decoder, data, info, &out);
    if (ok != 1 || out.rows != info.height) {
      return -1;
    }
  }
  return (Now(options.wallClock) - start) / cell.repetitions;
}

// Times every working cell of a file in rounds, one sample of each cell per round, until
// --runs rounds, or --min-runs once the file's decodes took --budget seconds per cell.
void TimeFile(const Options& options, const std::vector<std::uint8_t>& data, const JpegInfo& info,
              std::vector<Cell>* cells) {
  for (Cell& c : *cells) {
    if (c.ok) {
      WarmCell(options, data, info, &c);
    }
  }
  double total = 0;
  for (int run = 0; run < options.maxRuns; ++run) {
    if (run >= options.minRuns &&
        total > options.budgetSeconds * static_cast<double>(cells->size())) {
      break;
    }
    bool slow = false;
    for (Cell& c : *cells) {
      if (!c.ok) {
        continue;
      }
      const double s = TimeSample(options, data, info, c);
      if (s < 0) {
        c.ok = false;
        continue;
      }
      c.seconds.push_back(s);
      total += s * c.repetitions;
      // A decode that takes longer than three budgets is timed once.
      slow = slow || s > 3 * options.budgetSeconds;
    }
    if (run == 0 && slow) {
      break;
    }
  }
  const double megapixels = static_cast<double>(info.width) * info.height / 1e6;
  for (Cell& c : *cells) {
    if (!c.ok || c.seconds.empty()) {
      c.ok = false;
      continue;
    }
    c.medianMps = megapixels / Median(c.seconds);
    c.minMps = megapixels / *std::max_element(c.seconds.begin(), c.seconds.end());
    c.maxMps = megapixels / *std::min_element(c.seconds.begin(), c.seconds.end());
  }
}

// The median of the rounds' ratios base time / cell time (how many times faster the cell is).
double PairedRatio(const Cell* base, const Cell& cell) {
  if (base == nullptr || !base->ok || !cell.ok) {
    return 0;
  }
  std::vector<double> ratios;
  for (std::size_t i = 0; i < cell.seconds.size() && i < base->seconds.size(); ++i) {
    ratios.push_back(base->seconds[i] / cell.seconds[i]);
  }
  return ratios.empty() ? 0 : Median(ratios);
}

std::string Fixed(double v, int digits) {
  char text[64];
  std::snprintf(text, sizeof text, "%.*f", digits, v);
  return text;
}

std::string Mps(double v) { return Fixed(v, v < 10 ? 2 : 1); }

std::string DiffText(const Cell& c) {
  if (!c.verified) {
    return "-";
  }
  if (c.maxDiff == 0) {
    return "exact";
  }
  return std::to_string(c.maxDiff) + " (" + Fixed(100 * c.diffShare, 2) + "%)";
}

std::string MemoryText(const Cell& c) {
  return c.haveMemory ? Fixed(static_cast<double>(c.peakBytes) / 1024, 0) : "-";
}

// The ratios the decoder is held to. Each is the worst of its cells on a file: the median of
// the rounds' ratios of a jpegdec cell to its base.
enum class Base { kYardstick, kOwn64k, kGdiplus };

struct Target {
  const char* title;
  const char* column;    // the per-file table's heading
  const char* cells[2];  // jpegdec decoders whose ratios count (nullptr: none)
  Base base;
  double least;
  bool colourOnly;
};

#if defined(_WIN32)
constexpr double kLeastToLibjpeg = 1.10;
#else
constexpr double kLeastToLibjpeg = 1.15;
#endif
// Both held to their SSE2 routines (--level sse2), natively and in the DLL alike.
constexpr double kLeastToLibjpegAtSse2 = 1.10;

const Target kTargets[] = {
    {"streaming in pieces of 4 KiB and more, × libjpeg-turbo box/integer",
     "4 KiB+ × libjpeg-turbo",
     {"jpegdec-s4k", "jpegdec-s64k"},
     Base::kYardstick,
     kLeastToLibjpeg,
     false},
#if defined(_WIN32)
    {"streaming in pieces of 4 KiB and more, × GDI+, colour images",
     "4 KiB+ × GDI+",
     {"jpegdec-s4k", "jpegdec-s64k"},
     Base::kGdiplus,
     5.0,
     true},
#endif
    {"1-byte pieces, × own 64 KiB pieces",
     "1 byte × own 64 KiB",
     {"jpegdec-s1", nullptr},
     Base::kOwn64k,
     0.35,
     false},
};

// The ratio a target asks for; against libjpeg-turbo it depends on the routine level.
double Least(const Target& t, bool sse2Level) {
  return t.base == Base::kYardstick && sse2Level ? kLeastToLibjpegAtSse2 : t.least;
}

// The worst ratio of a target on one file (0 when none of its cells was timed), and which cell.
double TargetRatio(const Target& t, const FileResult& r, const Decoder* yardstick,
                   const char** worstCell) {
  double worst = 0;
  for (const Cell& c : r.cells) {
    const bool counts = (t.cells[0] != nullptr && std::strcmp(c.decoder->name, t.cells[0]) == 0) ||
                        (t.cells[1] != nullptr && std::strcmp(c.decoder->name, t.cells[1]) == 0);
    if (!counts || !c.ok || (t.base == Base::kYardstick && yardstick->kind != Kind::kLibjpeg)) {
      continue;
    }
    const double ratio = t.base == Base::kYardstick ? c.ratio
                         : t.base == Base::kOwn64k  ? c.ratioOwn64k
                                                    : c.ratioGdiplus;
    if (ratio > 0 && (worst == 0 || ratio < worst)) {
      worst = ratio;
      *worstCell = c.decoder->name;
    }
  }
  return worst;
}

void WriteTargets(std::FILE* f, const std::vector<FileResult>& results, const Decoder* yardstick,
                  bool sse2Level) {
  std::fprintf(f,
               "### Targets\n\nEach ratio is the median of the rounds' ratios (the decoders take "
               "turns on a file); a file's figure is its worst cell.\n\n"
               "| target | at least | files met | worst cell |\n|---|---:|---:|---|\n");
  for (const Target& t : kTargets) {
    int met = 0;
    int measured = 0;
    double worst = 0;
    std::string where = "-";
    for (const FileResult& r : results) {
      if (t.colourOnly && r.info.components < 3) {
        continue;
      }
      const char* cell = "";
      const double ratio = TargetRatio(t, r, yardstick, &cell);
      if (ratio == 0) {
        continue;
      }
      ++measured;
      met += ratio >= Least(t, sse2Level) ? 1 : 0;
      if (worst == 0 || ratio < worst) {
        worst = ratio;
        where = r.name + ", " + cell + ": " + Fixed(ratio, 2) + "×";
      }
    }
    std::fprintf(f, "| %s | %s× | %d of %d | %s |\n", t.title,
                 Fixed(Least(t, sse2Level), 2).c_str(), met, measured, where.c_str());
  }
  std::fprintf(f, "\n| image |");
  for (const Target& t : kTargets) {
    std::fprintf(f, " %s (≥ %s×) |", t.column, Fixed(Least(t, sse2Level), 2).c_str());
  }
  std::fprintf(f, "\n|---|");
  for (std::size_t i = 0; i < std::size(kTargets); ++i) {
    std::fprintf(f, "---:|");
  }
  std::fprintf(f, "\n");
  for (const FileResult& r : results) {
    std::fprintf(f, "| %s |", r.name.c_str());
    for (const Target& t : kTargets) {
      const char* cell = "";
      const double ratio =
          t.colourOnly && r.info.components < 3 ? 0 : TargetRatio(t, r, yardstick, &cell);
      if (ratio == 0) {
        std::fprintf(f, " - |");
      } else {
        std::fprintf(f, " %s%s |", Fixed(ratio, 2).c_str(),
                     ratio >= Least(t, sse2Level) ? "" : " (below)");
      }
    }
    std::fprintf(f, "\n");
  }
  std::fprintf(f, "\n");
}

// What --level held each decoder to: jpegdec's cap and the level it reached on this processor,
// and whether libjpeg-turbo was asked for its SSE2 routines.
std::string LevelNote(const Options& options) {
  std::string note = "jpegdec held to " + options.level;
#if defined(JPEGDEC_BENCH_LEVEL_SWITCH)
  const char* const kNames[] = {"plain", "SSE2", "AVX2"};
  note += std::string(" (runs ") + kNames[DetectRoutineLevel()] + " here)";
#endif
  const char* forced = std::getenv("JSIMD_FORCESSE2");
  note += forced != nullptr && std::strcmp(forced, "1") == 0
              ? "; libjpeg-turbo held to its SSE2 routines (JSIMD_FORCESSE2=1)"
              : "; libjpeg-turbo with the best routines it finds";
  return note;
}

void WriteMarkdown(std::FILE* f, const Options& options, const std::vector<FileResult>& results,
                   const Decoder* yardstick, const Decoder* pixelReference) {
  std::fprintf(f,
               "Megapixels per second: median of the timed runs (%s; one untimed decode "
               "first; a run of n×k times k decodes together), min and max beside it; "
               "peak heap: high-water mark of live heap bytes during one decode, %s.\n\n",
               ClockName(options.wallClock),
               HeapCounterAvailable() != 0
                   ? "counted by the tool's own malloc/free (every library in the process "
                     "allocates through it; blocks at their usable size; the input file, held "
                     "before the decode, is not included)"
                   : "not measured in this build");
  if (!options.level.empty()) {
    std::fprintf(f, "Routine levels: %s.\n\n", LevelNote(options).c_str());
  }
  WriteTargets(f, results, yardstick, options.level == "sse2");
  std::fprintf(f, "### Throughput, median MP/s (ratio to %s)\n\n| image |", yardstick->name);
  for (const Decoder* d : options.decoders) {
    std::fprintf(f, " %s |", d->name);
  }
  std::fprintf(f, "\n|---|");
  for (std::size_t i = 0; i < options.decoders.size(); ++i) {
    std::fprintf(f, "---:|");
  }
  std::fprintf(f, "\n");
  for (const FileResult& r : results) {
    std::fprintf(f, "| %s |", r.name.c_str());
    for (const Cell& c : r.cells) {
      if (c.ok) {
        std::fprintf(f, " %s (%s×) |", Mps(c.medianMps).c_str(), Fixed(c.ratio, 2).c_str());
      } else {
        std::fprintf(f, " failed |");
      }
    }
    std::fprintf(f, "\n");
  }

  std::fprintf(f,
               "\n### Every file and decoder\n\n"
               "| image | pixels | KiB | decoder | median MP/s | min | max | runs | × %s | "
               "peak heap KiB | max diff from %s (share) |\n"
               "|---|---|---:|---|---:|---:|---:|---:|---:|---:|---|\n",
               yardstick->name, pixelReference != nullptr ? pixelReference->name : "-");
  for (const FileResult& r : results) {
    for (const Cell& c : r.cells) {
      std::fprintf(f, "| %s | %ux%u %s%s | %zu | %s |", r.name.c_str(), r.info.width, r.info.height,
                   r.info.sampling.c_str(), r.info.restartInterval != 0 ? " rst" : "",
                   r.bytes / 1024, c.decoder->name);
      if (c.ok) {
        const std::string runs = std::to_string(c.seconds.size()) +
                                 (c.repetitions > 1 ? "×" + std::to_string(c.repetitions) : "");
        std::fprintf(f, " %s | %s | %s | %s | %s | %s | %s |\n", Mps(c.medianMps).c_str(),
                     Mps(c.minMps).c_str(), Mps(c.maxMps).c_str(), runs.c_str(),
                     Fixed(c.ratio, 2).c_str(), MemoryText(c).c_str(), DiffText(c).c_str());
      } else {
        std::fprintf(f, " failed | | | | | %s | |\n", MemoryText(c).c_str());
      }
    }
  }
  std::fprintf(f, "\nDecoders:\n\n");
  for (const Decoder* d : options.decoders) {
    std::fprintf(f, "- `%s`: %s\n", d->name, d->description);
  }
}

void WriteCsv(std::FILE* f, const std::vector<FileResult>& results) {
  std::fprintf(f,
               "image,width,height,components,sampling,restart_interval,bytes,decoder,ok,runs,"
               "decodes_per_run,median_mps,min_mps,max_mps,ratio,ratio_own_64k,ratio_gdiplus,"
               "peak_heap_bytes,max_diff,diff_share\n");
  for (const FileResult& r : results) {
    for (const Cell& c : r.cells) {
      // The sampling is quoted: the factors of uncommon layouts are listed with commas.
      std::fprintf(
          f, "%s,%u,%u,%u,\"%s\",%u,%zu,%s,%d,%zu,%d,%.3f,%.3f,%.3f,%.4f,%.4f,%.4f,%s,%d,%.6f\n",
          r.name.c_str(), r.info.width, r.info.height, r.info.components, r.info.sampling.c_str(),
          r.info.restartInterval, r.bytes, c.decoder->name, c.ok ? 1 : 0, c.seconds.size(),
          c.repetitions, c.medianMps, c.minMps, c.maxMps, c.ratio, c.ratioOwn64k, c.ratioGdiplus,
          c.haveMemory ? std::to_string(c.peakBytes).c_str() : "", c.maxDiff, c.diffShare);
    }
  }
}

bool ParseOptions(int argc, char** argv, Options* o) {
  std::string decoderList;
  for (int i = 1; i < argc; ++i) {
    const std::string a = argv[i];
    const bool hasValue = i + 1 < argc;
    if (a == "--runs" && hasValue) {
      o->maxRuns = std::max(1, std::atoi(argv[++i]));
    } else if (a == "--min-runs" && hasValue) {
      o->minRuns = std::max(1, std::atoi(argv[++i]));
    } else if (a == "--budget" && hasValue) {
      o->budgetSeconds = std::atof(argv[++i]);
    } else if (a == "--min-sample" && hasValue) {
      o->minSampleSeconds = std::atof(argv[++i]);
    } else if (a == "--decoders" && hasValue) {
      decoderList = argv[++i];
    } else if (a == "--markdown" && hasValue) {
      o->markdownPath = argv[++i];
    } else if (a == "--csv" && hasValue) {
      o->csvPath = argv[++i];
    } else if (a == "--wall") {
      o->wallClock = true;
    } else if (a == "--level" && hasValue) {
      o->level = argv[++i];
      if (o->level != "sse2" && o->level != "avx2") {
        std::fprintf(stderr, "compare: --level takes sse2 or avx2, not %s\n", o->level.c_str());
        return false;
      }
#if !defined(JPEGDEC_BENCH_LEVEL_SWITCH)
      std::fprintf(stderr,
                   "compare: this build links the shipped library, which has no level "
                   "switch: use compare_levels\n");
      return false;
#endif
    } else if (a == "--no-verify") {
      o->verify = false;
    } else if (a == "--list") {
      for (const Decoder& d : kDecoders) {
        std::printf("%-14s %s\n", d.name, d.description);
      }
      std::exit(0);
    } else if (!a.empty() && a[0] == '-') {
      std::fprintf(stderr, "compare: unknown option %s\n", a.c_str());
      return false;
    } else {
      o->files.push_back(a);
    }
  }
  o->minRuns = std::min(o->minRuns, o->maxRuns);
  if (decoderList.empty()) {
    for (const Decoder& d : kDecoders) {
      o->decoders.push_back(&d);
    }
  } else {
    std::size_t start = 0;
    while (start <= decoderList.size()) {
      std::size_t comma = decoderList.find(',', start);
      if (comma == std::string::npos) {
        comma = decoderList.size();
      }
      const std::string name = decoderList.substr(start, comma - start);
      const auto found = std::find_if(std::begin(kDecoders), std::end(kDecoders),
                                      [&](const Decoder& d) { return name == d.name; });
      if (found == std::end(kDecoders)) {
        std::fprintf(stderr, "compare: no decoder %s in this build (see --list)\n", name.c_str());
        return false;
      }
      o->decoders.push_back(&*found);
      start = comma + 1;
    }
  }
  if (o->files.empty()) {
    std::fprintf(stderr, "usage: compare [options] FILE.jpg... (see the top of compare.cpp)\n");
    return false;
  }
  return true;
}

int Main(int argc, char** argv) {
  Options options;
  if (!ParseOptions(argc, argv, &options)) {
    return 2;
  }
#if defined(JPEGDEC_BENCH_LEVEL_SWITCH)
  if (!options.level.empty()) {
    LimitRoutineLevel(options.level == "sse2" ? kRoutinesSse2 : kRoutinesAvx2);
    std::fprintf(stderr, "compare: %s\n", LevelNote(options).c_str());
  }
#endif
  // Ratios are taken against libjpeg-turbo box/integer when this build has it, else against
  // GDI+ (the Windows peer), else against the first decoder.
  const Decoder* yardstick = options.decoders.front();
  for (const Decoder* d : options.decoders) {
    if (d->kind == Kind::kJpegdec && d->mode == JPEGDEC_MODE_GDIPLUS) {
      yardstick = d;
    }
  }
  for (const Decoder* d : options.decoders) {
    if (d->kind == Kind::kLibjpeg && d->mode == 0 && d->piece == 0) {
      yardstick = d;
    }
  }
  // Pixels are checked against libjpeg-turbo box/integer (the reference of the library's
  // tolerance) when this build has it; otherwise against jpegdec's own first native mode, which
  // checks that every mode and piece size gives the same rows.
  const Decoder* pixelReference = nullptr;
  for (const Decoder* d : options.decoders) {
    if (pixelReference == nullptr && d->kind == Kind::kJpegdec && d->mode != JPEGDEC_MODE_GDIPLUS) {
      pixelReference = d;
    }
  }
  for (const Decoder* d : options.decoders) {
    if (d->kind == Kind::kLibjpeg && d->mode == 0 && d->piece == 0) {
      pixelReference = d;
    }
  }
  InitializeJpegDec();
  std::vector<FileResult> results;
  bool allOk = true;
  for (const std::string& path : options.files) {
    std::vector<std::uint8_t> data;
    FileResult r;
    r.name = Basename(path);
    if (!ReadFile(path, &data) || !ReadJpegInfo(data.data(), data.size(), &r.info)) {
      std::fprintf(stderr, "compare: cannot read the frame header of %s\n", path.c_str());
      return 1;
    }
    r.bytes = data.size();
    std::vector<std::uint8_t> reference;
    std::vector<std::uint8_t> image;
    if (options.verify && pixelReference != nullptr) {
      Cell c;
      c.decoder = pixelReference;
      VerifyAndMeasure(data, r.info, nullptr, &c, &reference);
      if (!c.ok) {
        reference.clear();
      }
    }
    for (const Decoder* d : options.decoders) {
      Cell c;
      c.decoder = d;
      if (options.verify) {
        VerifyAndMeasure(data, r.info, reference.empty() ? nullptr : &reference, &c, &image);
      } else {
        c.ok = true;
      }
      r.cells.push_back(std::move(c));
    }
    std::fprintf(stderr, "%s:", r.name.c_str());
    std::fflush(stderr);
    TimeFile(options, data, r.info, &r.cells);
    const auto find = [&r](const Decoder* d) -> const Cell* {
      for (const Cell& c : r.cells) {
        if (c.decoder == d && c.ok) {
          return &c;
        }
      }
      return nullptr;
    };
    const auto findNamed = [&](const char* name) -> const Cell* {
      for (const Cell& c : r.cells) {
        if (std::strcmp(c.decoder->name, name) == 0 && c.ok) {
          return &c;
        }
      }
      return nullptr;
    };
    for (Cell& c : r.cells) {
      c.ratio = PairedRatio(find(yardstick), c);
      c.ratioOwn64k = PairedRatio(findNamed("jpegdec-s64k"), c);
      c.ratioGdiplus = PairedRatio(findNamed("gdiplus"), c);
      if (c.ok) {
        std::fprintf(stderr, " %s %s", c.decoder->name, Mps(c.medianMps).c_str());
      } else {
        std::fprintf(stderr, " %s failed", c.decoder->name);
        allOk = false;
      }
    }
    std::fprintf(stderr, "\n");
    results.push_back(std::move(r));
  }
  UnInitializeJpegDec();

  std::FILE* md = stdout;
  if (!options.markdownPath.empty()) {
    md = std::fopen(options.markdownPath.c_str(), "w");
    if (md == nullptr) {
      std::fprintf(stderr, "compare: cannot write %s\n", options.markdownPath.c_str());
      return 1;
    }
  }
  WriteMarkdown(md, options, results, yardstick, options.verify ? pixelReference : nullptr);
  if (md != stdout) {
    std::fclose(md);
  }
  if (!options.csvPath.empty()) {
    std::FILE* csv = std::fopen(options.csvPath.c_str(), "w");
    if (csv == nullptr) {
      std::fprintf(stderr, "compare: cannot write %s\n", options.csvPath.c_str());
      return 1;
    }
    WriteCsv(csv, results);
    std::fclose(csv);
  }
  return allOk ? 0 : 1;
}

}  // namespace
}  // namespace jpegdec::bench

int main(int argc, char** argv) { return jpegdec::bench::Main(argc, argv); }
