// The Win32 services as the program uses them. The tests go through the
// Win32 interface only, so that the same tests check the Linux layer and,
// built for Windows, a real Win32 implementation.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <string>
#include <vector>

#include "platform/Win32.h"
#include "tests/TestSupport.h"

namespace fs = std::filesystem;

namespace {

// ------------------------------------------------------------------ helpers

// Whether the Windows build runs under Wine, which answers a few calls
// differently from Windows; the tests name each such place.
bool UnderWine() {
#ifdef _WIN32
  static const bool wine = [] {
    HMODULE ntdll = GetModuleHandleA("ntdll.dll");
    return ntdll != nullptr && GetProcAddress(ntdll, "wine_get_version") != nullptr;
  }();
  return wine;
#else
  return false;
#endif
}

// The error Windows gives, or the one Wine gives instead.
DWORD WindowsOrWine(DWORD windows, DWORD wine) { return UnderWine() ? wine : windows; }

// An entry made with the host's own functions, named in UTF-8.
fs::path NativeItem(const ScratchDir& dir, const std::string& utf8) {
  return fs::path(dir.Native()) / fs::u8path(utf8);
}

void MakeFile(const ScratchDir& dir, const std::string& utf8, const std::string& bytes = "x") {
  std::ofstream out(NativeItem(dir, utf8), std::ios::binary);
  out << bytes;
}

void MakeReadOnly(const ScratchDir& dir, const std::string& utf8) {
  fs::permissions(NativeItem(dir, utf8),
                  fs::perms::owner_write | fs::perms::group_write | fs::perms::others_write,
                  fs::perm_options::remove);
}

std::string CurrentDirectory() {
  char buffer[MAX_PATH + 1] = {};
  DWORD n = GetCurrentDirectoryA(sizeof buffer, buffer);
  return std::string(buffer, n);
}

bool EndsWith(const std::string& s, const std::string& tail) {
  return s.size() >= tail.size() && s.compare(s.size() - tail.size(), tail.size(), tail) == 0;
}

struct Search {
  DWORD error = 0;  // of FindFirstFileA; 0 when it found something
  std::vector<std::string> names;
  std::vector<WIN32_FIND_DATAA> entries;
};

Search FindAll(const std::string& pattern) {
  Search result;
  WIN32_FIND_DATAA data;
  HANDLE h = FindFirstFileA(pattern.c_str(), &data);
  if (h == INVALID_HANDLE_VALUE) {
    result.error = GetLastError();
    return result;
  }
  do {
    result.names.push_back(data.cFileName);
    result.entries.push_back(data);
  } while (FindNextFileA(h, &data));
  EXPECT_EQ(static_cast<DWORD>(ERROR_NO_MORE_FILES), GetLastError());
  EXPECT_TRUE(FindClose(h));
  std::sort(result.names.begin(), result.names.end());
  return result;
}

const WIN32_FIND_DATAA* EntryNamed(const Search& search, const std::string& name) {
  for (const auto& e : search.entries) {
    if (name == e.cFileName) return &e;
  }
  return nullptr;
}

HANDLE Open(const std::string& path, DWORD access, DWORD disposition) {
  return CreateFileA(path.c_str(), access, FILE_SHARE_READ, nullptr, disposition, 0, nullptr);
}

std::string ReadAll(HANDLE h) {
  char buffer[64];
  DWORD n = 0;
  EXPECT_TRUE(ReadFile(h, buffer, sizeof buffer, &n, nullptr));
  return std::string(buffer, n);
}

// Every test leaves the current directory and the file-API code page as it
// found them.
class Win32Test : public ::testing::Test {
 protected:
  void SetUp() override { saved_ = CurrentDirectory(); }
  void TearDown() override {
    SetFileApisToANSI();
    SetCurrentDirectoryA(saved_.c_str());
  }
  // The drive of the scratch directory ("Z:"), and the directory without it.
  std::string Drive() const { return dir_.Win32().substr(0, 2); }
  std::string Rooted() const { return dir_.Win32().substr(2); }

  ScratchDir dir_;
  std::string saved_;
};

// ------------------------------------------------------------------ files

TEST_F(Win32Test, CreateFileDispositions) {
  const DWORD R = GENERIC_READ;
  const DWORD W = GENERIC_WRITE;
  struct Case {
    bool exists;
    bool readOnly;
    DWORD access;
    DWORD disposition;
    bool opens;
    DWORD error;               // after the call; 0 for a plain success
    const char* contentAfter;  // nullptr: no file
  } const cases[] = {
      {true, false, R, OPEN_EXISTING, true, 0, "old"},
      {false, false, R, OPEN_EXISTING, false, ERROR_FILE_NOT_FOUND, nullptr},
      {true, false, W, CREATE_NEW, false, ERROR_FILE_EXISTS, "old"},
      {false, false, W, CREATE_NEW, true, 0, ""},
      {true, false, W, CREATE_ALWAYS, true, ERROR_ALREADY_EXISTS, ""},
      {false, false, W, CREATE_ALWAYS, true, 0, ""},
      {true, false, R | W, OPEN_ALWAYS, true, ERROR_ALREADY_EXISTS, "old"},
      {false, false, R | W, OPEN_ALWAYS, true, 0, ""},
      {true, false, W, TRUNCATE_EXISTING, true, 0, ""},
      {false, false, W, TRUNCATE_EXISTING, false, ERROR_FILE_NOT_FOUND, nullptr},
      {true, true, R, OPEN_EXISTING, true, 0, "old"},
      {true, true, W, OPEN_EXISTING, false, ERROR_ACCESS_DENIED, "old"},
      {true, true, R | W, OPEN_ALWAYS, false, ERROR_ACCESS_DENIED, "old"},
      {true, true, R, CREATE_ALWAYS, false, ERROR_ACCESS_DENIED, "old"},
  };
  int row = 0;
  for (const Case& c : cases) {
    SCOPED_TRACE("row " + std::to_string(row));
    std::string name = "f" + std::to_string(row++);
    // Wine lets the superuser write to a read-only file; Windows refuses
    // everyone, and so does the Linux layer.
    if (c.readOnly && c.error == ERROR_ACCESS_DENIED && UnderWine()) continue;
    if (c.exists) MakeFile(dir_, name, "old");
    if (c.readOnly) MakeReadOnly(dir_, name);
    SetLastError(12345);
    HANDLE h = Open(dir_.Path(name), c.access, c.disposition);
    EXPECT_EQ(c.opens, h != INVALID_HANDLE_VALUE);
    EXPECT_EQ(c.error, GetLastError());
    if (h != INVALID_HANDLE_VALUE) {
      EXPECT_NE(nullptr, h);
      EXPECT_TRUE(CloseHandle(h));
    }
    ASSERT_EQ(c.contentAfter != nullptr, dir_.Exists(name));
    if (c.contentAfter != nullptr) {
      EXPECT_EQ(c.contentAfter, dir_.ReadBytes(name));
    }
  }
}

TEST_F(Win32Test, BadPathsGiveWin32Errors) {
  MakeFile(dir_, "file.txt");
  dir_.MakeDir("sub");
  struct Case {
    std::string path;
    DWORD disposition;
    DWORD error;
  } const cases[] = {
      {dir_.Path("nodir\\x"), OPEN_EXISTING, ERROR_PATH_NOT_FOUND},
      {dir_.Path("nodir\\x"), CREATE_ALWAYS, ERROR_PATH_NOT_FOUND},
      {dir_.Path("file.txt\\x"), OPEN_EXISTING, ERROR_PATH_NOT_FOUND},
      {dir_.Path("sub"), OPEN_EXISTING, ERROR_ACCESS_DENIED},
      {dir_.Path("sub"), OPEN_ALWAYS, ERROR_ACCESS_DENIED},
      {dir_.Path("file.txt\\"), OPEN_EXISTING, ERROR_INVALID_NAME},
      {dir_.Path("bad?name"), CREATE_ALWAYS, ERROR_INVALID_NAME},
      {dir_.Path("bad*name"), CREATE_ALWAYS, ERROR_INVALID_NAME},
      // A drive that does not exist: Wine takes only the file to be missing.
      {"Q:\\nothing.txt", OPEN_EXISTING, WindowsOrWine(ERROR_PATH_NOT_FOUND, ERROR_FILE_NOT_FOUND)},
      {"", OPEN_EXISTING, ERROR_PATH_NOT_FOUND},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.path);
    EXPECT_EQ(INVALID_HANDLE_VALUE, Open(c.path, GENERIC_READ | GENERIC_WRITE, c.disposition));
    EXPECT_EQ(c.error, GetLastError());
  }
}

