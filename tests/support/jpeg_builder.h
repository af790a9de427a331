// Builds JPEG byte streams by hand, one marker segment at a time, for tests over markers, segments
// and entropy-coded data. Every method appends to the stream and returns the builder, so a stream
// reads like its layout:
//
//   const Bytes stream =
//       JpegBuilder().Soi().Dqt(0).Sof0(8, 8, kGreyFrame).Sos(kGreyScan).Eoi().Take();
//
// The builder writes what it is told: lengths are computed from the payload, nothing is checked,
// so malformed segments are as easy to write as sound ones (Segment, Raw).
#pragma once

#include <cstdint>
#include <utility>
#include <vector>

namespace jpegdec::test {

using Bytes = std::vector<std::uint8_t>;

// One component of a frame header: Ci, Hi, Vi, Tqi.
struct FrameComponent {
  std::uint8_t id;
  std::uint8_t h;
  std::uint8_t v;
  std::uint8_t quantTable;
};

// One component of a scan header: Csj, Tdj, Taj.
struct ScanComponent {
  std::uint8_t id;
  std::uint8_t dcTable;
  std::uint8_t acTable;
};

// Common component lists: grey (id 1, table 0); YCbCr 4:2:0 (ids 1..3, luma 2x2 on table 0,
// chroma 1x1 on table 1); CMYK/YCCK 4:4:4 (ids 1..4, all 1x1 on table 0).
extern const std::vector<FrameComponent> kGreyFrame;
extern const std::vector<FrameComponent> kYCbCr420;
extern const std::vector<FrameComponent> kFourComponents;
// Scans naming every component of the lists above; DC/AC tables 0 for luma, 1 for chroma.
extern const std::vector<ScanComponent> kGreyScan;
extern const std::vector<ScanComponent> kYCbCrScan;
extern const std::vector<ScanComponent> kFourComponentScan;

// One Huffman table as a DHT segment holds it: the class-and-id byte (0x00/0x01 DC, 0x10..0x13
// AC), the code counts for lengths 1..16 (fewer: the rest are 0), the symbols in code order.
struct DhtTable {
  std::uint8_t classAndId;
  Bytes counts;
  Bytes symbols;
};
// The table's bytes in a DHT payload: class-and-id, the 16 counts, the symbols.
Bytes DhtTableBytes(const DhtTable& table);

class JpegBuilder {
 public:
  // 0xFF, code: a marker without a segment (SOI, EOI, RSTn, or any code at all).
  JpegBuilder& Marker(std::uint8_t code);
  JpegBuilder& Soi();                // FF D8
  JpegBuilder& Eoi();                // FF D9
  JpegBuilder& Rst(std::uint8_t n);  // FF D0+n

  // 0xFF, code, the 16-bit big-endian length (payload + 2 for the length field itself), payload.
  JpegBuilder& Segment(std::uint8_t code, const Bytes& payload);

  // APPn (FF E0+n) with the payload as given.
  JpegBuilder& App(std::uint8_t n, const Bytes& payload);
  // APP14 "Adobe": 'A' 'd' 'o' 'b' 'e', version 100 (00 64), flags0 and flags1 (00 00 each), and
  // the colour-transform byte (0 none, 1 YCbCr, 2 YCCK).
  JpegBuilder& Adobe(std::uint8_t transform);
  // COM (FF FE) with the text as its payload.
  JpegBuilder& Comment(const Bytes& text);

  // DQT (FF DB) with one table: Pq 0 and Tq = id in one byte, then 64 values, all `value`.
  JpegBuilder& Dqt(std::uint8_t id, std::uint8_t value = 1);

  // DHT (FF C4) with one table: the class-and-id byte (0x00/0x01 DC, 0x10..0x13 AC), the 16 code
  // counts for lengths 1..16, then the symbols in code order.
  JpegBuilder& Dht(std::uint8_t classAndId, const Bytes& counts, const Bytes& symbols);
  // DHT with the tables one after another in one segment.
  JpegBuilder& Dht(const std::vector<DhtTable>& tables);
  // DHT with the smallest useful table: a single 1-bit code "0" for symbol 0 (DC category 0, or
  // AC end-of-block). With it for both DC and AC every block is the two bits 00, the block of a
  // flat mid-grey; 0x00 is four such blocks.
  JpegBuilder& MinimalDht(std::uint8_t classAndId);

  // The headers of a small grey image under the one-code tables: DQT 0, SOF0 of one component
  // (kGreyFrame), and MinimalDht for DC and AC table 0. Every block of its scan is the two bits 00.
  JpegBuilder& OneCodeGreyHeaders(std::uint16_t width, std::uint16_t height);
  // The same for colour: DQT 0 and 1, SOF0 with `components` (luma on table 0, chroma on 1,
  // as kYCbCr420), and MinimalDht for DC and AC tables 0 and 1.
  JpegBuilder& OneCodeColourHeaders(std::uint16_t width, std::uint16_t height,
                                    const std::vector<FrameComponent>& components);

  // SOFn (FF code): P, Y, X, Nf, then Ci, Hi<<4|Vi, Tqi per component.
  JpegBuilder& Sof(std::uint8_t code, std::uint16_t width, std::uint16_t height,
                   const std::vector<FrameComponent>& components, std::uint8_t precision = 8);
  JpegBuilder& Sof0(std::uint16_t width, std::uint16_t height,
                    const std::vector<FrameComponent>& components);

  // SOS (FF DA): Ns, then Csj, Tdj<<4|Taj per component, then Ss 0, Se 63, Ah/Al 0.
  JpegBuilder& Sos(const std::vector<ScanComponent>& components);

  // DRI (FF DD, length 4, Ri) and DNL (FF DC, length 4, NL).
  JpegBuilder& Dri(std::uint16_t interval);
  JpegBuilder& Dnl(std::uint16_t lines);

  // Any bytes as they stand: entropy-coded data, fill bytes, junk.
  JpegBuilder& Raw(const Bytes& bytes);

  const Bytes& bytes() const { return bytes_; }
  Bytes Take() { return std::move(bytes_); }

 private:
  void Put16(std::uint16_t value);

  Bytes bytes_;
};

// A 16 x 16 grey image under the one-code tables with a restart interval of one MCU: four
// blocks, each in a byte 0x3F of its own (the bits 00, then six 1 bits, with which no code of
// the one-code table starts, so the decoder meets each restart marker where a block would
// start), RST0, RST1 and RST2 between them.
Bytes OneCodeRestartImage();

}  // namespace jpegdec::test
