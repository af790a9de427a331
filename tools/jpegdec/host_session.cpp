#include "host_session.h"

#include <algorithm>
#include <memory>

#include "file_io.h"
#include "input_facts.h"
#include "jpegdec/jpegdec.h"

namespace jpegdec_cli {
namespace {

// No image has more rows than a frame header's largest height, plus one band after a DNL.
constexpr std::uint32_t kMaxRows = 65535 + 32;

// Deletes the instance on every way out.
struct InstanceHolder {
  JpegDecodeInstance* instance = CreateJpegDecodeInstance();
  ~InstanceHolder() { DeleteJpegDecodeInstance(instance); }
};

// Reads after EndOfInput that may each answer "again" before the decoder counts as not coming to
// an end. The library ends every decode once it has used the bytes written (rows, then 2 or -1),
// and a Read that answers 1 meanwhile has done its share of that work (30 decoder steps, each
// consuming at least a marker's two bytes): this only guards against a decoder that never ends.
std::uint64_t IdleAllowed(std::uint64_t inputBytes) { return 16 + inputBytes / 8; }

// The native streaming decoder run beside a decode that does not stream, fed the same pieces;
// its rows are only counted.
class NativeCheck {
 public:
  explicit NativeCheck(const SessionOptions& options) : height_(options.height) {
    result_.ran = true;
    if (holder_.instance == nullptr) {
      done_ = true;
      return;
    }
    if (holder_.instance->Start(options.width, options.height, JPEGDEC_MODE_STREAMING,
                                options.divisor) == 0) {
      result_.end = SessionEnd::kStartFailed;
      done_ = true;
    }
  }

  // Writes one piece, reading between as the streaming protocol asks.
  void Feed(const std::uint8_t* data, std::size_t size) {
    bytes_ += size;
    for (std::uint64_t refused = 0; !done_; ++refused) {
      if (holder_.instance->Write(data, static_cast<std::uint32_t>(size)) != 0) {
        break;
      }
      if (refused > kMaxRefused) {
        Stop(SessionEnd::kRunaway);
      }
      ReadOnce();
    }
    while (!done_ && ReadOnce() == JPEGDEC_READ_ROW) {
    }
  }

  // After the last piece: reads to the end.
  CheckResult End() {
    if (!done_) {
      holder_.instance->EndOfInput(static_cast<std::int32_t>(height_));
    }
    const std::uint64_t allowed = IdleAllowed(bytes_);
    std::uint64_t idle = 0;
    while (!done_) {
      if (ReadOnce() == JPEGDEC_READ_ROW) {
        idle = 0;
      } else if (!done_ && ++idle > allowed) {
        Stop(SessionEnd::kRunaway);
      }
    }
    return result_;
  }

 private:
  static constexpr std::uint64_t kMaxRefused = 1000000;

  std::int32_t ReadOnce() {
    std::uint8_t* row = nullptr;
    std::uint32_t length = 0;
    const std::int32_t read = holder_.instance->Read(&row, &length);
    if (read == JPEGDEC_READ_ROW) {
      if (++result_.rows > kMaxRows) {
        Stop(SessionEnd::kRunaway);
      }
    } else if (read == JPEGDEC_READ_END) {
      Stop(SessionEnd::kEnd);
    } else if (read != JPEGDEC_READ_AGAIN) {
      Stop(SessionEnd::kFailed);
    }
    return read;
  }

  void Stop(SessionEnd end) {
    result_.end = end;
    done_ = true;
  }

  InstanceHolder holder_;
  std::uint32_t height_;
  std::uint64_t bytes_ = 0;
  bool done_ = false;
  CheckResult result_;
};

// Reads the input a piece at a time, counting its bytes and following its markers.
class PieceReader {
 public:
  PieceReader(int input, std::size_t piece, SessionResult* result)
      : input_(input), piece_(piece), result_(result) {}

  // Counts the bytes read before the session (the head), which hold the headers.
  void CountHead(const std::vector<std::uint8_t>& head) {
    const std::size_t headersEnd = HeadersEnd(head.data(), head.size());
    endMarker_.Feed(head.data() + headersEnd, head.size() - headersEnd);
    result_->inputBytes += head.size();
  }

  // Replaces `buffer`'s bytes with the next piece: `piece` bytes, or fewer where the input ends
  // or has no more for now (a pipe's bytes as they arrive). False on a read error
  // (result->inputError says why). A file's remaining size bounds the buffer, so that a piece
  // far larger than the file allocates no more than the file; elsewhere the buffer grows with
  // the bytes actually read.
  bool Fill(std::vector<std::uint8_t>* buffer) {
    buffer->clear();
    if (buffer->capacity() > piece_) {
      std::vector<std::uint8_t>().swap(*buffer);  // the head was larger than a piece
    }
    const std::uint64_t left = InputBytesLeft(input_);
    if (left < piece_) {
      buffer->reserve(static_cast<std::size_t>(left > 0 ? left : 1));
    }
    while (buffer->size() < piece_) {
      const std::size_t at = buffer->size();
      std::size_t want = std::min(piece_ - at, kReadChunk);
      if (buffer->capacity() > at) {
        want = std::min(want, buffer->capacity() - at);
      }
      buffer->resize(at + want);
      const long got = ReadInput(input_, buffer->data() + at, want, &result_->inputError);
      buffer->resize(at + static_cast<std::size_t>(got > 0 ? got : 0));
      if (got < 0) {
        return false;
      }
      if (got == 0) {
        done_ = true;
        break;
      }
      if (static_cast<std::size_t>(got) < want || buffer->size() == left) {
        break;  // all the input holds for now; the next piece starts with the next read
      }
    }
    endMarker_.Feed(buffer->data(), buffer->size());
    result_->inputBytes += buffer->size();
    return true;
  }

