// The self-joining program's volume records (the driver's structures, laid
// out as VolumeFormat.h defines the format), and the readers that take the
// records from an open file and say whether each is present and valid.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>

#include "VolumeFormat/VolumeFormat.h"
#include "platform/Win32.h"

// Reader results. 5 is never returned.
enum : int32_t {
  rcOk = 1,
  rcReadError = 2,
  rcBadSignature = 3,
  rcBadVersion = 4,
  rcBadEndMarker = 6,
};

// The records as they lie on disk (see VolumeFormat.h for the layout these
// structures must match, field by field).
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

namespace layout_check {
namespace vf = volformat;
static_assert(sizeof(TVolumeSignature) == vf::kSignatureLength, "signature layout");
static_assert(offsetof(TVolumeSignature, Magic) == vf::kSignatureMagic &&
                  sizeof(TVolumeSignature::Magic) == vf::kMagicLength &&
                  offsetof(TVolumeSignature, FormatByte) == vf::kSignatureFormatByte &&
                  offsetof(TVolumeSignature, MajorVersion) == vf::kSignatureMajor &&
                  offsetof(TVolumeSignature, MinorVersion) == vf::kSignatureMinor,
              "signature fields");
static_assert(sizeof(TVolumeRecord) == vf::kVolumeRecordLength, "volume record layout");
static_assert(offsetof(TVolumeRecord, SetId) == vf::kRecordSetId &&
                  sizeof(TVolumeRecord::SetId) == vf::kSetIdLength &&
                  offsetof(TVolumeRecord, CheckMode) == vf::kRecordCheckMode &&
                  offsetof(TVolumeRecord, VolumeNumber) == vf::kRecordVolumeNumber &&
                  offsetof(TVolumeRecord, IsLast) == vf::kRecordIsLast &&
                  offsetof(TVolumeRecord, SpaceNeeded) == vf::kRecordSpaceNeeded &&
                  offsetof(TVolumeRecord, Spare) == vf::kRecordSpare,
              "volume record fields");
static_assert(sizeof(TFileHeaderFixed) == vf::kPieceHeaderFixedLength, "file header layout");
static_assert(offsetof(TFileHeaderFixed, Tag) == vf::kHeaderTag &&
                  sizeof(TFileHeaderFixed::Tag) == vf::kPieceTagLength &&
                  offsetof(TFileHeaderFixed, Spare) == vf::kHeaderSpare &&
                  offsetof(TFileHeaderFixed, FileOffset) == vf::kHeaderFileOffset &&
                  offsetof(TFileHeaderFixed, DataSize) == vf::kHeaderDataSize &&
                  offsetof(TFileHeaderFixed, Crc) == vf::kHeaderCrc &&
                  offsetof(TFileHeaderFixed, NameLength) == vf::kHeaderNameLength,
              "file header fields");
static_assert(sizeof(TSmartCombineFixed::Tag) == vf::kSmartCombineTagLength &&
                  sizeof(TSmartCombineFixed::Fields) == vf::kSmartCombineFieldsLength,
              "smart combine record layout");
}  // namespace layout_check

// A file header: its fixed part, read in one piece, and the name it owns.
struct TFileHeader : TFileHeaderFixed {
  std::string FileName;
};

struct TSmartCombine : TSmartCombineFixed {
  std::string Text;
};

// Each reader reads one record from the handle's current position, moves
// that position by its own reads only, and answers with a result code.

// A whole signature: rcOk, rcReadError when fewer bytes could be read,
// rcBadSignature for another magic, rcBadVersion outside the version range.
int32_t ReadSignature(HANDLE handle, TVolumeSignature& signature);
// A whole volume record: rcOk, or rcReadError when fewer bytes could be
// read. No field is checked.
int32_t ReadVolumeRecord(HANDLE handle, TVolumeRecord& record);
// A whole file header (fixed part, name, end marker): rcOk; rcReadError when
// the fixed part or the name cannot be read whole, or a read fails;
// rcBadSignature for another tag; rcBadEndMarker when the two bytes after
// the name are not the end marker, or the file ends before them. The name is
// replaced only once it has been read whole.
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

// Fills the templates from the format's definition and the product texts.
void SplitSFXStartup();
// Gives back the memory the records' and templates' strings hold.
void SplitSFXShutdown();
