#include "backends/streaming_backend.h"

#include <algorithm>
#include <cstring>

#include "platform/platform.h"

namespace jpegdec {
namespace {

constexpr int32_t kReadRow = 0;
constexpr int32_t kReadAgain = 1;
constexpr int32_t kReadEnd = 2;
constexpr int32_t kReadFailed = -1;

// The input buffer's size for an image `width` pixels wide, in 64 bits: widths beyond about
// 89 million pixels ask for more than 32 bits can count, and such a set-up fails.
uint64_t InputCapacityFor(uint32_t width) {
  const uint64_t wanted =
      uint64_t{width} * StreamingBackend::kInputBytesPerPixel + StreamingBackend::kInputSlack;
  return wanted < StreamingBackend::kMinInputCapacity ? StreamingBackend::kMinInputCapacity
                                                      : wanted;
}

}  // namespace

StreamingBackend::~StreamingBackend() { Release(); }

int32_t StreamingBackend::SetUp(uint32_t width) {
  elapsedMs = 0;
  writeCalls = 0;
  readCalls = 0;
  Release();  // a second set-up starts afresh instead of leaking the first

  const uint64_t capacity = InputCapacityFor(width);
  if (capacity > UINT32_MAX) {
    return 0;
  }
  inputCapacity = static_cast<uint32_t>(capacity);
  context = CreateDecoderContext();
  if (context == nullptr) {
    inputCapacity = 0;
    return 0;
  }
  inputBuffer = static_cast<uint8_t*>(platform::HeapAllocate(inputCapacity));
  if (inputBuffer == nullptr) {
    ReleaseDecoderContext(context);
    context = nullptr;
    inputCapacity = 0;
    return 0;
  }
  inputLength = 0;
  adoptedLength = 0;
  decoderWaits = 1;
  bandRow = 0;
  state = JD_NEED_DATA;
  lastStep = {};
  bytesHandedOut = 0;
  rowPixels = 0;
  bytesPerPixel = 0;
  markerNear = 0;
  gatherLimit = 0;
  stepLength = 0;
  return 1;
}

inline void StreamingBackend::Append(const uint8_t* data, uint32_t length) {
  if (length == 1) {
    inputBuffer[inputLength] = *data;  // a host writing single bytes: no library call
    if (*data == 0xFF) {
      markerNear = 1;  // stored only then: Read reads this flag together with its neighbours
    }
  } else {
    std::memcpy(inputBuffer + inputLength, data, length);
    if (length < kGatherBytes && std::memchr(data, 0xFF, length) != nullptr) {
      markerNear = 1;
    }
  }
  inputLength += length;
}

int32_t StreamingBackend::Write(const uint8_t* data, uint32_t length) {
  // Only a piece that makes the buffer grow is timed: an append is a copy, far below the
  // clock's millisecond for any piece (64 KiB in a few microseconds), and a host writing single
  // bytes would spend more time reading the clock than copying.
  ++writeCalls;
  int32_t result = 0;
  if (inputEnded != 0) {
    // The host said the input was complete; bytes after that cannot belong to this image.
  } else if (length == 0) {
    // Nothing to add; accepting it must not leave the back-end believing it has work.
    result = 1;
  } else if (data != nullptr && inputBuffer != nullptr && state == JD_NEED_DATA) {
    // inputLength <= inputCapacity always. A refusal for want of room would be final: the
    // decoder waits for these very bytes, so no Read could ever make the room.
    bool roomMade = true;
    if (length > inputCapacity - inputLength) {
      callStartTick = platform::TickCount();
      roomMade = MakeRoom(length);
      elapsedMs += platform::TickCount() - callStartTick;
    }
    if (!roomMade) {
      state = JD_ERR_NOMEM;  // the decode ends here rather than wait for ever
    } else {
      Append(data, length);
      state = JD_OK;
      result = 1;
    }
  } else if (data != nullptr && inputBuffer != nullptr &&
             (state == JD_OK || state == JD_BAND_READY)) {
    // The decoder reads the buffer in place up to where it was given its bytes; bytes behind
    // them wait for its next adoption. The buffer cannot move now, so only what fits is taken.
    if (length <= inputCapacity - inputLength) {
      Append(data, length);
      result = 1;
    }
  }
  return result;
}

bool StreamingBackend::MakeRoom(uint32_t length) {
  const uint64_t needed = uint64_t{inputLength} + length;
  if (needed > kMaxInputCapacity) {
    return false;
  }
  auto* grown = static_cast<uint8_t*>(platform::HeapAllocate(static_cast<std::size_t>(needed)));
  if (grown == nullptr) {
    return false;
  }
  if (inputLength != 0) {
    std::memcpy(grown, inputBuffer, inputLength);
  }
  platform::HeapRelease(inputBuffer);
  inputBuffer = grown;
  inputCapacity = static_cast<uint32_t>(needed);
  return true;
}

void StreamingBackend::ReleaseBand() {
  if (state == JD_BAND_READY && lastStep.data != nullptr) {
    ReturnBand(context, lastStep.data);  // kept for the next band (released without a context)
  }
  lastStep.data = nullptr;
  lastStep.count = 0;
  bandRow = 0;
}

void StreamingBackend::TakeStep(const StepResult& step) {
  // Field by field: the step writes its result in pieces of different widths, and copying the
  // record whole would read them back in one wide load, which the processor cannot serve from
  // the pending narrow stores (a stall on every step, noticeable with tiny pieces).
  lastStep.status = step.status;
  lastStep.width = step.width;
  lastStep.height = step.height;
  lastStep.numComponents = step.numComponents;
  lastStep.count = step.count;
  lastStep.data = step.data;
  state = step.status;
}

bool StreamingBackend::MayGather() const {
  return inputEnded == 0 && markerNear == 0 && inputLength - stepLength < gatherLimit;
}

void StreamingBackend::Step() {
  markerNear = 0;
  for (int i = 0; i < kMaxStepsPerRead; ++i) {
    if (decoderWaits != 0) {
      adoptedLength = inputLength;  // this step adopts the buffer as it stands
    }
    TakeStep(DecodeStep(context, inputBuffer, static_cast<int32_t>(inputLength)));
    decoderWaits = state == JD_NEED_DATA ? 1 : 0;
    if (state == JD_NEED_DATA) {
      // Keep the unread tail at the front, and the bytes written behind the adopted ones since
      // (Write while rows were handed out) after it. The decoder reports a tail inside the
      // bytes it adopted; anything else is treated as no tail at all.
      uint32_t tailStart = adoptedLength;
      if (lastStep.data != nullptr && lastStep.count > 0 && lastStep.data >= inputBuffer &&
          lastStep.data <= inputBuffer + adoptedLength &&
          static_cast<uint32_t>(lastStep.count) ==
              static_cast<uint32_t>(inputBuffer + adoptedLength - lastStep.data)) {
        tailStart = static_cast<uint32_t>(lastStep.data - inputBuffer);
      }
      const uint32_t tail = adoptedLength - tailStart;
      inputLength -= tailStart;
      if (inputLength != 0 && tailStart != 0) {
        std::memmove(inputBuffer, inputBuffer + tailStart, inputLength);
      }
      if (inputLength == tail) {
        break;  // nothing new behind the tail: the decoder has used what it can
      }
    } else if (state != JD_OK) {
      break;
    }
  }
  const int32_t spare = state == JD_NEED_DATA ? BytesToGather(context) : 0;
  gatherLimit = spare <= 0 ? 0 : std::min(static_cast<uint32_t>(spare), kGatherBytes);
  stepLength = inputLength;
  if (bytesHandedOut == 0) {
    // Until the first row has gone out, rows take the image's shape from the latest step.
    rowPixels = lastStep.width;
    bytesPerPixel = lastStep.numComponents;
  }
}

void StreamingBackend::EndData() {
  TakeStep(EndOfData(context));
  inputLength = 0;  // nothing of the input is read any more
  if (bytesHandedOut == 0) {
    rowPixels = lastStep.width;
    bytesPerPixel = lastStep.numComponents;
  }
}

void StreamingBackend::MarkInputComplete() { inputEnded = 1; }

bool StreamingBackend::NextRow(uint8_t** row, uint32_t* rowLength) {
  const uint64_t rowBytes = uint64_t{rowPixels} * bytesPerPixel;
  const uint64_t bandBytes = lastStep.count > 0 ? static_cast<uint64_t>(lastStep.count) : 0;
  const auto done = static_cast<uint64_t>(bandRow);
  // Only whole rows inside the band are handed out.
  if (rowBytes == 0 || lastStep.data == nullptr || (done + 1) * rowBytes > bandBytes) {
    return false;
  }
  *row = lastStep.data + done * rowBytes;
  *rowLength = static_cast<uint32_t>(rowBytes);
  bytesHandedOut += static_cast<uint32_t>(rowBytes);
  ++bandRow;
  return true;
}

int32_t StreamingBackend::Read(uint8_t** row, uint32_t* rowLength) {
  ++readCalls;
  if (state == JD_OK && row != nullptr && rowLength != nullptr && MayGather()) {
    // The bytes just written wait for more. Like an append in Write, deciding so takes far
    // less than the clock's millisecond, and the call is not timed.
    state = JD_NEED_DATA;
    return kReadAgain;
  }
  callStartTick = platform::TickCount();
  int32_t result = kReadAgain;
  if (context == nullptr || IsError(state)) {
    // No decoder: the set-up failed (or the back-end was released). Or the decode failed, also
    // when no input is held: a piece refused for want of memory ended it.
    result = kReadFailed;
  } else if (row != nullptr && rowLength != nullptr && context != nullptr &&
             (inputLength != 0 || inputEnded != 0)) {
    if (state == JD_BAND_READY) {
      if (NextRow(row, rowLength)) {
        result = kReadRow;
      } else {
        // The band's rows are all out: release it and decode on.
        ReleaseBand();
        state = JD_OK;
      }
    }
    if (result != kReadRow) {
      // Waiting for input that will not come: there is nothing left to step over, unless bytes
      // were gathered since the last step.
      const bool gathered = inputLength > stepLength;
      if (state == JD_OK || (state == JD_NEED_DATA && (inputEnded == 0 || gathered))) {
        Step();
      }
      if (state == JD_NEED_DATA && inputEnded != 0) {
        EndData();
      }
      if (state == JD_OK || state == JD_NEED_DATA) {
        result = kReadAgain;
      } else if (state == JD_END) {
        result = kReadEnd;
      } else if (state == JD_BAND_READY) {
        result = NextRow(row, rowLength) ? kReadRow : kReadAgain;
      } else {
        result = kReadFailed;
      }
    }
  }
  elapsedMs += platform::TickCount() - callStartTick;
  return result;
}

void StreamingBackend::Finish(uint32_t* leftover) {
  if (state == JD_BAND_READY) {
    uint8_t* row = nullptr;
    uint32_t rowLength = 0;
    for (int i = 0; i < kMaxDrainReads; ++i) {
      if (Read(&row, &rowLength) != kReadRow) {
        break;
      }
    }
  }
  if (leftover != nullptr) {
    *leftover = 0;
    if (state == JD_END && context != nullptr) {
      // The bytes after the end marker in what the decoder adopted, and those written behind
      // them while it worked, which it never adopted.
      const int32_t after = BytesAfterEnd(context);
      const uint32_t unread = inputLength > adoptedLength ? inputLength - adoptedLength : 0;
      *leftover = (after > 0 ? static_cast<uint32_t>(after) : 0) + unread;
    }
  }
  Release();
}

void StreamingBackend::Release() {
  ReleaseBand();
  if (context != nullptr) {
    // Also frees what the decoder still holds of an unfinished image (a band under
    // construction, a band kept or held for the next one).
    ReleaseDecoderContext(context);
    context = nullptr;
  }
  if (inputBuffer != nullptr) {
    platform::HeapRelease(inputBuffer);
    inputBuffer = nullptr;
    inputCapacity = 0;
  }
  inputLength = 0;
}

}  // namespace jpegdec
