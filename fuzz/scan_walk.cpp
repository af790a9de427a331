#include "scan_walk.h"

#include <cmath>
#include <cstdio>

// jpeglib.h needs size_t and FILE declared first.
#include <jpeglib.h>

namespace jpegdec::fuzz {
namespace {

constexpr int kBlockSize = 64;
constexpr int kBlockSide = 8;
constexpr int kLastPosition = 63;
constexpr int kLargestDcCategory = 11;  // 8-bit samples: DC differences of at most 11 bits
constexpr int kZrlRun = 15;             // ZRL: fifteen zeros, then the zero at the next position
constexpr int kMaxCodeLength = 16;
constexpr int kHuffmanValues = 256;
constexpr int kRestartCodes = 8;
constexpr double kLevelShift = 128.0;
constexpr std::uint8_t kMarkerPrefix = 0xFF;
constexpr std::uint8_t kStuffedZero = 0x00;
constexpr std::uint8_t kRst0 = 0xD0;
constexpr std::uint8_t kRst7 = 0xD7;
constexpr std::uint8_t kEoi = 0xD9;

// Zig-zag position -> natural (row by row) position.
constexpr int kNaturalOrder[kBlockSize] = {
    0,  1,  8,  16, 9,  2,  3,  10, 17, 24, 32, 25, 18, 11, 4,  5,  12, 19, 26, 33, 40, 48,
    41, 34, 27, 20, 13, 6,  7,  14, 21, 28, 35, 42, 49, 56, 57, 50, 43, 36, 29, 22, 15, 23,
    30, 37, 44, 51, 58, 59, 52, 45, 38, 31, 39, 46, 53, 60, 61, 54, 47, 55, 62, 63};

// A Huffman table as the canonical codes of its counts (per length: the largest code, and what
// to add to a code to find its symbol).
struct Table {
  bool present = false;
  int largest[kMaxCodeLength + 1] = {};
  int offset[kMaxCodeLength + 1] = {};
  const UINT8* values = nullptr;
};

Table MakeTable(const JHUFF_TBL* source) {
  Table table;
  if (source == nullptr) {
    return table;
  }
  int code = 0;
  int index = 0;
  for (int length = 1; length <= kMaxCodeLength; ++length) {
    const int count = source->bits[length];
    table.largest[length] = count == 0 ? -1 : code + count - 1;
    table.offset[length] = index - code;
    index += count;
    code = (code + count) << 1;
  }
  table.present = index <= kHuffmanValues;
  table.values = source->huffval;
  return table;
}

// The data bytes of the scan as libjpeg reads them: 0xFF 0x00 is a data 0xFF, fill bytes before
// it are passed over, anything else after 0xFF is a marker, where the data stops.
class Bits {
 public:
  Bits(const std::uint8_t* data, std::size_t size, std::size_t at, bool* rulesDiffer)
      : data_(data), size_(size), at_(at), rulesDiffer_(rulesDiffer) {}

  bool Bit(int* bit) {
    if (left_ == 0) {
      if (!NextByte(&current_)) {
        return false;
      }
      left_ = kBitsPerByte;
    }
    --left_;
    *bit = static_cast<int>((current_ >> left_) & 1u);
    return true;
  }

  bool Value(int count, int* value) {
    int v = 0;
    for (int i = 0; i < count; ++i) {
      int bit = 0;
      if (!Bit(&bit)) {
        return false;
      }
      v = v << 1 | bit;
    }
    *value = v;
    return true;
  }

  bool Symbol(const Table& table, int* symbol) {
    int code = 0;
    for (int length = 1; length <= kMaxCodeLength; ++length) {
      int bit = 0;
      if (!Bit(&bit)) {
        return false;
      }
      code = code << 1 | bit;
      if (code <= table.largest[length]) {
        const int index = code + table.offset[length];
        if (index < 0 || index >= kHuffmanValues) {
          return false;
        }
        *symbol = table.values[index];
        return true;
      }
    }
    return false;  // no such code: libjpeg warns
  }

  // The bits left in the current byte are padding; the next thing must be the marker RSTn with
  // n = `number`.
  bool TakeRestart(int number) {
    left_ = 0;
    std::uint32_t byte = 0;
    if (!atMarker_ && NextByte(&byte)) {
      return false;  // data where the marker belongs
    }
    if (markerCode_ >= size_ || data_[markerCode_] != kRst0 + number) {
      return false;
    }
    at_ = markerCode_ + 1;
    atMarker_ = false;
    return true;
  }