TEST_F(Win32Test, NamesAreFoundRegardlessOfCase) {
  dir_.MakeDir("SubDir");
  MakeFile(dir_, "SubDir/MixedCase.TXT", "abc");

  HANDLE h = Open(dir_.Path("SUBDIR\\mixedcase.txt"), GENERIC_READ, OPEN_EXISTING);
  ASSERT_NE(INVALID_HANDLE_VALUE, h);
  EXPECT_EQ("abc", ReadAll(h));
  CloseHandle(h);
  EXPECT_EQ(static_cast<DWORD>(FILE_ATTRIBUTE_ARCHIVE),
            GetFileAttributesA(dir_.Path("subdir\\MIXEDCASE.TXT").c_str()));

  // Rewriting under another spelling replaces the file; a new file takes the
  // spelling given, in the directory that was found.
  h = Open(dir_.Path("subdir\\MIXEDCASE.txt"), GENERIC_WRITE, CREATE_ALWAYS);
  ASSERT_NE(INVALID_HANDLE_VALUE, h);
  CloseHandle(h);
  h = Open(dir_.Path("SUBDIR\\NewFile.Txt"), GENERIC_WRITE, CREATE_NEW);
  ASSERT_NE(INVALID_HANDLE_VALUE, h);
  CloseHandle(h);
  EXPECT_EQ((std::vector<std::string>{".", "..", "MixedCase.TXT", "NewFile.Txt"}),
            FindAll(dir_.Path("subdir\\*")).names);
  EXPECT_EQ("", dir_.ReadBytes("SubDir/MixedCase.TXT"));
}

// Names are found regardless of case however the directory changed since
// the last look: by the program's own calls or behind its back.
TEST_F(Win32Test, NamesAreFoundThroughChangesMadeElsewhere) {
  dir_.MakeDir("Sub");
  auto contentOf = [&](const std::string& name) {
    HANDLE h = Open(dir_.Path(name), GENERIC_READ, OPEN_EXISTING);
    if (h == INVALID_HANDLE_VALUE) return "error " + std::to_string(GetLastError());
    std::string bytes = ReadAll(h);
    CloseHandle(h);
    return bytes;
  };
  auto create = [&](const std::string& name, const std::string& bytes) {
    HANDLE h = Open(dir_.Path(name), GENERIC_WRITE, CREATE_NEW);
    ASSERT_NE(INVALID_HANDLE_VALUE, h) << name;
    DWORD n = 0;
    WriteFile(h, bytes.data(), static_cast<DWORD>(bytes.size()), &n, nullptr);
    CloseHandle(h);
  };
  const std::string missing = "error " + std::to_string(ERROR_FILE_NOT_FOUND);

  create("Alpha.txt", "alpha");
  EXPECT_EQ("alpha", contentOf("ALPHA.TXT"));
  MakeFile(dir_, "Beta.TXT", "beta");
  EXPECT_EQ("beta", contentOf("beta.txt"));
  fs::remove(NativeItem(dir_, "Alpha.txt"));
  MakeFile(dir_, "aLPHA.txt", "new alpha");
  EXPECT_EQ("new alpha", contentOf("ALPHA.TXT"));
  fs::remove(NativeItem(dir_, "Beta.TXT"));
  EXPECT_EQ(missing, contentOf("beta.txt"));
  create("BETA.txt", "beta again");
  EXPECT_EQ("beta again", contentOf("Beta.Txt"));
  fs::rename(NativeItem(dir_, "BETA.txt"), NativeItem(dir_, "Gamma.txt"));
  EXPECT_EQ(missing, contentOf("beta.txt"));
  EXPECT_EQ("beta again", contentOf("GAMMA.TXT"));
  EXPECT_TRUE(DeleteFileA(dir_.Path("gamma.TXT").c_str()));
  EXPECT_EQ(missing, contentOf("Gamma.txt"));

  // A directory replaced by another of the same name.
  MakeFile(dir_, "Sub/File.txt", "old");
  EXPECT_EQ("old", contentOf("SUB\\FILE.TXT"));
  fs::rename(NativeItem(dir_, "Sub"), NativeItem(dir_, "Gone"));
  dir_.MakeDir("sUB");
  MakeFile(dir_, "sUB/fILE.txt", "new");
  EXPECT_EQ("new", contentOf("SUB\\FILE.TXT"));
  EXPECT_EQ((std::vector<std::string>{".", "..", "Gone", "aLPHA.txt", "sUB"}),
            FindAll(dir_.Path("*")).names);
}

TEST_F(Win32Test, ReadAndWrite) {
  HANDLE h = Open(dir_.Path("rw.bin"), GENERIC_WRITE, CREATE_NEW);
  ASSERT_NE(INVALID_HANDLE_VALUE, h);
  DWORD n = 99;
  char byte = 0;
  EXPECT_FALSE(ReadFile(h, &byte, 1, &n, nullptr));
  EXPECT_EQ(static_cast<DWORD>(ERROR_ACCESS_DENIED), GetLastError());
  EXPECT_TRUE(WriteFile(h, "ab", 2, &n, nullptr));
  EXPECT_EQ(2u, n);
  EXPECT_TRUE(WriteFile(h, "", 0, &n, nullptr));
  EXPECT_EQ(0u, n);
  // Writing past the end extends the file, with zeros in the gap.
  EXPECT_EQ(10u, SetFilePointer(h, 10, nullptr, FILE_BEGIN));
  EXPECT_TRUE(WriteFile(h, "Z", 1, &n, nullptr));
  DWORD high = 99;
  EXPECT_EQ(11u, GetFileSize(h, &high));
  EXPECT_EQ(0u, high);
  CloseHandle(h);
  EXPECT_EQ(Bytes("ab\0\0\0\0\0\0\0\0Z", 11), dir_.ReadBytes("rw.bin"));

  h = Open(dir_.Path("rw.bin"), GENERIC_READ, OPEN_EXISTING);
  ASSERT_NE(INVALID_HANDLE_VALUE, h);
  EXPECT_FALSE(WriteFile(h, "x", 1, &n, nullptr));
  EXPECT_EQ(static_cast<DWORD>(ERROR_ACCESS_DENIED), GetLastError());
  EXPECT_FALSE(SetEndOfFile(h));
  // (Wine tries to truncate through the read-only descriptor.)
  EXPECT_EQ(WindowsOrWine(ERROR_ACCESS_DENIED, ERROR_INVALID_PARAMETER), GetLastError());
  EXPECT_EQ(Bytes("ab\0\0\0\0\0\0\0\0Z", 11), ReadAll(h));
  // At and beyond the end a read succeeds with nothing.
  n = 99;
  EXPECT_TRUE(ReadFile(h, &byte, 1, &n, nullptr));
  EXPECT_EQ(0u, n);
  SetFilePointer(h, 1000, nullptr, FILE_BEGIN);
  EXPECT_TRUE(ReadFile(h, &byte, 1, &n, nullptr));
  EXPECT_EQ(0u, n);
  CloseHandle(h);

  // The end of the file moves to the current position, either way.
  h = Open(dir_.Path("rw.bin"), GENERIC_WRITE, OPEN_EXISTING);
  SetFilePointer(h, 3, nullptr, FILE_BEGIN);
  EXPECT_TRUE(SetEndOfFile(h));
  EXPECT_EQ(3u, GetFileSize(h, nullptr));
  SetFilePointer(h, 5, nullptr, FILE_BEGIN);
  EXPECT_TRUE(SetEndOfFile(h));
  CloseHandle(h);
  EXPECT_EQ(Bytes("ab\0\0\0", 5), dir_.ReadBytes("rw.bin"));
}

