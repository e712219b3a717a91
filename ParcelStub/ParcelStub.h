// The join driver: RunJoin and the run state it owns, the operator prompts,
// the status lines and the clean-up.
#pragma once

#include <cstdint>
#include <memory>
#include <string>
#include <unordered_set>
#include <vector>

#include "MiscSFX/MiscSFX.h"
#include "platform/Win32.h"

// A flag of the driver: 0 is false, any other value true; true is stored
// as all bits set.
using TFlag = int32_t;
constexpr TFlag FlagTrue = -1;
constexpr TFlag FlagFalse = 0;

// One file rebuilt in this run; the list keeps each file on disk once, in
// the order in which it was first met, whatever spelling its pieces use.
struct TOutFiles {
  std::string Path;  // the output path as it was first opened (OEM text)
  std::unique_ptr<TOutFiles> Next;
};

struct TSettingsRecord {
  int32_t BufferSize = 0;
  std::string TempDir;
  TFlag AskForDisk = FlagFalse;
  std::unique_ptr<uint8_t[]> Buffer;
  int32_t VolumeNumber = 0;
  HANDLE VolumeHandle = nullptr;  // nullptr: none
  HANDLE OutputHandle = nullptr;  // nullptr: none
  int64_t FreeSpace = 0;
  std::string DestDir;
  std::string SourceDir;
  std::string OutputPath;
  std::string VolumePath;
};

// State codes of ShowState/ReportState.
enum : int32_t {
  stAskVolume = 1,
  stWorking = 2,
  stDone = 6,
};

extern TSettingsRecord Settings;

extern HWND ConsoleWindow;
extern TFlag Cancelled;
extern std::string WorkPath;
extern int32_t DiskOrdinal;
extern int32_t StateCode;
extern int32_t SearchResult;
extern TSearchRec VolumeSearch;
extern int64_t SignatureOffset;
extern TFlag SetIdCaptured;
extern uint8_t CapturedSetId[8];
extern std::string DoneList;
// The numbers in DoneList, so that a volume is looked up in constant time.
extern std::unordered_set<int32_t> DoneIndex;
extern int32_t LastVolume;
extern int32_t DoneCount;
extern int32_t LastResult;
extern TFlag ReadErrorSeen;
extern std::unique_ptr<TOutFiles> OutFiles;
extern TOutFiles* OutFilesCursor;
// The last node of OutFiles, and the identities of the files in it (see
// OutputFileKey in the driver), so that a piece is recorded in constant time.
extern TOutFiles* OutFilesLast;
extern std::unordered_set<std::string> OutFilesIndex;
// Where files may be written, and which files are volumes: the destination
// as the system resolves it (empty when the system cannot tell), the
// program's own file, the folders and base names searched for volumes, and
// the identities of the candidate volumes found there (built when first
// needed after each new search).
struct TSearchBase {
  std::string Dir;        // ends with a backslash
  std::string UpperBase;  // the base name, upper-cased
};
extern std::string DestFinalPath;
extern std::string ProgramPath;
extern std::vector<TSearchBase> SearchBases;
extern std::unordered_set<std::string> CandidateKeys;
extern TFlag CandidateKeysCurrent;
// Where the current volume's pieces end: its file's size, less the trailer
// in a self-joining file; and where the piece header read last began.
extern int64_t VolumeDataEnd;
extern int64_t HeaderPosition;

// The copy loop's working variables.
extern int64_t PieceOffset;
extern int64_t PieceSize;
extern int64_t PieceCopied;
extern int32_t ChunkBytes;
extern uint32_t PieceCrc;
extern TFlag FirstChunk;
extern TFlag LastChunk;
extern int64_t SourcePos;
extern int64_t OutputPos;

void RunJoin();
void InitDefaults();
void ShowState(int32_t code, int32_t ordinal);
void ReportState();
void ShowProcessingFile();
void FinishRun();

// True when a file name stored in a volume stays inside the destination and
// names an ordinary file: no ".." component, not absolute, not on a drive or
// share, no device name, no NUL byte. The name may be ANSI (1252) or OEM
// (850) text: the device names COM and LPT with a superscript digit are
// refused in the spelling of either code page.
bool IsSafeStoredName(const std::string& name);

void ParcelStubStartup();
void ParcelStubShutdown();
