// Split invariance as a property: the same bytes decoded in one piece and in pieces the fuzz
// input chooses give identical rows and the same end, both when the decoder is stepped directly
// and when the streaming way of the public operations is fed the pieces. The end is the status
// that stopped the decode: the end marker, one particular error, or, once the input is used up
// while the decoder still asks for more, what it answers to the end of the input (EndOfData in
// the direct decode, EndOfInput through the public operations).
#include <cstddef>
#include <cstdint>
#include <vector>

#include "api/jpeg_decode_instance.h"
#include "decoder/decoder.h"
#include "decoder/decoder_context.h"
#include "fuzz_input.h"
#include "host_input.h"
#include "jpegdec/jpegdec.h"
#include "platform/platform.h"
#include "step_input.h"
#include "support/digest.h"

namespace {

using jpegdec::StepResult;
using jpegdec::fuzz::Check;

constexpr jpegdec::Status kNotEnded = jpegdec::JD_NEED_DATA;

struct Outcome {
  std::uint64_t rows = 0;
  std::uint64_t bytes = 0;
  std::uint64_t digest = jpegdec::test::kDigestStart;
  jpegdec::Status end = kNotEnded;

  void Add(const std::uint8_t* p, std::size_t n) {
    digest = jpegdec::test::Digest(digest, p, n);
    bytes += n;
  }
};

// Steps the decoder over the input in the pieces `pieces` gives (null: one piece).
Outcome DecodeDirect(const std::uint8_t* data, std::size_t size, jpegdec::fuzz::Pieces* pieces) {
  Outcome outcome;
  jpegdec::DecoderContext* context = jpegdec::CreateDecoderContext();
  Check(context != nullptr, "no decoder context");
  jpegdec::fuzz::StepInput input(data, size, pieces);
  for (;;) {
    if (input.WantsPiece()) {
      if (input.AllGiven()) {
        const StepResult ended = jpegdec::EndOfData(context);
        Check(ended.status == jpegdec::JD_END || jpegdec::IsError(ended.status),
              "the end of the input neither ends nor fails the decode");
        outcome.end = ended.status;
        break;
      }
      input.AppendNextPiece();
    }
    const StepResult r = jpegdec::DecodeStep(context, input.data(), input.size());
    if (r.status == jpegdec::JD_NEED_DATA) {
      input.KeepTail(r);
      continue;
    }
    if (r.status == jpegdec::JD_BAND_READY) {
      outcome.rows +=
          static_cast<std::uint64_t>(r.count) / (std::uint64_t{r.width} * r.numComponents);
      outcome.Add(r.data, static_cast<std::size_t>(r.count));
      jpegdec::platform::HeapRelease(r.data);
      input.Progress();
      continue;
    }
    if (r.status != jpegdec::JD_OK) {
      outcome.end = r.status;
      break;
    }
    input.NoteOkStep(context);
  }
  jpegdec::ReleaseDecoderContext(context);
  return outcome;
}

// The same through the public operations in streaming mode, the host writing the pieces.
Outcome DecodeStreaming(const std::uint8_t* data, std::size_t size, jpegdec::fuzz::Pieces* pieces,
                        std::uint32_t startWidth) {
  Outcome outcome;
  JpegDecodeInstance* instance = CreateJpegDecodeInstance();
  Check(instance != nullptr, "no instance");
  Check(instance->Start(startWidth, 0, JPEGDEC_MODE_STREAMING, 1) == 1, "streaming Start failed");
  jpegdec::fuzz::HostInput input(data, size, pieces, 0, jpegdec::fuzz::Refused::kShrink);
  const std::uint64_t callLimit = 200000 + 16 * std::uint64_t{size};
  const std::int32_t end = jpegdec::fuzz::ReadToTheEnd(
      instance, &input, callLimit, [&](const std::uint8_t* row, std::uint32_t length) {
        ++outcome.rows;
        outcome.Add(row, length);
        input.NoteRow();
      });
  // The public result does not tell which error.
  outcome.end = end == JPEGDEC_READ_END ? jpegdec::JD_END : jpegdec::JD_ERR_DATA;
  instance->Finish(nullptr);
  DeleteJpegDecodeInstance(instance);
  return outcome;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  const jpegdec::fuzz::Control control(data, size);
  const Outcome whole = DecodeDirect(data, size, nullptr);

  jpegdec::fuzz::Pieces pieces(control.Byte(0), control.Seed());
  const Outcome split = DecodeDirect(data, size, &pieces);
  Check(split.rows == whole.rows, "a different number of rows when split");
  Check(split.bytes == whole.bytes && split.digest == whole.digest, "different rows when split");
  Check(split.end == whole.end, "a different end when split");

  // Through the streaming way: the same rows, and the same end as far as Read can tell it.
  jpegdec::fuzz::Pieces hostPieces(control.Byte(1), control.Seed() ^ 0x5A5A5A5Aull);
  const std::uint32_t startWidth = jpegdec::fuzz::PeekFrameSize(data, size).width;
  const Outcome host = DecodeStreaming(data, size, &hostPieces, startWidth);
  Check(host.rows == whole.rows, "a different number of rows through the streaming way");
  Check(host.bytes == whole.bytes && host.digest == whole.digest,
        "different rows through the streaming way");
  const jpegdec::Status expected = jpegdec::IsError(whole.end) ? jpegdec::JD_ERR_DATA : whole.end;
  Check(host.end == expected, "a different end through the streaming way");
  return 0;
}