// Two handles name the same file on disk exactly when the volume serial and
// the file index agree, whatever spelling opened them.
TEST_F(Win32Test, FileIdentityIgnoresTheSpelling) {
  dir_.MakeDir("sub");
  dir_.WriteBytes("sub\\a.bin", "a");
  dir_.WriteBytes("sub\\b.bin", "b");
  struct Identity {
    DWORD serial, high, low;
    bool operator==(const Identity& o) const {
      return serial == o.serial && high == o.high && low == o.low;
    }
  };
  auto identityOf = [&](const std::string& path) {
    HANDLE h = Open(path, GENERIC_READ, OPEN_EXISTING);
    EXPECT_NE(INVALID_HANDLE_VALUE, h) << path;
    BY_HANDLE_FILE_INFORMATION info;
    std::memset(&info, 0, sizeof info);
    EXPECT_TRUE(GetFileInformationByHandle(h, &info)) << path;
    EXPECT_EQ(1u, info.nFileSizeLow) << path;
    CloseHandle(h);
    return Identity{info.dwVolumeSerialNumber, info.nFileIndexHigh, info.nFileIndexLow};
  };
  const Identity a = identityOf(dir_.Path("sub\\a.bin"));
  EXPECT_TRUE(a == identityOf(dir_.Path("sub\\.\\A.BIN")));
  EXPECT_TRUE(a == identityOf(dir_.Path("sub\\..\\sub\\a.bin.")));
  EXPECT_TRUE(a == identityOf(dir_.Path("sub/a.bin")));
  EXPECT_FALSE(a == identityOf(dir_.Path("sub\\b.bin")));

  BY_HANDLE_FILE_INFORMATION info;
  EXPECT_FALSE(GetFileInformationByHandle(INVALID_HANDLE_VALUE, &info));
}

// Directories open with backup semantics (to look at them only); the final
// path of a handle names the file as the system resolves it, \\?\ first;
// full paths are made lexically.
TEST_F(Win32Test, DirectoryHandlesFinalAndFullPaths) {
  dir_.MakeDir("sub");
  dir_.WriteBytes("sub\\File.txt", "x");
  using FinalPath = DWORD(WINAPI*)(HANDLE, LPSTR, DWORD, DWORD);
  const auto finalPath = reinterpret_cast<FinalPath>(reinterpret_cast<void (*)()>(
      GetProcAddress(LoadLibraryA("kernel32.dll"), "GetFinalPathNameByHandleA")));
  ASSERT_NE(nullptr, finalPath);
  const auto upper = [](std::string text) {
    if (!text.empty()) CharUpperBuffA(&text[0], static_cast<DWORD>(text.size()));
    return text;
  };

  HANDLE dir = CreateFileA(dir_.Path("sub").c_str(), 0, FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr,
                           OPEN_EXISTING, FILE_FLAG_BACKUP_SEMANTICS, nullptr);
  ASSERT_NE(INVALID_HANDLE_VALUE, dir);
  BY_HANDLE_FILE_INFORMATION info;
  ASSERT_TRUE(GetFileInformationByHandle(dir, &info));
  EXPECT_NE(0u, info.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY);
  char text[MAX_PATH * 2];
  const DWORD dirLength = finalPath(dir, text, sizeof text, 0);
  ASSERT_GT(dirLength, 4u);
  const std::string dirFinal(text, dirLength);
  EXPECT_EQ("\\\\?\\", dirFinal.substr(0, 4));
  CloseHandle(dir);
  // Without backup semantics a directory does not open; with them it does,
  // for any access, but it is no file to read or write.
  EXPECT_EQ(INVALID_HANDLE_VALUE, Open(dir_.Path("sub"), GENERIC_READ, OPEN_EXISTING));
  dir = CreateFileA(dir_.Path("sub").c_str(), GENERIC_READ | GENERIC_WRITE, FILE_SHARE_READ,
                    nullptr, OPEN_EXISTING, FILE_FLAG_BACKUP_SEMANTICS, nullptr);
  ASSERT_NE(INVALID_HANDLE_VALUE, dir);
  DWORD moved = 0;
  EXPECT_FALSE(ReadFile(dir, text, 1, &moved, nullptr));
  EXPECT_FALSE(WriteFile(dir, "x", 1, &moved, nullptr));
  CloseHandle(dir);

  // The file by another spelling: its final path is the directory's and
  // the name as it is on disk.
  HANDLE file = Open(dir_.Path("sub\\.\\file.TXT"), GENERIC_READ, OPEN_EXISTING);
  ASSERT_NE(INVALID_HANDLE_VALUE, file);
  const DWORD length = finalPath(file, text, sizeof text, 0);
  EXPECT_EQ(upper(dirFinal + "\\File.txt"), upper(std::string(text, length)));
  // Too small a buffer: the size needed (at least the length) and nothing else.
  EXPECT_GE(finalPath(file, text, 5, 0), length);
  CloseHandle(file);

  SetCurrentDirectoryA(dir_.Path("sub").c_str());
  char full[MAX_PATH];
  char* part = nullptr;
  DWORD n = GetFullPathNameA("a\\.\\b\\..\\c.txt", sizeof full, full, &part);
  EXPECT_EQ(dir_.Path("sub\\a\\c.txt"), std::string(full, n));
  ASSERT_NE(nullptr, part);
  EXPECT_STREQ("c.txt", part);
  n = GetFullPathNameA((Drive() + "\\x\\y\\").c_str(), sizeof full, full, &part);
  EXPECT_EQ(Drive() + "\\x\\y\\", std::string(full, n));
  EXPECT_GT(GetFullPathNameA("c.txt", 3, full, nullptr), 3u);
}