  bool done() const { return done_; }
  const EndMarkerFinder& endMarker() const { return endMarker_; }

 private:
  // The most one read asks for: pieces larger than this are gathered read by read.
  static constexpr std::size_t kReadChunk = 64u << 10;

  int input_;
  std::size_t piece_;
  SessionResult* result_;
  EndMarkerFinder endMarker_;
  bool done_ = false;
};
}  // namespace

SessionResult RunSession(std::vector<std::uint8_t> head, int input, const SessionOptions& options) {
  SessionResult result;
  InstanceHolder holder;
  JpegDecodeInstance* instance = holder.instance;
  if (instance == nullptr) {
    return result;
  }
  const std::int32_t started =
      instance->Start(options.width, options.height, options.mode, options.divisor);
  result.isStreaming = instance->IsStreaming();
  if (started == 0) {
    instance->Finish(&result.leftover);
    result.end = SessionEnd::kStartFailed;
    return result;
  }

  std::unique_ptr<NativeCheck> check;
  if (options.check && result.isStreaming == 0) {
    check = std::make_unique<NativeCheck>(options);
  }
  const std::size_t piece = std::max<std::uint32_t>(options.piece, 1);
  PieceReader reader(input, piece, &result);
  // The bytes not yet accepted: first the head, then one piece read from the input at a time.
  std::vector<std::uint8_t> buffer = std::move(head);
  std::size_t position = 0;
  bool endGiven = false;
  std::uint64_t idle = 0;
  std::uint64_t idleAllowed = 16;
  std::uint64_t callLimit = 100000 + 2 * std::uint64_t{kMaxRows};

  reader.CountHead(buffer);
  for (;;) {
    if (result.readCalls + result.writeCalls > callLimit + 16 * result.inputBytes) {
      result.end = SessionEnd::kRunaway;
      break;
    }
    std::uint8_t* row = nullptr;
    std::uint32_t rowLength = 0;
    const std::int32_t read = instance->Read(&row, &rowLength);
    ++result.readCalls;
    if (read == JPEGDEC_READ_ROW) {
      if (result.rows == 0) {
        result.rowLength = rowLength;
      } else if (rowLength != result.rowLength) {
        result.end = SessionEnd::kRowLengthChanged;
        break;
      }
      idle = 0;
      if (++result.rows > kMaxRows) {
        result.end = SessionEnd::kRunaway;
        break;
      }
      if (options.onRow && !options.onRow(result.isStreaming, row, rowLength)) {
        result.end = SessionEnd::kStopped;
        break;
      }
      continue;
    }
    if (read == JPEGDEC_READ_END) {
      result.end = SessionEnd::kEnd;
      break;
    }
    if (read != JPEGDEC_READ_AGAIN) {
      result.end = SessionEnd::kFailed;
      break;
    }
    if (position == buffer.size() && !reader.done()) {
      if (!reader.Fill(&buffer)) {
        result.end = SessionEnd::kInputError;
        break;
      }
      position = 0;
    }
    if (position < buffer.size()) {
      // A refused Write is offered again, whole, after the next Read: the streaming back-end
      // refuses only while it still has work, and makes room for any piece once it waits.
      const std::size_t length = std::min(piece, buffer.size() - position);
      ++result.writeCalls;
      if (instance->Write(buffer.data() + position, static_cast<std::uint32_t>(length)) != 0) {
        if (check) {
          check->Feed(buffer.data() + position, length);
        }
        position += length;
      } else {
        ++result.refusedWrites;
      }
      continue;
    }
    if (!endGiven) {
      instance->EndOfInput(static_cast<std::int32_t>(options.height));
      endGiven = true;
      idleAllowed = IdleAllowed(result.inputBytes);
      continue;
    }
    if (++idle > idleAllowed) {
      result.end = SessionEnd::kRunaway;
      break;
    }
  }
  // The rest of the input: for the check, for the count of bytes after the end marker, and
  // after a failure to tell data cut short (no end marker) from damaged data. The pieces the
  // instance did not take go to the check as they would have gone to the instance.
  const bool readRest = check || options.readToEnd || result.end == SessionEnd::kFailed;
  if (readRest && result.end != SessionEnd::kInputError) {
    bool readError = false;
    for (;;) {
      if (check) {
        for (; position < buffer.size(); position += std::min(piece, buffer.size() - position)) {
          check->Feed(buffer.data() + position, std::min(piece, buffer.size() - position));
        }
      }
      if (reader.done()) {
        break;
      }
      if (!reader.Fill(&buffer)) {
        readError = true;
        break;
      }
      position = 0;
    }
    result.readToEnd = !readError;
    if (check) {
      result.check = check->End();
    }
  }
  result.endMarkerSeen = reader.endMarker().seen();
  result.trailing = reader.endMarker().trailing();
  result.elapsedMs = instance->GetElapsedTime();
  result.writeCount = instance->GetWriteCount();
  result.readCount = instance->GetReadCount();
  instance->Finish(&result.leftover);
  return result;
}

}  // namespace jpegdec_cli
