#include "file_io.h"

#include <cerrno>
#include <csignal>
#include <cstring>

#if defined(_WIN32)
#include <fcntl.h>
#include <io.h>
#include <sys/stat.h>
#include <windows.h>
// after windows.h
#include <psapi.h>
#else
#include <dlfcn.h>
#include <fcntl.h>
#include <sys/resource.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <sys/xattr.h>
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
constexpr const char* kPathSeparators = "/\\";
#else
constexpr const char* kPathSeparators = "/";
#endif

// The temporary file's suffix, after the process id.
constexpr const char* kPartialSuffix = ".partial";
// The longest file name NTFS takes (255 UTF-16 units), and most Linux file systems (255 bytes).
constexpr std::size_t kNameMax = 255;

// `final` + "." + pid + ".partial", beside it. Where that name would be longer than the folder
// allows (`nameMax` bytes), the end of the file's own name gives way, cut where a UTF-8
// character starts.
std::string TemporaryName(const std::string& final, unsigned long pid, std::size_t nameMax) {
  const std::string suffix = "." + std::to_string(pid) + kPartialSuffix;
  const std::size_t slash = final.find_last_of(kPathSeparators);
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
  const std::wstring wide = Wide(path);
  const int input = _wopen(wide.c_str(), _O_RDONLY | _O_BINARY);
  if (input < 0) {
    const DWORD attributes = GetFileAttributesW(wide.c_str());
    const bool folder =
        attributes != INVALID_FILE_ATTRIBUTES && (attributes & FILE_ATTRIBUTE_DIRECTORY) != 0;
    *error = folder ? std::string("it is a folder") : ErrnoText();
  }
  return input;
#else
  const int input = open(path.c_str(), O_RDONLY | O_CLOEXEC);
  if (input < 0) {
    *error = ErrnoText();
    return input;
  }
  struct stat status = {};
  if (fstat(input, &status) == 0 && S_ISDIR(status.st_mode)) {
    close(input);
    *error = "it is a directory";
    return -1;
  }
  return input;
#endif
}

