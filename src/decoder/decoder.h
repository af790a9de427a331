// The native decoder as the back-ends see it: create a context, step it with input, release it.
// Where each lives: CreateDecoderContext and ReleaseDecoderContext in decoder_context.cpp;
// DecodeStep, EndOfData, BytesToGather and BytesAfterEnd in decode_step.cpp; ReturnBand in
// band_decoder.cpp.
#pragma once

#include <cstdint>

namespace jpegdec {

// Status of one decoder step (and of the streaming back-end's state). Values of 128 and above
// are failures.
using Status = std::uint8_t;
inline constexpr Status JD_OK = 0;              // progress made, nothing to hand out; step again
inline constexpr Status JD_END = 1;             // the end-of-image marker has been read
inline constexpr Status JD_NEED_DATA = 16;      // input used up; count/data locate the unread tail
inline constexpr Status JD_BAND_READY = 17;     // count/data describe a band owned by the caller
inline constexpr Status JD_ERR_SEQUENCE = 128;  // marker out of order
inline constexpr Status JD_ERR_NOMEM = 129;     // a work buffer could not be allocated
inline constexpr Status JD_ERR_DATA = 130;      // malformed segment or entropy-coded data
inline constexpr Status JD_ERR_UNSUPPORTED = 131;  // valid JPEG this decoder does not take

inline constexpr bool IsError(Status s) { return (s & 0x80u) != 0; }

// Result of one DecodeStep. width, height and numComponents are meaningful once the frame
// header has been read.
struct StepResult {
  Status status;
  std::uint16_t width;
  std::uint16_t height;
  std::uint8_t numComponents;
  // JD_BAND_READY: bytes in the band (width x components x rows).
  // JD_NEED_DATA: input bytes not consumed.
  std::int32_t count;
  // JD_BAND_READY: the band, from platform::HeapAllocate, now owned by the caller (HeapRelease).
  // JD_NEED_DATA: first unconsumed input byte, inside the buffer last adopted.
  std::uint8_t* data;
};

struct DecoderContext;

// A fresh context, or null when memory is short.
DecoderContext* CreateDecoderContext();

// Releases the context and every work buffer it still holds (an abandoned image included).
// Null is ignored.
void ReleaseDecoderContext(DecoderContext* context);

// One step of decoding. The first step, and every step after one that returned JD_NEED_DATA,
// adopts data/count; every other step continues in the input adopted before, which the caller
// must leave untouched until a step reports JD_NEED_DATA.
StepResult DecodeStep(DecoderContext* context, const std::uint8_t* data, std::int32_t count);

// The input has ended: no bytes will follow those the steps have used up. Call it only after a
// step returned JD_NEED_DATA (the decoder has used every byte it was given and waits for more),
// and step no more afterwards. JD_END when every row of the frame has been decoded (a file that
// lacks only its end marker; BytesAfterEnd is then 0), otherwise JD_ERR_DATA (a page of unknown
// length whose DNL segment never came included: its held band is released unseen). After
// JD_END or an error it repeats its result.
StepResult EndOfData(DecoderContext* context);

// Gives a band that a step handed out back to the decoder once its rows are no longer needed: the
// decoder keeps it for its next band instead of allocating another (one band at a time, as
// before; heaps that give large blocks back to the system would otherwise have every band's
// pages fault in anew). A band the decoder cannot use is released. Null is ignored; a caller may
// also release a band itself with platform::HeapRelease.
void ReturnBand(DecoderContext* context, std::uint8_t* band);

// How many more input bytes, none of them 0xFF, the decoder waiting for input could be given
// without any of them letting a row out (0 when it must step at once): a caller may gather that
// many small pieces minus one before the next step and holds nothing back. Inside a scan's data
// it is what cannot complete the current band (each block left takes at least fewestBlockBits);
// inside a marker segment that only prepares the image (not a scan header, not a DNL segment),
// any number. A 0xFF byte may begin a marker and always needs a step.
std::int32_t BytesToGather(const DecoderContext* context);

// After JD_END: the number of bytes that followed the end-of-image marker in the input last
// adopted.
std::int32_t BytesAfterEnd(const DecoderContext* context);

}  // namespace jpegdec