// A file marked for deletion through its handle goes when the handle is
// closed, whatever name reaches it by then; without DELETE access it cannot
// be marked.
TEST_F(Win32Test, FileDeletedThroughItsHandle) {
  using Setter = BOOL(WINAPI*)(HANDLE, FILE_INFO_BY_HANDLE_CLASS, LPVOID, DWORD);
  const auto setInformation = reinterpret_cast<Setter>(reinterpret_cast<void (*)()>(
      GetProcAddress(LoadLibraryA("kernel32.dll"), "SetFileInformationByHandle")));
  ASSERT_NE(nullptr, setInformation);
  FILE_DISPOSITION_INFO disposition;
  disposition.DeleteFile = TRUE;

  HANDLE h = CreateFileA(dir_.Path("made.bin").c_str(), GENERIC_READ | GENERIC_WRITE | DELETE,
                         FILE_SHARE_READ, nullptr, CREATE_NEW, 0, nullptr);
  ASSERT_NE(INVALID_HANDLE_VALUE, h);
  DWORD written = 0;
  EXPECT_TRUE(WriteFile(h, "abc", 3, &written, nullptr));
  EXPECT_TRUE(setInformation(h, FileDispositionInfo, &disposition, sizeof disposition));
  EXPECT_TRUE(dir_.Exists("made.bin"));
  CloseHandle(h);
  EXPECT_FALSE(dir_.Exists("made.bin"));

  dir_.WriteBytes("kept.bin", "kept");
  h = Open(dir_.Path("kept.bin"), GENERIC_READ | GENERIC_WRITE, OPEN_EXISTING);
  ASSERT_NE(INVALID_HANDLE_VALUE, h);
  EXPECT_FALSE(setInformation(h, FileDispositionInfo, &disposition, sizeof disposition));
  EXPECT_EQ(static_cast<DWORD>(ERROR_ACCESS_DENIED), GetLastError());
  CloseHandle(h);
  EXPECT_EQ("kept", dir_.ReadBytes("kept.bin"));
}

// A second open of a file that is open already must take only what the
// open handle shares, and share all that the open handle takes.
TEST_F(Win32Test, ShareModesOfOpenHandlesAreEnforced) {
  const DWORD R = GENERIC_READ;
  const DWORD W = GENERIC_WRITE;
  const DWORD SR = FILE_SHARE_READ;
  const DWORD SW = FILE_SHARE_WRITE;
  const DWORD SD = FILE_SHARE_DELETE;
  struct Case {
    DWORD access1, share1;
    DWORD access2, share2, disposition2;
    bool opens;
  } const cases[] = {
      {R, SR, R, SR, OPEN_EXISTING, true},
      {R, SR, R, SR | SW, OPEN_EXISTING, true},
      {R, SR, W, SR | SW, OPEN_EXISTING, false},      // the first does not share writing
      {R, SR | SW, W, SR | SW, OPEN_EXISTING, true},
      {R, SR | SW, W, SW, OPEN_EXISTING, false},      // the second does not share reading
      {W, SR, R, SR, OPEN_EXISTING, false},           // nor writing
      {W, SR, R, SR | SW, OPEN_EXISTING, true},
      {R | W, SR | SW, R | W, SR | SW, OPEN_ALWAYS, true},
      {R, 0, R, SR | SW | SD, OPEN_EXISTING, false},  // no sharing at all
      {R, SR, R | W, SR, CREATE_ALWAYS, false},       // refused before truncating
      {R, SR, W, SR | SW, TRUNCATE_EXISTING, false},
      {0, 0, R | W, 0, OPEN_EXISTING, true},          // attributes only: not counted
      {R | W, 0, 0, 0, OPEN_EXISTING, true},          // nor checked
  };
  int row = 0;
  for (const Case& c : cases) {
    SCOPED_TRACE("row " + std::to_string(row));
    std::string name = "s" + std::to_string(row++);
    MakeFile(dir_, name, "data");
    HANDLE first = CreateFileA(dir_.Path(name).c_str(), c.access1, c.share1, nullptr,
                               OPEN_EXISTING, 0, nullptr);
    ASSERT_NE(INVALID_HANDLE_VALUE, first);
    // Another spelling of the same file meets the same handle.
    std::string other = dir_.Path("S" + name.substr(1) + ".");
    SetLastError(12345);
    HANDLE second = CreateFileA(other.c_str(), c.access2, c.share2, nullptr, c.disposition2, 0,
                                nullptr);
    EXPECT_EQ(c.opens, second != INVALID_HANDLE_VALUE);
    if (second != INVALID_HANDLE_VALUE) {
      CloseHandle(second);
    } else {
      EXPECT_EQ(static_cast<DWORD>(ERROR_SHARING_VIOLATION), GetLastError());
    }
    CloseHandle(first);
    if (!c.opens) {
      EXPECT_EQ("data", dir_.ReadBytes(name));
    }
    // Once the first handle is closed nothing stands in the way.
    second = CreateFileA(other.c_str(), c.access2, c.share2, nullptr, c.disposition2, 0, nullptr);
    EXPECT_NE(INVALID_HANDLE_VALUE, second);
    CloseHandle(second);
  }

  // Deleting needs every open handle to share deletion.
  MakeFile(dir_, "del.txt");
  HANDLE h = CreateFileA(dir_.Path("del.txt").c_str(), R, SR | SW, nullptr, OPEN_EXISTING, 0,
                         nullptr);
  ASSERT_NE(INVALID_HANDLE_VALUE, h);
  EXPECT_FALSE(DeleteFileA(dir_.Path("DEL.TXT").c_str()));
  EXPECT_EQ(static_cast<DWORD>(ERROR_SHARING_VIOLATION), GetLastError());
  CloseHandle(h);
  h = CreateFileA(dir_.Path("del.txt").c_str(), R, SR | SD, nullptr, OPEN_EXISTING, 0, nullptr);
  ASSERT_NE(INVALID_HANDLE_VALUE, h);
  EXPECT_TRUE(DeleteFileA(dir_.Path("del.txt").c_str()));
  CloseHandle(h);
  EXPECT_FALSE(dir_.Exists("del.txt"));
}

TEST_F(Win32Test, SetFilePointerMovesIn64Bits) {
  HANDLE h = Open(dir_.Path("seek.bin"), GENERIC_READ | GENERIC_WRITE, CREATE_NEW);
  ASSERT_NE(INVALID_HANDLE_VALUE, h);
  DWORD n = 0;
  WriteFile(h, "0123456789", 10, &n, nullptr);

  EXPECT_EQ(4u, SetFilePointer(h, -6, nullptr, FILE_END));
  EXPECT_EQ(6u, SetFilePointer(h, 2, nullptr, FILE_CURRENT));
  // A move before the start fails and leaves the position alone.
  EXPECT_EQ(INVALID_SET_FILE_POINTER, SetFilePointer(h, -7, nullptr, FILE_CURRENT));
  EXPECT_EQ(static_cast<DWORD>(ERROR_NEGATIVE_SEEK), GetLastError());
  LONG high = -1;
  EXPECT_EQ(INVALID_SET_FILE_POINTER, SetFilePointer(h, 0, &high, FILE_BEGIN));
  EXPECT_EQ(static_cast<DWORD>(ERROR_NEGATIVE_SEEK), GetLastError());
  EXPECT_EQ(6u, SetFilePointer(h, 0, nullptr, FILE_CURRENT));
  EXPECT_EQ(INVALID_SET_FILE_POINTER, SetFilePointer(h, 0, nullptr, 7));
  EXPECT_EQ(static_cast<DWORD>(ERROR_INVALID_PARAMETER), GetLastError());

  // With a high part: 4 GiB + 5, read back through FILE_CURRENT.
  high = 1;
  EXPECT_EQ(5u, SetFilePointer(h, 5, &high, FILE_BEGIN));
  EXPECT_EQ(1, high);
  high = 0;
  EXPECT_EQ(5u, SetFilePointer(h, 0, &high, FILE_CURRENT));
  EXPECT_EQ(1, high);
  // A low part that equals the failure value is a success with no error.
  high = 0;
  SetLastError(12345);
  EXPECT_EQ(0xFFFFFFFFu, SetFilePointer(h, -1, &high, FILE_BEGIN));
  EXPECT_EQ(0u, GetLastError());

  // A file past 4 GiB (sparse where the file system allows).
  high = 1;
  SetFilePointer(h, 10, &high, FILE_BEGIN);
  EXPECT_TRUE(WriteFile(h, "!", 1, &n, nullptr));
  DWORD sizeHigh = 0;
  EXPECT_EQ(11u, GetFileSize(h, &sizeHigh));
  EXPECT_EQ(1u, sizeHigh);
  CloseHandle(h);
  Search found = FindAll(dir_.Path("seek.bin"));
  ASSERT_EQ(1u, found.entries.size());
  EXPECT_EQ(1u, found.entries[0].nFileSizeHigh);
  EXPECT_EQ(11u, found.entries[0].nFileSizeLow);
}

