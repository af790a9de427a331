#include "support/jpeg_builder.h"

namespace jpegdec::test {

const std::vector<FrameComponent> kGreyFrame = {{1, 1, 1, 0}};
const std::vector<FrameComponent> kYCbCr420 = {{1, 2, 2, 0}, {2, 1, 1, 1}, {3, 1, 1, 1}};
const std::vector<FrameComponent> kFourComponents = {
    {1, 1, 1, 0}, {2, 1, 1, 0}, {3, 1, 1, 0}, {4, 1, 1, 0}};
const std::vector<ScanComponent> kGreyScan = {{1, 0, 0}};
const std::vector<ScanComponent> kYCbCrScan = {{1, 0, 0}, {2, 1, 1}, {3, 1, 1}};
const std::vector<ScanComponent> kFourComponentScan = {{1, 0, 0}, {2, 1, 1}, {3, 1, 1}, {4, 0, 0}};

namespace {

constexpr std::uint8_t kPrefix = 0xFF;
constexpr int kCodeLengths = 16;
constexpr int kQuantValues = 64;

}  // namespace

void JpegBuilder::Put16(std::uint16_t value) {
  bytes_.push_back(static_cast<std::uint8_t>(value >> 8));
  bytes_.push_back(static_cast<std::uint8_t>(value & 0xFF));
}

JpegBuilder& JpegBuilder::Marker(std::uint8_t code) {
  bytes_.push_back(kPrefix);
  bytes_.push_back(code);
  return *this;
}

JpegBuilder& JpegBuilder::Soi() { return Marker(0xD8); }
JpegBuilder& JpegBuilder::Eoi() { return Marker(0xD9); }
JpegBuilder& JpegBuilder::Rst(std::uint8_t n) {
  return Marker(static_cast<std::uint8_t>(0xD0 + (n & 7)));
}

JpegBuilder& JpegBuilder::Segment(std::uint8_t code, const Bytes& payload) {
  Marker(code);
  Put16(static_cast<std::uint16_t>(payload.size() + 2));
  bytes_.insert(bytes_.end(), payload.begin(), payload.end());
  return *this;
}

JpegBuilder& JpegBuilder::App(std::uint8_t n, const Bytes& payload) {
  return Segment(static_cast<std::uint8_t>(0xE0 + (n & 15)), payload);
}

JpegBuilder& JpegBuilder::Adobe(std::uint8_t transform) {
  return App(14, {'A', 'd', 'o', 'b', 'e', 0x00, 0x64, 0x00, 0x00, 0x00, 0x00, transform});
}

JpegBuilder& JpegBuilder::Comment(const Bytes& text) { return Segment(0xFE, text); }

JpegBuilder& JpegBuilder::Dqt(std::uint8_t id, std::uint8_t value) {
  Bytes payload(1 + kQuantValues, value);
  payload[0] = id;  // Pq 0 (8-bit values) in the upper four bits
  return Segment(0xDB, payload);
}

Bytes DhtTableBytes(const DhtTable& table) {
  Bytes bytes = {table.classAndId};
  Bytes lengths = table.counts;
  lengths.resize(kCodeLengths, 0);
  bytes.insert(bytes.end(), lengths.begin(), lengths.end());
  bytes.insert(bytes.end(), table.symbols.begin(), table.symbols.end());
  return bytes;
}

JpegBuilder& JpegBuilder::Dht(std::uint8_t classAndId, const Bytes& counts, const Bytes& symbols) {
  return Dht({{classAndId, counts, symbols}});
}

JpegBuilder& JpegBuilder::Dht(const std::vector<DhtTable>& tables) {
  Bytes payload;
  for (const DhtTable& table : tables) {
    const Bytes bytes = DhtTableBytes(table);
    payload.insert(payload.end(), bytes.begin(), bytes.end());
  }
  return Segment(0xC4, payload);
}

JpegBuilder& JpegBuilder::MinimalDht(std::uint8_t classAndId) {
  return Dht(classAndId, {1}, {0x00});
}

JpegBuilder& JpegBuilder::OneCodeGreyHeaders(std::uint16_t width, std::uint16_t height) {
  return Dqt(0).Sof0(width, height, kGreyFrame).MinimalDht(0x00).MinimalDht(0x10);
}

JpegBuilder& JpegBuilder::OneCodeColourHeaders(std::uint16_t width, std::uint16_t height,
                                               const std::vector<FrameComponent>& components) {
  return Dqt(0)
      .Dqt(1)
      .Sof0(width, height, components)
      .MinimalDht(0x00)
      .MinimalDht(0x10)
      .MinimalDht(0x01)
      .MinimalDht(0x11);
}

JpegBuilder& JpegBuilder::Sof(std::uint8_t code, std::uint16_t width, std::uint16_t height,
                              const std::vector<FrameComponent>& components,
                              std::uint8_t precision) {
  Bytes payload = {precision,
                   static_cast<std::uint8_t>(height >> 8),
                   static_cast<std::uint8_t>(height & 0xFF),
                   static_cast<std::uint8_t>(width >> 8),
                   static_cast<std::uint8_t>(width & 0xFF),
                   static_cast<std::uint8_t>(components.size())};
  for (const FrameComponent& c : components) {
    payload.push_back(c.id);
    payload.push_back(static_cast<std::uint8_t>((c.h << 4) | (c.v & 0x0F)));
    payload.push_back(c.quantTable);
  }
  return Segment(code, payload);
}

JpegBuilder& JpegBuilder::Sof0(std::uint16_t width, std::uint16_t height,
                               const std::vector<FrameComponent>& components) {
  return Sof(0xC0, width, height, components);
}

JpegBuilder& JpegBuilder::Sos(const std::vector<ScanComponent>& components) {
  Bytes payload = {static_cast<std::uint8_t>(components.size())};
  for (const ScanComponent& c : components) {
    payload.push_back(c.id);
    payload.push_back(static_cast<std::uint8_t>((c.dcTable << 4) | (c.acTable & 0x0F)));
  }
  payload.insert(payload.end(), {0, 63, 0});  // Ss, Se, Ah<<4|Al: the whole block, one pass
  return Segment(0xDA, payload);
}

JpegBuilder& JpegBuilder::Dri(std::uint16_t interval) {
  Marker(0xDD);
  Put16(4);
  Put16(interval);
  return *this;
}

JpegBuilder& JpegBuilder::Dnl(std::uint16_t lines) {
  Marker(0xDC);
  Put16(4);
  Put16(lines);
  return *this;
}

JpegBuilder& JpegBuilder::Raw(const Bytes& bytes) {
  bytes_.insert(bytes_.end(), bytes.begin(), bytes.end());
  return *this;
}

Bytes OneCodeRestartImage() {
  return JpegBuilder()
      .Soi()
      .OneCodeGreyHeaders(16, 16)
      .Dri(1)
      .Sos(kGreyScan)
      .Raw({0x3F})
      .Rst(0)
      .Raw({0x3F})
      .Rst(1)
      .Raw({0x3F})
      .Rst(2)
      .Raw({0x3F})
      .Eoi()
      .Take();
}

}  // namespace jpegdec::test
