// The streaming back-end: collects the host's pieces in one input buffer, steps the native
// decoder over them and hands decoded rows out one per Read.
//
// The decoder reads the input buffer in place from the step that adopts it until the step that
// reports JD_NEED_DATA; the unread tail is then moved to the front and the bytes written since
// go behind it. While the decoder works (rows being handed out, steps still to run) a piece is
// appended behind the adopted bytes if it fits in the room left, and refused only when it does
// not: the buffer cannot move then. While the decoder waits for input it holds no address in
// the buffer, so a piece that does not fit behind the tail gets a larger buffer (tail plus piece)
// instead of a refusal that no Read could ever lift.
// A band handed over by the decoder (JD_BAND_READY) is the back-end's until its last row has
// been handed out; rows are pointers into it, valid until the next Read or Finish.
// Once the host has said that no more bytes will come (MarkInputComplete), Write refuses, and
// the decoder waiting for input means the stream has ended: the decoder is told so (EndOfData)
// and Read ends with 2 when every row of the frame was decoded, else with -1.
#pragma once

#include <cstdint>

#include "decoder/decoder.h"

namespace jpegdec {

class StreamingBackend {
 public:
  // The input buffer: at least kMinInputCapacity bytes, else width x kInputBytesPerPixel +
  // kInputSlack (room for the longest marker segment plus a few rows' worth of scan data).
  static constexpr uint32_t kMinInputCapacity = 102400;
  static constexpr uint32_t kInputBytesPerPixel = 48;
  static constexpr uint32_t kInputSlack = 4096;
  // The most a step can be handed (its count is signed 32-bit): the input buffer never grows
  // beyond it.
  static constexpr uint32_t kMaxInputCapacity = 0x7FFFFFFF;
  // Decoder steps per Read, and Reads Finish may make to run out a held band.
  static constexpr int kMaxStepsPerRead = 30;
  static constexpr int kMaxDrainReads = 32;
  // Small pieces are gathered, up to this many new bytes, before the decoder steps over them,
  // where the decoder says that they cannot let a row out (BytesToGather: inside a scan's data
  // short of a band's end, inside a marker segment that only prepares the image): a host
  // writing single bytes would otherwise pay a whole step per byte. A 0xFF byte (which may
  // begin a marker) is stepped over at once, and so are gathered bytes at a Read that finds no
  // new piece and once the input is complete: what Read hands out is the same, only the work
  // is done in fewer steps.
  static constexpr uint32_t kGatherBytes = 256;

  StreamingBackend() = default;
  StreamingBackend(const StreamingBackend&) = delete;
  StreamingBackend& operator=(const StreamingBackend&) = delete;
  ~StreamingBackend();

  // 1 when the context and the input buffer were allocated, else 0 (holding nothing).
  int32_t SetUp(uint32_t width);
  // 1 when the bytes were appended (a zero-length piece is accepted and changes nothing);
  // 0 when refused: no data, no buffer, the image ended or failed, after MarkInputComplete, or
  // (while the decoder works) more bytes than the room left. While it waits for input, a piece
  // longer than the room left grows the buffer to the unread tail plus the piece; when that
  // memory cannot be had (or the two together exceed kMaxInputCapacity) the piece is refused
  // and the decode fails: every later Read returns -1.
  int32_t Write(const uint8_t* data, uint32_t length);
  // 0 a row was handed out; 1 no row now (waiting for input, steps still to run, or an
  // out-parameter missing); 2 end of image; -1 decoding failed, or there is no decoder (the
  // set-up failed, or the back-end was released).
  int32_t Read(uint8_t** row, uint32_t* rowLength);
  // No more bytes will come: once the decoder has used every byte and waits for more, the
  // stream ends (Read returns 2 or -1 after the rows still to come).
  void MarkInputComplete();
  // Runs out a held band (at most kMaxDrainReads Reads), reports the bytes after the end
  // marker (0 unless the image ended) and releases everything.
  void Finish(uint32_t* leftover);
  // Releases the context (with the decoder's work buffers), a held band and the input buffer.
  // Idempotent.
  void Release();

  DecoderContext* context = nullptr;
  StepResult lastStep = {};
  Status state = JD_NEED_DATA;
  uint8_t* inputBuffer = nullptr;
  uint32_t inputCapacity = 0;
  uint32_t inputLength = 0;
  int32_t bandRow = 0;
  uint32_t bytesHandedOut = 0;
  uint32_t rowPixels = 0;
  uint32_t bytesPerPixel = 0;
  uint32_t elapsedMs = 0;
  uint32_t callStartTick = 0;
  uint32_t writeCalls = 0;
  uint32_t readCalls = 0;
  uint8_t inputEnded = 0;      // MarkInputComplete was called
  uint32_t gatherLimit = 0;    // new bytes that wait for more: fewer than this (BytesToGather)
  uint32_t stepLength = 0;     // inputLength after the last step: the bytes new since then follow
  uint8_t markerNear = 0;      // a byte written since the last step is 0xFF: step at the next Read
  uint8_t decoderWaits = 1;    // the decoder's latest step reported JD_NEED_DATA (or none yet)
  uint32_t adoptedLength = 0;  // the bytes the decoder adopted last, from the buffer's start

 private:
  // Releases the held band, if any.
  void ReleaseBand();
  // Appends a piece that fits, noting a 0xFF among a small piece's bytes (markerNear).
  void Append(const uint8_t* data, uint32_t length);
  // Replaces the input buffer by one of inputLength + length bytes holding the unread tail;
  // false (the old buffer kept) when it cannot be had.
  bool MakeRoom(uint32_t length);
  // Whether the bytes written since the last step may wait for more (kGatherBytes).
  bool MayGather() const;
  // Runs up to kMaxStepsPerRead decoder steps.
  void Step();
  // Tells the decoder that its input has ended (EndOfData) and takes its answer.
  void EndData();
  // Takes a step's result into lastStep and state.
  void TakeStep(const StepResult& step);
  // Hands out the held band's next row; false when the band has none left.
  bool NextRow(uint8_t** row, uint32_t* rowLength);
};

}  // namespace jpegdec
