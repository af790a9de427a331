// What the fuzz targets share: the split of one fuzz input into the JPEG bytes and the choices
// that drive a decode (piece sizes, Start arguments, row limits), and a hard stop for findings.
//
// The whole input is the JPEG file. The choices are read from its last kControlBytes bytes as
// well, so that a seed taken from a JPEG corpus stays an intact file, and the fuzzer varies the
// choices most cheaply by appending bytes behind the end marker, which the decoder skips.
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>

#include "jpegdec/jpegdec_probe.h"
#include "support/split_mix.h"

namespace jpegdec::fuzz {

inline constexpr std::size_t kControlBytes = 16;

// Prints what went wrong and aborts, so that libFuzzer records the input as a crash.
[[noreturn]] inline void Finding(const char* what) {
  std::fprintf(stderr, "jpegdec fuzz finding: %s\n", what);
  std::abort();
}

inline void Check(bool condition, const char* what) {
  if (!condition) {
    Finding(what);
  }
}

// The control bytes: the input's last kControlBytes (zero-extended at the front when shorter).
class Control {
 public:
  Control(const std::uint8_t* data, std::size_t size) {
    const std::size_t n = size < kControlBytes ? size : kControlBytes;
    for (std::size_t i = 0; i < n; ++i) {
      bytes_[kControlBytes - n + i] = data[size - n + i];
    }
  }
  std::uint8_t Byte(std::size_t i) const { return bytes_[i % kControlBytes]; }
  std::uint16_t Word(std::size_t i) const {
    return static_cast<std::uint16_t>(Byte(i) << 8 | Byte(i + 1));
  }
  std::uint64_t Seed() const {
    std::uint64_t seed = 0;
    for (std::uint8_t b : bytes_) {
      seed = seed * 131 + b;
    }
    return seed;
  }

 private:
  std::uint8_t bytes_[kControlBytes] = {};
};

// Piece lengths for a file: whole, single bytes, or random lengths up to a bound chosen by the
// style byte, with a share of tiny pieces so that splits fall inside markers and segments.
class Pieces {
 public:
  Pieces(std::uint8_t style, std::uint64_t seed) : random_(seed) {
    switch (style % 8) {
      case 0:
        largest_ = 0;  // whole
        break;
      case 1:
        largest_ = 1;
        break;
      case 2:
        largest_ = 3;
        break;
      case 3:
        largest_ = 16;
        break;
      default:
        largest_ = std::uint32_t{64} << (style % 8 + style / 8 % 4);
        break;
    }
  }
  // The next piece's length, at most `left` and at least 1 when `left` is not 0.
  std::size_t Next(std::size_t left) {
    if (largest_ == 0 || left == 0) {
      return left;
    }
    const std::uint64_t r = random_.Next();
    const std::uint64_t bound = (r & 7) == 0 ? 4 : largest_;
    const std::size_t want = static_cast<std::size_t>(1 + (r >> 8) % bound);
    return want < left ? want : left;
  }

 private:
  test::SplitMix random_;
  std::uint32_t largest_ = 0;
};

// Width, height and component count of the frame header (the public probe,
// jpegdec/jpegdec_probe.h); all 0 when there is none.
struct FrameSize {
  std::uint32_t width = 0;
  std::uint32_t height = 0;
  std::uint32_t components = 0;
};

inline FrameSize PeekFrameSize(const std::uint8_t* data, std::size_t size) {
  JpegDecFrameInfo header;
  JpegDecProbeFrame(data, size, &header);  // all 0 without a frame header
  FrameSize frame;
  frame.width = header.width;
  frame.height = header.height;
  frame.components = header.componentCount;
  return frame;
}

}  // namespace jpegdec::fuzz
