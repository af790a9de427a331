// The tool's file handling on Windows, and its entry point there: wmain, so that file names with
// any Unicode character reach the tool (as UTF-8) and the system (as UTF-16) whole.
#include <fcntl.h>
#include <io.h>
#include <sys/stat.h>
#include <windows.h>
// after windows.h
#include <psapi.h>

#include <cerrno>
#include <cstring>
#include <vector>

#include "file_io.h"
#include "file_io_internal.h"

namespace jpegdec_cli {

using file_io_internal::ErrnoText;

namespace {

// The longest path the system's wide calls return.
constexpr DWORD kLongestPath = 32768;

std::wstring Wide(const std::string& utf8) {
  if (utf8.empty()) {
    return std::wstring();
  }
  const int length =
      MultiByteToWideChar(CP_UTF8, 0, utf8.data(), static_cast<int>(utf8.size()), nullptr, 0);
  std::wstring wide(static_cast<std::size_t>(length > 0 ? length : 0), L'\0');
  if (length > 0) {
    MultiByteToWideChar(CP_UTF8, 0, utf8.data(), static_cast<int>(utf8.size()), wide.data(),
                        length);
  }
  return wide;
}

// `length` UTF-16 units (-1: up to the terminator) as UTF-8.
std::string Narrow(const wchar_t* wide, int length) {
  const int size = WideCharToMultiByte(CP_UTF8, 0, wide, length, nullptr, 0, nullptr, nullptr);
  std::string utf8(static_cast<std::size_t>(size > 0 ? size : 0), '\0');
  if (size > 0) {
    WideCharToMultiByte(CP_UTF8, 0, wide, length, utf8.data(), size, nullptr, nullptr);
  }
  if (length < 0 && !utf8.empty()) {
    utf8.pop_back();  // the terminator
  }
  return utf8;
}

std::string LastErrorText() {
  const DWORD code = GetLastError();
  wchar_t* text = nullptr;
  const DWORD length = FormatMessageW(
      FORMAT_MESSAGE_ALLOCATE_BUFFER | FORMAT_MESSAGE_FROM_SYSTEM | FORMAT_MESSAGE_IGNORE_INSERTS,
      nullptr, code, 0, reinterpret_cast<wchar_t*>(&text), 0, nullptr);
  std::string result;
  if (length > 0 && text != nullptr) {
    result = Narrow(text, static_cast<int>(length));
    while (!result.empty() && (result.back() == '\n' || result.back() == '\r')) {
      result.pop_back();
    }
  }
  LocalFree(text);
  return result.empty() ? "error " + std::to_string(code) : result;
}

// Runs on the console's own thread: the file was opened with FILE_SHARE_DELETE, so it can be
// deleted while open and goes when the process, ended by the default handler, closes it.
BOOL WINAPI OnConsoleEvent(DWORD /*event*/) {
  if (const void* path = file_io_internal::CleanupPath()) {
    DeleteFileW(static_cast<const wchar_t*>(path));
  }
  return FALSE;
}

// Only stored data has an identity: a file, or a disk.
FileIdentity IdentityOfHandle(HANDLE handle) {
  FileIdentity identity;
  BY_HANDLE_FILE_INFORMATION information = {};
  if (handle != INVALID_HANDLE_VALUE && handle != nullptr &&
      GetFileType(handle) == FILE_TYPE_DISK &&
      GetFileInformationByHandle(handle, &information) != 0) {
    identity.known = true;
    identity.volume = information.dwVolumeSerialNumber;
    identity.file = std::uint64_t{information.nFileIndexHigh} << 32 | information.nFileIndexLow;
  }
  return identity;
}

bool IsSeekable(std::FILE* stream) {
  const intptr_t handle = _get_osfhandle(_fileno(stream));
  return handle != -1 && GetFileType(reinterpret_cast<HANDLE>(handle)) == FILE_TYPE_DISK;
}

}  // namespace

int OpenInput(const std::string& path, std::string* error) {
  if (path == kStandardStream) {
    _setmode(_fileno(stdin), _O_BINARY);
    return _fileno(stdin);
  }
  const std::wstring wide = Wide(path);
  const int input = _wopen(wide.c_str(), _O_RDONLY | _O_BINARY);
  if (input < 0) {
    const DWORD attributes = GetFileAttributesW(wide.c_str());
    const bool folder =
        attributes != INVALID_FILE_ATTRIBUTES && (attributes & FILE_ATTRIBUTE_DIRECTORY) != 0;
    *error = folder ? std::string("it is a folder") : ErrnoText();
  }
  return input;
}

long file_io_internal::ReadOnce(int input, void* data, std::size_t size) {
  return _read(input, data, static_cast<unsigned>(size));
}

bool file_io_internal::FileSizeAndPosition(int input, std::uint64_t* size,
                                           std::uint64_t* position) {
  struct _stati64 status = {};
  const long long at = _telli64(input);
  if (_fstati64(input, &status) != 0 || (status.st_mode & _S_IFMT) != _S_IFREG || at < 0) {
    return false;
  }
  *size = static_cast<std::uint64_t>(status.st_size);
  *position = static_cast<std::uint64_t>(at);
  return true;
}

void CloseInput(int input) {
  if (input >= 0 && input != _fileno(stdin)) {
    _close(input);
  }
}

bool StderrIsTerminal() { return _isatty(_fileno(stderr)) != 0; }

std::string LoadedLibraryVersion() {
  HMODULE module = GetModuleHandleW(L"jpegdec.dll");
  wchar_t path[MAX_PATH];
  if (module == nullptr || GetModuleFileNameW(module, path, MAX_PATH) == 0) {
    return "";
  }
  DWORD ignored = 0;
  const DWORD size = GetFileVersionInfoSizeW(path, &ignored);
  std::string info(size, '\0');
  VS_FIXEDFILEINFO* fixed = nullptr;
  UINT length = 0;
  if (size == 0 || !GetFileVersionInfoW(path, 0, size, info.data()) ||
      !VerQueryValueW(info.data(), L"\\", reinterpret_cast<void**>(&fixed), &length) ||
      length < sizeof *fixed) {
    return "";
  }
  return std::to_string(HIWORD(fixed->dwFileVersionMS)) + "." +
         std::to_string(LOWORD(fixed->dwFileVersionMS)) + "." +
         std::to_string(HIWORD(fixed->dwFileVersionLS));
}

std::uint64_t PeakMemoryBytes() {
  PROCESS_MEMORY_COUNTERS counters = {};
  counters.cb = sizeof counters;
  if (K32GetProcessMemoryInfo(GetCurrentProcess(), &counters, sizeof counters) == 0) {
    return 0;
  }
  return counters.PeakWorkingSetSize;
}

void InstallInterruptCleanup() { SetConsoleCtrlHandler(OnConsoleEvent, TRUE); }

FileIdentity IdentityOf(int descriptor) {
  return IdentityOfHandle(reinterpret_cast<HANDLE>(_get_osfhandle(descriptor)));
}

bool OutputFile::Prepare(const std::string& target, std::string* error) {
  target_ = target;
  final_ = target;
  if (target == kStandardStream) {
    kind_ = Kind::kStandardOutput;
    identity_ = IdentityOfHandle(GetStdHandle(STD_OUTPUT_HANDLE));
    return true;
  }
  const std::wstring wide = Wide(target);
  const DWORD attributes = GetFileAttributesW(wide.c_str());
  if (attributes != INVALID_FILE_ATTRIBUTES && (attributes & FILE_ATTRIBUTE_DIRECTORY) != 0) {
    *error = "cannot write '" + target + "': it is a folder";
    return false;
  }
  if (attributes != INVALID_FILE_ATTRIBUTES && (attributes & FILE_ATTRIBUTE_READONLY) != 0) {
    *error = "cannot write '" + target + "': the file is read-only";
    return false;
  }
  // Opening for writing without creating or truncating asks the system whether the user may
  // write an existing target, and tells a file from a device or pipe.
  HANDLE handle = CreateFileW(wide.c_str(), GENERIC_WRITE, FILE_SHARE_READ | FILE_SHARE_WRITE,
                              nullptr, OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr);
  if (handle == INVALID_HANDLE_VALUE) {
    const DWORD code = GetLastError();
    if (code == ERROR_FILE_NOT_FOUND && attributes != INVALID_FILE_ATTRIBUTES &&
        (attributes & FILE_ATTRIBUTE_REPARSE_POINT) != 0) {
      // A link whose target is missing: a new file under the link's name would replace it.
      *error = "cannot write '" + target + "': it is a link to a file that does not exist";
      return false;
    }
    if (code == ERROR_FILE_NOT_FOUND) {
      kind_ = Kind::kNewFile;
      return true;
    }
    *error = "cannot write '" + target + "': " + LastErrorText();
    return false;
  }
  const DWORD type = GetFileType(handle);
  if (type != FILE_TYPE_DISK) {
    // Kept open: a pipe's reader sees the end of its data when the writer closes it.
    inPlace_ = reinterpret_cast<std::intptr_t>(handle);
    kind_ = Kind::kInPlace;
    return true;
  }
  identity_ = IdentityOfHandle(handle);
  // A link is followed to the file it leads to, which is the one replaced.
  std::vector<wchar_t> resolved(kLongestPath);
  const DWORD length =
      GetFinalPathNameByHandleW(handle, resolved.data(), kLongestPath, FILE_NAME_NORMALIZED);
  CloseHandle(handle);
  if (length > 0 && length < kLongestPath) {
    const std::string utf8 = Narrow(resolved.data(), static_cast<int>(length));
    if (!utf8.empty()) {
      final_ = utf8;
    }
  }
  kind_ = Kind::kReplace;
  return true;
}

bool OutputFile::Open(std::string* error) {
  if (kind_ == Kind::kStandardOutput) {
    _setmode(_fileno(stdout), _O_BINARY);
    stream_ = stdout;
    return true;
  }
  HANDLE handle = INVALID_HANDLE_VALUE;
  if (kind_ == Kind::kInPlace) {
    handle = reinterpret_cast<HANDLE>(inPlace_);
    inPlace_ = kNothingOpen;
  } else {
    // Beside the file replaced, so that the final rename stays within one file system; within
    // the longest name NTFS takes (255 UTF-16 units, at most as many as the UTF-8 bytes).
    temporary_ = file_io_internal::TemporaryName(final_, GetCurrentProcessId(),
                                                 file_io_internal::kNameMax, "/\\");
    const std::wstring wide = Wide(temporary_);
    file_io_internal::ArmCleanup(wide.c_str(), (wide.size() + 1) * sizeof(wchar_t));
    handle = CreateFileW(wide.c_str(), GENERIC_WRITE, FILE_SHARE_READ | FILE_SHARE_DELETE, nullptr,
                         CREATE_NEW, FILE_ATTRIBUTE_NORMAL, nullptr);
    if (handle == INVALID_HANDLE_VALUE) {
      file_io_internal::DisarmCleanup();
      *error = "cannot create '" + temporary_ + "': " + LastErrorText();
      temporary_.clear();
      return false;
    }
  }
  const int descriptor = _open_osfhandle(reinterpret_cast<intptr_t>(handle), _O_BINARY);
  stream_ = descriptor < 0 ? nullptr : _fdopen(descriptor, "wb");
  if (stream_ == nullptr) {
    if (descriptor < 0) {
      CloseHandle(handle);
    } else {
      _close(descriptor);
    }
    *error = "cannot open '" + (temporary_.empty() ? target_ : temporary_) + "'";
    Discard();
    return false;
  }
  return true;
}

// An existing file is replaced by ReplaceFileW, which keeps its attributes and access rights; a
// new name is a plain move.
bool OutputFile::PutInPlace(std::string* why) {
  const std::wstring from = Wide(temporary_);
  const std::wstring to = Wide(final_);
  if (kind_ == Kind::kReplace &&
      ReplaceFileW(to.c_str(), from.c_str(), nullptr, REPLACEFILE_IGNORE_MERGE_ERRORS, nullptr,
                   nullptr) != 0) {
    return true;
  }
  if (MoveFileExW(from.c_str(), to.c_str(), MOVEFILE_REPLACE_EXISTING) != 0) {
    return true;
  }
  *why = LastErrorText();
  return false;
}

void OutputFile::CloseInPlace() { CloseHandle(reinterpret_cast<HANDLE>(inPlace_)); }

void OutputFile::RemoveTemporary() { DeleteFileW(Wide(temporary_).c_str()); }

bool WritesLandWhereSet(std::FILE* stream) {
  // Windows does not always show that a handle appends (Wine's standard output, from a shell's
  // >>, says it may write anywhere): only files this process opened are written out of order.
  return IsSeekable(stream) && stream != stdout;
}

long long StreamPosition(std::FILE* stream) { return _ftelli64(stream); }

bool SeekStream(std::FILE* stream, std::uint64_t offset) {
  return _fseeki64(stream, static_cast<long long>(offset), SEEK_SET) == 0;
}

}  // namespace jpegdec_cli

// The arguments arrive as UTF-16 and go on as UTF-8.
int wmain(int argc, wchar_t** wargv) {
  std::vector<std::string> arguments;
  for (int i = 0; i < argc; ++i) {
    arguments.push_back(jpegdec_cli::Narrow(wargv[i], -1));
  }
  std::vector<char*> argv;
  for (std::string& argument : arguments) {
    argv.push_back(argument.data());
  }
  argv.push_back(nullptr);
  return jpegdec_cli::Main(argc, argv.data());
}
