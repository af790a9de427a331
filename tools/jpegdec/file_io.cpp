#include "file_io.h"

#include <cerrno>
#include <csignal>
#include <cstring>

#if defined(_WIN32)
#include <fcntl.h>
#include <io.h>
#include <windows.h>
#else
#include <dlfcn.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <climits>
#include <cstdlib>
#endif

#include "jpegdec/jpegdec.h"

namespace jpegdec_cli {
namespace {

// The temporary file to remove when a signal ends the process: written before the file is
// created, cleared once it is renamed or removed; read only by the handler.
#if defined(_WIN32)
using PathChar = wchar_t;
#else
using PathChar = char;
#endif
constexpr std::size_t kMaxCleanupPath = 4096;
PathChar cleanupPath[kMaxCleanupPath];
volatile std::sig_atomic_t cleanupArmed = 0;

void Arm(const PathChar* path, std::size_t length) {
  if (length >= kMaxCleanupPath) {
    return;  // left behind only if a signal comes; such paths are not expected
  }
  cleanupArmed = 0;
  for (std::size_t i = 0; i <= length; ++i) {
    cleanupPath[i] = path[i];
  }
  cleanupArmed = 1;
}

void Disarm() { cleanupArmed = 0; }

std::string ErrnoText() { return std::strerror(errno); }

#if defined(_WIN32)
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

std::string LastErrorText() {
  const DWORD code = GetLastError();
  wchar_t* text = nullptr;
  const DWORD length = FormatMessageW(
      FORMAT_MESSAGE_ALLOCATE_BUFFER | FORMAT_MESSAGE_FROM_SYSTEM | FORMAT_MESSAGE_IGNORE_INSERTS,
      nullptr, code, 0, reinterpret_cast<wchar_t*>(&text), 0, nullptr);
  std::string result;
  if (length > 0 && text != nullptr) {
    const int size = WideCharToMultiByte(CP_UTF8, 0, text, static_cast<int>(length), nullptr, 0,
                                         nullptr, nullptr);
    result.resize(static_cast<std::size_t>(size > 0 ? size : 0));
    WideCharToMultiByte(CP_UTF8, 0, text, static_cast<int>(length), result.data(), size, nullptr,
                        nullptr);
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
  if (cleanupArmed != 0) {
    DeleteFileW(cleanupPath);
  }
  return FALSE;
}
#else
void OnSignal(int signal) {
  if (cleanupArmed != 0) {
    unlink(cleanupPath);
  }
  std::signal(signal, SIG_DFL);
  std::raise(signal);
}
#endif

}  // namespace

int OpenInput(const std::string& path, std::string* error) {
  if (path == kStandardStream) {
#if defined(_WIN32)
    _setmode(_fileno(stdin), _O_BINARY);
    return _fileno(stdin);
#else
    return STDIN_FILENO;
#endif
  }
#if defined(_WIN32)
  const int input = _wopen(Wide(path).c_str(), _O_RDONLY | _O_BINARY);
#else
  const int input = open(path.c_str(), O_RDONLY | O_CLOEXEC);
#endif
  if (input < 0) {
    *error = ErrnoText();
  }
  return input;
}

long ReadInput(int input, void* data, std::size_t size) {
  constexpr std::size_t kLargestRead = 1u << 30;
  const std::size_t want = size < kLargestRead ? size : kLargestRead;
  for (;;) {
#if defined(_WIN32)
    const long got = _read(input, data, static_cast<unsigned>(want));
#else
    const long got = read(input, data, want);
#endif
    if (got >= 0 || errno != EINTR) {
      return got < 0 ? -1 : got;
    }
  }
}

void CloseInput(int input) {
#if defined(_WIN32)
  if (input >= 0 && input != _fileno(stdin)) {
    _close(input);
  }
#else
  if (input >= 0 && input != STDIN_FILENO) {
    close(input);
  }
#endif
}

bool StderrIsTerminal() {
#if defined(_WIN32)
  return _isatty(_fileno(stderr)) != 0;
#else
  return isatty(fileno(stderr)) != 0;
#endif
}

std::string LoadedLibraryVersion() {
#if defined(_WIN32)
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
#else
  Dl_info info = {};
  if (dladdr(reinterpret_cast<void*>(&CreateJpegDecodeInstance), &info) == 0 ||
      info.dli_fname == nullptr) {
    return "";
  }
  char resolved[PATH_MAX];
  if (realpath(info.dli_fname, resolved) == nullptr) {
    return "";
  }
  const std::string name = resolved;
  const std::size_t at = name.rfind(".so.");
  return at == std::string::npos ? "" : name.substr(at + 4);
#endif
}

void InstallInterruptCleanup() {
#if defined(_WIN32)
  SetConsoleCtrlHandler(OnConsoleEvent, TRUE);
#else
  struct sigaction action = {};
  action.sa_handler = OnSignal;
  sigemptyset(&action.sa_mask);
  sigaction(SIGINT, &action, nullptr);
  sigaction(SIGTERM, &action, nullptr);
  sigaction(SIGHUP, &action, nullptr);
#endif
}

OutputFile::~OutputFile() { Discard(); }

bool OutputFile::Open(const std::string& target, std::string* error) {
  target_ = target;
  if (target == kStandardStream) {
#if defined(_WIN32)
    _setmode(_fileno(stdout), _O_BINARY);
#endif
    standardOutput_ = true;
    stream_ = stdout;
    return true;
  }
  // Beside the target, so that the final rename stays within one file system.
#if defined(_WIN32)
  temporary_ = target + "." + std::to_string(GetCurrentProcessId()) + ".partial";
  const std::wstring wide = Wide(temporary_);
  Arm(wide.c_str(), wide.size());
  HANDLE handle = CreateFileW(wide.c_str(), GENERIC_WRITE, FILE_SHARE_READ | FILE_SHARE_DELETE,
                              nullptr, CREATE_NEW, FILE_ATTRIBUTE_NORMAL, nullptr);
  if (handle == INVALID_HANDLE_VALUE) {
    Disarm();
    *error = "cannot create '" + temporary_ + "': " + LastErrorText();
    return false;
  }
  const int descriptor = _open_osfhandle(reinterpret_cast<intptr_t>(handle), _O_BINARY);
  stream_ = descriptor < 0 ? nullptr : _fdopen(descriptor, "wb");
  if (stream_ == nullptr) {
    if (descriptor < 0) {
      CloseHandle(handle);
    } else {
      _close(descriptor);
    }
    DeleteFileW(wide.c_str());
    Disarm();
    *error = "cannot open '" + temporary_ + "'";
    return false;
  }
#else
  temporary_ = target + "." + std::to_string(getpid()) + ".partial";
  Arm(temporary_.c_str(), temporary_.size());
  const int descriptor = open(temporary_.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0666);
  if (descriptor < 0) {
    *error = "cannot create '" + temporary_ + "': " + ErrnoText();
    Disarm();
    return false;
  }
  stream_ = fdopen(descriptor, "wb");
  if (stream_ == nullptr) {
    *error = "cannot open '" + temporary_ + "': " + ErrnoText();
    close(descriptor);
    unlink(temporary_.c_str());
    Disarm();
    return false;
  }
#endif
  return true;
}

bool OutputFile::Commit(std::string* error) {
  if (stream_ == nullptr) {
    *error = "cannot write '" + target_ + "': not open";
    return false;
  }
  if (standardOutput_) {
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
#if defined(_WIN32)
  const bool renamed =
      MoveFileExW(Wide(temporary_).c_str(), Wide(target_).c_str(), MOVEFILE_REPLACE_EXISTING) != 0;
  const std::string why = renamed ? "" : LastErrorText();
#else
  const bool renamed = std::rename(temporary_.c_str(), target_.c_str()) == 0;
  const std::string why = renamed ? "" : ErrnoText();
#endif
  if (!renamed) {
    *error = "cannot rename '" + temporary_ + "' to '" + target_ + "': " + why;
    Discard();
    return false;
  }
  Disarm();
  temporary_.clear();
  return true;
}

void OutputFile::Discard() {
  if (stream_ != nullptr && !standardOutput_) {
    std::fclose(stream_);
  }
  stream_ = nullptr;
  if (!temporary_.empty()) {
#if defined(_WIN32)
    DeleteFileW(Wide(temporary_).c_str());
#else
    unlink(temporary_.c_str());
#endif
    temporary_.clear();
  }
  Disarm();
}

}  // namespace jpegdec_cli
