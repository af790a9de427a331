// The tool's file handling on Linux and other POSIX systems, and its entry point there.
#include <dlfcn.h>
#include <fcntl.h>
#include <sys/resource.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <sys/xattr.h>
#include <unistd.h>

#include <cerrno>
#include <climits>
#include <csignal>
#include <cstdlib>
#include <cstring>

#include "file_io.h"
#include "file_io_internal.h"
#include "jpegdec/jpegdec.h"

namespace jpegdec_cli {

using file_io_internal::ErrnoText;

namespace {

void OnSignal(int signal) {
  if (const void* path = file_io_internal::CleanupPath()) {
    unlink(static_cast<const char*>(path));
  }
  std::signal(signal, SIG_DFL);
  std::raise(signal);
}

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

std::string FolderOf(const std::string& path) {
  const std::size_t slash = path.rfind('/');
  return slash == std::string::npos ? "." : (slash == 0 ? "/" : path.substr(0, slash));
}

// The longest name the folder of `path` takes.
std::size_t NameMaxOf(const std::string& path) {
  const long limit = pathconf(FolderOf(path).c_str(), _PC_NAME_MAX);
  return limit > 0 ? static_cast<std::size_t>(limit) : file_io_internal::kNameMax;
}

// The file is made in the folder of `file` and renamed there: the user must be able to.
bool FolderWritable(const std::string& file, const std::string& target, std::string* error) {
  const std::string folder = FolderOf(file);
  if (faccessat(AT_FDCWD, folder.c_str(), W_OK | X_OK, AT_EACCESS) != 0) {
    *error = "cannot write '" + target + "': " + ErrnoText() + " (its folder '" + folder + "')";
    return false;
  }
  return true;
}

// In a folder with the sticky bit (such as /tmp) only the file's owner, the folder's owner or
// root may replace a file, whatever the file's own permissions say.
bool StickyAllows(const std::string& file, uid_t fileOwner, const std::string& target,
                  std::string* error) {
  const std::string folder = FolderOf(file);
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
// end of the data, also when the decode fails before the first row. -1 with `error` set.
int OpenInPlace(const std::string& file, bool socketFile, const std::string& target,
                std::string* error) {
  if (!socketFile) {
    const int descriptor = open(file.c_str(), O_WRONLY | O_CLOEXEC);
    if (descriptor < 0) {
      *error = "cannot write '" + target + "': " + ErrnoText();
    }
    return descriptor;
  }
  sockaddr_un address = {};
  address.sun_family = AF_UNIX;
  if (file.size() >= sizeof address.sun_path) {
    *error = "cannot connect to '" + target + "': the socket's name is too long";
    return -1;
  }
  std::memcpy(address.sun_path, file.c_str(), file.size() + 1);
  const int descriptor = socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
  if (descriptor < 0 ||
      connect(descriptor, reinterpret_cast<const sockaddr*>(&address), sizeof address) != 0) {
    *error = "cannot connect to '" + target + "': " + ErrnoText();
    if (descriptor >= 0) {
      close(descriptor);
    }
    return -1;
  }
  return descriptor;
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

// Only stored data has an identity: a file, or a disk.
FileIdentity IdentityOfStatus(const struct stat& status) {
  FileIdentity identity;
  identity.known = S_ISREG(status.st_mode) || S_ISBLK(status.st_mode);
  identity.volume = static_cast<std::uint64_t>(status.st_dev);
  identity.file = static_cast<std::uint64_t>(status.st_ino);
  return identity;
}

bool IsSeekable(std::FILE* stream) {
  struct stat status = {};
  return fstat(fileno(stream), &status) == 0 &&
         (S_ISREG(status.st_mode) || S_ISBLK(status.st_mode));
}

}  // namespace

int OpenInput(const std::string& path, std::string* error) {
  if (path == kStandardStream) {
    return STDIN_FILENO;
  }
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
}

long file_io_internal::ReadOnce(int input, void* data, std::size_t size) {
  return read(input, data, size);
}

bool file_io_internal::FileSizeAndPosition(int input, std::uint64_t* size,
                                           std::uint64_t* position) {
  struct stat status = {};
  const off_t at = lseek(input, 0, SEEK_CUR);
  if (fstat(input, &status) != 0 || !S_ISREG(status.st_mode) || at < 0) {
    return false;
  }
  *size = static_cast<std::uint64_t>(status.st_size);
  *position = static_cast<std::uint64_t>(at);
  return true;
}

void CloseInput(int input) {
  if (input >= 0 && input != STDIN_FILENO) {
    close(input);
  }
}

bool StderrIsTerminal() { return isatty(fileno(stderr)) != 0; }

std::string LoadedLibraryVersion() {
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
}

std::uint64_t PeakMemoryBytes() {
  struct rusage usage = {};
  if (getrusage(RUSAGE_SELF, &usage) != 0 || usage.ru_maxrss < 0) {
    return 0;
  }
  return static_cast<std::uint64_t>(usage.ru_maxrss) * 1024;  // Linux counts kilobytes
}

void InstallInterruptCleanup() {
  struct sigaction action = {};
  action.sa_handler = OnSignal;
  sigemptyset(&action.sa_mask);
  for (const int signal : {SIGINT, SIGTERM, SIGHUP, SIGQUIT}) {
    sigaction(signal, &action, nullptr);
  }
  // A write beyond the file-size limit then fails with EFBIG instead of ending the process.
  std::signal(SIGXFSZ, SIG_IGN);
}

FileIdentity IdentityOf(int descriptor) {
  struct stat status = {};
  return fstat(descriptor, &status) == 0 ? IdentityOfStatus(status) : FileIdentity();
}

bool OutputFile::Prepare(const std::string& target, std::string* error) {
  target_ = target;
  final_ = target;
  if (target == kStandardStream) {
    kind_ = Kind::kStandardOutput;
    identity_ = IdentityOf(STDOUT_FILENO);
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
    return FolderWritable(final_, target, error);
  }
  if (S_ISDIR(status.st_mode)) {
    *error = "cannot write '" + target + "': it is a directory";
    return false;
  }
  identity_ = IdentityOfStatus(status);
  if (!S_ISREG(status.st_mode)) {
    kind_ = Kind::kInPlace;
    inPlace_ = OpenInPlace(final_, S_ISSOCK(status.st_mode), target, error);
    return inPlace_ >= 0;
  }
  // The system's own answer, with the effective ids: root may write a read-only file, an
  // ordinary user may not even in a folder that lets them replace it.
  if (faccessat(AT_FDCWD, final_.c_str(), W_OK, AT_EACCESS) != 0) {
    *error = "cannot write '" + target + "': " + ErrnoText() + " (the file is left as it was)";
    return false;
  }
  if (!FolderWritable(final_, target, error) ||
      !StickyAllows(final_, status.st_uid, target, error)) {
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
      descriptor = static_cast<int>(inPlace_);
      inPlace_ = kNothingOpen;
      break;
    case Kind::kNewFile:
    case Kind::kReplace:
      // Beside the file replaced, so that the final rename stays within one file system.
      temporary_ = file_io_internal::TemporaryName(final_, static_cast<unsigned long>(getpid()),
                                                   NameMaxOf(final_), "/");
      file_io_internal::ArmCleanup(temporary_.c_str(), temporary_.size() + 1);
      descriptor = open(temporary_.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0666);
      if (descriptor < 0) {
        *error = "cannot create '" + temporary_ + "': " + ErrnoText();
        file_io_internal::DisarmCleanup();
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

bool OutputFile::PutInPlace(std::string* why) {
  if (std::rename(temporary_.c_str(), final_.c_str()) == 0) {
    return true;
  }
  *why = ErrnoText();
  return false;
}

void OutputFile::CloseInPlace() { close(static_cast<int>(inPlace_)); }

void OutputFile::RemoveTemporary() { unlink(temporary_.c_str()); }

bool WritesLandWhereSet(std::FILE* stream) {
  if (!IsSeekable(stream)) {
    return false;
  }
  const int flags = fcntl(fileno(stream), F_GETFL);
  return flags >= 0 && (flags & O_APPEND) == 0;
}

long long StreamPosition(std::FILE* stream) { return ftello(stream); }

bool SeekStream(std::FILE* stream, std::uint64_t offset) {
  return fseeko(stream, static_cast<off_t>(offset), SEEK_SET) == 0;
}

}  // namespace jpegdec_cli

int main(int argc, char** argv) { return jpegdec_cli::Main(argc, argv); }
