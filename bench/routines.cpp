// Which fast routines jpegdec picks on this processor (and, under Wine, what the emulated
// Windows reports), and what each level is worth: every file is decoded in streaming mode in
// 64 KiB pieces with the routines capped at plain, SSE2 and AVX2 in turn, up to the level the
// processor offers. Links the library statically to reach the test-only cap; everything else
// goes through the public calls, as in compare.
//
// Usage: routines [--runs N] [--only LEVEL] [FILE.jpg...]
//   without files it only prints the level; --runs: timed samples per file and level (default 5);
//   --only plain|SSE2|AVX2: time that level alone (for a profiler)
#include <algorithm>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <vector>

#include "cpu_time.h"
#include "decoder/cpu_dispatch.h"
#include "decoder/cpu_dispatch_testing.h"
#include "jpeg_info.h"
#include "jpegdec/jpegdec.h"
#include "jpegdec_peer.h"

namespace jpegdec::bench {
namespace {

constexpr std::size_t kPiece = 65536;
constexpr double kMinSampleSeconds = 0.5;  // Wine's process clock advances in 20 ms steps
const char* const kLevelNames[] = {"plain", "SSE2", "AVX2"};

bool ReadFile(const char* path, std::vector<std::uint8_t>* data) {
  std::FILE* f = std::fopen(path, "rb");
  if (f == nullptr) {
    return false;
  }
  std::uint8_t chunk[65536];
  std::size_t n;
  while ((n = std::fread(chunk, 1, sizeof chunk, f)) > 0) {
    data->insert(data->end(), chunk, chunk + n);
  }
  const bool ok = std::ferror(f) == 0;
  std::fclose(f);
  return ok;
}

bool DecodeOnce(const std::vector<std::uint8_t>& data, const JpegInfo& info) {
  PeerOutput out = {};
  return JpegdecDecode(data.data(), data.size(), JPEGDEC_MODE_STREAMING, kPiece, info.width,
                       info.height, &out) == 1 &&
         out.rows == info.height;
}

// Median seconds of one decode over `runs` samples of enough decodes to outlast the coarse
// clock; negative when a decode fails.
double TimeDecode(const std::vector<std::uint8_t>& data, const JpegInfo& info, int runs) {
  const double warmStart = ProcessCpuSeconds();
  if (!DecodeOnce(data, info)) {
    return -1;
  }
  const double estimate = std::max(ProcessCpuSeconds() - warmStart, kMinSampleSeconds / 1000);
  const int repetitions = std::max(1, static_cast<int>(kMinSampleSeconds / estimate + 0.999));
  std::vector<double> samples;
  for (int run = 0; run < runs; ++run) {
    const double start = ProcessCpuSeconds();
    for (int i = 0; i < repetitions; ++i) {
      if (!DecodeOnce(data, info)) {
        return -1;
      }
    }
    samples.push_back((ProcessCpuSeconds() - start) / repetitions);
  }
  std::sort(samples.begin(), samples.end());
  return samples[samples.size() / 2];
}

int Main(int argc, char** argv) {
  int runs = 5;
  int only = -1;
  std::vector<const char*> files;
  for (int i = 1; i < argc; ++i) {
    const std::string a = argv[i];
    if (a == "--runs" && i + 1 < argc) {
      runs = std::max(1, std::atoi(argv[++i]));
    } else if (a == "--only" && i + 1 < argc) {
      const std::string name = argv[++i];
      for (int level = kRoutinesPlain; level <= kRoutinesAvx2; ++level) {
        only = name == kLevelNames[level] ? level : only;
      }
      if (only < 0) {
        std::fprintf(stderr, "routines: --only takes plain, SSE2 or AVX2\n");
        return 2;
      }
    } else {
      files.push_back(argv[i]);
    }
  }
  const std::uint8_t level = DetectRoutineLevel();
  std::printf("jpegdec routines on this processor: %s\n", kLevelNames[level]);
  if (files.empty()) {
    return 0;
  }
  InitializeJpegDec();
  std::printf("\n| image | %s |\n|---|", "plain MP/s | SSE2 MP/s | AVX2 MP/s");
  std::printf("---:|---:|---:|\n");
  int status = 0;
  for (const char* path : files) {
    std::vector<std::uint8_t> data;
    JpegInfo info;
    if (!ReadFile(path, &data) || !ReadJpegInfo(data.data(), data.size(), &info)) {
      std::fprintf(stderr, "routines: cannot read %s\n", path);
      status = 1;
      continue;
    }
    const std::string name(path);
    std::printf("| %s |", name.substr(name.find_last_of("/\\") + 1).c_str());
    const double megapixels = static_cast<double>(info.width) * info.height / 1e6;
    for (std::uint8_t cap = kRoutinesPlain; cap <= kRoutinesAvx2; ++cap) {
      if (cap > level || (only >= 0 && cap != only)) {
        std::printf(" - |");
        continue;
      }
      LimitRoutineLevel(cap);
      const double seconds = TimeDecode(data, info, runs);
      if (seconds < 0) {
        std::printf(" failed |");
        status = 1;
      } else {
        std::printf(" %.1f |", megapixels / seconds);
      }
      std::fflush(stdout);
    }
    std::printf("\n");
  }
  LimitRoutineLevel(kRoutinesAvx2);
  UnInitializeJpegDec();
  return status;
}

}  // namespace
}  // namespace jpegdec::bench

int main(int argc, char** argv) { return jpegdec::bench::Main(argc, argv); }
