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

// The most of a payload there is: ExaminePayload over this many bytes sees all of it.
inline constexpr std::int32_t kWholePayload = 0xFFFF;

// Runs `examine` (bytes, count) -> Status over the first `wanted` bytes of a segment's payload
// (all of it when shorter) once they are present, and leaves them unconsumed. The reader
// protocol: 1 while they are not present, otherwise 0 with `examine`'s result (or JD_ERR_DATA
// for a length below 2) in *failure.
template <typename Examine>
int ExaminePayload(DecoderContext* context, Status* failure, std::int32_t wanted, Examine examine) {
  if (context->segRemaining == 0) {
    if (context->inAvail < kLengthFieldBytes) {
      return 1;
    }
    const std::int32_t length = BigEndian16(context->inPtr);
    if (length < kLengthFieldBytes) {
      *failure = JD_ERR_DATA;
      return 0;
    }
    context->segRemaining = length - kLengthFieldBytes;
    Consume(context, kLengthFieldBytes);
  }
  const std::int32_t examined = context->segRemaining < wanted ? context->segRemaining : wanted;
  if (context->inAvail < examined) {
    return 1;
  }
  *failure = examine(context->inPtr, examined);
  return 0;
}

// Moves past the rest of the segment's payload.
inline void EndSegment(DecoderContext* context) {
  Consume(context, context->segRemaining);
  context->segRemaining = 0;
}

// Runs `parse` (payload, length) -> Status over the whole payload of a segment with a length
// field, then moves past it. The reader protocol as for ExaminePayload.
template <typename Parse>
int ReadWholeSegment(DecoderContext* context, Status* failure, Parse parse) {
  if (ExaminePayload(context, failure, kWholePayload, parse) != 0) {
    return 1;
  }
  EndSegment(context);
  return 0;
}

}  // namespace jpegdec
