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
  int32_t BufferSize = 0;         // bytes per chunk of the copy loop (16384)
  std::string TempDir;            // the system's temporary directory: the default destination
  TFlag AskForDisk = FlagFalse;   // true on removable or unknown drives: prompt for a disk, not the dialog
  std::unique_ptr<uint8_t[]> Buffer;  // the copy loop's chunk buffer
  int32_t VolumeNumber = 0;       // the number of the volume being processed
  HANDLE VolumeHandle = nullptr;  // the open candidate or volume; nullptr: none
  HANDLE OutputHandle = nullptr;  // the open output file; nullptr: none
  int64_t FreeSpace = 0;          // free bytes last read (destination, or the source drive when asking)
  std::string DestDir;            // the destination: as given, then absolute with a final backslash (OEM text)
  std::string SourceDir;          // the folder searched for volumes, ending with a backslash
  std::string OutputPath;         // the current output: DestDir and the stored name (OEM text)
  std::string VolumePath;         // the program's own path, then the current candidate or chosen volume
};

// State codes of ShowState/ReportState.
enum : int32_t {
  stAskVolume = 1,
  stWorking = 2,
  stDone = 6,
};

// The run's settings and open handles.
extern TSettingsRecord Settings;

extern HWND ConsoleWindow;         // the console's window, owner of the boxes; nullptr when not found
extern TFlag Cancelled;            // the operator cancelled (or no one can answer): the run has ended
extern std::string WorkPath;       // scratch path: the destination being made, then a drive being asked about
extern int32_t DiskOrdinal;        // 1 until a volume is done, then 2: "first" or "next" disk in the prompt
extern int32_t StateCode;          // the state last shown (stAskVolume, stWorking, stDone)
extern int32_t SearchResult;       // result of the last search call: 0 found, else start a new search
extern TSearchRec VolumeSearch;    // the search for candidate volumes beside VolumePath
extern int64_t SignatureOffset;    // where the current volume's signature lies (0, or as its trailer says)
extern TFlag SetIdCaptured;        // true once the first volume's set identity is in CapturedSetId
extern uint8_t CapturedSetId[8];   // the set identity every further volume must carry
extern std::string DoneList;       // the numbers of the volumes processed, as text: ",3,1,2,"
// The numbers in DoneList, so that a volume is looked up in constant time.
extern std::unordered_set<int32_t> DoneIndex;
extern int32_t LastVolume;         // the number of the volume marked last; 0 until it has been processed
extern int32_t DoneCount;          // how many volumes have been processed; the run ends at LastVolume
extern int32_t LastResult;         // result of the last record read, or bytes of the last chunk read
extern TFlag ReadErrorSeen;        // a read error or damaged header was reported: no launch question
extern std::unique_ptr<TOutFiles> OutFiles;  // the files rebuilt in this run, first met first
extern TOutFiles* OutFilesCursor;  // the node last added, then the walk of the launch question
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
extern int64_t PieceOffset;        // where the current piece goes in its file (FileOffset)
extern int64_t PieceSize;          // the current piece's data bytes (DataSize)
extern int64_t PieceCopied;        // bytes of the piece done so far (read errors skipped included)
extern int32_t ChunkBytes;         // bytes asked for by the current chunk read
extern uint32_t PieceCrc;          // the running CRC-32 of the piece's data
extern TFlag FirstChunk;           // the chunk starts the piece: the CRC starts afresh
extern TFlag LastChunk;            // the chunk ends the piece: the CRC is completed
extern int64_t SourcePos;          // the volume's position at a read error
extern int64_t OutputPos;          // the output's position at a read error

// The whole join: start-up, destination, the volume loop, completion. Ends
// with every handle closed; what went wrong has been shown to the operator.
void RunJoin();
// Sets the run state to that of a run that has processed no volume.
void InitDefaults();
// Shows a state: asks for a volume (prompt for a disk, or the open-file
// dialog; either may end the run as cancelled), "Working...", or "Done".
void ShowState(int32_t code, int32_t ordinal);
// ShowState for StateCode and DiskOrdinal.
void ReportState();
// The "Processing file:" line of the current output.
void ShowProcessingFile();
// Ends the run: buffers and lists freed, handles and the search closed,
// "Done" shown.
void FinishRun();

// True when a file name stored in a volume stays inside the destination and
// names an ordinary file: no ".." component, not absolute, not on a drive or
// share, no device name, no NUL byte. The name may be ANSI (1252) or OEM
// (850) text: the device names COM and LPT with a superscript digit are
// refused in the spelling of either code page.
bool IsSafeStoredName(const std::string& name);

// Module start (run state at its defaults) and end (every string and list
// of the run given back).
void ParcelStubStartup();
void ParcelStubShutdown();