TEST_F(Win32Test, InvalidHandlesAreRefused) {
  HANDLE h = Open(dir_.Path("h.txt"), GENERIC_READ | GENERIC_WRITE, CREATE_NEW);
  ASSERT_NE(INVALID_HANDLE_VALUE, h);
  ASSERT_NE(nullptr, h);
  WIN32_FIND_DATAA data;
  HANDLE search = FindFirstFileA(dir_.Path("*").c_str(), &data);
  ASSERT_NE(INVALID_HANDLE_VALUE, search);
  ASSERT_NE(nullptr, search);
  EXPECT_TRUE(FindClose(search));
  EXPECT_TRUE(CloseHandle(h));

  DWORD n = 0;
  char byte = 0;
  for (HANDLE bad : {h, static_cast<HANDLE>(nullptr)}) {
    SetLastError(0);
    EXPECT_FALSE(ReadFile(bad, &byte, 1, &n, nullptr));
    EXPECT_EQ(static_cast<DWORD>(ERROR_INVALID_HANDLE), GetLastError());
    SetLastError(0);
    EXPECT_FALSE(WriteFile(bad, &byte, 1, &n, nullptr));
    EXPECT_EQ(static_cast<DWORD>(ERROR_INVALID_HANDLE), GetLastError());
    SetLastError(0);
    EXPECT_EQ(INVALID_SET_FILE_POINTER, SetFilePointer(bad, 0, nullptr, FILE_BEGIN));
    EXPECT_EQ(static_cast<DWORD>(ERROR_INVALID_HANDLE), GetLastError());
    SetLastError(0);
    EXPECT_EQ(0xFFFFFFFFu, GetFileSize(bad, nullptr));
    EXPECT_EQ(static_cast<DWORD>(ERROR_INVALID_HANDLE), GetLastError());
    SetLastError(0);
    EXPECT_FALSE(CloseHandle(bad));
    EXPECT_EQ(static_cast<DWORD>(ERROR_INVALID_HANDLE), GetLastError());
  }
  EXPECT_FALSE(ReadFile(INVALID_HANDLE_VALUE, &byte, 1, &n, nullptr));
  // A search closed twice does no harm (Windows refuses the second close,
  // Wine accepts it).
  FindClose(search);
  EXPECT_FALSE(FindClose(INVALID_HANDLE_VALUE));
}

TEST_F(Win32Test, DeleteFile) {
  MakeFile(dir_, "gone.txt");
  MakeFile(dir_, "ro.txt");
  MakeReadOnly(dir_, "ro.txt");
  dir_.MakeDir("sub");
  EXPECT_TRUE(DeleteFileA(dir_.Path("GONE.TXT").c_str()));
  EXPECT_FALSE(dir_.Exists("gone.txt"));
  struct Case {
    std::string name;
    DWORD error;
  } const cases[] = {
      {"gone.txt", ERROR_FILE_NOT_FOUND},
      {"nodir\\x", ERROR_PATH_NOT_FOUND},
      {"sub", ERROR_ACCESS_DENIED},
      {"ro.txt", ERROR_ACCESS_DENIED},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    EXPECT_FALSE(DeleteFileA(dir_.Path(c.name).c_str()));
    EXPECT_EQ(c.error, GetLastError());
  }
  EXPECT_TRUE(dir_.Exists("ro.txt"));
}

TEST_F(Win32Test, Attributes) {
  MakeFile(dir_, "plain.txt");
  MakeFile(dir_, ".hidden");
  MakeFile(dir_, "ro.txt");
  MakeReadOnly(dir_, "ro.txt");
  dir_.MakeDir("dir");
  dir_.MakeDir(".hiddendir");
  const DWORD A = FILE_ATTRIBUTE_ARCHIVE;
  const DWORD D = FILE_ATTRIBUTE_DIRECTORY;
  const DWORD H = FILE_ATTRIBUTE_HIDDEN;
  struct Case {
    const char* name;
    DWORD attributes;  // INVALID_FILE_ATTRIBUTES: error expected
    DWORD error;
  } const cases[] = {
      {"plain.txt", A, 0},
      {".hidden", A | H, 0},
      {"ro.txt", A | FILE_ATTRIBUTE_READONLY, 0},
      {"dir", D, 0},
      {"dir\\", D, 0},
      {".hiddendir", D | H, 0},
      {"missing", INVALID_FILE_ATTRIBUTES, ERROR_FILE_NOT_FOUND},
      {"nodir\\missing", INVALID_FILE_ATTRIBUTES, ERROR_PATH_NOT_FOUND},
      {"plain.txt\\", INVALID_FILE_ATTRIBUTES, ERROR_PATH_NOT_FOUND},
  };
  Search all = FindAll(dir_.Path("*"));
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    EXPECT_EQ(c.attributes, GetFileAttributesA(dir_.Path(c.name).c_str()));
    if (c.attributes == INVALID_FILE_ATTRIBUTES) {
      EXPECT_EQ(c.error, GetLastError());
    } else if (const WIN32_FIND_DATAA* e = EntryNamed(all, c.name)) {
      EXPECT_EQ(c.attributes, e->dwFileAttributes);  // the search agrees
    }
  }
  EXPECT_NE(0u, GetFileAttributesA((Drive() + "\\").c_str()) & D);
}

// ------------------------------------------------------------------ directories

TEST_F(Win32Test, CreateAndRemoveDirectories) {
  MakeFile(dir_, "file");
  struct Case {
    const char* name;
    bool create;  // CreateDirectoryA, else RemoveDirectoryA
    DWORD error;  // 0: success
  } const cases[] = {
      {"New", true, 0},
      {"NEW", true, ERROR_ALREADY_EXISTS},
      {"file", true, ERROR_ALREADY_EXISTS},
      {"a\\b", true, ERROR_PATH_NOT_FOUND},  // one level only
      {"New\\Inner\\", true, 0},
      {"new", false, ERROR_DIR_NOT_EMPTY},
      {"missing", false, ERROR_FILE_NOT_FOUND},
      {"file", false, ERROR_DIRECTORY},
      {"new\\inner", false, 0},
      {"new", false, 0},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    std::string path = dir_.Path(c.name);
    BOOL ok = c.create ? CreateDirectoryA(path.c_str(), nullptr) : RemoveDirectoryA(path.c_str());
    EXPECT_EQ(c.error == 0, ok != FALSE);
    if (c.error != 0) {
      EXPECT_EQ(c.error, GetLastError());
    }
  }
  EXPECT_FALSE(dir_.Exists("New"));
  EXPECT_FALSE(dir_.Exists("a"));
}

