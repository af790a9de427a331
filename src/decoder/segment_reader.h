// Reading marker segments in place, as they arrive: the length field and the payload of a
// segment, for the marker parser's readers and the Huffman table reader.
//
// A segment with a length field (T.81 B.1.1.4) is read in two moves: its two length bytes are
// consumed as soon as both are present (segRemaining then counts the payload still to read), and
// the payload is interpreted only once it is wholly present. segRemaining 0 means "length not
// read" only until the field is consumed; a segment of length 2 is present at once.
#pragma once

#include <cstdint>

#include "decoder/decoder_context.h"

namespace jpegdec {

inline constexpr std::int32_t kLengthFieldBytes = 2;

inline std::uint16_t BigEndian16(const std::uint8_t* p) {
  return static_cast<std::uint16_t>((p[0] << 8) | p[1]);
}

inline void Consume(DecoderContext* context, std::int32_t count) {
  context->inPtr += count;
  context->inAvail -= count;
}

enum class Payload { kPresent, kNeedMore, kBadLength };

// Consumes the length field once both of its bytes are present; kPresent once it has been read.
inline Payload ReadLengthField(DecoderContext* context) {
  if (context->segRemaining == 0) {
    if (context->inAvail < kLengthFieldBytes) {
      return Payload::kNeedMore;
    }
    const std::int32_t length = BigEndian16(context->inPtr);
    if (length < kLengthFieldBytes) {
      return Payload::kBadLength;
    }
    context->segRemaining = length - kLengthFieldBytes;
    Consume(context, kLengthFieldBytes);
  }
  return Payload::kPresent;
}

// ReadLengthField, and kPresent only once the whole payload is present too.
inline Payload AwaitWholePayload(DecoderContext* context) {
  const Payload payload = ReadLengthField(context);
  if (payload == Payload::kPresent && context->inAvail < context->segRemaining) {
    return Payload::kNeedMore;
  }
  return payload;
}

// Moves past the rest of the segment's payload.
inline void EndSegment(DecoderContext* context) {
  Consume(context, context->segRemaining);
  context->segRemaining = 0;
}

// Runs `parse` (payload, length) -> Status over the whole payload of a segment with a length
// field, then moves past it. The reader protocol: 1 while the segment is not wholly present,
// otherwise 0 with `parse`'s result (or JD_ERR_DATA for a length below 2) in *failure.
template <typename Parse>
int ReadWholeSegment(DecoderContext* context, Status* failure, Parse parse) {
  switch (AwaitWholePayload(context)) {
    case Payload::kNeedMore:
      return 1;
    case Payload::kBadLength:
      *failure = JD_ERR_DATA;
      return 0;
    case Payload::kPresent:
      break;
  }
  *failure = parse(context->inPtr, context->segRemaining);
  EndSegment(context);
  return 0;
}

}  // namespace jpegdec
