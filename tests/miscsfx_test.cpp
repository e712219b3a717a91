// The self-joining program's helpers (MiscSFX): path pieces, directory
// levels, text case and numbers, long paths, block reads and writes,
// searches, free space.
#include "MiscSFX/MiscSFX.h"

#include <gtest/gtest.h>

#include <chrono>
#include <climits>
#include <cmath>
#include <ctime>
#include <filesystem>
#include <set>

#include "tests/TestSupport.h"

namespace fs = std::filesystem;

namespace {

// Closes a file handle when the test leaves its scope.
struct FileHandle {
  HANDLE Handle;
  ~FileHandle() {
    if (Handle != INVALID_HANDLE_VALUE) CloseHandle(Handle);
  }
};

HANDLE OpenFile(const std::string& path, DWORD access, DWORD disposition) {
  return CreateFileA(path.c_str(), access, FILE_SHARE_READ, nullptr, disposition,
                     FILE_ATTRIBUTE_NORMAL, nullptr);
}

// Makes a file hidden. Windows keeps the bit on the entry; on Linux, as under
// Wine, a name that starts with a dot is what makes an entry hidden.
void MakeHidden(const ScratchDir& dir, const std::string& name) {
  dir.WriteBytes(name, "h");
#ifdef _WIN32
  SetFileAttributesA(dir.Path(name).c_str(), FILE_ATTRIBUTE_HIDDEN);
#endif
  ASSERT_NE(GetFileAttributesA(dir.Path(name).c_str()) & FILE_ATTRIBUTE_HIDDEN, 0u) << name;
}

void MakeReadOnly(const ScratchDir& dir, const std::string& name) {
  fs::permissions(dir.NativePath(name),
                  fs::perms::owner_write | fs::perms::group_write | fs::perms::others_write,
                  fs::perm_options::remove);
}

// Sets a file's last-write time to a moment given as seconds since 1970 (UTC).
void SetWriteTime(const ScratchDir& dir, const std::string& name, std::time_t when) {
  using namespace std::chrono;
  const auto fileNow = fs::file_time_type::clock::now();
  const auto systemNow = system_clock::now();
  fs::last_write_time(dir.NativePath(name),
                      fileNow + duration_cast<fs::file_time_type::duration>(
                                    system_clock::from_time_t(when) - systemNow));
}

// Names accepted by a whole search, without the "." and ".." entries.
std::set<std::string> AcceptedNames(const std::string& pattern, int32_t attributes,
                                    TSearchRec& search, int32_t& end) {
  std::set<std::string> names;
  std::string last;
  for (end = SearchFirst(pattern, attributes, search); end == 0; end = SearchNext(search)) {
    last = search.Name;
    if (last != "." && last != "..") names.insert(last);
  }
  EXPECT_EQ(search.Name, last) << "the last accepted entry stays visible";
  return names;
}

bool AnsiIs1252() { return GetACP() == 1252; }

}  // namespace

// ------------------------------------------------------------- paths

TEST(Paths, SplitDirectoryAndDrive) {
  struct Case {
    const char* input;
    const char* path;
    const char* dir;
    const char* drive;
  };
  const Case cases[] = {
      {"C:\\dir\\file.txt", "C:\\dir\\", "C:\\dir", "C:"},
      {"C:\\dir\\", "C:\\dir\\", "C:\\dir", "C:"},
      {"C:\\dir\\\\", "C:\\dir\\\\", "C:\\dir\\\\", "C:"},
      {"C:\\", "C:\\", "C:\\", "C:"},
      {"C:\\file", "C:\\", "C:\\", "C:"},
      {"C:file.txt", "C:", "C:", "C:"},
      {"C:", "C:", "C:", "C:"},
      {"\\file", "\\", "\\", ""},
      {"file", "", "", ""},
      {"", "", "", ""},
      {"1:x", "1:", "1:", "1:"},
      {"C:/dir/file", "C:", "C:", "C:"},
      {"\\\\server\\share\\dir\\f", "\\\\server\\share\\dir\\", "\\\\server\\share\\dir",
       "\\\\server\\share"},
      {"\\\\server\\share\\", "\\\\server\\share\\", "\\\\server\\share", "\\\\server\\share"},
      {"\\\\server\\share", "\\\\server\\", "\\\\server", "\\\\server\\share"},
      {"\\\\server", "\\\\", "\\\\", "\\\\server"},
      {"\\\\", "\\\\", "\\\\", "\\\\"},
  };
  for (const Case& c : cases) {
    EXPECT_EQ(FilePathOf(c.input), c.path) << c.input;
    EXPECT_EQ(FileDirOf(c.input), c.dir) << c.input;
    EXPECT_EQ(DriveOf(c.input), c.drive) << c.input;
  }
}

