// The join driver: the run state, the operator prompts and status lines,
// the checks on where outputs may go, and RunJoin, which finds the volumes
// beside the program, checks each one and rebuilds the stored files piece
// by piece with their CRC-32 checks. Kept in the shape of the original
// design: records, module variables, one long RunJoin.
#include "ParcelStub/ParcelStub.h"

#include <cstring>
#include <limits>

#include "CRC32/CRC32.h"
#include "NameRules/NameRules.h"
#include "ParcelStub/CommandLine.h"
#include "SplitSFX/SplitSFX.h"
#include "VolumeFormat/VolumeFormat.h"
#include "platform/RunTime.h"

// ------------------------------------------------------------------ run state
TSettingsRecord Settings;

HWND ConsoleWindow = nullptr;
TFlag Cancelled = FlagFalse;
std::string WorkPath;
int32_t DiskOrdinal = 1;
int32_t StateCode = 0;
int32_t SearchResult = 1;
TSearchRec VolumeSearch;
int64_t SignatureOffset = 0;
TFlag SetIdCaptured = FlagFalse;
uint8_t CapturedSetId[8] = {};
std::string DoneList = ",";
std::unordered_set<int32_t> DoneIndex;
int32_t LastVolume = 0;
int32_t DoneCount = 0;
int32_t LastResult = 0;
TFlag ReadErrorSeen = FlagFalse;
std::unique_ptr<TOutFiles> OutFiles;
TOutFiles* OutFilesCursor = nullptr;
TOutFiles* OutFilesLast = nullptr;
std::unordered_set<std::string> OutFilesIndex;
std::string DestFinalPath;
std::string ProgramPath;
std::vector<TSearchBase> SearchBases;
std::unordered_set<std::string> CandidateKeys;
TFlag CandidateKeysCurrent = FlagFalse;
int64_t VolumeDataEnd = 0;
int64_t HeaderPosition = 0;

int64_t PieceOffset = 0;
int64_t PieceSize = 0;
int64_t PieceCopied = 0;
int32_t ChunkBytes = 0;
uint32_t PieceCrc = 0;
TFlag FirstChunk = FlagFalse;
TFlag LastChunk = FlagFalse;
int64_t SourcePos = 0;
int64_t OutputPos = 0;

