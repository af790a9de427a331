// Writes decoded images as PNG (when built with libpng), PPM, PGM or PAM, never leaving a
// half-written file behind: the image goes to a temporary name beside the target, which is
// renamed over the target only once every byte is written.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

namespace jpegdec_cli {

struct Image {
  std::uint32_t width = 0;
  std::uint32_t height = 0;
  std::uint32_t channels = 0;        // 1 grey, 3 R,G,B, 4 and 2 as the decoder gives them
  std::vector<std::uint8_t> pixels;  // rows of width x channels bytes, top first
};

enum class Format { kUnknown, kPng, kPpm, kPgm, kPam };

// By the file name's extension (case-insensitive).
Format FormatFromName(const std::string& path);
const char* FormatName(Format format);
bool FormatAvailable(Format format);  // PNG needs libpng (native build)

// Why `format` cannot hold `image`, or "" when it can.
std::string FormatProblem(Format format, const Image& image);

bool WriteImage(const std::string& path, Format format, const Image& image, std::string* error);

}  // namespace jpegdec_cli
