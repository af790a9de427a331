// jpegdec: decodes a JPEG file through the library exactly as a scanner driver would, and writes
// the rows as they come, as PNG, PPM, PGM, PAM or BMP.
#include <getopt.h>

#include <cerrno>
#include <chrono>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <new>
#include <string>
#include <vector>

#include "file_io.h"
#include "host_session.h"
#include "image_writer.h"
#include "input_facts.h"
#include "jpegdec/jpegdec.h"
#include "jpegdec/jpegdec_probe.h"
#include "verdict.h"

namespace jpegdec_cli {

namespace {

// Exit statuses.
constexpr int kExitOk = 0;
constexpr int kExitUsage = 1;
constexpr int kExitInput = 2;   // the input cannot be read
constexpr int kExitDecode = 3;  // refused, failed or cut short
constexpr int kExitOutput = 4;  // the output cannot be written
constexpr int kExitMemory = 5;  // not enough memory

// Images of at least this many pixels get a progress bar (when standard error is a terminal).
constexpr std::uint64_t kProgressPixels = 2000000;
constexpr int kProgressWidth = 40;
// The input is read up to its first scan header before Start, for the frame's size; a file
// whose headers are longer than this starts with what was found.
constexpr std::size_t kHeadLimit = 4u << 20;
constexpr std::size_t kHeadChunk = 64u << 10;

#if defined(_WIN32)
#define JPEGDEC_CLI_GDIPLUS_TEXT                                                              \
  "  gdiplus    hands the file to the system's GDI+ (gdiplus.dll); buffered when it cannot\n" \
  "             be loaded\n"
#else
#define JPEGDEC_CLI_GDIPLUS_TEXT                                                        \
  "  gdiplus    hands the file to a stand-in for Windows' GDI+ that decodes with the\n" \
  "             system's libturbojpeg; buffered when libturbojpeg cannot be loaded\n"
#endif

const char kUsage[] =
    "usage: jpegdec [options] INPUT OUTPUT\n"
    "\n"
    "Decodes the JPEG file INPUT through the jpegdec library as a scanner driver does and writes\n"
    "the rows as they come to OUTPUT. The format follows OUTPUT's extension (.png, .ppm, .pgm,\n"
    ".pnm, .pam, .bmp; PAM holds four-component images) unless --format says otherwise. '-' as\n"
    "INPUT reads standard input, '-' as OUTPUT writes standard output (then --format is needed).\n"
    "A device, FIFO or socket is written in place; a file appears only when complete.\n"
    "\n"
    "  -m, --mode MODE      streaming (default), buffered, gdiplus or auto (see below)\n"
    "  -p, --piece BYTES    bytes per Write (default 4096)\n"
    "  -d, --divisor N      memory divisor passed to Start (default 1)\n"
    "  -f, --format FORMAT  png, pnm (PPM for colour, PGM for grey), pam or bmp\n"
    "  -g, --grey           write colour as grey: (19595 R + 38470 G + 7471 B + 32768) >> 16\n"
    "  -s, --stats          print rows, times, call counts, leftover bytes and the mode chosen\n"
    "  -v, --verbose        say what was written\n"
    "  -q, --quiet          no progress bar\n"
    "  -h, --help           this text\n"
    "  -V, --version        the tool's and the library's version\n"
    "\n"
    "Modes:\n"
    "  streaming  decodes while the data arrives, with the library's own decoder\n"
    "  buffered   collects the file, then decodes it with the same decoder\n"  //
    JPEGDEC_CLI_GDIPLUS_TEXT                                                   //
    "  auto       gdiplus when the page fits in memory, else streaming\n"
    "The library's decoder takes baseline and extended sequential JPEG (8-bit, Huffman); GDI+\n"
    "also takes progressive JPEG. GDI+ reports no damage: in gdiplus and auto mode the tool also\n"
    "runs the library's decoder over the same bytes and fails when it finds damage. Damage in a\n"
    "file only GDI+ decodes (progressive) cannot be detected; the tool says so.\n"
    "\n"
    "Exit status: 0 done, 1 usage, 2 unreadable input, 3 not JPEG, refused, damaged or cut\n"
    "short (a message says which, and how many rows of how many were decoded), 4 output not\n"
    "written (an existing file is replaced only if you may write it, and never the input), 5\n"
    "not enough memory. Nothing is printed on success unless asked for.\n";

struct Options {
  std::string input;
  std::string output;
  std::int32_t mode = JPEGDEC_MODE_STREAMING;
  std::uint32_t piece = 4096;
  std::int32_t divisor = 1;
  Format format = Format::kUnknown;  // from --format
  bool grey = false;
  bool stats = false;
  bool verbose = false;
  bool quiet = false;
};

int UsageError(const std::string& message) {
  std::fprintf(stderr, "jpegdec: %s\nTry 'jpegdec --help' for more information.\n",
               message.c_str());
  return kExitUsage;
}

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

// The tool's version, and the version of the library it loaded (which may be another release
// of the same major version).
void PrintVersion() {
  const std::string library = LoadedLibraryVersion();
  std::printf("jpegdec %s (library %s)\n", JPEGDEC_VERSION_STRING,
              library.empty() ? "of unknown version" : library.c_str());
}

// Returns -1 when the arguments are good, else the exit status.
int ParseArguments(int argc, char** argv, Options* options) {
  static const char kShort[] = ":m:p:d:f:gsvqhV";
  static const option kLong[] = {
      {"mode", required_argument, nullptr, 'm'},    {"piece", required_argument, nullptr, 'p'},
      {"divisor", required_argument, nullptr, 'd'}, {"format", required_argument, nullptr, 'f'},
      {"grey", no_argument, nullptr, 'g'},          {"gray", no_argument, nullptr, 'g'},
      {"stats", no_argument, nullptr, 's'},         {"verbose", no_argument, nullptr, 'v'},
      {"quiet", no_argument, nullptr, 'q'},         {"help", no_argument, nullptr, 'h'},
      {"version", no_argument, nullptr, 'V'},       {nullptr, 0, nullptr, 0}};
  opterr = 0;  // the messages below name the option and point at --help
  optind = 1;
  for (;;) {
    const int option = getopt_long(argc, argv, kShort, kLong, nullptr);
    if (option == -1) {
      break;
    }
    long long number = 0;
    switch (option) {
      case 'm':
        if (!ParseMode(optarg, &options->mode)) {
          return UsageError(std::string("unknown mode '") + optarg +
                            "' (streaming, buffered, gdiplus, auto)");
        }
        break;
      case 'p':
        if (!ParseNumber(optarg, 1, 0x7FFFFFFF, &number)) {
          return UsageError(std::string("--piece needs a byte count from 1 up, not '") + optarg +
                            "'");
        }
        options->piece = static_cast<std::uint32_t>(number);
        break;
      case 'd':
        if (!ParseNumber(optarg, 1, 0x7FFFFFFF, &number)) {
          return UsageError(std::string("--divisor needs a positive number, not '") + optarg + "'");
        }
        options->divisor = static_cast<std::int32_t>(number);
        break;
      case 'f':
        if (!FormatFromOption(optarg, &options->format)) {
          return UsageError(std::string("unknown format '") + optarg + "' (png, pnm, pam, bmp)");
        }
        break;
      case 'g':
        options->grey = true;
        break;
      case 's':
        options->stats = true;
        break;
      case 'v':
        options->verbose = true;
        break;
      case 'q':
        options->quiet = true;
        break;
      case 'h':
        std::fputs(kUsage, stdout);
        return kExitOk;
      case 'V':
        PrintVersion();
        return kExitOk;
      case ':':
      default: {
        // The option just looked at: a long one is named by its argument, a short one by its
        // letter (it may sit inside a group such as -qx).
        const char* last = optind > 0 && optind <= argc ? argv[optind - 1] : "";
        const std::string name = std::strncmp(last, "--", 2) == 0 || optopt == 0
                                     ? std::string(last)
                                     : std::string("-") + static_cast<char>(optopt);
        if (option == ':') {
          return UsageError("option '" + name + "' needs a value");
        }
        return UsageError("unknown option '" + name + "'");
      }
    }
  }
  if (argc - optind != 2) {
    return UsageError(argc - optind < 2 ? "INPUT and OUTPUT are needed"
                                        : "too many arguments after INPUT and OUTPUT");
  }
  options->input = argv[optind];
  options->output = argv[optind + 1];
  return -1;
}

class ProgressBar {
 public:
  ProgressBar(bool enabled, std::uint32_t total) : enabled_(enabled && total > 0), total_(total) {}
  // Rows decoded and written; the bar stays short of 100% until the file is complete.
  void Update(std::uint32_t rows) {
    if (!enabled_) {
      return;
    }
    const std::uint64_t share = std::uint64_t{rows} * 100 / total_;
    Show(static_cast<int>(share > 99 ? 99 : share), rows);
  }
  void Complete() {
    if (enabled_) {
      Show(100, total_);
      std::fputc('\n', stderr);
      enabled_ = false;
    }
  }
  void Abandon() {
    if (enabled_ && shown_ >= 0) {
      std::fputc('\n', stderr);
    }
    enabled_ = false;
  }