TEST_F(Win32Test, CurrentDirectoryRoundTrip) {
  dir_.MakeDir("sub");
  const std::string base = dir_.Win32();
  struct Case {
    std::string set;
    std::string expected;
  } const cases[] = {
      {base, base},
      {"sub", base + "\\sub"},
      {"..", base},
      {"sub\\", base + "\\sub"},
      {Rooted(), base},  // rooted: the current drive
      {base + "\\sub\\..\\.\\sub", base + "\\sub"},
      {Drive() + "\\", Drive() + "\\"},  // only the root keeps its backslash
      {base + "/sub", base + "\\sub"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.set);
    EXPECT_TRUE(SetCurrentDirectoryA(c.set.c_str()));
    EXPECT_EQ(c.expected, CurrentDirectory());
  }
  // Relative names now resolve against it.
  HANDLE h = Open("here.txt", GENERIC_WRITE, CREATE_NEW);
  ASSERT_NE(INVALID_HANDLE_VALUE, h);
  CloseHandle(h);
  EXPECT_TRUE(dir_.Exists("sub/here.txt"));

  MakeFile(dir_, "file");
  EXPECT_FALSE(SetCurrentDirectoryA(dir_.Path("missing").c_str()));
  EXPECT_EQ(static_cast<DWORD>(ERROR_FILE_NOT_FOUND), GetLastError());
  EXPECT_FALSE(SetCurrentDirectoryA(dir_.Path("file").c_str()));
  EXPECT_EQ(static_cast<DWORD>(ERROR_DIRECTORY), GetLastError());
  EXPECT_EQ(base + "\\sub", CurrentDirectory());

  // Too small a buffer: the answer is the size needed, NUL included.
  const DWORD length = static_cast<DWORD>(CurrentDirectory().size());
  char buffer[MAX_PATH + 1];
  EXPECT_EQ(length + 1, GetCurrentDirectoryA(0, nullptr));
  EXPECT_EQ(length + 1, GetCurrentDirectoryA(length, buffer));
  EXPECT_EQ(length, GetCurrentDirectoryA(length + 1, buffer));
}

// A full path (the current directory with a relative name) of MAX_PATH
// characters or more is refused, whatever the call; a new directory is held
// to MAX_PATH - 12 characters with the NUL (room for an 8.3 name below it),
// the current directory to MAX_PATH - 2. Wine keeps none of these limits:
// there every call below succeeds. A name longer than MAX_PATH cannot even
// be taken in by the ANSI calls, on either.
TEST_F(Win32Test, LongFullPathsAreRefusedAsWindowsRefusesThem) {
  // A directory whose own full path is 240 characters long.
  const std::string base = dir_.Win32();
  const std::string deepName = std::string(240 - base.size() - 1, 'd');
  const std::string deep = base + "\\" + deepName;
  ASSERT_TRUE(CreateDirectoryA(deep.c_str(), nullptr));
  const DWORD kLong = ERROR_FILENAME_EXCED_RANGE;
  const DWORD kNotFound = ERROR_PATH_NOT_FOUND;
  struct Case {
    size_t fullLength;  // of deep + "\\" + the name
    // The errors on Windows (0: the call works) of:
    DWORD mkdirError;  // CreateDirectoryA
    DWORD chdirError;  // SetCurrentDirectoryA, the directory being there
    DWORD fileError;   // the other calls: RemoveDirectoryA, CreateFileA, ...
  } const cases[] = {
      {247, 0, 0, 0},
      {248, kLong, 0, 0},
      {258, kLong, 0, 0},
      {259, kLong, kLong, 0},
      {260, kNotFound, kLong, kNotFound},
      {300, kNotFound, kLong, kNotFound},
  };
  auto expect = [](BOOL ok, DWORD windowsError, const char* call) {
    if (UnderWine() || windowsError == 0) {
      EXPECT_TRUE(ok) << call << ": " << GetLastError();
    } else {
      EXPECT_FALSE(ok) << call;
      EXPECT_EQ(windowsError, GetLastError()) << call;
    }
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.fullLength);
    ASSERT_TRUE(SetCurrentDirectoryA(deep.c_str()));
    const std::string rel = std::string(c.fullLength - deep.size() - 1, 'n');
    const char* name = rel.c_str();
    // The directory is made by the host for the calls that need it there.
    fs::create_directory(NativeItem(dir_, deepName + "/" + rel));
    expect(SetCurrentDirectoryA(name), c.chdirError, "SetCurrentDirectoryA");
    EXPECT_TRUE(SetCurrentDirectoryA(deep.c_str()));
    expect(RemoveDirectoryA(name), c.fileError, "RemoveDirectoryA");
    expect(CreateDirectoryA(name, nullptr), c.mkdirError, "CreateDirectoryA");
    fs::remove(NativeItem(dir_, deepName + "/" + rel));
    HANDLE h = CreateFileA(name, GENERIC_WRITE, 0, nullptr, CREATE_NEW, 0, nullptr);
    expect(h != INVALID_HANDLE_VALUE, c.fileError, "CreateFileA");
    if (h != INVALID_HANDLE_VALUE) CloseHandle(h);
    expect(GetFileAttributesA(name) != INVALID_FILE_ATTRIBUTES, c.fileError, "GetFileAttributesA");
    WIN32_FIND_DATAA data;
    HANDLE search = FindFirstFileA(name, &data);
    expect(search != INVALID_HANDLE_VALUE, c.fileError, "FindFirstFileA");
    if (search != INVALID_HANDLE_VALUE) FindClose(search);
    expect(DeleteFileA(name), c.fileError, "DeleteFileA");
    fs::remove(NativeItem(dir_, deepName + "/" + rel));
  }

  // Longer than MAX_PATH as given: refused by both, the current directory
  // unchanged.
  ASSERT_TRUE(SetCurrentDirectoryA(deep.c_str()));
  const std::string tooLong = deep + "\\" + std::string(MAX_PATH + 1 - deep.size(), 'x');
  EXPECT_EQ(INVALID_HANDLE_VALUE, Open(tooLong, GENERIC_WRITE, CREATE_ALWAYS));
  EXPECT_EQ(kLong, GetLastError());
  EXPECT_EQ(INVALID_FILE_ATTRIBUTES, GetFileAttributesA(tooLong.c_str()));
  EXPECT_EQ(kLong, GetLastError());
  EXPECT_FALSE(SetCurrentDirectoryA(tooLong.c_str()));
  EXPECT_EQ(kLong, GetLastError());
  EXPECT_EQ(deep, CurrentDirectory());
}

TEST_F(Win32Test, TempAndModulePaths) {
  char buffer[MAX_PATH + 1];
  DWORD length = GetTempPathA(sizeof buffer, buffer);
  ASSERT_GT(length, 3u);
  std::string temp(buffer, length);
  EXPECT_EQ(':', temp[1]);
  EXPECT_EQ('\\', temp.back());
  EXPECT_EQ(length + 1, GetTempPathA(0, nullptr));
  EXPECT_EQ(length + 1, GetTempPathA(length, buffer));
  EXPECT_NE(INVALID_FILE_ATTRIBUTES, GetFileAttributesA(temp.c_str()));

  length = GetModuleFileNameA(nullptr, buffer, sizeof buffer);
  ASSERT_GT(length, 3u);
  std::string module(buffer, length);
  EXPECT_EQ(":\\", module.substr(1, 2));
  DWORD attributes = GetFileAttributesA(module.c_str());
  ASSERT_NE(INVALID_FILE_ATTRIBUTES, attributes);
  EXPECT_EQ(0u, attributes & FILE_ATTRIBUTE_DIRECTORY);
  // A buffer without room for the NUL is filled to its end, unterminated,
  // and the answer is its size; one more byte and the whole name fits.
  for (DWORD size : {DWORD{1}, DWORD{5}, length}) {
    SCOPED_TRACE(size);
    std::memset(buffer, 'x', sizeof buffer);
    SetLastError(0);
    EXPECT_EQ(size, GetModuleFileNameA(nullptr, buffer, size));
    EXPECT_EQ(static_cast<DWORD>(ERROR_INSUFFICIENT_BUFFER), GetLastError());
    EXPECT_EQ(module.substr(0, size) + "x", std::string(buffer, size + 1));
  }
  SetLastError(12345);
  EXPECT_EQ(length, GetModuleFileNameA(nullptr, buffer, length + 1));
  EXPECT_EQ(0u, GetLastError());
  EXPECT_EQ(module, std::string(buffer));
}