TEST(Paths, WithExtensionReplacesOnlyTheLastComponentsExtension) {
  const std::pair<const char*, const char*> cases[] = {
      {"C:\\d\\stub.exe", "C:\\d\\stub.*"}, {"C:\\d.x\\stub", "C:\\d.x\\stub.*"},
      {"a.b.c", "a.b.*"},                   {"stub.", "stub.*"},
      {".exe", ".*"},                       {"C:\\d\\", "C:\\d\\.*"},
      {"C:x.y", "C:x.*"},                   {"", ".*"},
  };
  for (const auto& c : cases) EXPECT_EQ(WithExtension(c.first, ".*"), c.second) << c.first;
}

// ------------------------------------------------------------- directories

TEST(Directories, EveryMissingLevelIsCreated) {
  struct Case {
    const char* path;          // below the scratch directory
    const char* made;          // what must be a directory afterwards
  };
  const Case cases[] = {
      {"a\\b\\c", "a\\b\\c"},
      {"m/n\\o", "m\\n\\o"},            // slashes separate levels too
      {"p\\\\q\\", "p\\q"},             // doubled and final separators
      {"a\\b\\c\\d", "a\\b\\c\\d"},     // the upper levels exist already
      {"a", "a"},                        // nothing to do
  };
  ScratchDir dir;
  for (const Case& c : cases) {
    EXPECT_TRUE(CreateDirectoryLevels(dir.Path(c.path))) << c.path;
    EXPECT_TRUE(IsDirectory(dir.Path(c.made))) << c.path;
  }
  EXPECT_TRUE(CreateDirectoryLevels(dir.Win32()));
  EXPECT_FALSE(IsDirectory(dir.Path("nothing")));
}

// A level that cannot be made leaves nothing behind of the levels above it.
TEST(Directories, FailureRemovesTheLevelsItMade) {
  ScratchDir dir;
  dir.WriteBytes("file.txt", "x");
  dir.MakeDir("kept");
  for (const char* path : {"r1\\r2\\bad?name", "file.txt\\sub",
                           "r1\\r2\\r3\\..\\..\\..\\file.txt\\x", "kept\\r1\\bad*name"}) {
    EXPECT_FALSE(CreateDirectoryLevels(dir.Path(path))) << path;
    EXPECT_FALSE(dir.Exists("r1")) << path;
    EXPECT_FALSE(dir.Exists("kept/r1")) << path;
    EXPECT_TRUE(IsDirectory(dir.Path("kept"))) << path;
    EXPECT_FALSE(IsDirectory(dir.Path("file.txt"))) << path;
  }
}

// ------------------------------------------------------------- numbers and text

TEST(Text, NumberText) {
  const std::pair<int32_t, const char*> cases[] = {
      {0, "0"},   {-1, "-1"}, {7, "7"}, {100, "100"}, {INT32_MAX, "2147483647"},
      {INT32_MIN, "-2147483648"},
  };
  for (const auto& c : cases) EXPECT_EQ(NumberText(c.first), c.second);
}

TEST(Text, PositionOfFindsWholeEntriesOnly) {
  struct Case {
    const char* sub;
    const char* s;
    int32_t position;
  };
  const Case cases[] = {
      {"", "abc", 0},          {"a", "", 0},          {"", "", 0},
      {",1,", ",11,2,", 0},    {",2,", ",11,2,", 4},  {",11,", ",11,2,", 1},
      {"bc", "abcbc", 2},      {"B", "abc", 0},       {"abcd", "abc", 0},
  };
  for (const Case& c : cases) EXPECT_EQ(PositionOf(c.sub, c.s), c.position) << c.sub << " in " << c.s;
}