long ReadInput(int input, void* data, std::size_t size, std::string* error) {
  constexpr std::size_t kLargestRead = 1u << 30;
  const std::size_t want = size < kLargestRead ? size : kLargestRead;
  for (;;) {
#if defined(_WIN32)
    const long got = _read(input, data, static_cast<unsigned>(want));
#else
    const long got = read(input, data, want);
#endif
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
#if defined(_WIN32)
  struct _stati64 status = {};
  const long long at = _telli64(input);
  if (_fstati64(input, &status) != 0 || (status.st_mode & _S_IFMT) != _S_IFREG || at < 0) {
    return kUnknownSize;
  }
#else
  struct stat status = {};
  const off_t at = lseek(input, 0, SEEK_CUR);
  if (fstat(input, &status) != 0 || !S_ISREG(status.st_mode) || at < 0) {
    return kUnknownSize;
  }
#endif
  const auto size = static_cast<std::uint64_t>(status.st_size);
  const auto position = static_cast<std::uint64_t>(at);
  return size > position ? size - position : 0;
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

std::uint64_t PeakMemoryBytes() {
#if defined(_WIN32)
  PROCESS_MEMORY_COUNTERS counters = {};
  counters.cb = sizeof counters;
  if (K32GetProcessMemoryInfo(GetCurrentProcess(), &counters, sizeof counters) == 0) {
    return 0;
  }
  return counters.PeakWorkingSetSize;
#else
  struct rusage usage = {};
  if (getrusage(RUSAGE_SELF, &usage) != 0 || usage.ru_maxrss < 0) {
    return 0;
  }
  return static_cast<std::uint64_t>(usage.ru_maxrss) * 1024;  // Linux counts kilobytes
#endif
}

void InstallInterruptCleanup() {
#if defined(_WIN32)
  SetConsoleCtrlHandler(OnConsoleEvent, TRUE);
#else
  struct sigaction action = {};
  action.sa_handler = OnSignal;
  sigemptyset(&action.sa_mask);
  for (const int signal : {SIGINT, SIGTERM, SIGHUP, SIGQUIT}) {
    sigaction(signal, &action, nullptr);
  }
  // A write beyond the file-size limit then fails with EFBIG instead of ending the process.
  std::signal(SIGXFSZ, SIG_IGN);
#endif
}

namespace {
// Only stored data has an identity here: a file, or a disk. A pipe, socket or terminal may well
// be both the input and the output (a service's connection), and writing it loses nothing.
#if defined(_WIN32)
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

FileIdentity IdentityOfDescriptor(int descriptor) {
  return IdentityOfHandle(reinterpret_cast<HANDLE>(_get_osfhandle(descriptor)));
}
#else
FileIdentity IdentityOfStatus(const struct stat& status) {
  FileIdentity identity;
  identity.known = S_ISREG(status.st_mode) || S_ISBLK(status.st_mode);
  identity.volume = static_cast<std::uint64_t>(status.st_dev);
  identity.file = static_cast<std::uint64_t>(status.st_ino);
  return identity;
}

FileIdentity IdentityOfDescriptor(int descriptor) {
  struct stat status = {};
  return fstat(descriptor, &status) == 0 ? IdentityOfStatus(status) : FileIdentity();
}
#endif
}  // namespace

OutputFile::~OutputFile() { Discard(); }

bool OutputFile::IsFileOf(int input) const { return identity_.Same(IdentityOfDescriptor(input)); }

#if defined(_WIN32)
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
    inPlaceHandle_ = handle;
    kind_ = Kind::kInPlace;
    return true;
  }
  identity_ = IdentityOfHandle(handle);
  // A link is followed to the file it leads to, which is the one replaced.
  wchar_t resolved[32768];
  const DWORD length = GetFinalPathNameByHandleW(handle, resolved, 32768, FILE_NAME_NORMALIZED);
  CloseHandle(handle);
  if (length > 0 && length < 32768) {
    const int size = WideCharToMultiByte(CP_UTF8, 0, resolved, static_cast<int>(length), nullptr, 0,
                                         nullptr, nullptr);
    std::string utf8(static_cast<std::size_t>(size > 0 ? size : 0), '\0');
    WideCharToMultiByte(CP_UTF8, 0, resolved, static_cast<int>(length), utf8.data(), size, nullptr,
                        nullptr);
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
  std::wstring wide;
  if (kind_ == Kind::kInPlace) {
    handle = static_cast<HANDLE>(inPlaceHandle_);
    inPlaceHandle_ = nullptr;
  } else {
    // Beside the file replaced, so that the final rename stays within one file system; within
    // the longest name NTFS takes (255 UTF-16 units, at most as many as the UTF-8 bytes).
    temporary_ = TemporaryName(final_, GetCurrentProcessId(), kNameMax);
    wide = Wide(temporary_);
    Arm(wide.c_str(), wide.size());
    handle = CreateFileW(wide.c_str(), GENERIC_WRITE, FILE_SHARE_READ | FILE_SHARE_DELETE, nullptr,
                         CREATE_NEW, FILE_ATTRIBUTE_NORMAL, nullptr);
    if (handle == INVALID_HANDLE_VALUE) {
      Disarm();
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

namespace {
// Puts the finished temporary file in place of `target`. An existing file is replaced by
// ReplaceFileW, which keeps its attributes and access rights; a new name is a plain move.
bool PutInPlace(const std::string& temporary, const std::string& target, bool replace) {
  const std::wstring from = Wide(temporary);
  const std::wstring to = Wide(target);
  if (replace && ReplaceFileW(to.c_str(), from.c_str(), nullptr, REPLACEFILE_IGNORE_MERGE_ERRORS,
                              nullptr, nullptr) != 0) {
    return true;
  }
  return MoveFileExW(from.c_str(), to.c_str(), MOVEFILE_REPLACE_EXISTING) != 0;
}
}  // namespace
#else
namespace {
// Where a chain of symbolic links ends: the first name that is not a link (it may not exist).
bool FollowLinks(const std::string& name, std::string* result, std::string* error) {
  constexpr int kMaxLinks = 40;
  std::string path = name;
  for (int hops = 0;; ++hops) {
    struct stat status = {};
    if (lstat(path.c_str(), &status) != 0 || !S_ISLNK(status.st_mode)) {
      *result = path;
      return true;
    }
    if (hops == kMaxLinks) {
      *error = "cannot write '" + name + "': too many levels of symbolic links";
      return false;
    }
    std::string destination(static_cast<std::size_t>(PATH_MAX), '\0');
    const ssize_t length = readlink(path.c_str(), destination.data(), destination.size());
    if (length < 0 || static_cast<std::size_t>(length) >= destination.size()) {
      *error = "cannot follow the link '" + path + "': " + ErrnoText();
      return false;
    }
    destination.resize(static_cast<std::size_t>(length));
    const std::size_t slash = path.rfind('/');
    path = destination.front() == '/' || slash == std::string::npos
               ? destination
               : path.substr(0, slash + 1) + destination;
  }
}
}  // namespace

namespace {
std::string FolderOf(const std::string& path) {
  const std::size_t slash = path.rfind('/');
  return slash == std::string::npos ? "." : (slash == 0 ? "/" : path.substr(0, slash));
}

// The longest name the folder of `path` takes.
std::size_t NameMaxOf(const std::string& path) {
  const long limit = pathconf(FolderOf(path).c_str(), _PC_NAME_MAX);
  return limit > 0 ? static_cast<std::size_t>(limit) : kNameMax;
}

// Gives the new file `descriptor` the extended attributes of `from` (POSIX ACLs are kept as
// such). One the system will not set for this user (a trusted.* name) is left out, as an owner
// the user may not give is.
void CopyExtendedAttributes(const std::string& from, int descriptor) {
  const ssize_t listSize = listxattr(from.c_str(), nullptr, 0);
  if (listSize <= 0) {
    return;
  }
  std::string names(static_cast<std::size_t>(listSize), '\0');
  const ssize_t listed = listxattr(from.c_str(), names.data(), names.size());
  if (listed <= 0) {
    return;
  }
  names.resize(static_cast<std::size_t>(listed));
  std::string value;
  for (std::size_t at = 0; at < names.size(); at = names.find('\0', at) + 1) {
    const char* name = names.c_str() + at;
    const ssize_t size = getxattr(from.c_str(), name, nullptr, 0);
    if (size < 0) {
      continue;
    }
    value.resize(static_cast<std::size_t>(size));
    const ssize_t got = getxattr(from.c_str(), name, value.data(), value.size());
    if (got >= 0) {
      fsetxattr(descriptor, name, value.data(), static_cast<std::size_t>(got), 0);
    }
  }
}
}  // namespace

// The file is made in the folder of final_ and renamed there: the user must be able to.
bool OutputFile::FolderWritable(const std::string& target, std::string* error) const {
  const std::string folder = FolderOf(final_);
  if (faccessat(AT_FDCWD, folder.c_str(), W_OK | X_OK, AT_EACCESS) != 0) {
    *error = "cannot write '" + target + "': " + ErrnoText() + " (its folder '" + folder + "')";
    return false;
  }
  return true;
}

// In a folder with the sticky bit (such as /tmp) only the file's owner, the folder's owner or
// root may replace a file, whatever the file's own permissions say.
bool OutputFile::StickyAllows(const std::string& target, unsigned long fileOwner,
                              std::string* error) const {
  const std::string folder = FolderOf(final_);
  struct stat status = {};
  const uid_t user = geteuid();
  if (stat(folder.c_str(), &status) != 0 || (status.st_mode & S_ISVTX) == 0 || user == 0 ||
      user == fileOwner || user == status.st_uid) {
    return true;
  }
  *error = "cannot write '" + target + "': it belongs to another user, and its folder '" + folder +
           "' lets only a file's owner replace it (the file is left as it was)";
  return false;
}

// Opens a device or FIFO for writing, or connects to a socket, before anything is decoded, as a
// shell's redirection does: a FIFO's open waits for its reader, and a reader always sees the
// end of the data, also when the decode fails before the first row.
bool OutputFile::OpenInPlace(bool socketFile, std::string* error) {
  if (!socketFile) {
    inPlaceDescriptor_ = open(final_.c_str(), O_WRONLY | O_CLOEXEC);
    if (inPlaceDescriptor_ < 0) {
      *error = "cannot write '" + target_ + "': " + ErrnoText();
      return false;
    }
    return true;
  }
  sockaddr_un address = {};
  address.sun_family = AF_UNIX;
  if (final_.size() >= sizeof address.sun_path) {
    *error = "cannot connect to '" + target_ + "': the socket's name is too long";
    return false;
  }
  std::memcpy(address.sun_path, final_.c_str(), final_.size() + 1);
  inPlaceDescriptor_ = socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
  if (inPlaceDescriptor_ < 0 ||
      connect(inPlaceDescriptor_, reinterpret_cast<const sockaddr*>(&address), sizeof address) !=
          0) {
    *error = "cannot connect to '" + target_ + "': " + ErrnoText();
    return false;
  }
  return true;
}

bool OutputFile::Prepare(const std::string& target, std::string* error) {
  target_ = target;
  final_ = target;
  if (target == kStandardStream) {
    kind_ = Kind::kStandardOutput;
    identity_ = IdentityOfDescriptor(STDOUT_FILENO);
    return true;
  }
  if (!FollowLinks(target, &final_, error)) {
    return false;
  }
  struct stat status = {};
  if (stat(final_.c_str(), &status) != 0) {
    if (errno != ENOENT) {
      *error = "cannot write '" + target + "': " + ErrnoText();
      return false;
    }
    kind_ = Kind::kNewFile;
    return FolderWritable(target, error);
  }
  if (S_ISDIR(status.st_mode)) {
    *error = "cannot write '" + target + "': it is a directory";
    return false;
  }
  identity_ = IdentityOfStatus(status);
  if (!S_ISREG(status.st_mode)) {
    kind_ = Kind::kInPlace;
    return OpenInPlace(S_ISSOCK(status.st_mode), error);
  }
  // The system's own answer, with the effective ids: root may write a read-only file, an
  // ordinary user may not even in a folder that lets them replace it.
  if (faccessat(AT_FDCWD, final_.c_str(), W_OK, AT_EACCESS) != 0) {
    *error = "cannot write '" + target + "': " + ErrnoText() + " (the file is left as it was)";
    return false;
  }
  if (!FolderWritable(target, error) || !StickyAllows(target, status.st_uid, error)) {
    return false;
  }
  kind_ = Kind::kReplace;
  mode_ = static_cast<unsigned>(status.st_mode & 0777);
  owner_ = status.st_uid;
  group_ = status.st_gid;
  return true;
}

bool OutputFile::Open(std::string* error) {
  int descriptor = -1;
  switch (kind_) {
    case Kind::kStandardOutput:
      stream_ = stdout;
      return true;
    case Kind::kInPlace:
      descriptor = inPlaceDescriptor_;
      inPlaceDescriptor_ = -1;
      break;
    case Kind::kNewFile:
    case Kind::kReplace:
      // Beside the file replaced, so that the final rename stays within one file system.
      temporary_ = TemporaryName(final_, static_cast<unsigned long>(getpid()), NameMaxOf(final_));
      Arm(temporary_.c_str(), temporary_.size());
      descriptor = open(temporary_.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0666);
      if (descriptor < 0) {
        *error = "cannot create '" + temporary_ + "': " + ErrnoText();
        Disarm();
        temporary_.clear();
        return false;
      }
      if (kind_ == Kind::kReplace) {
        // The owner first (which may clear mode bits), then the mode. Only root may give the
        // file away; a member of the group keeps the group.
        if (fchown(descriptor, static_cast<uid_t>(owner_), static_cast<gid_t>(group_)) != 0 &&
            fchown(descriptor, static_cast<uid_t>(-1), static_cast<gid_t>(group_)) != 0) {
          // the file stays the user's, in their group
        }
        fchmod(descriptor, static_cast<mode_t>(mode_));
        CopyExtendedAttributes(final_, descriptor);
      }
      break;
  }
  stream_ = fdopen(descriptor, "wb");
  if (stream_ == nullptr) {
    *error = "cannot open '" + (temporary_.empty() ? target_ : temporary_) + "': " + ErrnoText();
    close(descriptor);
    Discard();
    return false;
  }
  return true;
}

namespace {
bool PutInPlace(const std::string& temporary, const std::string& target, bool /*replace*/) {
  return std::rename(temporary.c_str(), target.c_str()) == 0;
}
}  // namespace
#endif

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
  if (!PutInPlace(temporary_, final_, kind_ == Kind::kReplace)) {
#if defined(_WIN32)
    const std::string why = LastErrorText();
#else
    const std::string why = ErrnoText();
#endif
    *error = "cannot rename '" + temporary_ + "' to '" + final_ + "': " + why;
    Discard();
    return false;
  }
  Disarm();
  temporary_.clear();
  return true;
}

void OutputFile::Discard() {
  if (stream_ != nullptr && kind_ != Kind::kStandardOutput) {
    std::fclose(stream_);
  }
#if defined(_WIN32)
  if (inPlaceHandle_ != nullptr) {
    CloseHandle(static_cast<HANDLE>(inPlaceHandle_));
    inPlaceHandle_ = nullptr;
  }
#else
  if (inPlaceDescriptor_ >= 0) {
    close(inPlaceDescriptor_);
    inPlaceDescriptor_ = -1;
  }
#endif
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

namespace {
bool IsSeekable(std::FILE* stream) {
#if defined(_WIN32)
  const intptr_t handle = _get_osfhandle(_fileno(stream));
  return handle != -1 && GetFileType(reinterpret_cast<HANDLE>(handle)) == FILE_TYPE_DISK;
#else
  struct stat status = {};
  return fstat(fileno(stream), &status) == 0 &&
         (S_ISREG(status.st_mode) || S_ISBLK(status.st_mode));
#endif
}
}  // namespace

bool WritesLandWhereSet(std::FILE* stream) {
  if (!IsSeekable(stream)) {
    return false;
  }
#if defined(_WIN32)
  // Windows does not always show that a handle appends (Wine's standard output, from a shell's
  // >>, says it may write anywhere): only files this process opened are written out of order.
  return stream != stdout;
#else
  const int flags = fcntl(fileno(stream), F_GETFL);
  return flags >= 0 && (flags & O_APPEND) == 0;
#endif
}

}  // namespace jpegdec_cli