 private:
  void Show(int percent, std::uint32_t rows) {
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

  bool enabled_;
  std::uint32_t total_;
  int shown_ = -1;
};

// Reads the input up to its first scan header (or the limit, or its end).
bool ReadHead(int input, std::vector<std::uint8_t>* head, JpegDecFrameInfo* frame,
              std::string* error) {
  while (head->size() < kHeadLimit) {
    const std::size_t at = head->size();
    head->resize(at + kHeadChunk);
    const long got = ReadInput(input, head->data() + at, kHeadChunk, error);
    head->resize(at + static_cast<std::size_t>(got > 0 ? got : 0));
    if (got <= 0) {
      return got == 0;
    }
    if (JpegDecProbeFrame(head->data(), head->size(), frame) == JPEGDEC_PROBE_INVALID ||
        frame->complete != 0) {
      break;
    }
  }
  return true;
}

// How the rows handed out map onto pixels. The streaming and buffered ways give the native
// decoder's rows (width x components bytes); the GDI+ way gives 24-bit R,G,B rows, or 8-bit grey
// rows, padded to a multiple of 4 bytes.
struct Layout {
  ImageShape shape;
  std::string mode;  // the way the instance decoded, as far as the rows tell
  std::string problem;
};

Samples NativeSamples(const JpegDecFrameInfo& frame) {
  const bool transformed = frame.converted != 0;
  switch (frame.componentCount) {
    case 1:
      return Samples::kGrey;
    case 2:
      return Samples::kTwo;
    case 3:
      return transformed ? Samples::kRgb : Samples::kStored3;
    default:
      return transformed ? Samples::kRgbInvertedK : Samples::kCmyk;
  }
}

Layout ChooseLayout(const Options& options, std::int32_t isStreaming, std::uint32_t rowLength,
                    const JpegDecFrameInfo& frame) {
  Layout layout;
  layout.shape.width = frame.width;
  layout.shape.height = frame.height;
  const std::uint64_t width = frame.width;
  const std::uint64_t native = width * frame.componentCount;
  const std::uint64_t padded24 = ((width * 24 + 7) / 8 + 3) / 4 * 4;
  const std::uint64_t padded8 = (width + 3) / 4 * 4;
  const std::uint64_t length = rowLength;
  std::uint32_t gdiplusChannels = 0;
  if (isStreaming != 0) {
    layout.mode = "streaming";
  } else if (options.mode == JPEGDEC_MODE_BUFFERED) {
    layout.mode = "buffered";
  } else if (length == padded24 && length != native) {
    layout.mode = "gdiplus";
    gdiplusChannels = 3;
  } else if (frame.componentCount == 1 && length == padded8 && length != native) {
    layout.mode = "gdiplus";
    gdiplusChannels = 1;
  } else if (length == native) {
    // Without padding the GDI+ rows of this width look like the native decoder's.
    const bool gdiplusAlike = (frame.componentCount == 3 && length == padded24) ||
                              (frame.componentCount == 1 && length == padded8);
    layout.mode = gdiplusAlike ? "gdiplus or buffered" : "buffered (GDI+ not available)";
  } else {
    layout.mode = "gdiplus or buffered";
  }
  if (gdiplusChannels != 0) {
    layout.shape.channels = gdiplusChannels;
    layout.shape.samples = gdiplusChannels == 1 ? Samples::kGrey : Samples::kRgb;
    return layout;
  }
  layout.shape.channels = frame.componentCount;
  layout.shape.samples = NativeSamples(frame);
  if (length != native) {
    layout.problem = "rows of " + std::to_string(length) + " bytes do not fit a " +
                     std::to_string(frame.width) + "-pixel row of " +
                     std::to_string(frame.componentCount) + " components";
  }
  return layout;
}

void PrintStats(const Layout& layout, const SessionResult& result, long long wallMs) {
  std::fprintf(stderr,
               "mode: %s\nrows: %u of %u bytes\nelapsed: %u ms in the library, %lld ms in all\n"
               "input: %llu bytes\nwrites: %u (host: %llu, %llu refused)\nreads: %u (host: "
               "%llu)\n",
               layout.mode.empty() ? "(no rows)" : layout.mode.c_str(), result.rows,
               result.rowLength, result.elapsedMs, wallMs,
               static_cast<unsigned long long>(result.inputBytes), result.writeCount,
               static_cast<unsigned long long>(result.writeCalls),
               static_cast<unsigned long long>(result.refusedWrites), result.readCount,
               static_cast<unsigned long long>(result.readCalls));
  // Counted by the tool over the whole input: the library's Finish counts only what followed
  // the end marker in the last piece written, which depends on the piece size.
  if (!result.endMarkerSeen) {
    std::fprintf(stderr, "leftover: no end marker in the input\n");
  } else {
    std::fprintf(stderr, "leftover: %llu bytes after the end marker in the whole input%s\n",
                 static_cast<unsigned long long>(result.trailing),
                 result.readToEnd ? "" : " (read error before its end)");
  }
  if (result.check.ran) {
    std::fprintf(stderr, "check: the library's decoder over the same bytes gave %u rows%s\n",
                 result.check.rows,
                 result.check.end == SessionEnd::kEnd ? " and ended" : " and did not end");
  }
  const std::uint64_t peak = PeakMemoryBytes();
  if (peak != 0) {
    std::fprintf(stderr, "peak memory: %.1f MiB (the whole process)\n",
                 static_cast<double>(peak) / (1u << 20));
  }
}

int Run(const Options& options) {
  Format format = options.format;
  const bool toStandardOutput = options.output == kStandardStream;
  if (format == Format::kUnknown) {
    if (toStandardOutput) {
      return UsageError("writing to standard output needs --format png, pnm, pam or bmp");
    }
    format = FormatFromName(options.output);
    if (format == Format::kUnknown) {
      return UsageError("cannot tell the output format of '" + options.output +
                        "' (name it .png, .ppm, .pgm, .pnm, .pam or .bmp, or give --format)");
    }
  }
  if (!FormatAvailable(format)) {
    return UsageError(std::string("this build writes no ") + FormatName(format) +
                      "; write PPM, PGM, PAM or BMP");
  }
  // The target is looked at before anything is decoded: one the user may not write, or a
  // folder, fails at once and stays as it was.
  OutputFile output;
  std::string error;
  if (!output.Prepare(options.output, &error)) {
    std::fprintf(stderr, "jpegdec: %s\n", error.c_str());
    return kExitOutput;
  }
  const std::string inputName =
      options.input == kStandardStream ? std::string("standard input") : options.input;
  const int input = OpenInput(options.input, &error);
  if (input < 0) {
    std::fprintf(stderr, "jpegdec: %s: cannot read: %s\n", inputName.c_str(), error.c_str());
    return kExitInput;
  }
  // Replacing the input with its own image would lose the scan: whatever names or links lead
  // from the output to the input, the output is never the input.
  if (output.IsFileOf(input)) {
    CloseInput(input);
    const std::string target =
        toStandardOutput ? std::string("standard output") : "'" + options.output + "'";
    std::fprintf(stderr, "jpegdec: cannot write %s: it is the input file%s\n", target.c_str(),
                 options.input == options.output ? "" : " under another name or link");
    return kExitOutput;
  }
  std::vector<std::uint8_t> head;
  JpegDecFrameInfo frame;
  JpegDecProbeFrame(nullptr, 0, &frame);
  if (!ReadHead(input, &head, &frame, &error)) {
    CloseInput(input);
    std::fprintf(stderr, "jpegdec: %s: read error: %s\n", inputName.c_str(), error.c_str());
    return kExitInput;
  }
  const std::string notJpeg = NotJpegMessage(head.data(), head.size());
  if (!notJpeg.empty()) {
    CloseInput(input);
    std::fprintf(stderr, "jpegdec: %s: %s\n", inputName.c_str(), notJpeg.c_str());
    return kExitDecode;
  }
  const Resolution resolution = JfifResolution(frame);
  // GDI+ reports no damage: the library's decoder runs beside it over the same bytes, where it
  // takes the frame type.
  const bool gdiplusPossible =
      options.mode == JPEGDEC_MODE_GDIPLUS || options.mode == JPEGDEC_MODE_AUTO;
  const bool checkable = frame.componentCount != 0 && frame.native != 0;
  const bool large = std::uint64_t{frame.width} * frame.height >= kProgressPixels;
  ProgressBar progress(!options.quiet && large && StderrIsTerminal(), frame.height);
  std::uint32_t rowsWritten = 0;

  // The output opens with the first row, once the row length tells the layout.
  std::unique_ptr<ImageWriter> writer;
  std::vector<std::uint8_t> greyRow;
  std::uint32_t rowChannels = 0;  // in the rows handed out (3 when --grey converts them)
  Layout layout;
  Format written = format;
  int failure = kExitOk;
  std::string failureText;

  SessionOptions session;
  // A page of unknown length gives GDI+ no height to size the bitmap by, and GDI+ does not
  // decode it anyway: automatic mode streams it.
  session.mode = options.mode == JPEGDEC_MODE_AUTO && frame.height == 0 ? JPEGDEC_MODE_STREAMING
                                                                        : options.mode;
  session.divisor = options.divisor;
  session.piece = options.piece;
  session.width = frame.width;
  session.height = frame.height;
  session.check = gdiplusPossible && checkable;
  session.readToEnd = options.stats;
  session.onRow = [&](std::int32_t isStreaming, const std::uint8_t* row, std::uint32_t length) {
    if (writer == nullptr) {
      layout = ChooseLayout(options, isStreaming, length, frame);
      if (!layout.problem.empty()) {
        failure = kExitDecode;
        failureText = inputName + ": " + layout.problem;
        return false;
      }
      rowChannels = layout.shape.channels;
      if (options.grey && layout.shape.channels != 1) {
        const std::string problem = GreyProblem(layout.shape);
        if (!problem.empty()) {
          failure = kExitOutput;
          failureText = options.output + ": " + problem;
          return false;
        }
        layout.shape.channels = 1;
        layout.shape.samples = Samples::kGrey;
        greyRow.resize(layout.shape.width);
      }
      layout.shape.resolution = resolution;
      written = ResolvePnm(format, layout.shape);
      const std::string problem = FormatProblem(written, layout.shape);
      if (!problem.empty()) {
        failure = kExitOutput;
        failureText = options.output + ": " + problem;
        return false;
      }
      std::string why;
      if (!output.Open(&why) ||
          (writer = StartImage(output.stream(), written, layout.shape, &why)) == nullptr) {
        failure = kExitOutput;
        failureText = options.output + ": " + why;
        return false;
      }
    }
    if (length < std::size_t{layout.shape.width} * rowChannels) {
      failure = kExitDecode;
      failureText = inputName + ": a row of " + std::to_string(length) + " bytes is too short";
      return false;
    }
    if (!greyRow.empty()) {
      RgbToGrey(row, greyRow.data(), layout.shape.width);
      row = greyRow.data();
    }
    if (!writer->WriteRow(row)) {
      failure = writer->outOfMemory() ? kExitMemory : kExitOutput;
      failureText = options.output + ": cannot write: " + writer->error();
      return false;
    }
    ++rowsWritten;
    progress.Update(rowsWritten);
    return true;
  };
  const auto started = std::chrono::steady_clock::now();
  const SessionResult result = RunSession(std::move(head), input, session);
  CloseInput(input);

  if (failure == kExitOk) {
    const std::string why = WhyNotDecoded(result, frame, options.mode, session.mode);
    if (!why.empty()) {
      failure = result.end == SessionEnd::kInputError ? kExitInput : kExitDecode;
      failureText = inputName + ": " + why;
    } else if (result.rows == 0 || writer == nullptr) {
      failure = kExitDecode;
      failureText = inputName + ": the image has no rows";
    } else if (!writer->Finish()) {
      failure = writer->outOfMemory() ? kExitMemory : kExitOutput;
      failureText = options.output + ": cannot write: " + writer->error();
    }
  }
  writer.reset();
  if (failure == kExitOk && !output.Commit(&error)) {
    failure = kExitOutput;
    failureText = error;
  }
  const auto wallMs = std::chrono::duration_cast<std::chrono::milliseconds>(
                          std::chrono::steady_clock::now() - started)
                          .count();
  if (failure != kExitOk) {
    output.Discard();
    progress.Abandon();
  } else {
    progress.Complete();
  }
  if (options.stats) {
    PrintStats(layout, result, static_cast<long long>(wallMs));
  }
  if (failure != kExitOk) {
    std::fprintf(stderr, "jpegdec: %s\n", failureText.c_str());
    return failure;
  }
  if (gdiplusPossible && !checkable && layout.mode.compare(0, 7, "gdiplus") == 0) {
    std::fprintf(stderr, "jpegdec: %s: note: %s\n", inputName.c_str(),
                 UncheckedNote(frame).c_str());
  }
  if (options.verbose) {
    std::fprintf(stderr, "jpegdec: %s: %ux%u, %u component%s -> %s (%s, %s)\n", inputName.c_str(),
                 layout.shape.width, layout.shape.height, layout.shape.channels,
                 layout.shape.channels == 1 ? "" : "s",
                 toStandardOutput ? "standard output" : options.output.c_str(), FormatName(written),
                 layout.mode.c_str());
  }
  return kExitOk;
}

}  // namespace
}  // namespace jpegdec_cli

int jpegdec_cli::Main(int argc, char** argv) {
  Options options;
  const int parsed = ParseArguments(argc, argv, &options);
  if (parsed >= 0) {
    return parsed;
  }
  InstallInterruptCleanup();
  try {
    return Run(options);
  } catch (const std::bad_alloc&) {
    // Run's output file, unwound, has removed its partial file.
    std::fprintf(stderr, "jpegdec: %s: not enough memory\n",
                 options.input == kStandardStream ? "standard input" : options.input.c_str());
    return kExitMemory;
  }
}
