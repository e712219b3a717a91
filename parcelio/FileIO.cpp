// The tool's I/O layer: POSIX calls on Linux, the wide Win32 calls on
// Windows. This is the one file of the tool that tells the systems apart.
#include "parcelio/FileIO.h"

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <memory>
#include <thread>

#include "CRC32/CRC32.h"

#ifdef _WIN32
#include <windows.h>
#include <shellapi.h>
#else
#include <fcntl.h>
#include <signal.h>
#include <sys/stat.h>
#include <sys/statvfs.h>
#include <unistd.h>
#endif

namespace parcelio {

namespace {

// Reads of this size keep the CRC and the write working on data still in the
// processor's cache.
constexpr int64_t CopyStep = 256 * 1024;

#ifdef _WIN32
std::wstring Wide(const std::string& utf8) {
  if (utf8.empty()) return std::wstring();
  const int n = MultiByteToWideChar(CP_UTF8, 0, utf8.data(), static_cast<int>(utf8.size()), nullptr, 0);
  std::wstring out(static_cast<size_t>(n), L'\0');
  MultiByteToWideChar(CP_UTF8, 0, utf8.data(), static_cast<int>(utf8.size()), &out[0], n);
  return out;
}

std::string Narrow(const wchar_t* text, int length) {
  if (length == 0) return std::string();
  const int n = WideCharToMultiByte(CP_UTF8, 0, text, length, nullptr, 0, nullptr, nullptr);
  std::string out(static_cast<size_t>(n), '\0');
  WideCharToMultiByte(CP_UTF8, 0, text, length, &out[0], n, nullptr, nullptr);
  return out;
}

void WriteTo(DWORD which, FILE* stream, const std::string& utf8) {
  HANDLE handle = GetStdHandle(which);
  DWORD mode = 0;
  if (handle != INVALID_HANDLE_VALUE && handle != nullptr && GetConsoleMode(handle, &mode)) {
    std::fflush(stream);
    const std::wstring wide = Wide(utf8);
    DWORD written = 0;
    WriteConsoleW(handle, wide.data(), static_cast<DWORD>(wide.size()), &written, nullptr);
    return;
  }
  std::fwrite(utf8.data(), 1, utf8.size(), stream);
  std::fflush(stream);
}
#endif

}  // namespace

fs::path PathOf(const std::string& utf8) { return fs::u8path(utf8); }

std::string Utf8Of(const fs::path& path) {
  const auto text = path.u8string();
  return std::string(text.begin(), text.end());
}

std::string ErrorText(const std::error_code& error) {
#ifdef _WIN32
  if (error.category() == std::system_category()) {
    SetLastError(static_cast<DWORD>(error.value()));
    return LastErrorText();
  }
#endif
  return error.message();
}

std::string LastErrorText() {
#ifdef _WIN32
  const DWORD code = GetLastError();
  wchar_t* text = nullptr;
  const DWORD n = FormatMessageW(
      FORMAT_MESSAGE_ALLOCATE_BUFFER | FORMAT_MESSAGE_FROM_SYSTEM | FORMAT_MESSAGE_IGNORE_INSERTS,
      nullptr, code, 0, reinterpret_cast<wchar_t*>(&text), 0, nullptr);
  std::string message = n > 0 ? Narrow(text, static_cast<int>(n)) : "error " + std::to_string(code);
  if (text != nullptr) LocalFree(text);
  while (!message.empty() && (message.back() == '\n' || message.back() == '\r' ||
                              message.back() == '.' || message.back() == ' '))
    message.pop_back();
  return message;
#else
  return std::strerror(errno);
#endif
}

// ------------------------------------------------------------------ File
File::~File() { Close(); }

File::File(File&& other) noexcept { *this = std::move(other); }

File& File::operator=(File&& other) noexcept {
  if (this != &other) {
    Close();
#ifdef _WIN32
    handle_ = other.handle_;
    other.handle_ = nullptr;
#else
    fd_ = other.fd_;
    other.fd_ = -1;
#endif
  }
  return *this;
}

#ifdef _WIN32

bool File::Open(const fs::path& path, Mode mode) {
  Close();
  DWORD access = GENERIC_READ, share = FILE_SHARE_READ | FILE_SHARE_DELETE, creation = OPEN_EXISTING;
  if (mode != Mode::Read) {
    access |= GENERIC_WRITE;
    share = FILE_SHARE_READ;
    creation = mode == Mode::CreateNew ? CREATE_NEW : mode == Mode::Update ? OPEN_EXISTING : CREATE_ALWAYS;
  }
  HANDLE h = CreateFileW(path.wstring().c_str(), access, share, nullptr, creation,
                         FILE_ATTRIBUTE_NORMAL | FILE_FLAG_SEQUENTIAL_SCAN, nullptr);
  if (h == INVALID_HANDLE_VALUE) return false;
  handle_ = h;
  return true;
}

bool File::IsOpen() const { return handle_ != nullptr; }

bool File::IsRegular() {
  if (GetFileType(static_cast<HANDLE>(handle_)) == FILE_TYPE_DISK) return true;
  SetLastError(ERROR_BAD_FILE_TYPE);
  return false;
}

void File::Close() {
  if (handle_ != nullptr) CloseHandle(static_cast<HANDLE>(handle_));
  handle_ = nullptr;
}

namespace {

// A file position for ReadFile and WriteFile: they read and write there,
// whatever the handle's own position.
OVERLAPPED OverlappedAt(int64_t position) {
  OVERLAPPED at{};
  at.Offset = static_cast<DWORD>(static_cast<uint64_t>(position));
  at.OffsetHigh = static_cast<DWORD>(static_cast<uint64_t>(position) >> 32);
  return at;
}

}  // namespace

int64_t File::ReadAt(int64_t position, void* buffer, int64_t count) {
  int64_t done = 0;
  while (done < count) {
    OVERLAPPED at = OverlappedAt(position + done);
    const DWORD want = static_cast<DWORD>(std::min<int64_t>(count - done, 1 << 30));
    DWORD got = 0;
    if (!ReadFile(static_cast<HANDLE>(handle_), static_cast<uint8_t*>(buffer) + done, want, &got, &at)) {
      if (GetLastError() == ERROR_HANDLE_EOF) break;
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
    OVERLAPPED at = OverlappedAt(position + done);
    const DWORD want = static_cast<DWORD>(std::min<int64_t>(count - done, 1 << 30));
    DWORD put = 0;
    if (!WriteFile(static_cast<HANDLE>(handle_), static_cast<const uint8_t*>(buffer) + done, want, &put, &at))
      return false;
    if (put == 0) {
      SetLastError(ERROR_WRITE_FAULT);
      return false;
    }
    done += put;
  }
  return true;
}

int64_t File::Size() {
  LARGE_INTEGER size;
  if (!GetFileSizeEx(static_cast<HANDLE>(handle_), &size)) return -1;
  return size.QuadPart;
}

bool File::SetSize(int64_t size) {
  LARGE_INTEGER to;
  to.QuadPart = size;
  return SetFilePointerEx(static_cast<HANDLE>(handle_), to, nullptr, FILE_BEGIN) &&
         SetEndOfFile(static_cast<HANDLE>(handle_));
}

#else

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

#endif

// ------------------------------------------------------------------ the piece copy
namespace {

// One buffer for the whole run.
uint8_t* CopyBuffer() {
  static std::unique_ptr<uint8_t[]> buffer(new uint8_t[CopyStep]);
  return buffer.get();
}

// Large copies read ahead on a second thread: while one block is written,
// the next is read and run through the CRC, so a verified copy takes about
// what an unverified one does.
constexpr int64_t AheadFrom = 4 * 1024 * 1024;
constexpr int64_t AheadStep = 2 * 1024 * 1024;

uint8_t* AheadBuffer(int which) {
  static std::unique_ptr<uint8_t[]> buffers[2];
  if (!buffers[which]) buffers[which].reset(new uint8_t[AheadStep]);
  return buffers[which].get();
}

// One block read from the source and checked.
struct Block {
  uint8_t* data = nullptr;
  int64_t got = 0;  // bytes read; 0 at an early end, -1 on a failed read
  std::string reason;
};

void ReadAndCheck(File& source, int64_t position, int64_t want, bool first, bool last,
                  uint32_t& crc, Block& block) {
  block.got = source.ReadAt(position, block.data, want);
  if (block.got < 0) {
    block.reason = LastErrorText();
    return;
  }
  if (block.got > 0) {
    UpdateCrc32(block.data, static_cast<int32_t>(block.got), crc, first, last && block.got == want);
  }
}

// Runs one block through the CRC and on to the target.
bool PassOn(const uint8_t* data, int64_t count, bool first, bool last, File* target,
            int64_t targetPos, CopyResult& result) {
  UpdateCrc32(data, static_cast<int32_t>(count), result.crc, first, last);
  if (target != nullptr && !target->WriteAt(targetPos, data, count)) {
    result.reason = LastErrorText();
    return false;
  }
  return true;
}

bool FailRead(const Block& block, CopyResult& result) {
  result.readFailed = true;
  result.reason = block.got < 0 ? block.reason : "unexpected end of file";
  return false;
}

// The copy with reads ahead. Answers false when it stopped at a failure
// (result says which), true when the range is done.
bool CopyAhead(File& source, int64_t sourcePos, File& target, int64_t targetPos, int64_t size,
               int64_t available, const Progress& progress, CopyResult& result) {
  Block blocks[2];
  blocks[0].data = AheadBuffer(0);
  blocks[1].data = AheadBuffer(1);
  int64_t read = std::min(AheadStep, available);  // bytes asked of the source so far
  ReadAndCheck(source, sourcePos, read, true, read == size, result.crc, blocks[0]);
  for (int current = 0;; current ^= 1) {
    Block& block = blocks[current];
    if (block.got <= 0) return FailRead(block, result);
    // The next block is read while this one is written.
    std::thread ahead;
    const bool more = read < available && block.got == std::min(AheadStep, available - result.copied);
    if (more) {
      const int64_t at = read;
      const int64_t want = std::min(AheadStep, available - at);
      read += want;
      ahead = std::thread(ReadAndCheck, std::ref(source), sourcePos + at, want, false,
                          at + want == size, std::ref(result.crc), std::ref(blocks[current ^ 1]));
    }
    const bool written = target.WriteAt(targetPos + result.copied, block.data, block.got);
    if (!written) result.reason = LastErrorText();
    if (ahead.joinable()) ahead.join();
    if (!written) return false;
    result.copied += block.got;
    if (progress) progress(result.copied);
    if (!more) return result.copied == available || FailRead(Block{}, result);
  }
}

}  // namespace

CopyResult CopyRange(File& source, int64_t sourcePos, File* target, int64_t targetPos,
                     int64_t size, const Progress& progress) {
  CopyResult result;
  if (size <= 0) {
    result.ok = true;
    return result;
  }
  const int64_t sourceSize = source.Size();
  const int64_t available = std::max<int64_t>(0, std::min(size, sourceSize - sourcePos));

  if (target != nullptr && available >= AheadFrom) {
    if (!CopyAhead(source, sourcePos, *target, targetPos, size, available, progress, result)) {
      return result;
    }
  }

  uint8_t* buffer = CopyBuffer();
  while (result.copied < available) {
    const int64_t want = std::min(CopyStep, available - result.copied);
    const int64_t got = source.ReadAt(sourcePos + result.copied, buffer, want);
    if (got <= 0) {
      result.readFailed = true;
      result.reason = got < 0 ? LastErrorText() : "unexpected end of file";
      return result;
    }
    const bool first = result.copied == 0;
    result.copied += got;
    if (!PassOn(buffer, got, first, result.copied == size, target,
                targetPos + result.copied - got, result))
      return result;
    if (progress) progress(result.copied);
  }
  if (result.copied < size) {
    result.readFailed = true;
    result.reason = "unexpected end of file";
    return result;
  }
  result.ok = true;
  return result;
}

// ------------------------------------------------------------------ the system
int64_t FreeSpace(const fs::path& path) {
#ifdef _WIN32
  ULARGE_INTEGER free;
  if (!GetDiskFreeSpaceExW(path.wstring().c_str(), &free, nullptr, nullptr)) return -1;
  return static_cast<int64_t>(std::min<uint64_t>(free.QuadPart, INT64_MAX));
#else
  struct statvfs st;
  if (statvfs(path.c_str(), &st) != 0) return -1;
  return static_cast<int64_t>(st.f_bavail) * static_cast<int64_t>(st.f_frsize);
#endif
}

bool ErrorIsTerminal() {
#ifdef _WIN32
  DWORD mode = 0;
  return GetConsoleMode(GetStdHandle(STD_ERROR_HANDLE), &mode) != 0;
#else
  return isatty(2) != 0;
#endif
}

namespace {

// Set when a write to standard output found its reader gone.
bool outputReaderGone = false;

// Called after each write or flush of standard output.
void NoteOutputError() {
  if (!std::ferror(stdout) || outputReaderGone) return;
#ifdef _WIN32
  const DWORD code = GetLastError();
  outputReaderGone = errno == EPIPE || code == ERROR_NO_DATA || code == ERROR_BROKEN_PIPE;
#else
  outputReaderGone = errno == EPIPE;
#endif
}

}  // namespace

void WriteOut(const std::string& utf8) {
  if (outputReaderGone) return;
#ifdef _WIN32
  WriteTo(STD_OUTPUT_HANDLE, stdout, utf8);
#else
  std::fwrite(utf8.data(), 1, utf8.size(), stdout);
#endif
  NoteOutputError();
}

void WriteErr(const std::string& utf8) {
#ifdef _WIN32
  WriteTo(STD_ERROR_HANDLE, stderr, utf8);
#else
  if (!outputReaderGone) {
    std::fflush(stdout);
    NoteOutputError();
  }
  std::fwrite(utf8.data(), 1, utf8.size(), stderr);
#endif
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
#ifdef _WIN32
  int count = 0;
  wchar_t** wide = CommandLineToArgvW(GetCommandLineW(), &count);
  if (wide != nullptr) {
    for (int i = 0; i < count; ++i) out.push_back(Narrow(wide[i], static_cast<int>(wcslen(wide[i]))));
    LocalFree(wide);
    return out;
  }
#endif
  for (int i = 0; i < argc; ++i) out.push_back(argv[i]);
  return out;
}

bool NamesIgnoreCase() {
#ifdef _WIN32
  return true;
#else
  return false;
#endif
}

void InitProcess() {
#ifndef _WIN32
  signal(SIGPIPE, SIG_IGN);
  signal(SIGXFSZ, SIG_IGN);
#endif
}

fs::path ProgramPath() {
#ifdef _WIN32
  std::wstring path(MAX_PATH, L'\0');
  for (;;) {
    const DWORD got = GetModuleFileNameW(nullptr, &path[0], static_cast<DWORD>(path.size()));
    if (got == 0) return fs::path();
    if (got < path.size()) return fs::path(path.substr(0, got));
    path.resize(path.size() * 2);
  }
#else
  std::error_code ec;
  const fs::path self = fs::read_symlink("/proc/self/exe", ec);
  return ec ? fs::path() : self;
#endif
}

}  // namespace parcelio
