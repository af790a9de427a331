// What the two systems' files (file_io_posix.cpp, file_io_win32.cpp) share with file_io.cpp.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>

namespace jpegdec_cli::file_io_internal {

std::string ErrnoText();

// One read from the descriptor: the bytes read, or -1 with errno set (EINTR among the reasons).
long ReadOnce(int input, void* data, std::size_t size);
// A regular file's size and the position in it; false for pipes and devices.
bool FileSizeAndPosition(int input, std::uint64_t* size, std::uint64_t* position);

// The longest file name NTFS takes (255 UTF-16 units), and most Linux file systems (255 bytes).
inline constexpr std::size_t kNameMax = 255;

// `final` + "." + pid + ".partial", beside it (in the folder before the last of `separators`).
// Where that name would be longer than the folder allows (`nameMax` bytes), the end of the
// file's own name gives way, cut where a UTF-8 character starts.
std::string TemporaryName(const std::string& final, unsigned long pid, std::size_t nameMax,
                          const char* separators);

// The temporary file to remove when a signal ends the process: the system's form of its path
// (`bytes` bytes with its terminator), copied before the file is created and cleared once it is
// renamed or removed. CleanupPath is for the signal handler: null when nothing is armed.
void ArmCleanup(const void* path, std::size_t bytes);
void DisarmCleanup();
const void* CleanupPath();

}  // namespace jpegdec_cli::file_io_internal
