// jpegdec: decodes a JPEG file through the library exactly as a scanner driver would, and writes
// the rows it receives as PNG, PPM, PGM or PAM.
#include <cerrno>
#include <chrono>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#if defined(_WIN32)
#include <io.h>
#else
#include <unistd.h>
#endif

#include "frame_probe.h"
#include "host_session.h"
#include "image_writer.h"
#include "jpegdec/jpegdec.h"

namespace jpegdec_cli {
namespace {

// Exit statuses.
constexpr int kExitOk = 0;
constexpr int kExitUsage = 1;
constexpr int kExitInput = 2;   // the input file cannot be read
constexpr int kExitDecode = 3;  // refused, failed or cut short
constexpr int kExitOutput = 4;  // the output cannot be written

// Images of at least this many pixels get a progress bar (when standard error is a terminal).
constexpr std::uint64_t kProgressPixels = 2000000;
constexpr int kProgressWidth = 40;

const char kUsage[] =
    "usage: jpegdec [options] INPUT.jpg OUTPUT.{png,ppm,pgm,pam}\n"
    "\n"
    "Decodes INPUT through the jpegdec library as a scanner driver does and writes the image;\n"
    "the output format follows OUTPUT's extension (PAM holds four-component images).\n"
    "\n"
    "  --mode MODE     auto, gdiplus, buffered or streaming (default auto)\n"
    "  --piece BYTES   bytes per Write (default 4096)\n"
    "  --divisor N     memory divisor passed to Start (default 1)\n"
    "  --stats         print rows, times, call counts, leftover bytes and the mode chosen\n"
    "  --quiet         print nothing but errors\n"
    "  --help          this text\n"
    "\n"
    "Exit status: 0 done, 1 usage, 2 unreadable input, 3 image refused or not decoded,\n"
    "4 output not written.\n";

struct Options {
  std::string input;
  std::string output;
  std::int32_t mode = JPEGDEC_MODE_AUTO;
  std::uint32_t piece = 4096;
  std::int32_t divisor = 1;
  bool stats = false;
  bool quiet = false;
};

bool ParseNumber(const char* text, long long low, long long high, long long* value) {
  char* end = nullptr;
  errno = 0;
  const long long parsed = std::strtoll(text, &end, 10);
  if (errno != 0 || end == text || *end != '\0' || parsed < low || parsed > high) {
    return false;
  }
  *value = parsed;
  return true;
}

bool ParseMode(const std::string& name, std::int32_t* mode) {
  static const struct {
    const char* name;
    std::int32_t mode;
  } kModes[] = {{"auto", JPEGDEC_MODE_AUTO},
                {"gdiplus", JPEGDEC_MODE_GDIPLUS},
                {"buffered", JPEGDEC_MODE_BUFFERED},
                {"streaming", JPEGDEC_MODE_STREAMING}};
  for (const auto& entry : kModes) {
    if (name == entry.name) {
      *mode = entry.mode;
      return true;
    }
  }
  return false;
}

// Returns -1 when the arguments are good, else the exit status.
int ParseArguments(int argc, char** argv, Options* options) {
  std::vector<std::string> files;
  for (int i = 1; i < argc; ++i) {
    const std::string arg = argv[i];
    const bool hasValue = i + 1 < argc;
    long long number = 0;
    if (arg == "--help" || arg == "-h") {
      std::fputs(kUsage, stdout);
      return kExitOk;
    } else if (arg == "--stats") {
      options->stats = true;
    } else if (arg == "--quiet" || arg == "-q") {
      options->quiet = true;
    } else if (arg == "--mode" && hasValue) {
      if (!ParseMode(argv[++i], &options->mode)) {
        std::fprintf(stderr, "jpegdec: unknown mode '%s' (auto, gdiplus, buffered, streaming)\n",
                     argv[i]);
        return kExitUsage;
      }
    } else if (arg == "--piece" && hasValue) {
      if (!ParseNumber(argv[++i], 1, 0x7FFFFFFF, &number)) {
        std::fprintf(stderr, "jpegdec: --piece needs a byte count from 1 up, not '%s'\n", argv[i]);
        return kExitUsage;
      }
      options->piece = static_cast<std::uint32_t>(number);
    } else if (arg == "--divisor" && hasValue) {
      if (!ParseNumber(argv[++i], 1, 0x7FFFFFFF, &number)) {
        std::fprintf(stderr, "jpegdec: --divisor needs a positive number, not '%s'\n", argv[i]);
        return kExitUsage;
      }
      options->divisor = static_cast<std::int32_t>(number);
    } else if (arg.size() > 1 && arg[0] == '-') {
      std::fprintf(stderr, "jpegdec: unknown or incomplete option '%s'\n%s", arg.c_str(), kUsage);
      return kExitUsage;
    } else {
      files.push_back(arg);
    }
  }
  if (files.size() != 2) {
    std::fputs(kUsage, stderr);
    return kExitUsage;
  }
  options->input = files[0];
  options->output = files[1];
  return -1;
}

bool ReadWholeFile(const std::string& path, std::vector<std::uint8_t>* bytes, std::string* error) {
  std::FILE* file = std::fopen(path.c_str(), "rb");
  if (file == nullptr) {
    *error = std::strerror(errno);
    return false;
  }
  std::uint8_t chunk[65536];
  for (;;) {
    const std::size_t got = std::fread(chunk, 1, sizeof chunk, file);
    bytes->insert(bytes->end(), chunk, chunk + got);
    if (got < sizeof chunk) {
      break;
    }
  }
  const bool failed = std::ferror(file) != 0;
  std::fclose(file);
  if (failed) {
    *error = "read error";
    return false;
  }
  return true;
}

bool StderrIsTerminal() {
#if defined(_WIN32)
  return _isatty(_fileno(stderr)) != 0;
#else
  return isatty(fileno(stderr)) != 0;
#endif
}

// How the rows handed out map onto pixels. The streaming and buffered back-ends give the native
// decoder's rows (width x components bytes); the GDI+ back-end gives 24-bit R,G,B rows, or 8-bit
// grey rows, padded to a multiple of 4 bytes.
struct Layout {
  std::uint32_t channels = 0;
  std::string mode;  // the way the instance decoded, as far as the rows tell
  std::string problem;
};

Layout ChooseLayout(const Options& options, const SessionResult& session, const FrameInfo& frame) {
  Layout layout;
  const std::uint64_t width = frame.width;
  const std::uint64_t native = width * frame.components;
  const std::uint64_t padded24 = ((width * 24 + 7) / 8 + 3) / 4 * 4;
  const std::uint64_t padded8 = (width + 3) / 4 * 4;
  const std::uint64_t length = session.rowLength;
  if (session.end == SessionEnd::kStartFailed || session.end == SessionEnd::kNoInstance) {
    layout.mode = "none (not started)";
  } else if (session.isStreaming != 0) {
    layout.mode = "streaming";
  } else if (options.mode == JPEGDEC_MODE_BUFFERED) {
    layout.mode = "buffered";
  } else if (length == padded24 && length != native) {
    layout.mode = "gdiplus";
    layout.channels = 3;
  } else if (frame.components == 1 && length == padded8 && length != native) {
    layout.mode = "gdiplus";
    layout.channels = 1;
  } else if (length == native) {
    // Without padding the GDI+ rows of this width look like the native decoder's.
    const bool gdiplusAlike = (frame.components == 3 && length == padded24) ||
                              (frame.components == 1 && length == padded8);
    layout.mode = gdiplusAlike ? "gdiplus or buffered" : "buffered (GDI+ not available)";
  } else {
    layout.mode = "gdiplus or buffered";
  }
  if (layout.channels == 0) {
    if (session.rows > 0 && length != native) {
      layout.problem = "rows of " + std::to_string(length) + " bytes do not fit a " +
                       std::to_string(frame.width) + "-pixel row of " +
                       std::to_string(frame.components) + " components";
    }
    layout.channels = frame.components;
  }
  return layout;
}

// The rows without their padding.
Image MakeImage(const SessionResult& session, const FrameInfo& frame, std::uint32_t channels) {
  Image image;
  image.width = frame.width;
  image.height = session.rows;
  image.channels = channels;
  const std::size_t used = static_cast<std::size_t>(frame.width) * channels;
  image.pixels.reserve(used * session.rows);
  for (std::uint32_t y = 0; y < session.rows; ++y) {
    const auto* row = session.rowData.data() + static_cast<std::size_t>(y) * session.rowLength;
    image.pixels.insert(image.pixels.end(), row, row + used);
  }
  return image;
}

std::string WhyNotDecoded(const SessionResult& session, const FrameInfo& frame) {
  switch (session.end) {
    case SessionEnd::kNoInstance:
      return "the library could not create a decoder instance";
    case SessionEnd::kStartFailed:
      return "the decoder instance could not be started in this mode";
    case SessionEnd::kCutShort:
      return "the data ends early (" + std::to_string(session.rows) + " of " +
             std::to_string(frame.height) + " rows decoded)";
    case SessionEnd::kRunaway:
      return "the decoder did not come to an end";
    case SessionEnd::kFailed:
      break;
    case SessionEnd::kEnd:
      return "";
  }
  if (session.rows > 0) {
    return "decoding failed after " + std::to_string(session.rows) + " rows";
  }
  if (!frame.found) {
    return "refused: no JPEG frame header found";
  }
  if (frame.marker != 0xC0 && frame.marker != 0xC1) {
    char text[160];
    std::snprintf(text, sizeof text,
                  "refused: frame type 0x%02X (only baseline and extended sequential Huffman "
                  "JPEG, 0xC0 and 0xC1, are decoded)",
                  frame.marker);
    return text;
  }
  if (frame.precision != 8) {
    return "refused: " + std::to_string(frame.precision) + "-bit samples (only 8-bit)";
  }
  return "refused or not decodable";
}

class ProgressBar {
 public:
  ProgressBar(bool enabled, std::uint32_t total) : enabled_(enabled && total > 0), total_(total) {}
  void Update(std::uint32_t rows) {
    if (!enabled_) {
      return;
    }
    const std::uint64_t share = std::uint64_t{rows} * 100 / total_;
    const int percent = static_cast<int>(share > 100 ? 100 : share);
    if (percent == shown_) {
      return;
    }
    shown_ = percent;
    const int filled = percent * kProgressWidth / 100;
    std::fprintf(stderr, "\r[%.*s%*s] %3d%% %u/%u rows", filled,
                 "########################################", kProgressWidth - filled, "", percent,
                 rows, total_);
    std::fflush(stderr);
  }
  void Done() {
    if (enabled_ && shown_ >= 0) {
      std::fputc('\n', stderr);
    }
  }

