// Decodes one file through the library as a scanner driver does: create, Start, Write pieces as
// the back-end accepts them and Read rows, EndOfInput, Read to the end, Finish, delete.
#pragma once

#include <cstdint>
#include <functional>
#include <vector>

namespace jpegdec_cli {

struct SessionOptions {
  std::int32_t mode = 0;
  std::int32_t divisor = 1;
  std::uint32_t piece = 4096;
  std::uint32_t width = 0;  // Start's width and height: the page size the driver expects
  std::uint32_t height = 0;
  std::function<void(std::uint32_t rows)> onRow;  // called after every row
};

enum class SessionEnd { kEnd, kFailed, kCutShort, kStartFailed, kNoInstance, kRunaway };

struct SessionResult {
  SessionEnd end = SessionEnd::kNoInstance;
  std::int32_t isStreaming = 0;
  std::uint32_t rows = 0;
  std::uint32_t rowLength = 0;  // of the first row
  bool rowLengthsAgree = true;
  std::vector<std::uint8_t> rowData;  // every row as handed out, one after another
  std::uint32_t leftover = 0;
  std::uint32_t elapsedMs = 0;  // the instance's own statistics, read before Finish
  std::uint32_t writeCount = 0;
  std::uint32_t readCount = 0;
  std::uint64_t writeCalls = 0;  // this host's calls
  std::uint64_t readCalls = 0;
  std::uint64_t refusedWrites = 0;
};

SessionResult RunSession(const std::vector<std::uint8_t>& file, const SessionOptions& options);

}  // namespace jpegdec_cli
