// The parts of the tool's file handling that are the same on every system: reading the input,
// the temporary file's name, what a signal handler removes, and committing or discarding the
// output.
#include "file_io.h"

#include <cerrno>
#include <csignal>
#include <cstring>

#include "file_io_internal.h"

namespace jpegdec_cli {
namespace file_io_internal {
namespace {

// Room for a path of 4096 UTF-16 units (or bytes) and its terminator.
constexpr std::size_t kMaxCleanupBytes = 4097 * sizeof(wchar_t);
alignas(wchar_t) unsigned char cleanupPath[kMaxCleanupBytes];
volatile std::sig_atomic_t cleanupArmed = 0;

// The temporary file's suffix, after the process id.
constexpr const char* kPartialSuffix = ".partial";

}  // namespace

std::string ErrnoText() { return std::strerror(errno); }

std::string TemporaryName(const std::string& final, unsigned long pid, std::size_t nameMax,
                          const char* separators) {
  const std::string suffix = "." + std::to_string(pid) + kPartialSuffix;
  const std::size_t slash = final.find_last_of(separators);
  const std::size_t nameAt = slash == std::string::npos ? 0 : slash + 1;
  std::string name = final.substr(nameAt);
  if (name.size() + suffix.size() > nameMax && nameMax > suffix.size()) {
    std::size_t keep = nameMax - suffix.size();
    while (keep > 0 && (static_cast<unsigned char>(name[keep]) & 0xC0) == 0x80) {
      --keep;
    }
    name.resize(keep);
  }
  return final.substr(0, nameAt) + name + suffix;
}

void ArmCleanup(const void* path, std::size_t bytes) {
  cleanupArmed = 0;
  if (bytes > kMaxCleanupBytes) {
    return;  // left behind only if a signal comes; such paths are not expected
  }
  std::memcpy(cleanupPath, path, bytes);
  cleanupArmed = 1;
}

void DisarmCleanup() { cleanupArmed = 0; }

const void* CleanupPath() { return cleanupArmed != 0 ? cleanupPath : nullptr; }

}  // namespace file_io_internal

using file_io_internal::DisarmCleanup;
using file_io_internal::ErrnoText;

long ReadInput(int input, void* data, std::size_t size, std::string* error) {
  constexpr std::size_t kLargestRead = 1u << 30;
  const std::size_t want = size < kLargestRead ? size : kLargestRead;
  for (;;) {
    const long got = file_io_internal::ReadOnce(input, data, want);
    if (got >= 0) {
      return got;
    }
    if (errno != EINTR) {
      *error = ErrnoText();
      return -1;
    }
  }
}

std::uint64_t InputBytesLeft(int input) {
  std::uint64_t size = 0;
  std::uint64_t position = 0;
  if (!file_io_internal::FileSizeAndPosition(input, &size, &position)) {
    return kUnknownSize;
  }
  return size > position ? size - position : 0;
}

OutputFile::~OutputFile() { Discard(); }

bool OutputFile::Commit(std::string* error) {
  if (stream_ == nullptr) {
    *error = "cannot write '" + target_ + "': not open";
    return false;
  }
  if (kind_ == Kind::kStandardOutput) {
    const bool ok = std::fflush(stdout) == 0 && std::ferror(stdout) == 0;
    stream_ = nullptr;
    if (!ok) {
      *error = "cannot write to standard output: " + ErrnoText();
    }
    return ok;
  }
  const bool written = std::ferror(stream_) == 0;
  const bool closed = std::fclose(stream_) == 0;
  stream_ = nullptr;
  if (!written || !closed) {
    *error = "cannot write '" + target_ + "': " + ErrnoText();
    Discard();
    return false;
  }
  if (inPlace()) {
    return true;
  }
  std::string why;
  if (!PutInPlace(&why)) {
    *error = "cannot rename '" + temporary_ + "' to '" + final_ + "': " + why;
    Discard();
    return false;
  }
  DisarmCleanup();
  temporary_.clear();
  return true;
}

void OutputFile::Discard() {
  if (stream_ != nullptr && kind_ != Kind::kStandardOutput) {
    std::fclose(stream_);
  }
  stream_ = nullptr;
  if (inPlace_ != kNothingOpen) {
    CloseInPlace();
    inPlace_ = kNothingOpen;
  }
  if (!temporary_.empty()) {
    RemoveTemporary();
    temporary_.clear();
  }
  DisarmCleanup();
}

}  // namespace jpegdec_cli
