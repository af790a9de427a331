// Hostile input, one row per class: each row takes a small valid image and changes it at the
// byte level (a field patched, a segment cut or added, markers dropped into the scan data), and
// names the status the decoder must end in when stepped over the whole input, and the end the
// public operations reach in streaming and buffered mode (after EndOfInput where the input ends
// first). Every row is also fed in 1-byte pieces in streaming mode and in random pieces in
// automatic mode when it streams, must hand out no more rows than the image has, and must leave
// no instance alive. The 140-byte file that declares 65535 x 65535 x 4 is measured for memory.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstdint>
#include <cstdio>
#include <functional>
#include <string>
#include <vector>

#include "api/jpeg_decode_instance.h"
#include "decoder/decoder.h"
#include "jpegdec/jpegdec.h"
#include "platform/platform.h"
#include "support/host_driver.h"
#include "support/jpeg_builder.h"
#include "support/stage_context.h"
#if defined(__GLIBC__)
#include <malloc.h>
#endif

namespace jpegdec::test {
namespace {

// ---- Small valid images (every block is the two bits "00" under the one-code tables) ----

// Zero bytes for `blocks` blocks of two bits each.
Bytes ZeroBlocks(std::size_t blocks) { return Bytes((blocks * 2 + 7) / 8, 0x00); }

// 16 x 16 grey, 4 blocks: SOI, DQT, SOF0, DHT DC 0, DHT AC 0, SOS, one data byte, EOI.
Bytes GreyImage(std::uint16_t width = 16, std::uint16_t height = 16) {
  const std::size_t blocks = std::size_t{(width + 7u) / 8u} * ((height + 7u) / 8u);
  return JpegBuilder()
      .Soi()
      .OneCodeGreyHeaders(width, height)
      .Sos(kGreyScan)
      .Raw(ZeroBlocks(blocks))
      .Eoi()
      .Take();
}

// YCbCr with the given factors, tables 0 for luma and 1 for chroma.
Bytes ColourImage(std::uint16_t width, std::uint16_t height,
                  const std::vector<FrameComponent>& components) {
  unsigned maxH = 1;
  unsigned maxV = 1;
  unsigned perMcu = 0;
  for (const FrameComponent& c : components) {
    maxH = std::max<unsigned>(maxH, c.h);
    maxV = std::max<unsigned>(maxV, c.v);
    perMcu += unsigned{c.h} * c.v;
  }
  const std::size_t mcus =
      std::size_t{(width + 8u * maxH - 1) / (8u * maxH)} * ((height + 8u * maxV - 1) / (8u * maxV));
  return JpegBuilder()
      .Soi()
      .OneCodeColourHeaders(width, height, components)
      .Sos(kYCbCrScan)
      .Raw(ZeroBlocks(mcus * static_cast<std::size_t>(perMcu)))
      .Eoi()
      .Take();
}

// A grey image whose tables are given: one DC table 0 and one AC table 0, then `scan`.
Bytes GreyWithTables(const Bytes& dcCounts, const Bytes& dcSymbols, const Bytes& acCounts,
                     const Bytes& acSymbols, const Bytes& scan) {
  return JpegBuilder()
      .Soi()
      .Dqt(0)
      .Sof0(8, 8, kGreyFrame)
      .Dht(0x00, dcCounts, dcSymbols)
      .Dht(0x10, acCounts, acSymbols)
      .Sos(kGreyScan)
      .Raw(scan)
      .Eoi()
      .Take();
}

// An 8 x 8 grey image whose one block has a DC difference of `category` bits: the DC table's
// one code "0" stands for the category, the AC table's one code "0" ends the block, and the
// scan's three zero bytes hold the code, the extra bits and the end of block.
Bytes DcCategoryImage(std::uint8_t category) {
  return GreyWithTables({1}, {category}, {1}, {0}, {0, 0, 0});
}

// ---- Byte-level changes ----

// Offset of the 0xFF of the n-th marker `code` among the segments before the scan data (and
// the scan header itself); the markers of the scan data are found by FindInScan.
std::size_t FindSegment(const Bytes& b, std::uint8_t code, int n = 0) {
  std::size_t i = 0;
  while (i + 1 < b.size()) {
    if (b[i] != 0xFF || b[i + 1] == 0xFF) {
      ++i;
      continue;
    }
    const std::uint8_t m = b[i + 1];
    if (m == code && n-- == 0) {
      return i;
    }
    if (m == 0xD8 || (m >= 0xD0 && m <= 0xD7) || m == 0xD9 || m == 0x00) {
      i += 2;
      continue;
    }
    if (m == 0xDA) {
      break;
    }
    i += 2 + static_cast<std::size_t>(b[i + 2] << 8 | b[i + 3]);
  }
  ADD_FAILURE() << "marker " << int{code} << " not found";
  return b.size();
}

// First byte of the scan data.
std::size_t ScanStart(const Bytes& b) {
  const std::size_t sos = FindSegment(b, 0xDA);
  return sos + 2 + static_cast<std::size_t>(b[sos + 2] << 8 | b[sos + 3]);
}

// The n-th marker (not a stuffed 0xFF 0x00) inside or after the scan data.
std::size_t FindInScan(const Bytes& b, std::uint8_t code) {
  for (std::size_t i = ScanStart(b); i + 1 < b.size(); ++i) {
    if (b[i] == 0xFF && b[i + 1] == code) {
      return i;
    }
  }
  ADD_FAILURE() << "marker " << int{code} << " not in the scan data";
  return b.size();
}

// Byte `offset` of the payload (after the length field) of the first `code` segment.
Bytes Patch(Bytes b, std::uint8_t code, std::size_t offset, std::uint8_t value) {
  b[FindSegment(b, code) + 4 + offset] = value;
  return b;
}

Bytes PatchLength(Bytes b, std::uint8_t code, std::uint16_t length) {
  const std::size_t at = FindSegment(b, code);
  b[at + 2] = static_cast<std::uint8_t>(length >> 8);
  b[at + 3] = static_cast<std::uint8_t>(length);
  return b;
}

Bytes Insert(Bytes b, std::size_t at, const Bytes& bytes) {
  b.insert(b.begin() + static_cast<std::ptrdiff_t>(at), bytes.begin(), bytes.end());
  return b;
}

Bytes Remove(Bytes b, std::size_t at, std::size_t count) {
  b.erase(b.begin() + static_cast<std::ptrdiff_t>(at),
          b.begin() + static_cast<std::ptrdiff_t>(at + count));
  return b;
}

Bytes Cut(Bytes b, std::size_t length) {
  b.resize(length);
  return b;
}

// The whole segment `code` (marker to end of payload).
Bytes SegmentOf(const Bytes& b, std::uint8_t code) {
  const std::size_t at = FindSegment(b, code);
  const std::size_t end = at + 2 + static_cast<std::size_t>(b[at + 2] << 8 | b[at + 3]);
  return Bytes(b.begin() + static_cast<std::ptrdiff_t>(at),
               b.begin() + static_cast<std::ptrdiff_t>(end));
}

// ---- The decoder stepped over the whole input ----

struct StepOutcome {
  Status status = JD_NEED_DATA;  // JD_NEED_DATA: the input ran out (cut short)
  std::uint32_t rows = 0;
};

StepOutcome StepOver(const Bytes& file) {
  StepOutcome outcome;
  const ContextPtr owner = NewDecoderContext();
  if (owner == nullptr) {
    ADD_FAILURE() << "no context";
    return outcome;
  }
  DecoderContext* context = owner.get();
  bool first = true;
  for (int steps = 0; steps < 1000000; ++steps) {
    const StepResult r = DecodeStep(context, file.data(), static_cast<std::int32_t>(file.size()));
    if (r.status == JD_NEED_DATA && !first) {
      break;
    }
    first = false;
    if (r.status == JD_NEED_DATA) {
      // The whole file was adopted; the tail it reports is all there is.
      const StepResult again = DecodeStep(context, r.data, r.count);
      if (again.status == JD_BAND_READY) {
        ADD_FAILURE() << "a band after the input ran out";
        platform::HeapRelease(again.data);
      }
      outcome.status = again.status;
      if (again.status == JD_NEED_DATA) {
        break;
      }
      if (again.status != JD_OK && again.status != JD_END) {
        break;
      }
      continue;
    }
    if (r.status == JD_BAND_READY) {
      outcome.rows += static_cast<std::uint32_t>(r.count) / (r.width * r.numComponents);
      platform::HeapRelease(r.data);
      continue;
    }
    if (r.status != JD_OK) {
      outcome.status = r.status;
      break;
    }
  }
  return outcome;
}

// `file` with a DNL segment of `lines` before its end marker.
Bytes WithDnl(const Bytes& file, std::uint8_t lines) {
  return Insert(file, file.size() - 2, {0xFF, 0xDC, 0x00, 0x04, 0x00, lines});
}

// ---- The table ----

struct HostileCase {
  const char* name;
  std::function<Bytes()> make;
  Status status;       // the decoder's last status; JD_NEED_DATA: input ran out
  HostEnd streaming;   // mode 3
  HostEnd buffered;    // mode 2
  std::uint32_t rows;  // rows handed out in mode 3, fed whole
};

constexpr HostEnd kEnd = HostEnd::kEnd;
constexpr HostEnd kFailed = HostEnd::kFailed;

std::vector<HostileCase> Cases() {
  const Bytes grey = GreyImage();
  const Bytes colour = ColourImage(32, 32, kYCbCr420);
  const Bytes open = Patch(grey, 0xC0, 2, 0);
  std::vector<HostileCase> cases = {
      // The unchanged images.
      {"valid_grey", [=] { return grey; }, JD_END, kEnd, kEnd, 16},
      {"valid_colour_420", [=] { return colour; }, JD_END, kEnd, kEnd, 32},
      {"valid_restarts", [] { return OneCodeRestartImage(); }, JD_END, kEnd, kEnd, 16},

      // Dimensions.
      // Height 0, a page of unknown length: its lines come in a DNL segment. Without one, the
      // band held back (the last before the end marker) never goes out.
      {"height_0", [=] { return open; }, JD_ERR_DATA, kFailed, kFailed, 8},
      {"height_0_dnl", [=] { return WithDnl(open, 16); }, JD_END, kEnd, kEnd, 16},
      {"height_0_dnl_of_9", [=] { return WithDnl(open, 9); }, JD_END, kEnd, kEnd, 9},
      {"width_0", [=] { return Patch(grey, 0xC0, 4, 0); }, JD_ERR_DATA, kFailed, kFailed, 0},
      // 65535 lines declared, two MCU rows of data: the rows present, then the end marker, which
      // comes too early for a complete image.
      {"height_65535_data_short", [=] { return Patch(Patch(grey, 0xC0, 1, 0xFF), 0xC0, 2, 0xFF); },
       JD_ERR_DATA, kFailed, kFailed, 16},
      {"width_65535_grey", [] { return GreyImage(65535, 8); }, JD_END, kEnd, kEnd, 8},
      {"width_65535_420", [] { return ColourImage(65535, 16, kYCbCr420); }, JD_END, kEnd, kEnd, 16},
      {"width_65521_4x1",
       [] {
         return ColourImage(65521, 8, {{1, 4, 1, 0}, {2, 1, 1, 1}, {3, 1, 1, 1}});
       },
       JD_END, kEnd, kEnd, 8},
      {"width_65535_4x4",
       [] {
         return ColourImage(65535, 32, {{1, 4, 4, 0}, {2, 1, 1, 1}, {3, 1, 1, 1}});
       },
       JD_END, kEnd, kEnd, 32},

      // Component counts.
      {"components_0", [=] { return Patch(grey, 0xC0, 5, 0); }, JD_ERR_DATA, kFailed, kFailed, 0},
      {"components_5",
       [] {
         const std::vector<FrameComponent> five = {
             {1, 1, 1, 0}, {2, 1, 1, 0}, {3, 1, 1, 0}, {4, 1, 1, 0}, {5, 1, 1, 0}};
         return JpegBuilder().Soi().Dqt(0).Sof0(16, 16, five).Take();
       },
       JD_ERR_UNSUPPORTED, kFailed, kFailed, 0},

      // Sampling factors (payload byte 7 is the first component's factors).
      {"sampling_0x0", [=] { return Patch(colour, 0xC0, 7, 0x00); }, JD_ERR_DATA, kFailed, kFailed,
       0},
      {"sampling_h0", [=] { return Patch(colour, 0xC0, 7, 0x02); }, JD_ERR_DATA, kFailed, kFailed,
       0},
      {"sampling_5x5", [=] { return Patch(colour, 0xC0, 7, 0x55); }, JD_ERR_DATA, kFailed, kFailed,
       0},
      {"sampling_5x1_chroma", [=] { return Patch(colour, 0xC0, 10, 0x51); }, JD_ERR_DATA, kFailed,
       kFailed, 0},
      {"sampling_3x1_2x1_1x1",
       [] {
         return ColourImage(48, 16, {{1, 3, 1, 0}, {2, 2, 1, 1}, {3, 1, 1, 1}});
       },
       JD_END, kEnd, kEnd, 16},
      {"sampling_4x4_3x3_2x1",
       [] {
         return ColourImage(40, 40, {{1, 4, 4, 0}, {2, 3, 3, 1}, {3, 2, 1, 1}});
       },
       JD_END, kEnd, kEnd, 40},
      {"sampling_grey_4x4_taken_as_1x1", [=] { return Patch(grey, 0xC0, 7, 0x44); }, JD_END, kEnd,
       kEnd, 16},

      // Quantisation and Huffman selectors.
      {"frame_tq_4", [=] { return Patch(grey, 0xC0, 8, 4); }, JD_ERR_DATA, kFailed, kFailed, 0},
      {"frame_tq_undefined_table", [=] { return Patch(grey, 0xC0, 8, 2); }, JD_ERR_DATA, kFailed,
       kFailed, 0},
      {"dqt_id_4", [=] { return Patch(grey, 0xDB, 0, 0x04); }, JD_ERR_DATA, kFailed, kFailed, 0},
      {"dqt_16_bit", [=] { return Patch(grey, 0xDB, 0, 0x10); }, JD_ERR_UNSUPPORTED, kFailed,
       kFailed, 0},
      {"scan_td_4", [=] { return Patch(grey, 0xDA, 2, 0x40); }, JD_ERR_DATA, kFailed, kFailed, 0},
      {"scan_ta_4", [=] { return Patch(grey, 0xDA, 2, 0x04); }, JD_ERR_DATA, kFailed, kFailed, 0},
      {"scan_td_2_never_defined", [=] { return Patch(grey, 0xDA, 2, 0x20); }, JD_ERR_DATA, kFailed,
       kFailed, 0},
      {"scan_ta_3_undefined", [=] { return Patch(grey, 0xDA, 2, 0x03); }, JD_ERR_DATA, kFailed,
       kFailed, 0},
      {"scan_selector_names_no_component", [=] { return Patch(grey, 0xDA, 1, 9); }, JD_ERR_DATA,
       kFailed, kFailed, 0},
      {"dht_class_0x14_skipped",
       [=] { return Insert(grey, FindSegment(grey, 0xDA), JpegBuilder().MinimalDht(0x14).Take()); },
       JD_END, kEnd, kEnd, 16},

      // Huffman tables that no valid stream holds.
      {"dht_overfull_3_codes_of_1_bit",
       [] {
         return GreyWithTables({3}, {0, 1, 2}, {1}, {0}, {0});
       },
       JD_ERR_DATA, kFailed, kFailed, 0},
      {"dht_overfull_ac_5_codes_of_2_bits",
       [] {
         return GreyWithTables({1}, {0}, {0, 5}, {0, 1, 2, 3, 4}, {0});
       },
       JD_ERR_DATA, kFailed, kFailed, 0},
      {"dht_dc_13_codes",
       [] {
         return GreyWithTables({0, 0, 0, 0, 13}, {0, 1, 2, 3, 4, 5, 6, 7, 8, 9, 10, 11, 0}, {1},
                               {0}, {0});
       },
       JD_ERR_DATA, kFailed, kFailed, 0},
      {"dht_ac_257_codes",
       [] {
         Bytes counts(16, 0);
         counts[15] = 255;
         counts[14] = 2;
         return GreyWithTables({1}, {0}, counts, Bytes(257, 0), {0});
       },
       JD_ERR_DATA, kFailed, kFailed, 0},
      {"dht_length_longer_than_its_table", [=] { return PatchLength(grey, 0xC4, 21); }, JD_ERR_DATA,
       kFailed, kFailed, 0},

      // DC categories above 11.
      {"dc_category_12", [] { return DcCategoryImage(12); }, JD_ERR_DATA, kFailed, kFailed, 0},
      {"dc_category_13", [] { return DcCategoryImage(13); }, JD_ERR_DATA, kFailed, kFailed, 0},
      {"dc_category_14", [] { return DcCategoryImage(14); }, JD_ERR_DATA, kFailed, kFailed, 0},
      {"dc_category_15", [] { return DcCategoryImage(15); }, JD_ERR_DATA, kFailed, kFailed, 0},
      {"dc_category_16", [] { return DcCategoryImage(16); }, JD_ERR_DATA, kFailed, kFailed, 0},
      {"dc_category_11_valid",
       [] {
         return GreyWithTables({1}, {11}, {1}, {0}, {0, 0});
       },
       JD_END, kEnd, kEnd, 8},

      // AC runs past position 63: "0" is ZRL (or run 15, size 1), "1" is EOB.
      {"ac_zrl_at_49",
       [] {
         return GreyWithTables({1}, {0}, {2}, {0xF0, 0x00}, {0x00, 0x00});
       },
       JD_ERR_DATA, kFailed, kFailed, 0},
      {"ac_run_15_past_63",
       [] {
         return GreyWithTables({1}, {0}, {2}, {0xF1, 0x00}, {0x00, 0x00, 0x00});
       },
       JD_ERR_DATA, kFailed, kFailed, 0},
      {"ac_zrl_at_33_then_eob",
       [] {
         return GreyWithTables({1}, {0}, {2}, {0xF0, 0x00}, {0x1F});
       },
       JD_END, kEnd, kEnd, 8},

      // Segment lengths.
      {"dqt_length_0", [=] { return PatchLength(grey, 0xDB, 0); }, JD_ERR_DATA, kFailed, kFailed,
       0},
      {"dqt_length_1", [=] { return PatchLength(grey, 0xDB, 1); }, JD_ERR_DATA, kFailed, kFailed,
       0},
      {"sof_length_2", [=] { return PatchLength(grey, 0xC0, 2); }, JD_ERR_DATA, kFailed, kFailed,
       0},
      {"sos_length_1", [=] { return PatchLength(grey, 0xDA, 1); }, JD_ERR_DATA, kFailed, kFailed,
       0},
      {"app0_length_0",
       [=] {
         return Insert(grey, 2, {0xFF, 0xE0, 0x00, 0x00});
       },
       JD_ERR_DATA, kFailed, kFailed, 0},
      {"com_length_1",
       [=] {
         return Insert(grey, 2, {0xFF, 0xFE, 0x00, 0x01});
       },
       JD_ERR_DATA, kFailed, kFailed, 0},
      {"dri_length_5",
       [=] {
         return Insert(grey, 2, {0xFF, 0xDD, 0x00, 0x05, 0x00, 0x01});
       },
       JD_ERR_DATA, kFailed, kFailed, 0},
      {"dqt_length_past_the_end", [=] { return PatchLength(grey, 0xDB, 0xFFFF); }, JD_NEED_DATA,
       kFailed, kFailed, 0},
      {"app1_length_past_the_end",
       [=] {
         return Insert(grey, 2, {0xFF, 0xE1, 0xFF, 0xFF, 1, 2});
       },
       JD_NEED_DATA, kFailed, kFailed, 0},
      {"sof_length_longer_than_needed",
       [=] {
         Bytes b = PatchLength(grey, 0xC0, 13);
         return Insert(b, FindSegment(b, 0xC0) + 13, {0, 0});
       },
       JD_END, kEnd, kEnd, 16},

      // Markers out of order.
      {"sos_before_sof",
       [=] {
         const Bytes sof = SegmentOf(grey, 0xC0);
         Bytes b = Remove(grey, FindSegment(grey, 0xC0), sof.size());
         return Insert(b, ScanStart(b), sof);
       },
       JD_ERR_SEQUENCE, kFailed, kFailed, 0},
      {"two_sofs", [=] { return Insert(grey, FindSegment(grey, 0xC4), SegmentOf(grey, 0xC0)); },
       JD_ERR_SEQUENCE, kFailed, kFailed, 0},
      {"rst_before_sos",
       [=] {
         return Insert(grey, FindSegment(grey, 0xDA), {0xFF, 0xD0});
       },
       JD_ERR_SEQUENCE, kFailed, kFailed, 0},
      {"rst_before_soi",
       [=] {
         return Insert(grey, 0, {0xFF, 0xD3});
       },
       JD_ERR_SEQUENCE, kFailed, kFailed, 0},
      {"dnl_before_sof",
       [=] {
         return Insert(grey, 2, {0xFF, 0xDC, 0x00, 0x04, 0x00, 0x10});
       },
       JD_ERR_SEQUENCE, kFailed, kFailed, 0},
      {"second_soi",
       [=] {
         return Insert(grey, 2, {0xFF, 0xD8});
       },
       JD_ERR_SEQUENCE, kFailed, kFailed, 0},
      {"sof2_progressive",
       [=] {
         Bytes b = grey;
         b[FindSegment(b, 0xC0) + 1] = 0xC2;
         return b;
       },
       JD_ERR_UNSUPPORTED, kFailed, kFailed, 0},

      // Restart markers with wrong numbers, each where its interval ends: taken as the ones due
      // (every row as in the intact file), but the image is damaged.
      {"rst_numbers_wrong",
       [] {
         Bytes b = OneCodeRestartImage();
         b[FindInScan(b, 0xD0) + 1] = 0xD5;
         b[FindInScan(b, 0xD1) + 1] = 0xD5;
         b[FindInScan(b, 0xD2) + 1] = 0xD0;
         return b;
       },
       JD_ERR_DATA, kFailed, kFailed, 16},
      // A lost restart marker costs the interval after it, filled with mid-grey: every row comes
      // out, and the image is damaged.
      {"rst_marker_dropped",
       [] {
         Bytes b = OneCodeRestartImage();
         return Remove(b, FindInScan(b, 0xD1), 2);
       },
       JD_ERR_DATA, kFailed, kFailed, 16},
      // Damage in the last interval, then a restart marker two intervals on: the fill would run
      // past the last row, and the rest is skipped as after it (a marker there going to the
      // parser) whether the input comes whole or in pieces.
      {"fill_reaches_last_row_then_marker",
       [] {
         Bytes b = OneCodeRestartImage();
         const std::size_t last = FindInScan(b, 0xD2) + 2;  // the last interval's one byte
         return Insert(Remove(b, last, 1), last, {0xFF, 0x00, 0xFF, 0xD5, 0xFF, 0x01});
       },
       JD_ERR_UNSUPPORTED, kFailed, kFailed, 16},
      // The bits after each interval's MCU are 0s, which the one-code table would read as
      // three more blocks: they are padding all the same.
      {"restart_padding_0_bits",
       [] {
         Bytes b = OneCodeRestartImage();
         std::replace(b.begin() + static_cast<std::ptrdiff_t>(ScanStart(b)), b.end(),
                      std::uint8_t{0x3F}, std::uint8_t{0x00});
         return b;
       },
       JD_END, kEnd, kEnd, 16},

      // Markers and fill bytes inside the entropy-coded data.
      {"fill_bytes_before_restart",
       [] {
         Bytes b = OneCodeRestartImage();
         return Insert(b, FindInScan(b, 0xD1), {0xFF, 0xFF, 0xFF});
       },
       JD_END, kEnd, kEnd, 16},
      {"fill_bytes_before_eoi",
       [=] {
         return Insert(grey, grey.size() - 2, {0xFF, 0xFF});
       },
       JD_END, kEnd, kEnd, 16},
      {"sof_inside_scan", [=] { return Insert(grey, ScanStart(grey), SegmentOf(grey, 0xC0)); },
       JD_ERR_SEQUENCE, kFailed, kFailed, 0},
      {"soi_inside_scan",
       [=] {
         return Insert(grey, ScanStart(grey), {0xFF, 0xD8});
       },
       JD_ERR_SEQUENCE, kFailed, kFailed, 0},
      {"tem_inside_scan",
       [=] {
         return Insert(grey, ScanStart(grey), {0xFF, 0x01});
       },
       JD_ERR_UNSUPPORTED, kFailed, kFailed, 0},
      {"marker_02_inside_scan",
       [=] {
         return Insert(grey, ScanStart(grey), {0xFF, 0x02});
       },
       JD_ERR_SEQUENCE, kFailed, kFailed, 0},
      {"eoi_inside_scan",
       [=] {
         return Insert(grey, ScanStart(grey), {0xFF, 0xD9});
       },
       JD_ERR_DATA, kFailed, kFailed, 0},
      // A DNL segment may lower a frame's height, never raise it past the frame header's.
      {"dnl_raising_the_height",
       [=] {
         const Bytes nine = Patch(grey, 0xC0, 2, 9);  // the data holds two bands: 16 lines
         return Insert(nine, FindSegment(nine, 0xDA), JpegBuilder().Dnl(16).Take());
       },
       JD_ERR_DATA, kFailed, kFailed, 9},
      {"ff_ff_00_inside_scan",
       [=] {
         return Insert(grey, ScanStart(grey), {0xFF, 0xFF, 0x00});
       },
       JD_ERR_UNSUPPORTED, kFailed, kFailed, 0},
      // Inside a block's AC part a marker is a data error.
      {"marker_inside_ac_part",
       [] {
         return GreyWithTables({1}, {0}, {0, 0, 0, 0, 0, 0, 0, 1}, {0x00},
                               {0x00, 0xFF, 0xD0, 0x00});
       },
       JD_ERR_DATA, kFailed, kFailed, 0},
      // An AC symbol of size 0 that is neither EOB nor ZRL (here run 2): no code of T.81.
      {"undefined_ac_symbol",
       [] {
         return GreyWithTables({1}, {0}, {2}, {0x20, 0x00}, {0x3F});
       },
       JD_ERR_DATA, kFailed, kFailed, 0},
      {"dqt_between_scan_and_eoi",
       [=] { return Insert(grey, grey.size() - 2, SegmentOf(grey, 0xDB)); }, JD_END, kEnd, kEnd,
       16},

      // DNL after the scan data.
      {"dnl_0_lines",
       [=] {
         return Insert(grey, grey.size() - 2, {0xFF, 0xDC, 0x00, 0x04, 0x00, 0x00});
       },
       JD_ERR_DATA, kFailed, kFailed, 16},
      {"dnl_smaller_height",
       [=] {
         return Insert(grey, grey.size() - 2, {0xFF, 0xDC, 0x00, 0x04, 0x00, 0x04});
       },
       JD_END, kEnd, kEnd, 16},

      // Data after the end marker.
      {"trailing_garbage",
       [=] {
         return Insert(grey, grey.size(), {0x12, 0xFF, 0xD8, 0xFF, 0x00, 0x34});
       },
       JD_END, kEnd, kEnd, 16},
      {"second_image_after_eoi", [=] { return Insert(grey, grey.size(), grey); }, JD_END, kEnd,
       kEnd, 16},
  };

  // Truncation inside every kind of segment: cut one byte into the segment's payload (the
  // marker, its length field and one byte present).
  const struct {
    const char* name;
    std::uint8_t code;
  } kSegments[] = {
      {"cut_in_dqt", 0xDB}, {"cut_in_sof", 0xC0}, {"cut_in_dht", 0xC4}, {"cut_in_sos", 0xDA}};
  for (const auto& s : kSegments) {
    cases.push_back({s.name, [=] { return Cut(grey, FindSegment(grey, s.code) + 5); }, JD_NEED_DATA,
                     kFailed, kFailed, 0});
  }
  const Bytes withApp = Insert(grey, 2, JpegBuilder().App(0, {'J', 'F', 'I', 'F', 0, 1, 2}).Take());
  cases.push_back(
      {"cut_in_app0", [=] { return Cut(withApp, 8); }, JD_NEED_DATA, kFailed, kFailed, 0});
  const Bytes withCom = Insert(grey, 2, JpegBuilder().Comment({'h', 'i', '!'}).Take());
  cases.push_back(
      {"cut_in_com", [=] { return Cut(withCom, 6); }, JD_NEED_DATA, kFailed, kFailed, 0});
  const Bytes withDri = Insert(grey, 2, JpegBuilder().Dri(4).Take());
  cases.push_back(
      {"cut_in_dri", [=] { return Cut(withDri, 5); }, JD_NEED_DATA, kFailed, kFailed, 0});
  cases.push_back({"cut_in_soi", [=] { return Cut(grey, 1); }, JD_NEED_DATA, kFailed, kFailed, 0});
  cases.push_back({"cut_in_length_field", [=] { return Cut(grey, FindSegment(grey, 0xDB) + 3); },
                   JD_NEED_DATA, kFailed, kFailed, 0});
  cases.push_back({"cut_in_scan_data", [=] { return Cut(colour, ScanStart(colour) + 2); },
                   JD_NEED_DATA, kFailed, kFailed, 0});
  // Every row is out when the end marker is cut: a file that lacks only its end marker ends.
  cases.push_back(
      {"cut_in_eoi", [=] { return Cut(grey, grey.size() - 1); }, JD_NEED_DATA, kEnd, kEnd, 16});
  // Not JPEG at all, or nothing: the marker search goes through every byte, and the end of the
  // input ends the decode without a row.
  Bytes soiThenFill(64 * 1024, 0xFF);
  soiThenFill[1] = 0xD8;
  const std::pair<const char*, Bytes> notJpeg[] = {
      {"no_bytes", {}},
      {"text", {'<', 'h', 't', 'm', 'l', '>', 'n', 'o', '\n'}},
      {"png_signature", {0x89, 'P', 'N', 'G', 0x0D, 0x0A, 0x1A, 0x0A}},
      {"zeros", Bytes(4096, 0x00)},
      {"ff_64_kib", Bytes(64 * 1024, 0xFF)},
      {"soi_then_ff_64_kib", soiThenFill}};
  for (const auto& entry : notJpeg) {
    const Bytes bytes = entry.second;
    cases.push_back({entry.first, [=] { return bytes; }, JD_NEED_DATA, kFailed, kFailed, 0});
  }
  return cases;
}

TEST(Hostile, EachClassEndsInItsStatus) {
  int checked = 0;
  for (const HostileCase& c : Cases()) {
    SCOPED_TRACE(c.name);
    const Bytes file = c.make();
    ASSERT_TRUE(!file.empty() || std::string(c.name) == "no_bytes");
    const StepOutcome stepped = StepOver(file);
    EXPECT_EQ(stepped.status, c.status) << "decoder status";

    InitializeJpegDec();
    HostOptions options;
    options.keepRows = false;
    options.mode = JPEGDEC_MODE_STREAMING;
    const HostResult whole = DecodeThroughHost(file, options, PieceSchedule::Whole());
    EXPECT_EQ(whole.end, c.streaming) << "streaming: " << whole.Summary();
    EXPECT_EQ(whole.rows, c.rows) << whole.Summary();
    EXPECT_LE(whole.idleAfterInputEnded, 1u) << "the end soon after EndOfInput";
    EXPECT_TRUE(whole.rowLengthsAgree);
    const HostResult bytewise = DecodeThroughHost(file, options, PieceSchedule::Fixed(1));
    EXPECT_EQ(bytewise.end, whole.end) << "1-byte pieces: " << bytewise.Summary();
    EXPECT_EQ(bytewise.digest, whole.digest);
    EXPECT_LE(bytewise.idleAfterInputEnded, 1u) << "the end soon after EndOfInput";
    options.mode = JPEGDEC_MODE_AUTO;
    options.memoryDivisor = 0;  // no memory budget: automatic mode streams
    const HostResult automatic = DecodeThroughHost(file, options, PieceSchedule::Random(3, 64));
    EXPECT_EQ(automatic.isStreaming, 1);
    EXPECT_EQ(automatic.end, whole.end) << "automatic, random pieces: " << automatic.Summary();
    EXPECT_EQ(automatic.digest, whole.digest);
    EXPECT_LE(automatic.idleAfterInputEnded, 1u) << "the end soon after EndOfInput";
    options.memoryDivisor = 1;

    options.mode = JPEGDEC_MODE_BUFFERED;
    const HostResult buffered = DecodeThroughHost(file, options, PieceSchedule::Whole());
    EXPECT_EQ(buffered.end, c.buffered) << "buffered: " << buffered.Summary();
    EXPECT_LE(buffered.rows, c.rows);
    EXPECT_EQ(UnInitializeJpegDec(), 0);
    ++checked;
  }
  std::printf("%d hostile cases\n", checked);
}

// ---- The 140-byte file declaring 65535 x 65535 x 4 ----

// SOI, DQT, SOF0 (4 components, 1x1), SOS; no DHT (the standard tables apply), then blocks of
// "00" (DC category 0) and "1010" (end of block), 3 bytes per MCU, and no end marker.
Bytes Bomb(std::uint16_t height, std::size_t size, std::uint16_t width = 65535) {
  // Every component on tables 0, so that every block is the same six bits.
  const std::vector<ScanComponent> scan = {{1, 0, 0}, {2, 0, 0}, {3, 0, 0}, {4, 0, 0}};
  Bytes b = JpegBuilder().Soi().Dqt(0).Sof0(width, height, kFourComponents).Sos(scan).Take();
  while (b.size() < size) {
    for (const std::uint8_t byte : {std::uint8_t{0x28}, std::uint8_t{0xA2}, std::uint8_t{0x8A}}) {
      if (b.size() < size) {
        b.push_back(byte);
      }
    }
  }
  return b;
}

// Bytes of the heap in use (glibc), sampled by the host's loop after every call.
std::size_t HeapInUse() {
#if defined(__GLIBC__) && (__GLIBC__ > 2 || (__GLIBC__ == 2 && __GLIBC_MINOR__ >= 33))
  const struct mallinfo2 info = mallinfo2();
  return info.uordblks + info.hblkhd;
#else
  return 0;
#endif
}

struct BombRun {
  HostEnd end = HostEnd::kNoInstance;
  std::uint32_t rows = 0;
  std::size_t peak = 0;  // heap bytes above the level before the instance was created
};

// Streaming decode, every call's heap use sampled; the file is written in 4 KiB pieces.
BombRun DecodeBomb(const Bytes& file) {
  BombRun run;
  const std::size_t base = HeapInUse();
  auto sample = [&] { run.peak = std::max(run.peak, HeapInUse() - std::min(base, HeapInUse())); };
  JpegDecodeInstance* instance = CreateJpegDecodeInstance();
  if (instance == nullptr) {
    return run;
  }
  if (instance->Start(65535, 65535, JPEGDEC_MODE_STREAMING, 1) != 1) {
    run.end = HostEnd::kStartFailed;
  } else {
    std::size_t fed = 0;
    int idle = 0;
    for (int calls = 0; calls < 10000000; ++calls) {
      std::uint8_t* row = nullptr;
      std::uint32_t length = 0;
      const std::int32_t r = instance->Read(&row, &length);
      sample();
      if (r == JPEGDEC_READ_ROW) {
        ++run.rows;
        continue;
      }
      if (r == JPEGDEC_READ_END || r == JPEGDEC_READ_FAILED) {
        run.end = r == JPEGDEC_READ_END ? HostEnd::kEnd : HostEnd::kFailed;
        break;
      }
      if (fed < file.size()) {
        const std::size_t piece = std::min<std::size_t>(4096, file.size() - fed);
        if (instance->Write(file.data() + fed, static_cast<std::uint32_t>(piece)) == 1) {
          fed += piece;
        }
        sample();
        continue;
      }
      if (idle == 0) {
        instance->EndOfInput(0);
      }
      if (++idle > 100) {
        run.end = HostEnd::kCutShort;
        break;
      }
    }
  }
  instance->Finish(nullptr);
  DeleteJpegDecodeInstance(instance);
  return run;
}

TEST(Hostile, DimensionBombStaysBoundedInStreamingMode) {
  InitializeJpegDec();
  const Bytes bomb = Bomb(65535, 140);
  ASSERT_EQ(bomb.size(), 140u);
  const BombRun run = DecodeBomb(bomb);
  EXPECT_EQ(run.end, HostEnd::kFailed);
  EXPECT_EQ(run.rows, 0u);
  EXPECT_EQ(StepOver(bomb).status, JD_NEED_DATA);

  // With enough data for two whole bands of 65535 x 8 pixels the memory is the same as for a
  // frame of 16 lines: it does not grow with the declared height.
  const std::size_t twoBands = 109 + 3 * 2 * 8192;
  const BombRun tall = DecodeBomb(Bomb(65535, twoBands));
  const BombRun shortFrame = DecodeBomb(Bomb(16, twoBands));
  EXPECT_EQ(tall.rows, 16u);
  EXPECT_EQ(shortFrame.rows, 16u);

  // A page of unknown length 64 pixels wide, its 20,000 lines (2,500 bands of 8 MCUs) given by
  // a DNL segment, streams in the memory of a frame of 16 lines, plus the band held back.
  constexpr std::size_t kNarrowBand = (64 + 8) * 4 * 8;
  const std::size_t headers = Bomb(0, 0, 64).size();
  Bytes page = Bomb(0, headers + 3 * 8 * 2500, 64);
  page.insert(page.end(), {0xFF, 0xDC, 0x00, 0x04, 20000 >> 8, 20000 & 0xFF, 0xFF, 0xD9});
  Bytes sixteen = Bomb(16, headers + 3 * 8 * 2, 64);
  sixteen.insert(sixteen.end(), {0xFF, 0xD9});
  const BombRun longPage = DecodeBomb(page);
  const BombRun shortPage = DecodeBomb(sixteen);
  EXPECT_EQ(longPage.end, HostEnd::kEnd);
  EXPECT_EQ(longPage.rows, 20000u);
  EXPECT_EQ(shortPage.end, HostEnd::kEnd);
  EXPECT_EQ(UnInitializeJpegDec(), 0);
  if (HeapInUse() == 0) {
    GTEST_SKIP() << "no heap statistics on this platform; memory not measured";
  }
  std::printf(
      "140-byte bomb: peak heap %zu bytes; two bands: %zu bytes at height 65535, %zu at 16\n",
      run.peak, tall.peak, shortFrame.peak);
  constexpr std::size_t kBound = 16u << 20;  // input buffer, one band, scratch row, context
  EXPECT_LT(run.peak, kBound);
  EXPECT_LT(tall.peak, kBound);
  EXPECT_LE(tall.peak, shortFrame.peak + shortFrame.peak / 8);
  std::printf("page of 20,000 lines of unknown length: peak heap %zu bytes; 16 lines: %zu\n",
              longPage.peak, shortPage.peak);
  EXPECT_LE(longPage.peak, shortPage.peak + kNarrowBand + shortPage.peak / 8);
}

}  // namespace
}  // namespace jpegdec::test
