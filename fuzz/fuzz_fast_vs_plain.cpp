// The fast routines against the plain ones: each input is decoded through the streaming way of
// the public operations twice, in the same pieces, once with the plain routines forced. Every
// Read result with its row, every Write's acceptance, Finish's leftover and the call counts must
// be the same. The fast decode is capped at SSE2 for every other input (by a control byte), so
// that the SSE2 routines, which a processor with AVX2 would otherwise never take, are fuzzed too.
#include <cstddef>
#include <cstdint>
#include <vector>

#include "api/jpeg_decode_instance.h"
#include "decoder/cpu_dispatch.h"
#include "decoder/cpu_dispatch_testing.h"
#include "fuzz_input.h"
#include "jpegdec/jpegdec.h"
#include "support/digest.h"

namespace {

using jpegdec::fuzz::Check;

struct Trace {
  std::vector<std::int64_t> results;                   // Read and Write results in call order
  std::uint64_t digest = jpegdec::test::kDigestStart;  // every row handed out, in order
  std::uint32_t leftover = 0;
  std::uint32_t writeCount = 0;
  std::uint32_t readCount = 0;
};

// Feeds the pieces as a driver does: Read until it asks for input, then Write the next piece;
// a refused Write is retried after the next Read. The calls depend only on the results.
Trace Decode(const std::uint8_t* data, std::size_t size, const std::vector<std::size_t>& pieces,
             std::uint32_t startWidth, std::uint8_t level) {
  jpegdec::LimitRoutineLevel(level);
  Trace trace;
  JpegDecodeInstance* instance = CreateJpegDecodeInstance();
  Check(instance != nullptr, "no instance");
  Check(instance->Start(startWidth, 0, JPEGDEC_MODE_STREAMING, 1) == 1, "streaming Start failed");
  std::size_t next = 0;
  std::size_t fed = 0;
  int idle = 0;
  const std::uint64_t callLimit = 200000 + 16 * std::uint64_t{size};
  for (std::uint64_t calls = 0; calls < callLimit; ++calls) {
    std::uint8_t* row = nullptr;
    std::uint32_t length = 0;
    const std::int32_t read = instance->Read(&row, &length);
    trace.results.push_back(read);
    if (read == JPEGDEC_READ_ROW) {
      trace.digest = jpegdec::test::Digest(trace.digest, row, length);
      idle = 0;
      continue;
    }
    if (read != JPEGDEC_READ_AGAIN) {
      break;
    }
    if (next < pieces.size()) {
      const std::int32_t written =
          instance->Write(data + fed, static_cast<std::uint32_t>(pieces[next]));
      trace.results.push_back(16 + written);
      if (written == 1) {
        fed += pieces[next];
        ++next;
        idle = 0;
        continue;
      }
    }
    if (++idle > 64) {
      break;
    }
  }
  trace.writeCount = instance->GetWriteCount();
  trace.readCount = instance->GetReadCount();
  instance->Finish(&trace.leftover);
  DeleteJpegDecodeInstance(instance);
  jpegdec::LimitRoutineLevel(jpegdec::kRoutinesAvx2);
  return trace;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  const jpegdec::fuzz::Control control(data, size);
  jpegdec::fuzz::Pieces chooser(control.Byte(0), control.Seed());
  std::vector<std::size_t> pieces;
  for (std::size_t left = size; left > 0;) {
    const std::size_t piece = chooser.Next(left);
    pieces.push_back(piece);
    left -= piece;
  }
  const std::uint32_t startWidth = jpegdec::fuzz::PeekFrameSize(data, size).width;
  const std::uint8_t fastLevel =
      control.Byte(1) % 2 == 0 ? jpegdec::kRoutinesAvx2 : jpegdec::kRoutinesSse2;
  const Trace fast = Decode(data, size, pieces, startWidth, fastLevel);
  const Trace plain = Decode(data, size, pieces, startWidth, jpegdec::kRoutinesPlain);
  Check(fast.results == plain.results, "Read or Write results differ between fast and plain");
  Check(fast.digest == plain.digest, "rows differ between fast and plain");
  Check(fast.leftover == plain.leftover, "Finish's leftover differs between fast and plain");
  Check(fast.writeCount == plain.writeCount && fast.readCount == plain.readCount,
        "call counts differ between fast and plain");
  return 0;
}