TEST(Text, ZeroTerminatedPrimitivesAreSafeOnNullAndEmptyTexts) {
  const char* s = "abcb";
  EXPECT_EQ(TextLength(nullptr), 0);
  EXPECT_EQ(TextLength(s), 4);
  EXPECT_EQ(FindChar(s, '\0'), s + 4) << "the terminator is part of the search";
  EXPECT_EQ(FindLastChar(s, 'b'), s + 3);
  EXPECT_EQ(FindChar(nullptr, 'a'), nullptr);
  EXPECT_EQ(FindBytes(s, ""), nullptr);
  EXPECT_EQ(FindBytes("ab", "abc"), nullptr);
  EXPECT_EQ(LocateText(s, "bcb"), s + 1);
  EXPECT_EQ(LocateText("", "a"), nullptr);
  EXPECT_EQ(TextToString(nullptr), "");

  // A zero byte never counts as a delimiter, even when the set holds one.
  EXPECT_EQ(LastOfSet(std::string("\\\0", 2), std::string("a\\b\0c", 5)), 2);
}

TEST(Text, CaseConversion) {
  const std::string original = "abc/Z1 x";
  const std::string copy = original;
  EXPECT_EQ(UpperText(original), "ABC/Z1 X");
  EXPECT_EQ(original, copy);
  EXPECT_EQ(UpperText(""), "");
  EXPECT_EQ(LowerText("ABC/z1"), "abc/z1");

  const std::pair<const char*, const char*> lowerIfAllUpper[] = {
      {"\\DATA.EXE", "\\data.exe"}, {"\\Report.TXT", "\\Report.TXT"},
      {"\\123-_", "\\123-_"},       {"", ""},
  };
  for (const auto& c : lowerIfAllUpper) EXPECT_EQ(LowerIfAllUpper(c.first), c.second) << c.first;
}

TEST(Text, CaseConversionFollowsTheAnsiCodePage) {
  if (!AnsiIs1252()) GTEST_SKIP() << "the ANSI code page is not 1252";
  // e acute, n tilde, ae; the division and multiplication signs are no letters.
  const std::string accented = "\xE9\xF1\xE6\xF7\xD7";
  EXPECT_EQ(UpperText(accented), "\xC9\xD1\xC6\xF7\xD7");
  EXPECT_EQ(accented, "\xE9\xF1\xE6\xF7\xD7");
  EXPECT_EQ(LowerText("\xC9\xD1\xC6"), "\xE9\xF1\xE6");
  EXPECT_EQ(LowerIfAllUpper("\\\xC9T\xC9"), "\\\xE9t\xE9");
  EXPECT_EQ(LowerIfAllUpper("\\\xC9t\xC9"), "\\\xC9t\xC9");
}

// ------------------------------------------------------------- long names

TEST(LongPathOf, TakesStoredNamesAndLowersAnAllUpperLastComponent) {
  ScratchDir dir;
  dir.MakeDir("Long Directory");
  dir.WriteBytes("Long Directory\\DATA.EXE", "x");
  dir.MakeDir("WORK");
  dir.MakeDir("Work2");
  dir.WriteBytes("Work2\\Report.TXT", "x");
  dir.MakeDir("Dir");
  // The scratch directory itself in its long form, as stored on disk.
  const std::string base = ExpandLongNames(dir.Win32());

  const std::pair<const char*, const char*> cases[] = {
      {"LONG DIRECTORY\\DATA.EXE", "Long Directory\\data.exe"},
      {"WORK", "work"},
      {"WORK\\", "WORK\\"},
      {"Work2\\Report.TXT", "Work2\\Report.TXT"},
      {"dir\\missing.txt", "Dir\\"},
  };
  for (const auto& c : cases) {
    EXPECT_EQ(LongPathOf(dir.Path(c.first)), base + "\\" + c.second) << c.first;
  }
  const std::string root = DriveOf(dir.Win32()) + "\\";
  EXPECT_EQ(LongPathOf(root), root);
  EXPECT_EQ(LongNameOf(dir.Path("long directory")), "Long Directory");
  EXPECT_EQ(LongNameOf(dir.Path("missing")), "");
}

TEST(LongPathOf, LooksNothingUpForNetworkOrSeparatorFreePaths) {
  EXPECT_EQ(LongPathOf("\\\\SERVER\\SHARE\\FILE.EXE"), "\\\\SERVER\\SHARE\\file.exe");
  EXPECT_EQ(LongPathOf("NAME.EXE"), "NAME.EXE");
  EXPECT_EQ(LongPathOf(""), "");
}

