// The first scan's entropy-coded data walked as libjpeg-turbo decodes it, for the libjpeg oracle
// (fuzz_libjpeg_oracle): which of the two decoders' differences the data meets, whether its
// pixels can be compared, and where the scan data ends.
//
// The two decoders read sound data alike, and report damage alike in most of its forms (libjpeg
// with a warning). Where the data breaks a rule that libjpeg passes over without a word and this
// library refuses, or reads otherwise, only the walk can tell:
//   - a DC difference of a category above 11 (8-bit samples have none);
//   - a coefficient run that passes position 63, or a run of sixteen zeros (ZRL) at position 48
//     or later, where no coefficient can follow it;
//   - an AC symbol of size 0 with a run other than 0 (end of block) and 15 (ZRL): libjpeg ends
//     the block there, this library takes the run and a zero coefficient;
//   - fill bytes before a stuffed zero (FF FF 00): libjpeg reads a data byte 0xFF, this library
//     the code 0xFF, which is no marker.
// And the two inverse transforms round alike only within the sample range: where a block's
// exact transform leaves it far behind, each decoder clamps or wraps in its own way.
#pragma once

#include <cstddef>
#include <cstdint>

struct jpeg_decompress_struct;

namespace jpegdec::fuzz {

struct ScanWalk {
  // Every MCU walked with nothing that libjpeg would warn about (a code missing from its table,
  // bits wanted where a marker stands, a restart marker missing or out of sequence).
  bool complete = false;
  bool rulesDiffer = false;  // one of the differences above met
  // Every block walked has its exact inverse transform within the samples kLowestSample to
  // kHighestSample (a little ringing beyond 0 and 255, as sound images have).
  bool inRange = true;
  // Offset of the code byte of the first marker after the scan data other than a restart
  // marker (0 when the data runs to the end of the input).
  std::size_t endMarkerCode = 0;
  bool endMarkerFollows = false;  // that marker is the end-of-image marker
};

inline constexpr double kLowestSample = -128.0;
inline constexpr double kHighestSample = 383.0;

// Walks the scan data that begins at data[scanBegin] with the tables and MCU layout `info` holds
// after jpeg_start_decompress. Reads only inside data[0, size).
ScanWalk WalkScan(const jpeg_decompress_struct& info, const std::uint8_t* data, std::size_t size,
                  std::size_t scanBegin);

}  // namespace jpegdec::fuzz