namespace {

// ------------------------------------------------------------------ texts
const char kConsoleTitle[] = "Quonda Parcelon 2.03 SFJ Module";
const char kBannerLine1[] = "Quonda Parcelon 2.03  Copyright (c) Quonda Software";
const char kBannerLine2[] = "SFX Module 1.01 (Win32 Console).";
const char kUsage[] = "Usage: \"AnyName\".exe [optional path to place original files]";
const char kStars[] = "*****************";
const char kNoDisk[] = "The specified disk doesn't exist.Combine failed.";
const char kNoSpace[] = "No space available on target drive.";
const char kNoDestination[] = "Unable to create destination directory.";
const char kCannotOpen[] = "Unable to open original file.";
const char kCannotWrite[] = "Unable to write original file.";
const char kCrcFailed[] = "File fails CRC check.";
const char kCancelQuestion[] = "Do you want to cancel the current operation?";
const char kLaunchQuestion[] = "Launch combined file(s)?";
const char kClosingText[] =
    "Try \"Quonda Parcelon 2.03\" splitter application. It offer multiple files\r\n"
    "handling, error recovery option, self-joining option, UUencode and more...\r\n"
    "Do you want to visit Quonda Software web site and obtain your copy of Quonda Parcelon?";
const char kProductPage[] = "http://www.quonda.com/parcelon/index.html?referrer=stub";
const char kVolumeFilter[] = "QPARC volumes (*.s*)\0*.s*\0All files (*.*)\0*.*\0";

const char kCaptionCritical[] = "Critical error";
const char kCaptionError[] = "Error";
const char kCaptionQuestion[] = "Action request";
const char kCaptionMessage[] = "Message";

constexpr UINT kFatalBox = MB_OK | MB_ICONERROR | MB_TASKMODAL;            // 0x2010
constexpr UINT kQuestionBox = MB_YESNO | MB_ICONQUESTION | MB_TASKMODAL;   // 0x2024
constexpr UINT kNoticeBox = MB_OK | MB_ICONINFORMATION | MB_TASKMODAL;     // 0x2040
constexpr UINT kClosingBox = MB_YESNO | MB_ICONINFORMATION | MB_TASKMODAL; // 0x2044

constexpr int32_t kSearchAttributes = FILE_ATTRIBUTE_READONLY | FILE_ATTRIBUTE_ARCHIVE;  // 33

// ------------------------------------------------------------------ small companions
std::string WithFinalBackslash(const std::string& path) {
  if (!path.empty() && path.back() == '\\') return path;
  return path + "\\";
}

// A directory that the system writes into a caller buffer of 260 bytes.
template <typename Query>
std::string SystemDirectory(Query query) {
  std::string text(MAX_PATH, '\0');
  query(static_cast<DWORD>(MAX_PATH), &text[0]);
  text.resize(static_cast<size_t>(TextLength(text.c_str())));
  return text;
}

std::string CurrentDirectory() {
  return SystemDirectory([](DWORD size, char* buffer) { GetCurrentDirectoryA(size, buffer); });
}

// ANSI text converted to OEM text, over its whole length.
std::string OemTextOf(const std::string& text) {
  std::string converted(text.size(), '\0');
  if (!text.empty()) CharToOemBuffA(text.data(), &converted[0], static_cast<DWORD>(text.size()));
  return converted;
}

std::string AnsiTextOf(const std::string& text) {
  std::string converted(text.size(), '\0');
  if (!text.empty()) OemToCharBuffA(text.data(), &converted[0], static_cast<DWORD>(text.size()));
  return converted;
}

int ShowMessage(const char* text, const char* caption, UINT style) {
  return MessageBoxA(ConsoleWindow, text, caption, style);
}

// The drive-type table: how the operator is asked for volumes on a drive.
void ApplyDriveType(UINT driveType) {
  switch (driveType) {
    case DRIVE_UNKNOWN:
    case DRIVE_REMOVABLE:
    case DRIVE_CDROM:
      Settings.AskForDisk = FlagTrue;
      break;
    case DRIVE_FIXED:
    case DRIVE_REMOTE:
    case DRIVE_RAMDISK:
      Settings.AskForDisk = FlagFalse;
      break;
    default:  // DRIVE_NO_ROOT_DIR and unknown answers leave it as it is
      break;
  }
}

void CloseIfOpen(HANDLE& handle) {
  if (handle != nullptr) {
    if (handle != INVALID_HANDLE_VALUE) CloseHandle(handle);
    handle = nullptr;
  }
}

// The current 64-bit position of a file.
int64_t FilePosition(HANDLE handle) {
  LONG high = 0;
  DWORD low = SetFilePointer(handle, 0, &high, FILE_CURRENT);
  return static_cast<int64_t>((static_cast<uint64_t>(static_cast<uint32_t>(high)) << 32) |
                              static_cast<uint32_t>(low));
}

// Moves a file to a 64-bit position; false when the system refuses.
bool MoveTo(HANDLE handle, int64_t position, DWORD method) {
  LONG high = static_cast<LONG>(static_cast<uint64_t>(position) >> 32);
  SetLastError(ERROR_SUCCESS);
  DWORD low = SetFilePointer(handle, static_cast<LONG>(static_cast<uint32_t>(position)), &high,
                             method);
  return !(low == INVALID_SET_FILE_POINTER && GetLastError() != ERROR_SUCCESS);
}

// The size of an open file; -1 when the system cannot tell.
int64_t FileSizeOf(HANDLE handle) {
  DWORD high = 0;
  SetLastError(ERROR_SUCCESS);
  DWORD low = GetFileSize(handle, &high);
  if (low == 0xFFFFFFFFu && GetLastError() != ERROR_SUCCESS) return -1;
  return static_cast<int64_t>((static_cast<uint64_t>(high) << 32) | low);
}

// Decimal text of a 64-bit value, with a minus sign only when negative.
std::string Number64Text(int64_t value) {
  uint64_t magnitude = value < 0 ? 0 - static_cast<uint64_t>(value) : static_cast<uint64_t>(value);
  std::string digits;
  do {
    digits.insert(digits.begin(), static_cast<char>('0' + magnitude % 10));
    magnitude /= 10;
  } while (magnitude != 0);
  return value < 0 ? "-" + digits : digits;
}

// The candidate check's reads (see volformat::LocateVolume): the signature
// at a position of the current volume, into VolumeSignature, and the 4
// trailer bytes at a position.
bool SignatureAt(int64_t position) {
  return MoveTo(Settings.VolumeHandle, position, FILE_BEGIN) &&
         ReadSignature(Settings.VolumeHandle, VolumeSignature) == rcOk;
}

bool TrailerAt(int64_t position, uint8_t* trailer) {
  return MoveTo(Settings.VolumeHandle, position, FILE_BEGIN) &&
         ReadBlock(Settings.VolumeHandle, trailer, int32_t{volformat::kTrailerLength}) ==
             volformat::kTrailerLength;
}

void WriteReadErrorLine() {
  SourcePos = FilePosition(Settings.VolumeHandle);
  OutputPos = FilePosition(Settings.OutputHandle);
  ConsoleWriteLine("Read error at source offset: " + Number64Text(SourcePos) +
                   ", original offset: " + Number64Text(OutputPos));
}

// What names the open output file on disk, whatever spelling opened it: the
// volume serial number and the file index. Only when the system cannot tell
// them does the upper-cased path stand in. Either key is short enough to be
// kept inside the string itself.
std::string OutputFileKey() {
  std::string identity = FileIdentityOf(Settings.OutputHandle);
  if (!identity.empty()) return identity;
  return "N" + UpperText(Settings.OutputPath);
}

// ------------------------------------------------------------------ where outputs may go
//
// Below the destination the program writes only what it makes there: no
// level or file that is a link (a symbolic link, a junction), no existing
// file that is a candidate volume of the run, no existing file that has
// other names (a hard link), since writing it would change a file
// elsewhere. Each such output is a failed open.

// Notes the folder and base name of a search for volumes.
void RecordSearchBase() {
  std::string base = WithExtension(Settings.VolumePath, "");
  base = UpperText(base.substr(static_cast<size_t>(LastOfSet("\\:", base))));
  for (const TSearchBase& known : SearchBases) {
    if (known.Dir == Settings.SourceDir && known.UpperBase == base) return;
  }
  SearchBases.push_back(TSearchBase{Settings.SourceDir, base});
}

// The identities of every candidate volume: the program's own file and
// each file that a search for volumes would meet.
void CollectCandidateKeys() {
  CandidateKeys.clear();
  const std::string own = PathIdentityOf(ProgramPath);
  if (!own.empty()) CandidateKeys.insert(own);
  for (const TSearchBase& base : SearchBases) {
    WIN32_FIND_DATAA found;
    HANDLE search = FindFirstFileA((base.Dir + base.UpperBase + ".*").c_str(), &found);
    if (search == INVALID_HANDLE_VALUE) continue;
    do {
      if (found.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) continue;
      char name[MAX_PATH + 1] = {};
      std::memcpy(name, found.cFileName, MAX_PATH);
      const std::string identity = PathIdentityOf(base.Dir + name);
      if (!identity.empty()) CandidateKeys.insert(identity);
    } while (FindNextFileA(search, &found));
    FindClose(search);
  }
  CandidateKeysCurrent = FlagTrue;
}

// The folder that is to hold the current output (stored names may use
// either separator).
std::string OutputFolder() {
  const size_t end = Settings.OutputPath.find_last_of("\\/");
  return end == std::string::npos ? Settings.OutputPath : Settings.OutputPath.substr(0, end);
}

// True when the current output is named like a candidate volume: a searched
// base name (any case, any extension) in a searched folder, however the
// folder is reached.
bool NamesCandidateVolume() {
  std::string leaf = Settings.OutputPath.substr(Settings.OutputPath.find_last_of("\\/") + 1);
  // Windows drops dots and blanks at the end of a name.
  while (!leaf.empty() && (leaf.back() == '.' || leaf.back() == ' ')) leaf.pop_back();
  leaf = UpperText(leaf);
  std::string folder;
  for (const TSearchBase& base : SearchBases) {
    const std::string& b = base.UpperBase;
    if (leaf != b && leaf.compare(0, b.size() + 1, b + ".") != 0) continue;
    if (folder.empty()) folder = PathIdentityOf(OutputFolder());
    if (folder.empty() || folder == PathIdentityOf(FileDirOf(base.Dir))) return true;
  }
  return false;
}

// True when an open output is the file its path names below the
// destination and nothing else: its final path, every link resolved, is
// the destination's followed by the same names.
bool IsWhereMeant(HANDLE handle) {
  if (DestFinalPath.empty()) return true;  // the system cannot tell
  const std::string final = FinalPathOf(handle);
  const std::string full = FullPathOf(Settings.OutputPath);
  std::string destination = FullPathOf(Settings.DestDir);
  if (final.empty() || full.empty() || destination.empty()) return false;
  if (destination.back() != '\\') destination += '\\';
  const auto same = [](const std::string& a, const std::string& b) {
    return UpperText(AnsiTextOf(a)) == UpperText(AnsiTextOf(b));
  };
  if (full.size() <= destination.size() || !same(full.substr(0, destination.size()), destination)) {
    return false;
  }
  std::string expected = DestFinalPath;
  if (expected.back() != '\\') expected += '\\';
  return same(final, expected + full.substr(destination.size()));
}

// Opens the output of the current piece for reading and writing, never
// truncating it: an existing file is opened, a missing one is created (so
// that a link with nothing behind it is not made into a file elsewhere).
// The open is kept only when the file may be written (see above); the
// handle goes to Settings.OutputHandle. False when it cannot be opened or
// may not be written.
bool OpenOutputFile() {
  Settings.OutputHandle = nullptr;
  constexpr DWORD kAccess = GENERIC_READ | GENERIC_WRITE;
  constexpr DWORD kFlags = FILE_FLAG_SEQUENTIAL_SCAN | FILE_FLAG_OPEN_REPARSE_POINT;
  HANDLE handle = INVALID_HANDLE_VALUE;
  bool created = false;
  for (int attempt = 0; attempt < 3; ++attempt) {
    handle = CreateFileA(Settings.OutputPath.c_str(), kAccess, FILE_SHARE_READ, nullptr,
                         OPEN_EXISTING, kFlags, nullptr);
    if (handle != INVALID_HANDLE_VALUE || GetLastError() != ERROR_FILE_NOT_FOUND) break;
    // (With DELETE access, so that a file made where it was not meant can be
    // taken back through its handle, whatever path reaches it now.)
    handle = CreateFileA(Settings.OutputPath.c_str(), kAccess | DELETE, FILE_SHARE_READ, nullptr,
                         CREATE_NEW, kFlags, nullptr);
    created = handle != INVALID_HANDLE_VALUE;
    // A name that exists but cannot be opened is a link to nothing, or
    // appeared meanwhile: look again.
    if (created || GetLastError() != ERROR_FILE_EXISTS) break;
  }
  if (handle == INVALID_HANDLE_VALUE) return false;

  BY_HANDLE_FILE_INFORMATION info;
  bool writable = GetFileInformationByHandle(handle, &info) &&
                  (info.dwFileAttributes &
                   (FILE_ATTRIBUTE_REPARSE_POINT | FILE_ATTRIBUTE_DIRECTORY)) == 0 &&
                  (created || info.nNumberOfLinks <= 1) && IsWhereMeant(handle);
  // A file that was there may be a volume still to be read: one met by the
  // searches (by identity, whatever name reaches it), or one named like
  // them in a searched folder (it may have come since they were listed). A
  // new file destroys nothing.
  if (writable && !created) {
    if (!CandidateKeysCurrent) CollectCandidateKeys();
    writable = CandidateKeys.count(FileIdentityOf(handle)) == 0 && !NamesCandidateVolume();
  }
  if (!writable) {
    // A file this open made in the wrong place (a folder swapped for a link
    // at the moment of the open) is removed again.
    if (created) DeleteOnClose(handle);
    CloseHandle(handle);
    return false;
  }
  Settings.OutputHandle = handle;
  return true;
}

// Records the open output in the list of rebuilt files unless the file is
// there already. Returns true when it was added, that is, when the run meets
// this file for the first time.
bool RecordOutputFile() {
  if (!OutFilesIndex.insert(OutputFileKey()).second) return false;
  std::unique_ptr<TOutFiles> node(new TOutFiles{Settings.OutputPath, nullptr});
  TOutFiles* added = node.get();
  if (OutFilesLast != nullptr) {
    OutFilesLast->Next = std::move(node);
  } else {
    OutFiles = std::move(node);
  }
  OutFilesLast = added;
  OutFilesCursor = added;
  return true;
}

// Frees the list of rebuilt files node by node (a long list must not be
// freed by recursion) and its index.
void ClearOutFiles() {
  while (OutFiles) OutFiles = std::move(OutFiles->Next);
  OutFilesCursor = nullptr;
  OutFilesLast = nullptr;
  std::unordered_set<std::string>().swap(OutFilesIndex);
}

// Reports a piece sequence that ended somewhere other than its volume's
// clean end, or at a header that cannot be meant.
void WriteDamagedHeaderLine() {
  ConsoleWriteLine("Damaged piece header at source offset: " + Number64Text(HeaderPosition));
  ReadErrorSeen = FlagTrue;
}

// Ends the run after an output file could not be opened or written.
void FailOutput(const char* text) {
  CloseIfOpen(Settings.OutputHandle);
  ShowMessage(text, kCaptionError, kFatalBox);
  FinishRun();
}

// The open-file dialog in which the operator points at a volume of the set.
void AskForVolumeFile() {
  if (!AreFileApisANSI()) SetFileApisToANSI();

  char fileName[MAX_PATH] = {};
  OPENFILENAMEA dialog;
  std::memset(&dialog, 0, sizeof dialog);
  dialog.lStructSize = OPENFILENAME_SIZE_VERSION_400A;
  dialog.hwndOwner = ConsoleWindow;
  dialog.lpstrFilter = kVolumeFilter;
  dialog.nFilterIndex = 0;
  dialog.lpstrFile = fileName;
  dialog.nMaxFile = MAX_PATH;
  dialog.Flags = OFN_HIDEREADONLY | OFN_NOCHANGEDIR | OFN_PATHMUSTEXIST;

  if (GetOpenFileNameA(&dialog)) {
    fileName[MAX_PATH - 1] = '\0';
    CharToOemA(fileName, fileName);
    std::string chosen = TextToString(fileName);
    if (!chosen.empty()) Settings.VolumePath = chosen;
    Settings.SourceDir = FilePathOf(Settings.VolumePath);
    ConsoleWriteLine("Source directory: " + FileDirOf(Settings.SourceDir));
  } else {
    // Only a No keeps the run going: a box that could not be shown at all
    // (no operator to answer it) counts as Yes, so the run cannot loop.
    int answer = ShowMessage(kCancelQuestion, kCaptionQuestion, kQuestionBox);
    if (answer != IDNO) {
      FinishRun();
      Cancelled = FlagTrue;
    }
  }

  if (AreFileApisANSI()) SetFileApisToOEM();
}

// The completion of a run whose volumes have all been processed.
void CompleteRun() {
  if (!ReadErrorSeen && ShowMessage(kLaunchQuestion, kCaptionQuestion, kQuestionBox) == IDYES) {
    for (OutFilesCursor = OutFiles.get(); OutFilesCursor != nullptr;
         OutFilesCursor = OutFilesCursor->Next.get()) {
      // The shell takes ANSI names whatever mode the file calls are in.
      const std::string shellPath = AnsiTextOf(OutFilesCursor->Path);
      char program[MAX_PATH] = {};
      INT_PTR found = reinterpret_cast<INT_PTR>(FindExecutableA(shellPath.c_str(), nullptr, program));
      if (found > 32) {
        ConsoleWriteLine("Running: " + OutFilesCursor->Path);
        ShellExecuteA(ConsoleWindow, nullptr, shellPath.c_str(), nullptr, nullptr, SW_SHOWNORMAL);
      }
    }
  }
  SearchClose(VolumeSearch);
  if (!AreFileApisANSI()) SetFileApisToANSI();
  FinishRun();
  ConsoleWriteLine(kClosingText);
  if (ConsoleWindow != nullptr &&
      ShowMessage(kClosingText, kCaptionMessage, kClosingBox) == IDYES) {
    ShellExecuteA(ConsoleWindow, nullptr, kProductPage, nullptr, nullptr, SW_SHOWNORMAL);
  }
}

}  // namespace