  // After the last MCU: past any restart markers, the marker met is the end marker, with no data
  // byte before it.
  bool EndMarkerFollows() {
    left_ = 0;
    for (;;) {
      std::uint32_t byte = 0;
      if (!atMarker_ && NextByte(&byte)) {
        return false;
      }
      if (markerCode_ >= size_) {
        return false;
      }
      const std::uint8_t code = data_[markerCode_];
      if (code < kRst0 || code > kRst7) {
        return code == kEoi;
      }
      at_ = markerCode_ + 1;
      atMarker_ = false;
    }
  }

 private:
  static constexpr int kBitsPerByte = 8;

  bool NextByte(std::uint32_t* byte) {
    if (atMarker_ || at_ >= size_) {
      atMarker_ = true;
      markerCode_ = size_;
      return false;
    }
    const std::uint8_t c = data_[at_];
    if (c != kMarkerPrefix) {
      ++at_;
      *byte = c;
      return true;
    }
    std::size_t next = at_ + 1;
    while (next < size_ && data_[next] == kMarkerPrefix) {
      ++next;
    }
    if (next < size_ && data_[next] == kStuffedZero) {
      if (next > at_ + 1) {
        *rulesDiffer_ = true;  // FF FF 00
      }
      at_ = next + 1;
      *byte = kMarkerPrefix;
      return true;
    }
    atMarker_ = true;
    markerCode_ = next;  // size_ when the input ends inside the fill bytes
    return false;
  }

