#include "host_session.h"

#include <algorithm>

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

}  // namespace

SessionResult RunSession(const std::vector<std::uint8_t>& file, const SessionOptions& options) {
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

  const std::size_t piece = std::max<std::uint32_t>(options.piece, 1);
  std::size_t position = 0;
  std::size_t refused = 0;  // length of the last refused piece; 0 after an accepted one
  bool inputEnded = false;
  // After the last byte, a Read that answers 1 has either done its share of work (30 decoder
  // steps, each consuming input or ending a band) or waits for input that will not come.
  const std::uint64_t idleAllowed = 16 + file.size() / 8;
  std::uint64_t idle = 0;
  const std::uint64_t callLimit = 100000 + 16 * static_cast<std::uint64_t>(file.size()) +
                                  2 * static_cast<std::uint64_t>(kMaxRows);

  for (;;) {
    if (result.readCalls + result.writeCalls > callLimit) {
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
        result.rowLengthsAgree = false;
        result.end = SessionEnd::kFailed;
        break;
      }
      result.rowData.insert(result.rowData.end(), row, row + rowLength);
      idle = 0;
      if (++result.rows > kMaxRows) {
        result.end = SessionEnd::kRunaway;
        break;
      }
      if (options.onRow) {
        options.onRow(result.rows);
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
    if (position < file.size()) {
      // A refused Write is retried after the next Read (the back-end may have been busy); when
      // it is refused again the piece is halved (a long segment may leave less room).
      std::size_t length = std::min(piece, file.size() - position);
      if (refused != 0) {
        length = std::min(length, std::max<std::size_t>(refused / 2, 1));
      }
      ++result.writeCalls;
      if (instance->Write(file.data() + position, static_cast<std::uint32_t>(length)) != 0) {
        position += length;
        refused = 0;
      } else {
        ++result.refusedWrites;
        refused = refused == 0 ? length * 2 : length;
      }
      continue;
    }
    if (!inputEnded) {
      instance->EndOfInput(static_cast<std::int32_t>(options.height));
      inputEnded = true;
      continue;
    }
    if (++idle > idleAllowed) {
      result.end = SessionEnd::kCutShort;
      break;
    }
  }
  result.elapsedMs = instance->GetElapsedTime();
  result.writeCount = instance->GetWriteCount();
  result.readCount = instance->GetReadCount();
  instance->Finish(&result.leftover);
  return result;
}

}  // namespace jpegdec_cli