bool IsSafeStoredName(const std::string& name) {
  // The shared rules: no drive, stream, root or UNC prefix, no component of
  // dots and blanks (Windows reads ".. " as ".."), no device name.
  return namerules::IsSafeStoredName(name);
}

// ------------------------------------------------------------------ companions
void InitDefaults() {
  SearchResult = 1;
  DiskOrdinal = 1;
  SetIdCaptured = FlagFalse;
  DoneList = ",";
  DoneIndex.clear();
  LastVolume = 0;
  DoneCount = 0;
  ReadErrorSeen = FlagFalse;
  Cancelled = FlagFalse;
  SearchBases.clear();
  CandidateKeys.clear();
  CandidateKeysCurrent = FlagFalse;
  DestFinalPath.clear();
}

void ShowState(int32_t code, int32_t ordinal) {
  switch (code) {
    case stAskVolume:
      ConsoleWriteLine();
      if (Settings.AskForDisk) {
        const char* word = ordinal == 1 ? "first" : "next";
        ConsoleWrite(std::string("Insert ") + word + " disk in drive " +
                     DriveOf(Settings.SourceDir) + ". Press 'Enter' when ready.");
        ConsoleFlush();
        std::string answer;
        if (!ConsoleReadLine(answer)) {
          // Nobody is there to insert a disk: end as if cancelled.
          ConsoleWriteLine();
          FinishRun();
          Cancelled = FlagTrue;
        }
      } else {
        AskForVolumeFile();
      }
      break;
    case stWorking:
      ConsoleWriteLine("Working...");
      break;
    case stDone:
      ConsoleWriteLine("Done");
      break;
    default:
      break;
  }
}

