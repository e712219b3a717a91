// The volume format: record layouts, and the readers that take the records
// from an open file and say whether each is present and valid.
#pragma once

#include <cstdint>
#include <string>

#include "platform/Win32.h"

// Reader results. 5 is never returned.
enum : int32_t {
  rcOk = 1,
  rcReadError = 2,
  rcBadSignature = 3,
  rcBadVersion = 4,
  rcBadEndMarker = 6,
};

extern const char VolumeMagic[7];    // "PARCEL"
extern const char FileHeaderTag[5];  // "FHDR"
extern const char FileHeaderEnd[3];  // "DS"
constexpr uint8_t ReaderMajorVersion = 2;
constexpr uint8_t ReaderMinorVersion = 3;

constexpr int32_t SignatureLength = 9;
constexpr int32_t VolumeRecordLength = 30;
constexpr int32_t FileHeaderFixedLength = 34;

#pragma pack(push, 1)
struct TVolumeSignature {
  char Magic[6];
  uint8_t FormatByte;
  uint8_t MajorVersion;
  uint8_t MinorVersion;
};

struct TVolumeRecord {
  uint8_t SetId[8];
  uint8_t CheckMode;
  int32_t VolumeNumber;
  uint8_t IsLast;
  int64_t SpaceNeeded;
  uint8_t Spare[8];
};

// The fixed part of a file header as it lies on disk.
struct TFileHeaderFixed {
  char Tag[4];
  uint8_t Spare[8];
  int64_t FileOffset;
  int64_t DataSize;
  uint32_t Crc;
  uint16_t NameLength;
};

// The tag record of a feature of the splitter that the joiner does not use.
struct TSmartCombineFixed {
  char Tag[3];
  uint8_t Fields[22];
};
#pragma pack(pop)

static_assert(sizeof(TVolumeSignature) == SignatureLength, "signature layout");
static_assert(sizeof(TVolumeRecord) == VolumeRecordLength, "volume record layout");
static_assert(sizeof(TFileHeaderFixed) == FileHeaderFixedLength, "file header layout");

// A file header: its fixed part, read in one piece, and the name it owns.
struct TFileHeader : TFileHeaderFixed {
  std::string FileName;
};

struct TSmartCombine : TSmartCombineFixed {
  std::string Text;
};

int32_t ReadSignature(HANDLE handle, TVolumeSignature& signature);
int32_t ReadVolumeRecord(HANDLE handle, TVolumeRecord& record);
int32_t ReadFileHeader(HANDLE handle, TFileHeader& header);

// The records the driver reads into.
extern TVolumeSignature VolumeSignature;
extern TVolumeRecord VolumeRecord;
extern TFileHeader FileHeader;

// Templates filled at start-up; the join never reads them.
extern TVolumeSignature SignatureTemplate;
extern TFileHeader FileHeaderTemplate;
extern TSmartCombine SmartCombineTemplate;
extern std::string FormatVersionText;
extern std::string FormatProductName;

void SplitSFXStartup();
void SplitSFXShutdown();
