// The tool's few operating-system services: files named in UTF-8 (any Unicode name on Windows),
// "-" for the standard streams, and an output that appears under its name only when complete.
// What is the same on every system is in file_io.cpp; each system's own calls are in its file,
// file_io_posix.cpp or file_io_win32.cpp, one of which the build takes. That file also holds the
// program's entry point, which hands the arguments to Main in UTF-8.
#pragma once

#include <cstdint>
#include <cstdio>
#include <string>

namespace jpegdec_cli {

// The tool (main.cpp), given its arguments in UTF-8; its exit status.
int Main(int argc, char** argv);

// The name that stands for standard input (as INPUT) or standard output (as OUTPUT).
inline constexpr const char* kStandardStream = "-";

// Opens `path` for binary reading, or standard input for "-": a descriptor, or -1 with `error`
// set (a folder is refused here, with that reason). Reads return what is there (a pipe's bytes
// as they arrive), not a full buffer.
int OpenInput(const std::string& path, std::string* error);
// Bytes read into `data` (at most `size`), 0 at the end of the input, -1 on a read error (with
// `error` set to the system's word on it).
long ReadInput(int input, void* data, std::size_t size, std::string* error);
// The bytes a regular file has after the current position; kUnknownSize for pipes and devices.
inline constexpr std::uint64_t kUnknownSize = ~std::uint64_t{0};
std::uint64_t InputBytesLeft(int input);
void CloseInput(int input);

bool StderrIsTerminal();

// The version of the jpegdec library this process loaded, from the file itself (the DLL's
// version resource, the shared library's versioned name); "" when it cannot be told.
std::string LoadedLibraryVersion();

// The process's peak memory so far (its largest resident set, or on Windows its peak working
// set), in bytes; 0 when the system does not say.
std::uint64_t PeakMemoryBytes();

// Removes the partial output when SIGINT, SIGTERM, SIGHUP or SIGQUIT (Ctrl-C, Ctrl-Break or the
// console closing on Windows) ends the process. A file-size limit (SIGXFSZ) does not end it: the
// write that meets the limit fails, and the output is discarded as for any failed write. Call
// once, before the first OutputFile opens.
void InstallInterruptCleanup();

// Which file or disk a name or descriptor leads to, as the system tells files apart (device and
// inode; volume and file index on Windows). Unknown for pipes, sockets and terminals: one may
// well be both the input and the output (a service's connection), and writing it loses nothing.
struct FileIdentity {
  bool known = false;
  std::uint64_t volume = 0;
  std::uint64_t file = 0;
  bool Same(const FileIdentity& other) const {
    return known && other.known && volume == other.volume && file == other.file;
  }
};
FileIdentity IdentityOf(int descriptor);

// Where the rows go. A regular file (new, or an existing one the user may write) is written under
// a temporary name beside it and renamed over it once complete, so that a failed decode leaves
// no half-written file; a replaced file keeps its permissions, its extended attributes (ACLs
// among them) and its owner where the user may set it. A symbolic link is followed to its final
// target, which is written that way. A device, FIFO or socket (a pipe or console on Windows) is
// written in place: it is never replaced. Standard output ("-") is written directly.
class OutputFile {
 public:
  OutputFile() = default;
  OutputFile(const OutputFile&) = delete;
  OutputFile& operator=(const OutputFile&) = delete;
  ~OutputFile();  // discards a file not committed

  // Looks at the target before anything is decoded: false with `error` set when it cannot be
  // written (a directory, a file the user may not write or, in a sticky folder, replace; a link
  // loop). Creates no file; opens a device, FIFO or socket (a FIFO's open waits for its reader).
  bool Prepare(const std::string& target, std::string* error);
  // After Prepare: whether the target is the file or disk open as `input` (the same one,
  // whatever names or links lead to it), which the output must never replace.
  bool IsFileOf(int input) const { return identity_.Same(IdentityOf(input)); }
  // Creates the temporary file, or opens the device, FIFO or socket. After Prepare.
  bool Open(std::string* error);
  std::FILE* stream() const { return stream_; }
  // Closes the file and gives it its name; false (the file removed) when anything failed.
  bool Commit(std::string* error);
  void Discard();
  // The target is written in place (standard output, a device, FIFO or socket).
  bool inPlace() const { return kind_ != Kind::kNewFile && kind_ != Kind::kReplace; }

 private:
  enum class Kind { kStandardOutput, kNewFile, kReplace, kInPlace };
  // No device, pipe or socket open (a descriptor, or a handle on Windows).
  static constexpr std::intptr_t kNothingOpen = -1;

  // Each system's own (file_io_posix.cpp, file_io_win32.cpp).
  // Gives the complete temporary file the final name; false with the system's word in `why`.
  bool PutInPlace(std::string* why);
  // Closes the device, pipe or socket Prepare opened (inPlace_), when Open did not take it.
  void CloseInPlace();
  void RemoveTemporary();

  std::string target_;  // as the user named it, for messages
  std::string final_;   // the file written: the target, or where its links lead
  std::string temporary_;
  std::FILE* stream_ = nullptr;
  Kind kind_ = Kind::kNewFile;
  FileIdentity identity_;  // of the existing target (or standard output), when there is one
  unsigned mode_ = 0;      // the replaced file's permission bits and owner
  long long owner_ = -1;
  long long group_ = -1;
  std::intptr_t inPlace_ = kNothingOpen;  // the device, pipe or socket, opened by Prepare
};

// Whether a writer may place bytes out of order in `stream`: its position can be set (a regular
// file or a disk device, not a pipe, socket or console) and a write lands where it was set (not
// a file opened for appending, where every write goes to the end; on Windows, where a handle
// need not show that, only files the tool opened itself).
bool WritesLandWhereSet(std::FILE* stream);
// The position in `stream` (-1 when it has none), and setting it: 64-bit on every system.
long long StreamPosition(std::FILE* stream);
bool SeekStream(std::FILE* stream, std::uint64_t offset);

}  // namespace jpegdec_cli