void ReportState() { ShowState(StateCode, DiskOrdinal); }

void ShowProcessingFile() { ConsoleWriteLine("Processing file: " + Settings.OutputPath); }

void FinishRun() {
  Settings.Buffer.reset();
  ClearOutFiles();
  std::unordered_set<std::string>().swap(CandidateKeys);
  CandidateKeysCurrent = FlagFalse;
  CloseIfOpen(Settings.VolumeHandle);
  CloseIfOpen(Settings.OutputHandle);
  SearchClose(VolumeSearch);
  StateCode = stDone;
  ReportState();
}

// ------------------------------------------------------------------ the join
void RunJoin() {
  // Start-up: console, run state, banner.
  SetConsoleTitleA(kConsoleTitle);
  SetConsoleOutputCP(GetOEMCP());
  ConsoleWindow = FindWindowA("tty", kConsoleTitle);
  InitDefaults();
  ClearOutFiles();

  ConsoleWriteLine(kBannerLine1);
  ConsoleWriteLine(kBannerLine2);
  ConsoleWriteLine();
  Settings.BufferSize = 16384;

  const std::string switchText = UpperText(ArgumentText(1));
  if (switchText == "/?" || switchText == "-?" || switchText == "-H") {
    ConsoleWriteLine(kUsage);
    return;
  }

  // From here on the file calls take OEM names, like the console.
  if (AreFileApisANSI()) SetFileApisToOEM();

  Settings.TempDir = SystemDirectory([](DWORD size, char* buffer) { GetTempPathA(size, buffer); });
  // Volumes are looked for, and opened, beside the program's own file,
  // wherever the program was started from.
  Settings.VolumePath = LongPathOf(ArgumentText(0));
  Settings.SourceDir = FilePathOf(Settings.VolumePath);
  ProgramPath = Settings.VolumePath;
  Settings.DestDir = OemTextOf(ArgumentText(1));

  if (Settings.DestDir.empty()) {
    ConsoleWriteLine("Destination directory is not specified.");
    ConsoleWriteLine("Enter the directory name (no input - use default: \"" +
                     FileDirOf(Settings.TempDir) + "\").");
    ConsoleWrite("Target directory name: ");
    ConsoleFlush();
    std::string answer;
    if (!ConsoleReadLine(answer)) ConsoleWriteLine();
    Settings.DestDir = answer.empty() ? Settings.TempDir : answer;
    // Without a temporary directory the run stays where it was started.
    if (Settings.DestDir.empty()) Settings.DestDir = CurrentDirectory();
  }

  // The destination is made with every missing level and entered; a run
  // that cannot do both writes nothing at all.
  WorkPath = FileDirOf(WithFinalBackslash(Settings.DestDir));
  if (!CreateDirectoryLevels(WorkPath) || !SetCurrentDirectoryA(WorkPath.c_str())) {
    ShowMessage(kNoDestination, kCaptionCritical, kFatalBox);
    return;
  }
  Settings.DestDir = WithFinalBackslash(LongPathOf(CurrentDirectory()));
  // Links in the destination's own path were the operator's to choose; below
  // it, every output must lie where its names say (see IsWhereMeant).
  DestFinalPath = FinalPathOfPath(Settings.DestDir);

  ApplyDriveType(GetDriveTypeA((DriveOf(Settings.SourceDir) + "\\").c_str()));
  if (GetDriveTypeA((DriveOf(Settings.DestDir) + "\\").c_str()) == DRIVE_NO_ROOT_DIR) {
    ShowMessage(kNoDisk, kCaptionCritical, kFatalBox);
    return;
  }

  ConsoleWriteLine(kStars);
  ConsoleWriteLine("Source directory: " + FileDirOf(Settings.SourceDir));
  ConsoleWriteLine("Destination directory: " + FileDirOf(Settings.DestDir));
  ConsoleWriteLine(kStars);

  // The volume loop: on removable media the operator first inserts a disk.
  if (Settings.AskForDisk) {
    StateCode = stAskVolume;
    ReportState();
    if (Cancelled) return;
  }
  Settings.Buffer.reset(new uint8_t[static_cast<size_t>(Settings.BufferSize) + 1024]);

  for (;;) {
    // Search step. Found names are opened in the directory searched.
    if (SearchResult != 0) {
      Settings.SourceDir = FilePathOf(Settings.VolumePath);
      RecordSearchBase();
      CandidateKeysCurrent = FlagFalse;
      SearchResult = SearchFirst(WithExtension(Settings.VolumePath, ".*"), kSearchAttributes,
                                 VolumeSearch);
    } else {
      SearchResult = SearchNext(VolumeSearch);
    }

    if (SearchResult != 0) {
      // No candidate left: wait for the operator to supply a volume.
      SearchClose(VolumeSearch);
      SearchResult = 1;
      for (;;) {
        StateCode = stAskVolume;
        ReportState();
        if (Cancelled) return;
        WorkPath = DriveOf(Settings.SourceDir);
        UINT driveType = GetDriveTypeA((WorkPath + "\\").c_str());
        if (driveType == DRIVE_NO_ROOT_DIR) {
          ShowMessage(kNoDisk, kCaptionCritical, kFatalBox);
          FinishRun();
          return;
        }
        ApplyDriveType(driveType);
        Settings.FreeSpace = DriveFreeBytes(WorkPath);
        if (Settings.FreeSpace != -1) break;
        // The drive cannot be read (no medium): offer the dialog instead.
        Settings.AskForDisk = FlagFalse;
      }
      continue;
    }

    // Examination of a candidate.
    char foundName[MAX_PATH + 1] = {};
    std::memcpy(foundName, VolumeSearch.Found.cFileName, MAX_PATH);
    Settings.VolumePath = Settings.SourceDir + foundName;
    Settings.VolumeHandle = CreateFileA(Settings.VolumePath.c_str(), GENERIC_READ, FILE_SHARE_READ,
                                        nullptr, OPEN_EXISTING, FILE_FLAG_SEQUENTIAL_SCAN, nullptr);
    bool accepted = false;
    if (Settings.VolumeHandle != INVALID_HANDLE_VALUE) {
      // The signature at byte 0, or where the trailer of a self-joining file
      // points (read at the true end of a file of any size); the reads leave
      // the file just after the signature.
      volformat::VolumePlace place;
      const bool signatureFound = volformat::LocateVolume(FileSizeOf(Settings.VolumeHandle),
                                                          SignatureAt, TrailerAt, place);
      SignatureOffset = place.start;
      VolumeDataEnd = place.dataEnd;
      if (signatureFound && ReadVolumeRecord(Settings.VolumeHandle, VolumeRecord) == rcOk) {
        if (!SetIdCaptured) {
          std::memcpy(CapturedSetId, VolumeRecord.SetId, sizeof CapturedSetId);
          SetIdCaptured = FlagTrue;
        }
        accepted =
            std::memcmp(VolumeRecord.SetId, CapturedSetId, sizeof CapturedSetId) == 0 &&
            DoneIndex.count(int32_t{VolumeRecord.VolumeNumber}) == 0;
      }
    }
    if (!accepted) {
      // Not a volume of this set, or one already processed: passed over silently.
      CloseIfOpen(Settings.VolumeHandle);
      continue;
    }

    Settings.VolumeNumber = VolumeRecord.VolumeNumber;
    ConsoleWriteLine();
    ConsoleWriteLine("Current volume: " + NumberText(Settings.VolumeNumber));

    Settings.FreeSpace = DriveFreeBytes(DriveOf(Settings.DestDir));
    if (Settings.FreeSpace < VolumeRecord.SpaceNeeded) {
      ShowMessage(kNoSpace, kCaptionCritical, kFatalBox);
      FinishRun();
      return;
    }

    // The pieces of the volume, one after another, up to the first header
    // that cannot be read. Anywhere but at the clean end of the volume's
    // data, that header is damaged, and so is one with a negative size.
    for (;;) {
      HeaderPosition = FilePosition(Settings.VolumeHandle);
      LastResult = ReadFileHeader(Settings.VolumeHandle, FileHeader);
      if (LastResult != rcOk) {
        if (HeaderPosition != VolumeDataEnd) WriteDamagedHeaderLine();
        break;
      }
      if (FileHeader.DataSize < 0) {
        WriteDamagedHeaderLine();
        break;
      }
      FileHeader.FileName = OemTextOf(FileHeader.FileName);
      Settings.OutputPath = Settings.DestDir + FileHeader.FileName;
      ShowProcessingFile();
      StateCode = stWorking;
      ReportState();

      // Nothing is written outside the destination.
      if (!IsSafeStoredName(FileHeader.FileName)) {
        FailOutput(kCannotOpen);
        return;
      }

      // Every missing level between the destination and the file is made;
      // if one cannot be, opening the file fails below.
      // A level that is a link, or that cannot be made, is not entered:
      // the output cannot be opened.
      const size_t nameDirEnd = FileHeader.FileName.find_last_of("\\/");
      const bool levelsMade =
          nameDirEnd == std::string::npos ||
          CreateLevelsBelow(Settings.DestDir, FileHeader.FileName.substr(0, nameDirEnd));
      if (!levelsMade || !OpenOutputFile()) {
        FailOutput(kCannotOpen);
        return;
      }

      // A file met for the first time in this run starts empty, so that no
      // bytes of an older file of the same name survive in it.
      if (RecordOutputFile()) {
        if (!MoveTo(Settings.OutputHandle, 0, FILE_BEGIN) || !SetEndOfFile(Settings.OutputHandle)) {
          FailOutput(kCannotWrite);
          return;
        }
      }

      PieceOffset = FileHeader.FileOffset;
      PieceSize = FileHeader.DataSize;
      if (PieceOffset < 0) {
        FailOutput(kCannotWrite);
        return;
      }

      // No piece may reach beyond the space there is: what it adds past the
      // output's current end must fit in the destination's free space.
      if (PieceSize > std::numeric_limits<int64_t>::max() - PieceOffset) {
        CloseIfOpen(Settings.OutputHandle);
        ShowMessage(kNoSpace, kCaptionCritical, kFatalBox);
        FinishRun();
        return;
      }
      const int64_t outputEnd = FileSizeOf(Settings.OutputHandle);
      if (PieceOffset + PieceSize > outputEnd) {
        Settings.FreeSpace = DriveFreeBytes(DriveOf(Settings.DestDir));
        if (outputEnd < 0 || PieceOffset + PieceSize - outputEnd > Settings.FreeSpace) {
          CloseIfOpen(Settings.OutputHandle);
          ShowMessage(kNoSpace, kCaptionCritical, kFatalBox);
          FinishRun();
          return;
        }
      }

      if (!MoveTo(Settings.OutputHandle, PieceOffset, FILE_BEGIN)) {
        FailOutput(kCannotWrite);
        return;
      }

      // The chunk loop.
      PieceCopied = 0;
      while (PieceCopied < PieceSize) {
        ChunkBytes = PieceSize > PieceCopied + Settings.BufferSize
                         ? Settings.BufferSize
                         : static_cast<int32_t>(PieceSize - PieceCopied);
        LastResult = ReadBlock(Settings.VolumeHandle, Settings.Buffer.get(), ChunkBytes);
        if (LastResult == -1) {
          // A damaged chunk: reported, skipped in the volume, left as a gap.
          WriteReadErrorLine();
          MoveTo(Settings.VolumeHandle, SourcePos + ChunkBytes, FILE_BEGIN);
          MoveTo(Settings.OutputHandle, ChunkBytes, FILE_CURRENT);
          PieceCopied += ChunkBytes;
          ReadErrorSeen = FlagTrue;
          continue;
        }
        if (LastResult == 0) {
          // The volume ends before the piece does: nothing more to read.
          WriteReadErrorLine();
          ReadErrorSeen = FlagTrue;
          break;
        }
        FirstChunk = PieceCopied == 0 ? FlagTrue : FlagFalse;
        PieceCopied += LastResult;
        LastChunk = PieceCopied >= PieceSize ? FlagTrue : FlagFalse;
        if (WriteBlock(Settings.OutputHandle, Settings.Buffer.get(), LastResult) != LastResult) {
          FailOutput(kCannotWrite);
          return;
        }
        UpdateCrc32(Settings.Buffer.get(), LastResult, PieceCrc, FirstChunk != 0, LastChunk != 0);
      }

      // The CRC check: each piece stands on its own.
      if (PieceSize <= 0) PieceCrc = 0;
      if (VolumeRecord.CheckMode != volformat::kNoCrcCheck && PieceCrc != FileHeader.Crc) {
        ShowMessage(kCrcFailed, kCaptionError, kNoticeBox);
      }
      CloseIfOpen(Settings.OutputHandle);
    }

    // End of a volume.
    ++DoneCount;
    DiskOrdinal = 2;
    if (VolumeRecord.IsLast != 0) LastVolume = VolumeRecord.VolumeNumber;
    DoneList += NumberText(VolumeRecord.VolumeNumber) + ",";
    DoneIndex.insert(int32_t{VolumeRecord.VolumeNumber});  // a copy: the record is packed
    if (DoneCount == LastVolume) {
      CompleteRun();
      return;
    }
    CloseIfOpen(Settings.VolumeHandle);
    CloseIfOpen(Settings.OutputHandle);
  }
}

void ParcelStubStartup() {
  Settings = TSettingsRecord();
  InitDefaults();
}

void ParcelStubShutdown() {
  Settings = TSettingsRecord();
  ClearOutFiles();
  DoneList.clear();
  std::unordered_set<int32_t>().swap(DoneIndex);
  std::unordered_set<std::string>().swap(CandidateKeys);
  CandidateKeysCurrent = FlagFalse;
  SearchBases.clear();
  DestFinalPath.clear();
  ProgramPath.clear();
  WorkPath.clear();
  VolumeSearch.Name.clear();
}
