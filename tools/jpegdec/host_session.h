// Decodes one file through the library as a scanner driver does: create, Start, Write pieces as
// the back-end accepts them and Read rows, EndOfInput, Read to the end, Finish, delete. The input
// is read piece by piece and every row goes to the sink as Read hands it out; nothing of the
// image is collected here.
#pragma once

#include <cstdint>
#include <functional>
#include <string>
#include <vector>

namespace jpegdec_cli {

struct SessionOptions {
  std::int32_t mode = 0;
  std::int32_t divisor = 1;
  std::uint32_t piece = 4096;
  std::uint32_t width = 0;  // Start's width and height: the page size the driver expects
  std::uint32_t height = 0;
  // Called with every row, and IsStreaming's answer after Start; false stops the decode (the
  // output could not take the row).
  std::function<bool(std::int32_t isStreaming, const std::uint8_t* row, std::uint32_t length)>
      onRow;
  // When the instance does not stream (GDI+, which reports no damage, or its fallback), run the
  // native streaming decoder over the same pieces beside it, for its verdict on the data.
  bool check = false;
  // Read the input to its end after a decode that ended well, so that the bytes after the end
  // marker are counted in the whole input. A failed decode always reads it to its end, to tell
  // data cut short from damaged data.
  bool readToEnd = false;
};

enum class SessionEnd {
  kEnd,
  kFailed,
  kStartFailed,
  kNoInstance,
  kRunaway,
  kRowLengthChanged,
  kInputError,
  kStopped,  // onRow said stop
};

// The native decoder's verdict when it ran beside a decode that does not stream.
struct CheckResult {
  bool ran = false;
  SessionEnd end = SessionEnd::kNoInstance;
  std::uint32_t rows = 0;
};

struct SessionResult {
  SessionEnd end = SessionEnd::kNoInstance;
  std::int32_t isStreaming = 0;
  std::uint32_t rows = 0;
  std::uint32_t rowLength = 0;  // of the first row
  bool endMarkerSeen = false;   // the input held the image's end marker (outside any segment)
  std::uint64_t inputBytes = 0;
  std::uint32_t leftover = 0;  // Finish's count: after the end marker, in the last piece only
  std::uint64_t trailing = 0;  // bytes after the end marker in all the input read
  bool readToEnd = false;      // the input was read to its end (trailing covers all of it)
  std::string inputError;      // the system's word on a read that failed
  CheckResult check;
  std::uint32_t elapsedMs = 0;  // the instance's own statistics, read before Finish
  std::uint32_t writeCount = 0;
  std::uint32_t readCount = 0;
  std::uint64_t writeCalls = 0;  // this host's calls
  std::uint64_t readCalls = 0;
  std::uint64_t refusedWrites = 0;
};

// `head` holds the input's first bytes, already read (to probe the frame header); the rest comes
// from the descriptor `input` (file_io.h), in pieces of at most options.piece bytes. A piece is
// as long as the input has bytes for it: a file's pieces are whole, a pipe's are what it holds
// when read. The buffer grows with the bytes read, never beyond what the input has.
SessionResult RunSession(std::vector<std::uint8_t> head, int input, const SessionOptions& options);

}  // namespace jpegdec_cli
