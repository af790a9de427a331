// libjpeg-turbo's verdict on a file, for the libjpeg oracle (fuzz_libjpeg_oracle): whether it
// decodes it, what it warns about, its rows in this library's layout, and what the walk of the
// scan data (scan_walk.h) found. Decoded as the tests' reference decodes (integer inverse
// transform, box upsampling); libjpeg's fatal errors jump back through setjmp over its own C
// frames only, and everything it allocated is released with the decompressor.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

#include "scan_walk.h"

namespace jpegdec::fuzz {

struct Judgement {
  bool decoded = false;       // libjpeg decoded the image to its end
  bool tooLarge = false;      // not tried: more samples than the caller allows
  int fatalCode = 0;          // the JERR_ code that stopped libjpeg, when it did
  bool noImage = false;       // it stopped because the data holds no image (no frame and scan)
  int warnings = 0;           // warnings of any kind
  int corruptWarnings = 0;    // warnings that say the data is damaged (IsCorruptDataWarning)
  std::string firstCorrupt;   // the first of them, as libjpeg words it
  bool scanBegun = false;     // the first scan header was read and the walk made
  std::size_t scanBegin = 0;  // offset of the scan data
  ScanWalk walk;
  std::uint32_t width = 0;
  std::uint32_t height = 0;
  std::uint32_t components = 0;
  std::vector<std::uint8_t> pixels;  // height rows of width x components bytes
};

// Decodes `data` with libjpeg-turbo. `converted`: three or four components come as R, G, B (and
// 255 - K) from YCbCr or YCCK, else as stored (this library's rule, as its frame probe reports
// it); one and two components always as stored. Frames of more than `largestSamples` samples
// are not decoded (tooLarge).
Judgement JudgeWithLibjpeg(const std::uint8_t* data, std::size_t size, bool converted,
                           std::uint64_t largestSamples);

}  // namespace jpegdec::fuzz
