// The command-line tool's own thin I/O layer: files by 64-bit position,
// paths in UTF-8 on every system, the system's reason for a failure, the
// console, and the piece copy with its CRC. Everything that differs between
// Linux and Windows lives in FileIO.cpp.
#pragma once

#include <cstdint>
#include <filesystem>
#include <functional>
#include <string>
#include <vector>

namespace parcelio {

namespace fs = std::filesystem;

// A path from UTF-8 text, and back.
fs::path PathOf(const std::string& utf8);
std::string Utf8Of(const fs::path& path);

// The system's reason for the last failed call (strerror or FormatMessage),
// and the reason for an error code of std::filesystem.
std::string LastErrorText();
std::string ErrorText(const std::error_code& error);

class File {
 public:
  enum class Mode {
    Read,         // an existing file, for reading
    CreateNew,    // a new file; fails when the name exists
    Replace,      // created, or cut to length 0 when it exists
    Update,       // an existing file, for reading and writing, kept as it is
  };

  File() = default;
  ~File();
  File(File&& other) noexcept;
  File& operator=(File&& other) noexcept;
  File(const File&) = delete;
  File& operator=(const File&) = delete;

  // False with LastErrorText() set when the file cannot be opened. A
  // symbolic link at the name itself is not followed by Replace/CreateNew.
  bool Open(const fs::path& path, Mode mode);
  bool IsOpen() const;
  void Close();
  // Whether the open file is a regular file on a disk (not a pipe, a device
  // or a directory); false with LastErrorText() set to say so. Opening for
  // reading never waits, whatever the name leads to.
  bool IsRegular();

  // Reads up to count bytes at position; answers the count read (short only
  // at the end of the file), or -1.
  int64_t ReadAt(int64_t position, void* buffer, int64_t count);
  // Writes all count bytes at position, or answers false.
  bool WriteAt(int64_t position, const void* buffer, int64_t count);
  // The file's size, or -1.
  int64_t Size();
  bool SetSize(int64_t size);

 private:
#ifdef _WIN32
  void* handle_ = nullptr;
#else
  int fd_ = -1;
#endif
};

// Called with the count of bytes handled so far in one copy.
using Progress = std::function<void(int64_t)>;

struct CopyResult {
  bool ok = false;         // every byte was read (and written, if there is a target)
  bool readFailed = false;  // the source failed, else the target (when !ok)
  int64_t copied = 0;      // bytes read from the source
  uint32_t crc = 0;        // CRC-32 of the bytes read
  std::string reason;      // the system's reason when !ok
};

// The piece copy: size bytes of source from sourcePos, to target at
// targetPos when target is given, with the CRC-32 of the bytes taken as they
// pass. Large copies read the next block (and run it through the CRC) on a
// second thread while the current one is written; a source that ends early
// is a failed read with copied < size.
CopyResult CopyRange(File& source, int64_t sourcePos, File* target, int64_t targetPos,
                     int64_t size, const Progress& progress = nullptr);

// Free bytes for the caller on the file system holding path; -1 if unknown.
int64_t FreeSpace(const fs::path& path);

// Standard error is a terminal (progress lines are shown only then).
bool ErrorIsTerminal();
// UTF-8 text to standard output or standard error; on a Windows console the
// text is shown in its own characters.
void WriteOut(const std::string& utf8);
void WriteErr(const std::string& utf8);

// Once at the end: flushes standard output. Answers Written when all of it
// was written, ReaderGone when the program reading it ended first (a pipe
// closed early, as by `| head -1`), Failed on any other write error.
enum class OutputEnd { Written, ReaderGone, Failed };
OutputEnd FinishOutput();

// The command line in UTF-8 (on Windows, from the wide command line).
std::vector<std::string> Arguments(int argc, char** argv);

// Whether the system takes file names that differ only in letter case as
// one name (Windows) or as two (Linux).
bool NamesIgnoreCase();

// The full path of the running program's file; empty if the system cannot
// say.
fs::path ProgramPath();

// Once at start: a write beyond a file-size limit or to a closed pipe fails
// with its reason instead of ending the process.
void InitProcess();

}  // namespace parcelio
