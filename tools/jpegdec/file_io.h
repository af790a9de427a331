// The tool's few operating-system services: files named in UTF-8 (any Unicode name on Windows),
// "-" for the standard streams, and an output that appears under its name only when complete.
#pragma once

#include <cstdio>
#include <string>

namespace jpegdec_cli {

// The name that stands for standard input (as INPUT) or standard output (as OUTPUT).
inline constexpr const char* kStandardStream = "-";

// Opens `path` for binary reading, or standard input for "-": a descriptor, or -1 with `error`
// set. Reads return what is there (a pipe's bytes as they arrive), not a full buffer.
int OpenInput(const std::string& path, std::string* error);
// Bytes read into `data` (at most `size`), 0 at the end of the input, -1 on a read error.
long ReadInput(int input, void* data, std::size_t size);
void CloseInput(int input);

bool StderrIsTerminal();

// The version of the jpegdec library this process loaded, from the file itself (the DLL's
// version resource, the shared library's versioned name); "" when it cannot be told.
std::string LoadedLibraryVersion();

// Removes the partial output when SIGINT or SIGTERM (Ctrl-C, Ctrl-Break or the console closing
// on Windows) ends the process. Call once, before the first OutputFile opens.
void InstallInterruptCleanup();

// An output file written under a temporary name in the target's directory and renamed over the
// target once complete; removed when the decode fails or the process is interrupted. Standard
// output ("-") is written directly.
class OutputFile {
 public:
  OutputFile() = default;
  OutputFile(const OutputFile&) = delete;
  OutputFile& operator=(const OutputFile&) = delete;
  ~OutputFile();  // discards a file not committed

  bool Open(const std::string& target, std::string* error);
  std::FILE* stream() const { return stream_; }
  // Closes the file and gives it its name; false (the file removed) when anything failed.
  bool Commit(std::string* error);
  void Discard();

 private:
  std::string target_;
  std::string temporary_;
  std::FILE* stream_ = nullptr;
  bool standardOutput_ = false;
};

}  // namespace jpegdec_cli