// ------------------------------------------------------------------ search

TEST_F(Win32Test, SearchPatterns) {
  for (const char* name : {"data", "data.001", "Data.TXT", "DATA.BIN", "data.tar.gz", "database",
                           "metadata", ".data"}) {
    MakeFile(dir_, name);
  }
  dir_.MakeDir("data.dir");
  using Names = std::vector<std::string>;
  const Names volumes = {"DATA.BIN", "Data.TXT", "data", "data.001", "data.dir", "data.tar.gz"};
  struct Case {
    std::string pattern;
    Names names;
    DWORD error;
  } const cases[] = {
      {"data.*", volumes, 0},
      {"DATA.*", volumes, 0},
      {"data", {"data"}, 0},
      {"DATA.bin", {"DATA.BIN"}, 0},
      {"*.txt", {"Data.TXT"}, 0},
      {"d*e", {"database"}, 0},
      {"data.t?t", {"Data.TXT"}, 0},
      {".*", {".", "..", ".data"}, 0},
      {"nomatch*", {}, ERROR_FILE_NOT_FOUND},
      {"missing", {}, ERROR_FILE_NOT_FOUND},
      {"nodir\\data.*", {}, ERROR_PATH_NOT_FOUND},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.pattern);
    Search found = FindAll(dir_.Path(c.pattern));
    EXPECT_EQ(c.error, found.error);
    EXPECT_EQ(c.names, found.names);
  }
}

TEST_F(Win32Test, SearchEntries) {
  MakeFile(dir_, "five.bin", "12345");
  dir_.MakeDir("sub");
  Search all = FindAll(dir_.Path("*"));
  EXPECT_EQ((std::vector<std::string>{".", "..", "five.bin", "sub"}), all.names);
  for (const char* name : {".", "..", "sub"}) {
    const WIN32_FIND_DATAA* e = EntryNamed(all, name);
    ASSERT_NE(nullptr, e) << name;
    EXPECT_EQ(static_cast<DWORD>(FILE_ATTRIBUTE_DIRECTORY), e->dwFileAttributes) << name;
  }
  const WIN32_FIND_DATAA* file = EntryNamed(all, "five.bin");
  ASSERT_NE(nullptr, file);
  EXPECT_EQ(5u, file->nFileSizeLow);
  EXPECT_EQ(0u, file->nFileSizeHigh);
  // The write time converts to a plausible MS-DOS date (after 2020).
  FILETIME local;
  WORD date = 0;
  WORD time = 0;
  EXPECT_TRUE(FileTimeToLocalFileTime(&file->ftLastWriteTime, &local));
  EXPECT_TRUE(FileTimeToDosDateTime(&local, &date, &time));
  EXPECT_GE(date >> 9, 2020 - 1980);

  // A path that ends in a backslash, and a drive root, name no entry.
  for (const std::string& pattern : {dir_.Path("sub\\"), Drive() + "\\"}) {
    SCOPED_TRACE(pattern);
    EXPECT_EQ(static_cast<DWORD>(ERROR_FILE_NOT_FOUND), FindAll(pattern).error);
  }
  // The root holds no "." or "..".
  Search root = FindAll(Drive() + "\\*");
  EXPECT_EQ(0u, root.error);
  EXPECT_EQ(nullptr, EntryNamed(root, "."));
  EXPECT_EQ(nullptr, EntryNamed(root, ".."));
}

TEST(Win32Time, FileTimeToDosDateTime) {
  struct Case {
    unsigned long long unixSeconds;
    bool ok;
    WORD date;
    WORD time;
  } const cases[] = {
      {315532800ull, true, 0x0021, 0x0000},   // 1980-01-01 00:00:00
      {1700000000ull, true, 0x576E, 0xB1AA},  // 2023-11-14 22:13:20
      {1700000001ull, true, 0x576E, 0xB1AA},  // odd seconds round down
      {951782400ull, true, 0x285D, 0x0000},   // 2000-02-29
      {315532799ull, false, 0, 0},            // before 1980
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.unixSeconds);
    ULARGE_INTEGER value;
    value.QuadPart = 116444736000000000ull + c.unixSeconds * 10000000ull;
    FILETIME ft;
    ft.dwLowDateTime = value.u.LowPart;
    ft.dwHighDateTime = value.u.HighPart;
    WORD date = 0;
    WORD time = 0;
    EXPECT_EQ(c.ok, FileTimeToDosDateTime(&ft, &date, &time) != FALSE);
    if (c.ok) {
      EXPECT_EQ(c.date, date);
      EXPECT_EQ(c.time, time);
    }
  }
}

// ------------------------------------------------------------------ code pages

// A file named in UTF-8 on disk, as each code page presents it.
TEST_F(Win32Test, NamesInAnsiAndOemCodePages) {
  EXPECT_EQ(1252u, GetACP());
  EXPECT_EQ(850u, GetOEMCP());
  EXPECT_TRUE(AreFileApisANSI());
  struct Case {
    const char* utf8;
    const char* ansi;
    const char* oem;
  } const cases[] = {
      {u8"caf\u00e9.txt", "caf\xE9.txt", "caf\x82.txt"},
      {u8"Na\u00efve", "Na\xEFve", "Na\x8Bve"},
      {u8"\u00c5ngstr\u00f6m", "\xC5ngstr\xF6m", "\x8Fngstr\x94m"},
      {u8"\u20acuro", "\x80uro", "?uro"},          // not in 850
      {u8"\u65e5\u672c.txt", "??.txt", "??.txt"},  // in neither
  };
  for (const Case& c : cases) MakeFile(dir_, c.utf8, "content");
  for (bool oem : {false, true}) {
    if (oem) SetFileApisToOEM();
    EXPECT_EQ(!oem, AreFileApisANSI() != FALSE);
    for (const Case& c : cases) {
      const std::string name = oem ? c.oem : c.ansi;
      SCOPED_TRACE(name);
      Search found = FindAll(dir_.Path(name.substr(0, 1) + "*"));
      EXPECT_NE(EntryNamed(found, name), nullptr);
      if (name.find('?') != std::string::npos) continue;
      HANDLE h = Open(dir_.Path(name), GENERIC_READ, OPEN_EXISTING);
      ASSERT_NE(INVALID_HANDLE_VALUE, h);
      EXPECT_EQ("content", ReadAll(h));
      CloseHandle(h);
    }
  }
  // Accented letters match regardless of case: É is 0xC9 in 1252, 0x90 in 850.
  HANDLE h = Open(dir_.Path("CAF\x90.TXT"), GENERIC_READ, OPEN_EXISTING);
  EXPECT_NE(INVALID_HANDLE_VALUE, h);
  CloseHandle(h);
  // A name given in OEM text is stored as the character it stands for.
  h = Open(dir_.Path("n\x81.txt"), GENERIC_WRITE, CREATE_NEW);
  ASSERT_NE(INVALID_HANDLE_VALUE, h);
  CloseHandle(h);
  EXPECT_TRUE(fs::exists(NativeItem(dir_, u8"n\u00fc.txt")));

  SetFileApisToANSI();
  EXPECT_TRUE(Open(dir_.Path("CAF\xC9.TXT"), GENERIC_READ, OPEN_EXISTING) != INVALID_HANDLE_VALUE);
}