// ------------------------------------------------------------- block I/O

TEST(BlockIO, ReadTransfersWhatOneCallDelivers) {
  ScratchDir dir;
  dir.WriteBytes("data", "0123456789");
  FileHandle file{OpenFile(dir.Path("data"), GENERIC_READ, OPEN_EXISTING)};
  ASSERT_NE(file.Handle, INVALID_HANDLE_VALUE);

  char buffer[16] = {};
  EXPECT_EQ(ReadBlock(file.Handle, buffer, 4), 4);
  EXPECT_EQ(std::string(buffer, 4), "0123");
  EXPECT_EQ(ReadBlock(file.Handle, buffer, -1), -1);
  EXPECT_EQ(ReadBlock(file.Handle, buffer, sizeof buffer), 6);
  EXPECT_EQ(std::string(buffer, 6), "456789");
  EXPECT_EQ(ReadBlock(file.Handle, buffer, sizeof buffer), 0) << "end of file is no failure";
  EXPECT_EQ(WriteBlock(file.Handle, "x", 1), -1) << "no write access";
}

TEST(BlockIO, WriteTransfersWhatOneCallDelivers) {
  ScratchDir dir;
  {
    FileHandle file{OpenFile(dir.Path("out"), GENERIC_WRITE, CREATE_ALWAYS)};
    ASSERT_NE(file.Handle, INVALID_HANDLE_VALUE);
    EXPECT_EQ(WriteBlock(file.Handle, "", 0), 0);
    EXPECT_EQ(WriteBlock(file.Handle, "abc", 3), 3);
    EXPECT_EQ(WriteBlock(file.Handle, "abc", -3), -1);
    char buffer[4];
    EXPECT_EQ(ReadBlock(file.Handle, buffer, sizeof buffer), -1) << "no read access";
  }
  EXPECT_EQ(dir.ReadBytes("out"), "abc");
}

// ------------------------------------------------------------- directory search

TEST(Search, SkipsTheKindsTheCallerDoesNotAdmit) {
  ScratchDir dir;
  dir.WriteBytes("stub.001", "abc");
  dir.WriteBytes("stub.002", "abcde");
  MakeReadOnly(dir, "stub.002");
  dir.MakeDir("sub");
  MakeHidden(dir, ".hidden");

  const std::set<std::string> files = {"stub.001", "stub.002"};
  struct Case {
    int32_t attributes;
    std::set<std::string> names;
  };
  const Case cases[] = {
      {0x21, files},  // read-only and archive never exclude
      {0x00, files},
      {0x10, {"stub.001", "stub.002", "sub"}},
      {0x02, {"stub.001", "stub.002", ".hidden"}},
      {0xFF, {"stub.001", "stub.002", "sub", ".hidden"}},
  };
  for (const Case& c : cases) {
    TSearchRec search;
    int32_t end = 0;
    EXPECT_EQ(AcceptedNames(dir.Path("*"), c.attributes, search, end), c.names) << c.attributes;
    EXPECT_EQ(end, ERROR_NO_MORE_FILES);
    SearchClose(search);
    EXPECT_EQ(search.Handle, INVALID_HANDLE_VALUE);
    SearchClose(search);  // a second close does no harm
  }

  TSearchRec search;
  ASSERT_EQ(SearchFirst(dir.Path("stub.002"), 0, search), 0);
  EXPECT_EQ(search.Size, 5);
  EXPECT_NE(search.Attributes & FILE_ATTRIBUTE_READONLY, 0);
  EXPECT_EQ(SearchNext(search), ERROR_NO_MORE_FILES);
  EXPECT_EQ(search.Name, "stub.002");
  SearchClose(search);
  EXPECT_NE(SearchNext(search), 0) << "a closed search delivers nothing";
}