  const std::uint8_t* data_;
  std::size_t size_;
  std::size_t at_;
  bool* rulesDiffer_;
  std::uint32_t current_ = 0;
  int left_ = 0;
  bool atMarker_ = false;
  std::size_t markerCode_ = 0;
};

// The exact inverse transform's basis: kBasis[x][u] = C(u) / 2 * cos((2x + 1) u pi / 16).
struct Basis {
  double value[kBlockSide][kBlockSide];
  Basis() {
    const double pi = std::acos(-1.0);
    for (int x = 0; x < kBlockSide; ++x) {
      for (int u = 0; u < kBlockSide; ++u) {
        const double scale = u == 0 ? std::sqrt(0.5) : 1.0;
        value[x][u] = scale / 2 * std::cos((2 * x + 1) * u * pi / (2 * kBlockSide));
      }
    }
  }
};

// Whether the exact inverse transform of the dequantised block (natural order) stays within the
// samples the two decoders clamp alike.
bool BlockInRange(const int* coefficients, const JQUANT_TBL& quant) {
  static const Basis basis;
  double f[kBlockSize];
  bool acZero = true;
  for (int i = 0; i < kBlockSize; ++i) {
    f[i] = static_cast<double>(coefficients[i]) * quant.quantval[i];
    acZero = acZero && (i == 0 || coefficients[i] == 0);
  }
  if (acZero) {
    const double sample = f[0] / kBlockSide + kLevelShift;
    return sample >= kLowestSample && sample <= kHighestSample;
  }
  double rows[kBlockSize];  // rows[v][x]: the horizontal transform of frequency row v
  for (int v = 0; v < kBlockSide; ++v) {
    for (int x = 0; x < kBlockSide; ++x) {
      double sum = 0;
      for (int u = 0; u < kBlockSide; ++u) {
        sum += basis.value[x][u] * f[v * kBlockSide + u];
      }
      rows[v * kBlockSide + x] = sum;
    }
  }
  for (int y = 0; y < kBlockSide; ++y) {
    for (int x = 0; x < kBlockSide; ++x) {
      double sum = 0;
      for (int v = 0; v < kBlockSide; ++v) {
        sum += basis.value[y][v] * rows[v * kBlockSide + x];
      }
      const double sample = sum + kLevelShift;
      if (sample < kLowestSample || sample > kHighestSample) {
        return false;
      }
    }
  }
  return true;
}

// RECEIVE and EXTEND: `bits` bits as a signed value of that category.
int Extend(int value, int bits) {
  return bits == 0 ? 0 : value < (1 << (bits - 1)) ? value - (1 << bits) + 1 : value;
}

// Offset of the code byte of the first marker after scanBegin that is neither a restart marker
// nor a stuffed zero; 0 when the input ends first.
std::size_t FirstMarkerAfterScan(const std::uint8_t* data, std::size_t size,
                                 std::size_t scanBegin) {
  for (std::size_t i = scanBegin; i + 1 < size; ++i) {
    if (data[i] != kMarkerPrefix) {
      continue;
    }
    std::size_t code = i + 1;
    while (code < size && data[code] == kMarkerPrefix) {
      ++code;
    }
    if (code >= size) {
      return 0;
    }
    if (data[code] != kStuffedZero && (data[code] < kRst0 || data[code] > kRst7)) {
      return code;
    }
    i = code;
  }
  return 0;
}

}  // namespace

ScanWalk WalkScan(const jpeg_decompress_struct& info, const std::uint8_t* data, std::size_t size,
                  std::size_t scanBegin) {
  ScanWalk walk;
  walk.endMarkerCode = FirstMarkerAfterScan(data, size, scanBegin);
  Table dc[NUM_HUFF_TBLS];
  Table ac[NUM_HUFF_TBLS];
  for (int t = 0; t < NUM_HUFF_TBLS; ++t) {
    dc[t] = MakeTable(info.dc_huff_tbl_ptrs[t]);
    ac[t] = MakeTable(info.ac_huff_tbl_ptrs[t]);
  }
  for (int s = 0; s < info.comps_in_scan; ++s) {
    const jpeg_component_info* c = info.cur_comp_info[s];
    if (c == nullptr || c->dc_tbl_no < 0 || c->dc_tbl_no >= NUM_HUFF_TBLS || c->ac_tbl_no < 0 ||
        c->ac_tbl_no >= NUM_HUFF_TBLS || !dc[c->dc_tbl_no].present || !ac[c->ac_tbl_no].present) {
      return walk;
    }
  }
  bool rulesDiffer = false;
  Bits bits(data, size, scanBegin, &rulesDiffer);
  int lastDc[MAX_COMPS_IN_SCAN] = {};
  int block[kBlockSize];
  const std::uint64_t mcus = std::uint64_t{info.MCUs_per_row} * info.MCU_rows_in_scan;
  const unsigned interval = info.restart_interval;
  int restarts = 0;
  for (std::uint64_t mcu = 0; mcu < mcus; ++mcu) {
    if (interval != 0 && mcu != 0 && mcu % interval == 0) {
      if (!bits.TakeRestart(restarts % kRestartCodes)) {
        walk.rulesDiffer = rulesDiffer;
        return walk;
      }
      ++restarts;
      for (int& prediction : lastDc) {
        prediction = 0;
      }
    }
    for (int b = 0; b < info.blocks_in_MCU; ++b) {
      const int s = info.MCU_membership[b];
      const jpeg_component_info& c = *info.cur_comp_info[s];
      for (int& coefficient : block) {
        coefficient = 0;
      }
      int category = 0;
      int value = 0;
      if (!bits.Symbol(dc[c.dc_tbl_no], &category) || !bits.Value(category, &value)) {
        walk.rulesDiffer = rulesDiffer;
        return walk;
      }
      rulesDiffer = rulesDiffer || category > kLargestDcCategory;
      lastDc[s] += Extend(value, category);
      block[0] = static_cast<std::int16_t>(lastDc[s]);  // stored as libjpeg stores it
      for (int k = 1; k <= kLastPosition; ++k) {
        int symbol = 0;
        if (!bits.Symbol(ac[c.ac_tbl_no], &symbol)) {
          walk.rulesDiffer = rulesDiffer;
          return walk;
        }
        const int run = symbol >> 4;
        const int magnitude = symbol & 15;
        if (magnitude == 0) {
          if (run == kZrlRun) {
            rulesDiffer = rulesDiffer || k + kZrlRun >= kLastPosition;  // nothing can follow
            k += kZrlRun;
            continue;
          }
          rulesDiffer = rulesDiffer || run != 0;
          break;
        }
        k += run;
        if (!bits.Value(magnitude, &value)) {
          walk.rulesDiffer = rulesDiffer;
          return walk;
        }
        if (k > kLastPosition) {
          rulesDiffer = true;  // libjpeg puts the coefficient at the last position
          k = kLastPosition;
        }
        block[kNaturalOrder[k]] = Extend(value, magnitude);
      }
      const JQUANT_TBL* quant = c.quant_table != nullptr
                                    ? c.quant_table
                                    : (c.quant_tbl_no >= 0 && c.quant_tbl_no < NUM_QUANT_TBLS
                                           ? info.quant_tbl_ptrs[c.quant_tbl_no]
                                           : nullptr);
      walk.inRange = walk.inRange && quant != nullptr && BlockInRange(block, *quant);
    }
  }
  walk.rulesDiffer = rulesDiffer;
  walk.complete = true;
  walk.endMarkerFollows = bits.EndMarkerFollows();
  return walk;
}

}  // namespace jpegdec::fuzz
