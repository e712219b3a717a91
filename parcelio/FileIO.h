// The command-line tool's own thin I/O layer: files by 64-bit position,
// paths in UTF-8 on every system, the system's reason for a failure, the
// console, folders held open, name locks and interruptions (the piece copy
// is in PieceCopy.h). Everything that differs between Linux and Windows
// lives in FileIOPosix.cpp and FileIOWindows.cpp, of which CMake builds
// one (by WIN32); FileIO.cpp holds the part common to both. The only
// system switch left here is the storage of the open handle below.
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
  // Closes the file, if one is open; harmless otherwise.
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
  // Cuts or extends the file to size bytes; false with LastErrorText().
  bool SetSize(int64_t size);
  // Writes the file's data through to the disk (fsync, FlushFileBuffers).
  bool Sync();
  // Adds execute permission for everyone who may read it (nothing on
  // Windows).
  bool MakeExecutable();

 private:
  friend class Dir;
#ifdef _WIN32
  void* handle_ = nullptr;
#else
  int fd_ = -1;
#endif
};

// ------------------------------------------------------------------ folders
// What identifies a file whatever name leads to it: device and inode number,
// or volume serial number and file index. Two hard links share it.
struct FileId {
  uint64_t device = 0;
  uint64_t index = 0;
  bool operator==(const FileId& other) const { return device == other.device && index == other.index; }
  bool operator<(const FileId& other) const {
    return device != other.device ? device < other.device : index < other.index;
  }
};

// The identity of the file a path names (a link in its last part followed,
// as an open would). False when there is nothing to open.
bool IdentityOf(const fs::path& path, FileId& id);

// Declared here for Dir, whose folder they use; see "interruptions" below.
class Dir;
bool SyncFileSystem(const Dir& dir);
void RegisterTemporary(const Dir& dir, const std::string& name);
void DropTemporary(const Dir& dir, const std::string& name);

// A folder held open. Every name below it is reached from it, one level at
// a time, never through a symbolic link, junction or other reparse point: a
// link where a level or a file is expected is refused (LastErrorIsLink()).
// On Windows the folder cannot be renamed or removed while it is held.
class Dir {
 public:
  enum class Kind { None, File, Folder, Link, Other };

  Dir() = default;
  ~Dir();
  Dir(Dir&& other) noexcept;
  Dir& operator=(Dir&& other) noexcept;
  Dir(const Dir&) = delete;
  Dir& operator=(const Dir&) = delete;

  // The folder a path names, links in the path followed: where a run is
  // told to write is the user's choice.
  bool Open(const fs::path& path);
  // The level `name` (one part) below parent; made first when create is
  // given and it is missing.
  bool OpenLevel(const Dir& parent, const std::string& name, bool create);
  bool IsOpen() const;
  // Lets the folder go, if one is held; harmless otherwise.
  void Close();

  // What the name is, links not followed, with its identity when asked.
  Kind KindOf(const std::string& name, FileId* id = nullptr) const;
  // A new file, for writing: fails when anything has the name, a link
  // included.
  bool CreateNew(const std::string& name, File& file) const;
  // An existing file for reading, not through a link.
  bool OpenForReading(const std::string& name, File& file) const;
  // Renames within the folder. Without replace, fails (LastErrorIsExists())
  // when `to` exists, even when it appears at the last moment; with it, the
  // entry `to` is replaced, never what a link there leads to.
  bool Rename(const std::string& from, const std::string& to, bool replace) const;
  // Removes a file (or a link itself).
  bool Remove(const std::string& name) const;
  // The names in the folder ("." and ".." left out).
  bool List(std::vector<std::string>& names) const;
  // Whether a file belongs to the user running the program (always true
  // on Windows, where removing another user's file fails by itself).
  bool OwnedByMe(const std::string& name) const;

 private:
  friend class NameLock;
  friend bool SyncFileSystem(const Dir& dir);
  friend void RegisterTemporary(const Dir& dir, const std::string& name);
  friend void DropTemporary(const Dir& dir, const std::string& name);
#ifdef _WIN32
  void* handle_ = nullptr;
  std::wstring path_;  // the folder's final path
#else
  int fd_ = -1;
#endif
};

// Whether the system can write everything of one file system through to
// the disk in one call (Linux: syncfs), and that call for the file system
// holding the folder. Where it cannot, files are flushed one by one.
bool FileSystemSyncs();
bool SyncFileSystem(const Dir& dir);

// The last failure was a link where a level or file was expected, or a
// name that exists already.
bool LastErrorIsLink();
bool LastErrorIsExists();

// An exclusive hold on a name in a folder, between processes: the file is
// created when missing, and removed when the hold ends (also when the
// process dies, on Windows; on Linux the next holder takes it over).
class NameLock {
 public:
  NameLock() = default;
  ~NameLock();
  NameLock(const NameLock&) = delete;
  NameLock& operator=(const NameLock&) = delete;
  // False with busy set when another process holds it; false otherwise
  // with LastErrorText().
  bool Take(const Dir& dir, const std::string& name, bool& busy);
  // Ends the hold (the name's file removed); harmless when none is held.
  void Release();

 private:
  const Dir* dir_ = nullptr;
  std::string name_;
#ifdef _WIN32
  void* handle_ = nullptr;
#else
  int fd_ = -1;
#endif
};

// This process's number, and whether a process of that number runs.
uint32_t ProcessId();
bool ProcessRuns(uint32_t pid);

// ------------------------------------------------------------------ interruptions
// Ctrl-C, SIGINT, SIGTERM and SIGHUP (closing the console on Windows): the
// temporary files registered below are removed, one line says why the run
// ends, and the process exits with 128 + the signal's number.
void CatchInterrupts();
// A temporary file to remove on an interruption; the folder must stay open
// until it is dropped again.
void RegisterTemporary(const Dir& dir, const std::string& name);
void DropTemporary(const Dir& dir, const std::string& name);

// While one exists, an interruption waits: it takes effect when the last
// hold ends (steps that must not be torn apart).
class HoldInterrupts {
 public:
  HoldInterrupts();
  ~HoldInterrupts();
  HoldInterrupts(const HoldInterrupts&) = delete;
  HoldInterrupts& operator=(const HoldInterrupts&) = delete;
};

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