TEST(Search, FailureLeavesTheVisibleFieldsAndNoOpenHandle) {
  ScratchDir dir;
  dir.MakeDir("only\\d");
  MakeHidden(dir, "only\\.h");

  const std::pair<std::string, int32_t> cases[] = {
      {dir.Path("only\\*"), ERROR_NO_MORE_FILES},  // nothing but skipped entries
      {dir.Path("none.*"), ERROR_FILE_NOT_FOUND},
      {dir.Path("nodir\\*.*"), ERROR_PATH_NOT_FOUND},
  };
  for (const auto& c : cases) {
    TSearchRec search;
    search.Name = "before";
    search.Size = 42;
    search.Stamp = 7;
    EXPECT_EQ(SearchFirst(c.first, 0x21, search), c.second) << c.first;
    EXPECT_EQ(search.Handle, INVALID_HANDLE_VALUE) << c.first;
    EXPECT_EQ(search.Name, "before");
    EXPECT_EQ(search.Size, 42);
    EXPECT_EQ(search.Stamp, 7);
    SearchClose(search);
  }
}

TEST(Search, StampIsTheLocalDosTime) {
  ScratchDir dir;
  dir.WriteBytes("stamp.dat", "0123456789");
  SetWriteTime(dir, "stamp.dat", 1623760497);  // 2021-06-15 12:34:57 UTC
  TSearchRec search;
  ASSERT_EQ(SearchFirst(dir.Path("STAMP.DAT"), 0x21, search), 0);
  EXPECT_EQ(search.Name, "stamp.dat");
  EXPECT_EQ(search.Size, 10);
  const uint32_t stamp = static_cast<uint32_t>(search.Stamp);
  const uint32_t date = stamp >> 16;
  const uint32_t time = stamp & 0xFFFF;
  EXPECT_EQ((date >> 9) + 1980, 2021u);
  EXPECT_EQ((date >> 5) & 0xF, 6u);
  EXPECT_NEAR(static_cast<int>(date & 0x1F), 15, 1);
  // Zone offsets are whole quarters of an hour; seconds count in twos.
  EXPECT_EQ(((time >> 5) & 0x3F) % 15, 4u);
  EXPECT_EQ(time & 0x1F, 28u);
  SearchClose(search);
}

TEST(Search, SizeKeepsTheLow32BitsOfALargeFile) {
  ScratchDir dir;
  {
    // One byte written at 4 GiB + 4: the file system leaves the gap unallocated.
    FileHandle file{OpenFile(dir.Path("big.dat"), GENERIC_WRITE, CREATE_ALWAYS)};
    ASSERT_NE(file.Handle, INVALID_HANDLE_VALUE);
    LONG high = 1;
    SetFilePointer(file.Handle, 4, &high, FILE_BEGIN);
    ASSERT_EQ(WriteBlock(file.Handle, "x", 1), 1);
  }
  TSearchRec search;
  ASSERT_EQ(SearchFirst(dir.Path("big.dat"), 0x21, search), 0);
  EXPECT_EQ(search.Size, 5);
  EXPECT_EQ(search.Found.nFileSizeHigh, 1u);
  SearchClose(search);
}

// ------------------------------------------------------------- drives and start-up

TEST(DriveFreeBytes, AnswersOnEitherQueryAndMinusOneWhenTheDriveIsMissing) {
  MiscSFXStartup();
  EXPECT_NE(Kernel32Module, nullptr);
  EXPECT_TRUE(DiskFreeExAvailable);

  ScratchDir dir;
  const std::string drive = DriveOf(dir.Win32());
  ASSERT_FALSE(drive.empty());

  int64_t extended = 0;
  for (bool useExtended : {true, false}) {
    DiskFreeExAvailable = useExtended;
    const int64_t free = DriveFreeBytes(drive);
    EXPECT_GT(free, 0) << useExtended;
    EXPECT_GT(DriveFreeBytes(LowerText(drive) + "\\"), 0) << useExtended;
    EXPECT_EQ(DriveFreeBytes("Q:"), -1) << useExtended;
    EXPECT_EQ(DriveFreeBytes(""), -1) << useExtended;
    if (useExtended) {
      extended = free;
    } else {
      // The fallback's product must not wrap on a drive with gigabytes free.
      EXPECT_NEAR(static_cast<double>(free), static_cast<double>(extended),
                  0.05 * static_cast<double>(extended));
    }
  }

  MiscSFXShutdown();
  EXPECT_EQ(Kernel32Module, nullptr);
  EXPECT_FALSE(DiskFreeExAvailable);
}