TEST_F(Win32Test, CurrentDirectoryInEachCodePage) {
  fs::create_directory(NativeItem(dir_, u8"D\u00e9j\u00e0"));
  SetFileApisToOEM();
  ASSERT_TRUE(SetCurrentDirectoryA(dir_.Path("D\x82j\x85").c_str()));
  EXPECT_TRUE(EndsWith(CurrentDirectory(), "\\D\x82j\x85"));
  SetFileApisToANSI();
  EXPECT_TRUE(EndsWith(CurrentDirectory(), "\\D\xE9j\xE0"));
}

TEST(Win32Text, AnsiCaseRules) {
  struct Case {
    unsigned char ch;
    unsigned char upper;
    unsigned char lower;
    bool alpha;
    bool isUpper;
  } const cases[] = {
      {'a', 'A', 'a', true, false},     {'Z', 'Z', 'z', true, true},
      {'1', '1', '1', false, false},    {0xE9, 0xC9, 0xE9, true, false},   // é
      {0xC9, 0xC9, 0xE9, true, true},   {0xFF, 0x9F, 0xFF, true, false},   // ÿ Ÿ
      {0x9F, 0x9F, 0xFF, true, true},   {0x9A, 0x8A, 0x9A, true, false},   // š Š
      {0x8A, 0x8A, 0x9A, true, true},   {0x9C, 0x8C, 0x9C, true, false},   // œ Œ
      {0x8C, 0x8C, 0x9C, true, true},   {0x9E, 0x8E, 0x9E, true, false},   // ž Ž
      {0x8E, 0x8E, 0x9E, true, true},   {0xDF, 0xDF, 0xDF, true, false},   // ß
      {0xB5, 0xB5, 0xB5, true, false},  {0xD7, 0xD7, 0xD7, false, false},  // µ ×
      {0xF7, 0xF7, 0xF7, false, false}, {0xFE, 0xDE, 0xFE, true, false},   // ÷ þ
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(static_cast<int>(c.ch));
    char buffer[2] = {static_cast<char>(c.ch), static_cast<char>(c.ch)};
    EXPECT_EQ(1u, CharUpperBuffA(buffer, 1));
    EXPECT_EQ(c.upper, static_cast<unsigned char>(buffer[0]));
    EXPECT_EQ(c.ch, static_cast<unsigned char>(buffer[1]));  // only the count given
    buffer[0] = static_cast<char>(c.ch);
    CharLowerBuffA(buffer, 1);
    EXPECT_EQ(c.lower, static_cast<unsigned char>(buffer[0]));
    EXPECT_EQ(c.alpha, IsCharAlphaA(static_cast<CHAR>(c.ch)) != FALSE);
    EXPECT_EQ(c.isUpper, IsCharUpperA(static_cast<CHAR>(c.ch)) != FALSE);
  }
}

TEST(Win32Text, AnsiToOem) {
  struct Case {
    unsigned char ansi;
    unsigned char oem;
  } const cases[] = {
      {'A', 'A'},   {'\\', '\\'}, {0xE9, 0x82}, {0xC9, 0x90}, {0xFC, 0x81}, {0xDF, 0xE1},
      {0xA0, 0xFF}, {0xA9, 0xB8}, {0xD7, 0x9E}, {0xFF, 0x98}, {0xB5, 0xE6}, {0xA3, 0x9C},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(static_cast<int>(c.ansi));
    char in = static_cast<char>(c.ansi);
    char out = 0;
    EXPECT_TRUE(CharToOemBuffA(&in, &out, 1));
    EXPECT_EQ(c.oem, static_cast<unsigned char>(out));
    char back = 0;
    EXPECT_TRUE(OemToCharBuffA(&out, &back, 1));
    EXPECT_EQ(c.ansi, static_cast<unsigned char>(back));
  }
  // In place, over the whole length; CharToOemA converts up to the NUL.
  char text[] = "Caf\xE9 \xC0 la cr\xE8me";
  EXPECT_TRUE(CharToOemBuffA(text, text, sizeof text - 1));
  EXPECT_STREQ("Caf\x82 \xB7 la cr\x8Ame", text);
  char converted[8] = "zzzzzzz";
  EXPECT_TRUE(CharToOemA("\xFC\xFC", converted));
  EXPECT_STREQ("\x81\x81", converted);
}

// ------------------------------------------------------------------ drives and modules

TEST_F(Win32Test, DriveTypes) {
  std::string lower = Drive();
  lower[0] = static_cast<char>(lower[0] - 'A' + 'a');
  struct Case {
    std::string root;
    UINT type;
  } const cases[] = {
      {Drive() + "\\", DRIVE_FIXED},
      {lower + "\\", DRIVE_FIXED},
      {"Q:\\", DRIVE_NO_ROOT_DIR},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.root);
    EXPECT_EQ(c.type, GetDriveTypeA(c.root.c_str()));
  }
}

TEST_F(Win32Test, FreeSpace) {
  ASSERT_TRUE(SetCurrentDirectoryA(dir_.Win32().c_str()));
  ULARGE_INTEGER available;
  ULARGE_INTEGER total;
  ULARGE_INTEGER free;
  ASSERT_TRUE(GetDiskFreeSpaceExA((Drive() + "\\").c_str(), &available, &total, &free));
  EXPECT_GT(available.QuadPart, 0u);
  EXPECT_GE(total.QuadPart, free.QuadPart);
  EXPECT_GE(free.QuadPart, available.QuadPart);

  DWORD sectorsPerCluster = 0;
  DWORD bytesPerSector = 0;
  DWORD freeClusters = 0;
  DWORD totalClusters = 0;
  ASSERT_TRUE(GetDiskFreeSpaceA((Drive() + "\\").c_str(), &sectorsPerCluster, &bytesPerSector,
                                &freeClusters, &totalClusters));
  EXPECT_GT(sectorsPerCluster, 0u);
  EXPECT_GT(bytesPerSector, 0u);
  EXPECT_GT(freeClusters, 0u);
  EXPECT_GE(totalClusters, freeClusters);

  EXPECT_FALSE(GetDiskFreeSpaceExA("Q:\\", &available, &total, &free));
  EXPECT_FALSE(GetDiskFreeSpaceA("Q:\\", &sectorsPerCluster, &bytesPerSector, &freeClusters,
                                 &totalClusters));
}

TEST(Win32Modules, ExtendedFreeSpaceQueryIsFound) {
  HMODULE kernel = LoadLibraryA("kernel32.dll");
  ASSERT_NE(nullptr, kernel);
  FARPROC proc = GetProcAddress(kernel, "GetDiskFreeSpaceExA");
  ASSERT_NE(nullptr, proc);
  using Query = BOOL(WINAPI*)(LPCSTR, PULARGE_INTEGER, PULARGE_INTEGER, PULARGE_INTEGER);
  auto query = reinterpret_cast<Query>(reinterpret_cast<void (*)()>(proc));
  ULARGE_INTEGER available;
  available.QuadPart = 0;
  EXPECT_TRUE(query(nullptr, &available, nullptr, nullptr));
  EXPECT_GT(available.QuadPart, 0u);
  EXPECT_EQ(nullptr, GetProcAddress(kernel, "NoSuchExport"));
  EXPECT_EQ(static_cast<DWORD>(ERROR_PROC_NOT_FOUND), GetLastError());
  EXPECT_TRUE(FreeLibrary(kernel));
  EXPECT_EQ(nullptr, LoadLibraryA("no-such-library.dll"));
}

}  // namespace