 private:
  bool enabled_;
  std::uint32_t total_;
  int shown_ = -1;
};

int Run(const Options& options) {
  const Format format = FormatFromName(options.output);
  if (format == Format::kUnknown) {
    std::fprintf(stderr,
                 "jpegdec: cannot tell the output format of '%s' (use .png, .ppm, .pgm "
                 "or .pam)\n",
                 options.output.c_str());
    return kExitUsage;
  }
  if (!FormatAvailable(format)) {
    std::fprintf(stderr, "jpegdec: this build writes no %s; use .ppm, .pgm or .pam\n",
                 FormatName(format));
    return kExitUsage;
  }
  std::vector<std::uint8_t> file;
  std::string error;
  if (!ReadWholeFile(options.input, &file, &error)) {
    std::fprintf(stderr, "jpegdec: cannot read '%s': %s\n", options.input.c_str(), error.c_str());
    return kExitInput;
  }
  const FrameInfo frame = ProbeFrame(file);
  const bool large = std::uint64_t{frame.width} * frame.height >= kProgressPixels;
  ProgressBar progress(!options.quiet && large && StderrIsTerminal(), frame.height);

  SessionOptions session;
  session.mode = options.mode;
  session.divisor = options.divisor;
  session.piece = options.piece;
  session.width = frame.width;
  session.height = frame.height;
  session.onRow = [&progress](std::uint32_t rows) { progress.Update(rows); };
  const auto started = std::chrono::steady_clock::now();
  const SessionResult result = RunSession(file, session);
  const auto wallMs = std::chrono::duration_cast<std::chrono::milliseconds>(
                          std::chrono::steady_clock::now() - started)
                          .count();
  progress.Done();

  const Layout layout = ChooseLayout(options, result, frame);
  if (options.stats) {
    std::printf(
        "mode: %s\nrows: %u of %u bytes\nelapsed: %u ms in the library, %lld ms in all\n"
        "writes: %u (host: %llu, %llu refused)\nreads: %u (host: %llu)\nleftover: %u "
        "bytes after the end marker\n",
        layout.mode.c_str(), result.rows, result.rowLength, result.elapsedMs,
        static_cast<long long>(wallMs), result.writeCount,
        static_cast<unsigned long long>(result.writeCalls),
        static_cast<unsigned long long>(result.refusedWrites), result.readCount,
        static_cast<unsigned long long>(result.readCalls), result.leftover);
  }
  const std::string why = WhyNotDecoded(result, frame);
  if (!why.empty()) {
    std::fprintf(stderr, "jpegdec: %s: %s\n", options.input.c_str(), why.c_str());
    return kExitDecode;
  }
  if (result.rows == 0) {
    std::fprintf(stderr, "jpegdec: %s: the image has no rows\n", options.input.c_str());
    return kExitDecode;
  }
  if (!layout.problem.empty()) {
    std::fprintf(stderr, "jpegdec: %s: %s\n", options.input.c_str(), layout.problem.c_str());
    return kExitDecode;
  }
  const Image image = MakeImage(result, frame, layout.channels);
  const std::string problem = FormatProblem(format, image);
  if (!problem.empty()) {
    std::fprintf(stderr, "jpegdec: %s\n", problem.c_str());
    return kExitOutput;
  }
  if (!WriteImage(options.output, format, image, &error)) {
    std::fprintf(stderr, "jpegdec: %s\n", error.c_str());
    return kExitOutput;
  }
  if (!options.quiet) {
    std::printf("%s: %ux%u, %u component%s -> %s (%s)\n", options.input.c_str(), image.width,
                image.height, image.channels, image.channels == 1 ? "" : "s",
                options.output.c_str(), FormatName(format));
  }
  return kExitOk;
}

}  // namespace
}  // namespace jpegdec_cli

int main(int argc, char** argv) {
  jpegdec_cli::Options options;
  const int parsed = jpegdec_cli::ParseArguments(argc, argv, &options);
  if (parsed >= 0) {
    return parsed;
  }
  return jpegdec_cli::Run(options);
}
