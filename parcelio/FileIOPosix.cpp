// The tool's I/O layer on Linux: POSIX calls, paths as UTF-8 bytes.
// FileIOWindows.cpp is its Windows twin; CMake builds one of the two (see
// FileIO.h).
#include "parcelio/FileIO.h"

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <memory>
#include <mutex>
#include <thread>

#include "CRC32/CRC32.h"

#include <dirent.h>
#include <fcntl.h>
#include <signal.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <sys/statvfs.h>
#include <unistd.h>

namespace parcelio {

std::string ErrorText(const std::error_code& error) {
  return error.message();
}

std::string LastErrorText() {
  return std::strerror(errno);
}

// ------------------------------------------------------------------ File
File::~File() { Close(); }

File::File(File&& other) noexcept { *this = std::move(other); }

File& File::operator=(File&& other) noexcept {
  if (this != &other) {
    Close();
    fd_ = other.fd_;
    other.fd_ = -1;
  }
  return *this;
}


bool File::Open(const fs::path& path, Mode mode) {
  Close();
  // A pipe opened for reading would wait for a writer: the open does not
  // wait, and the file is in blocking mode once it is open.
  int flags = O_RDONLY | O_CLOEXEC | O_NONBLOCK;
  if (mode == Mode::CreateNew) flags = O_RDWR | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC;
  if (mode == Mode::Replace) flags = O_RDWR | O_CREAT | O_TRUNC | O_NOFOLLOW | O_CLOEXEC;
  if (mode == Mode::Update) flags = O_RDWR | O_NOFOLLOW | O_CLOEXEC;
  int fd;
  do {
    fd = ::open(path.c_str(), flags, 0666);
  } while (fd < 0 && errno == EINTR);
  if (fd < 0) return false;
  if (mode == Mode::Read) {
    // A directory opens for reading on Linux; it is not a file to read.
    struct stat st;
    if (fstat(fd, &st) == 0 && S_ISDIR(st.st_mode)) {
      ::close(fd);
      errno = EISDIR;
      return false;
    }
    const int status = fcntl(fd, F_GETFL);
    if (status != -1) fcntl(fd, F_SETFL, status & ~O_NONBLOCK);
  }
  fd_ = fd;
  return true;
}

bool File::IsOpen() const { return fd_ >= 0; }

bool File::IsRegular() {
  struct stat st;
  if (fstat(fd_, &st) != 0) return false;
  if (S_ISREG(st.st_mode)) return true;
  errno = S_ISDIR(st.st_mode) ? EISDIR : EINVAL;
  return false;
}

void File::Close() {
  if (fd_ >= 0) ::close(fd_);
  fd_ = -1;
}

int64_t File::ReadAt(int64_t position, void* buffer, int64_t count) {
  int64_t done = 0;
  while (done < count) {
    const ssize_t got = ::pread(fd_, static_cast<uint8_t*>(buffer) + done,
                                static_cast<size_t>(std::min<int64_t>(count - done, 1 << 30)),
                                static_cast<off_t>(position + done));
    if (got < 0) {
      if (errno == EINTR) continue;
      return -1;
    }
    if (got == 0) break;
    done += got;
  }
  return done;
}

bool File::WriteAt(int64_t position, const void* buffer, int64_t count) {
  int64_t done = 0;
  while (done < count) {
    const ssize_t put = ::pwrite(fd_, static_cast<const uint8_t*>(buffer) + done,
                                 static_cast<size_t>(std::min<int64_t>(count - done, 1 << 30)),
                                 static_cast<off_t>(position + done));
    if (put < 0) {
      if (errno == EINTR) continue;
      return false;
    }
    if (put == 0) {
      errno = EIO;
      return false;
    }
    done += put;
  }
  return true;
}

int64_t File::Size() {
  struct stat st;
  if (fstat(fd_, &st) != 0) return -1;
  return static_cast<int64_t>(st.st_size);
}

bool File::SetSize(int64_t size) { return ::ftruncate(fd_, static_cast<off_t>(size)) == 0; }


// ------------------------------------------------------------------ the system
int64_t FreeSpace(const fs::path& path) {
  struct statvfs st;
  if (statvfs(path.c_str(), &st) != 0) return -1;
  return static_cast<int64_t>(st.f_bavail) * static_cast<int64_t>(st.f_frsize);
}

bool ErrorIsTerminal() {
  return isatty(2) != 0;
}

namespace {

// Set when a write to standard output found its reader gone.
bool outputReaderGone = false;

// Called after each write or flush of standard output.
void NoteOutputError() {
  if (!std::ferror(stdout) || outputReaderGone) return;
  outputReaderGone = errno == EPIPE;
}

}  // namespace

void WriteOut(const std::string& utf8) {
  if (outputReaderGone) return;
  std::fwrite(utf8.data(), 1, utf8.size(), stdout);
  NoteOutputError();
}

void WriteErr(const std::string& utf8) {
  if (!outputReaderGone) {
    std::fflush(stdout);
    NoteOutputError();
  }
  std::fwrite(utf8.data(), 1, utf8.size(), stderr);
}

OutputEnd FinishOutput() {
  if (!outputReaderGone) {
    std::fflush(stdout);
    NoteOutputError();
  }
  if (outputReaderGone) return OutputEnd::ReaderGone;
  return std::ferror(stdout) ? OutputEnd::Failed : OutputEnd::Written;
}

std::vector<std::string> Arguments(int argc, char** argv) {
  std::vector<std::string> out;
  for (int i = 0; i < argc; ++i) out.push_back(argv[i]);
  return out;
}

bool NamesIgnoreCase() {
  return false;
}

void InitProcess() {
  signal(SIGPIPE, SIG_IGN);
  signal(SIGXFSZ, SIG_IGN);
}

fs::path ProgramPath() {
  std::error_code ec;
  const fs::path self = fs::read_symlink("/proc/self/exe", ec);
  return ec ? fs::path() : self;
}

// ------------------------------------------------------------------ folders

bool File::Sync() {
  int done;
  do {
    done = ::fsync(fd_);
  } while (done != 0 && errno == EINTR);
  return done == 0;
}

bool File::MakeExecutable() {
  struct stat st;
  if (fstat(fd_, &st) != 0) return false;
  const mode_t mode = st.st_mode & 07777;
  return fchmod(fd_, mode | ((mode & 0444) >> 2)) == 0;
}

bool IdentityOf(const fs::path& path, FileId& id) {
  struct stat st;
  if (::stat(path.c_str(), &st) != 0) return false;
  id.device = static_cast<uint64_t>(st.st_dev);
  id.index = static_cast<uint64_t>(st.st_ino);
  return true;
}

Dir::~Dir() { Close(); }
Dir::Dir(Dir&& other) noexcept { *this = std::move(other); }
Dir& Dir::operator=(Dir&& other) noexcept {
  if (this != &other) {
    Close();
    fd_ = other.fd_;
    other.fd_ = -1;
  }
  return *this;
}

bool Dir::IsOpen() const { return fd_ >= 0; }

void Dir::Close() {
  if (fd_ >= 0) ::close(fd_);
  fd_ = -1;
}

bool Dir::Open(const fs::path& path) {
  Close();
  fd_ = ::open(path.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
  return fd_ >= 0;
}

bool Dir::OpenLevel(const Dir& parent, const std::string& name, bool create) {
  Close();
  if (create && ::mkdirat(parent.fd_, name.c_str(), 0777) != 0 && errno != EEXIST) return false;
  const int fd = ::openat(parent.fd_, name.c_str(), O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC);
  if (fd < 0) {
    // O_NOFOLLOW with O_DIRECTORY may say "not a directory" of a link.
    struct stat st;
    if (errno == ENOTDIR && fstatat(parent.fd_, name.c_str(), &st, AT_SYMLINK_NOFOLLOW) == 0 && S_ISLNK(st.st_mode))
      errno = ELOOP;
    return false;
  }
  fd_ = fd;
  return true;
}

Dir::Kind Dir::KindOf(const std::string& name, FileId* id) const {
  struct stat st;
  if (fstatat(fd_, name.c_str(), &st, AT_SYMLINK_NOFOLLOW) != 0) return errno == ENOENT ? Kind::None : Kind::Other;
  if (id != nullptr) {
    id->device = static_cast<uint64_t>(st.st_dev);
    id->index = static_cast<uint64_t>(st.st_ino);
  }
  if (S_ISLNK(st.st_mode)) return Kind::Link;
  if (S_ISDIR(st.st_mode)) return Kind::Folder;
  return S_ISREG(st.st_mode) ? Kind::File : Kind::Other;
}

bool Dir::CreateNew(const std::string& name, File& file) const {
  file.Close();
  int fd;
  do {
    fd = ::openat(fd_, name.c_str(), O_RDWR | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, 0666);
  } while (fd < 0 && errno == EINTR);
  if (fd < 0) return false;
  file.fd_ = fd;
  return true;
}

bool Dir::OpenForReading(const std::string& name, File& file) const {
  file.Close();
  const int fd = ::openat(fd_, name.c_str(), O_RDONLY | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC);
  if (fd < 0) return false;
  struct stat st;
  if (fstat(fd, &st) != 0 || !S_ISREG(st.st_mode)) {
    ::close(fd);
    errno = EINVAL;
    return false;
  }
  file.fd_ = fd;
  return true;
}

bool Dir::Rename(const std::string& from, const std::string& to, bool replace) const {
  if (replace) return ::renameat(fd_, from.c_str(), fd_, to.c_str()) == 0;
  if (::renameat2(fd_, from.c_str(), fd_, to.c_str(), RENAME_NOREPLACE) == 0) return true;
  if (errno != EINVAL && errno != ENOSYS && errno != EOPNOTSUPP) return false;
  // A file system without it: a second name that cannot replace, then the
  // first one goes.
  if (::linkat(fd_, from.c_str(), fd_, to.c_str(), 0) == 0) {
    ::unlinkat(fd_, from.c_str(), 0);
    return true;
  }
  if (errno == EEXIST) return false;
  // Nor hard links (FAT): the narrowest check-then-rename there is.
  struct stat st;
  if (fstatat(fd_, to.c_str(), &st, AT_SYMLINK_NOFOLLOW) == 0) {
    errno = EEXIST;
    return false;
  }
  return ::renameat(fd_, from.c_str(), fd_, to.c_str()) == 0;
}

bool Dir::Remove(const std::string& name) const { return ::unlinkat(fd_, name.c_str(), 0) == 0; }

bool Dir::List(std::vector<std::string>& names) const {
  names.clear();
  const int fd = ::openat(fd_, ".", O_RDONLY | O_DIRECTORY | O_CLOEXEC);
  if (fd < 0) return false;
  DIR* listing = fdopendir(fd);
  if (listing == nullptr) {
    ::close(fd);
    return false;
  }
  errno = 0;
  while (const dirent* entry = readdir(listing)) {
    const std::string name = entry->d_name;
    if (name != "." && name != "..") names.push_back(name);
  }
  const bool ok = errno == 0;
  closedir(listing);
  return ok;
}

bool Dir::OwnedByMe(const std::string& name) const {
  struct stat st;
  return fstatat(fd_, name.c_str(), &st, AT_SYMLINK_NOFOLLOW) == 0 && st.st_uid == geteuid();
}

bool FileSystemSyncs() { return true; }

bool SyncFileSystem(const Dir& dir) { return ::syncfs(dir.fd_) == 0; }

bool LastErrorIsLink() { return errno == ELOOP; }
bool LastErrorIsExists() { return errno == EEXIST || errno == ENOTEMPTY; }

NameLock::~NameLock() { Release(); }

bool NameLock::Take(const Dir& dir, const std::string& name, bool& busy) {
  Release();
  busy = false;
  // The holder of the lock on the file that has the name holds the name; a
  // file that was removed while we waited for its lock holds nothing.
  for (int attempt = 0; attempt < 20; ++attempt) {
    const int fd = ::openat(dir.fd_, name.c_str(), O_RDWR | O_CREAT | O_NOFOLLOW | O_CLOEXEC, 0644);
    if (fd < 0) return false;
    if (flock(fd, LOCK_EX | LOCK_NB) != 0) {
      const int error = errno;
      ::close(fd);
      busy = error == EWOULDBLOCK;
      errno = error;
      return false;
    }
    struct stat held, named;
    if (fstat(fd, &held) == 0 && fstatat(dir.fd_, name.c_str(), &named, AT_SYMLINK_NOFOLLOW) == 0 &&
        held.st_dev == named.st_dev && held.st_ino == named.st_ino) {
      fd_ = fd;
      dir_ = &dir;
      name_ = name;
      return true;
    }
    ::close(fd);
  }
  busy = true;
  errno = EAGAIN;
  return false;
}

void NameLock::Release() {
  if (fd_ >= 0) {
    ::unlinkat(dir_->fd_, name_.c_str(), 0);
    ::close(fd_);
  }
  fd_ = -1;
  dir_ = nullptr;
}

uint32_t ProcessId() { return static_cast<uint32_t>(getpid()); }

bool ProcessRuns(uint32_t pid) {
  if (pid == 0 || pid > static_cast<uint32_t>(INT32_MAX)) return false;
  return ::kill(static_cast<pid_t>(pid), 0) == 0 || errno == EPERM;
}

// ------------------------------------------------------------------ interruptions
namespace {

struct Temporary {
  int dir;
  std::string name;
};

// Changed only with the signals blocked, read by the handler.
std::vector<Temporary>& Temporaries() {
  static auto* names = new std::vector<Temporary>;
  return *names;
}

sigset_t InterruptSignals() {
  sigset_t set;
  sigemptyset(&set);
  sigaddset(&set, SIGINT);
  sigaddset(&set, SIGTERM);
  sigaddset(&set, SIGHUP);
  return set;
}

// Only calls that are safe in a signal handler.
void OnSignal(int signal) {
  for (const Temporary& temporary : Temporaries()) ::unlinkat(temporary.dir, temporary.name.c_str(), 0);
  const char* text = signal == SIGINT    ? "parcel: interrupted (SIGINT); temporary files removed\n"
                     : signal == SIGTERM ? "parcel: terminated (SIGTERM); temporary files removed\n"
                                         : "parcel: hung up (SIGHUP); temporary files removed\n";
  ssize_t written = ::write(2, text, std::strlen(text));
  (void)written;
  ::_exit(128 + signal);
}

class Blocked {
 public:
  Blocked() {
    const sigset_t set = InterruptSignals();
    pthread_sigmask(SIG_BLOCK, &set, &before_);
  }
  ~Blocked() { pthread_sigmask(SIG_SETMASK, &before_, nullptr); }

 private:
  sigset_t before_;
};

int holds = 0;
sigset_t beforeHolds;

}  // namespace

void CatchInterrupts() {
  Temporaries().reserve(64);
  for (int signal : {SIGINT, SIGTERM, SIGHUP}) {
    struct sigaction action{};
    // A signal ignored when the run began (nohup, a background job) stays
    // ignored.
    if (sigaction(signal, nullptr, &action) == 0 && action.sa_handler == SIG_IGN) continue;
    action = {};
    action.sa_handler = OnSignal;
    action.sa_mask = InterruptSignals();
    sigaction(signal, &action, nullptr);
  }
}

void RegisterTemporary(const Dir& dir, const std::string& name) {
  Blocked blocked;
  Temporaries().push_back(Temporary{dir.fd_, name});
}

void DropTemporary(const Dir& dir, const std::string& name) {
  Blocked blocked;
  auto& names = Temporaries();
  for (size_t i = names.size(); i-- > 0;) {
    if (names[i].dir == dir.fd_ && names[i].name == name) {
      names.erase(names.begin() + static_cast<std::ptrdiff_t>(i));
      break;
    }
  }
}

HoldInterrupts::HoldInterrupts() {
  if (holds++ == 0) {
    const sigset_t set = InterruptSignals();
    pthread_sigmask(SIG_BLOCK, &set, &beforeHolds);
  }
}

HoldInterrupts::~HoldInterrupts() {
  if (--holds == 0) pthread_sigmask(SIG_SETMASK, &beforeHolds, nullptr);
}


}  // namespace parcelio
