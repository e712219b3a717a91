// The volume-format readers. Each reads one record from the handle's current
// position with ReadBlock, moves the position by nothing but those reads, and
// answers with a result code; what a failure means is for the caller to say.
#include "SplitSFX/SplitSFX.h"

#include "MiscSFX/MiscSFX.h"
#include "SplitSFX/Constants.h"

const char VolumeMagic[7] = "PARCEL";
const char FileHeaderTag[5] = "FHDR";
const char FileHeaderEnd[3] = "DS";

TVolumeSignature VolumeSignature;
TVolumeRecord VolumeRecord;
TFileHeader FileHeader;

TVolumeSignature SignatureTemplate;
TFileHeader FileHeaderTemplate;
TSmartCombine SmartCombineTemplate;
std::string FormatVersionText;
std::string FormatProductName;

namespace {

// Reads exactly count bytes; false on a failed or short read.
bool ReadExactly(HANDLE handle, void* buffer, int32_t count) {
  return ReadBlock(handle, buffer, count) == count;
}

// The magic and the tag are compared after upper-casing, so any letter case
// of them is accepted.
bool TextMatches(const char* field, size_t length, const char* expected) {
  return UpperText(std::string(field, length)) == expected;
}

}  // namespace

int32_t ReadSignature(HANDLE handle, TVolumeSignature& signature) {
  if (!ReadExactly(handle, &signature, SignatureLength)) return rcReadError;
  if (!TextMatches(signature.Magic, sizeof signature.Magic, VolumeMagic)) return rcBadSignature;
  if (signature.MajorVersion != ReaderMajorVersion) return rcBadVersion;
  if (signature.MinorVersion > ReaderMinorVersion) return rcBadVersion;
  return rcOk;  // FormatByte is not examined
}

int32_t ReadVolumeRecord(HANDLE handle, TVolumeRecord& record) {
  return ReadExactly(handle, &record, VolumeRecordLength) ? rcOk : rcReadError;
}

int32_t ReadFileHeader(HANDLE handle, TFileHeader& header) {
  TFileHeaderFixed& fixed = header;
  if (!ReadExactly(handle, &fixed, FileHeaderFixedLength)) return rcReadError;
  if (!TextMatches(fixed.Tag, sizeof fixed.Tag, FileHeaderTag)) return rcBadSignature;

  // The name goes to a string of its own first, so that a failed read leaves
  // the previous name in place. An empty name is read like any other.
  const int32_t nameLength = fixed.NameLength;
  std::string name(static_cast<size_t>(nameLength), '\0');
  if (nameLength > 0 && !ReadExactly(handle, &name[0], nameLength)) return rcReadError;
  header.FileName = std::move(name);

  // The end marker is compared exactly, without case folding.
  char marker[2] = {0, 0};
  const int32_t got = ReadBlock(handle, marker, sizeof marker);
  if (got < 0) return rcReadError;
  if (got != 2 || marker[0] != FileHeaderEnd[0] || marker[1] != FileHeaderEnd[1])
    return rcBadEndMarker;
  return rcOk;
}

void SplitSFXStartup() {
  SignatureTemplate = TVolumeSignature{};
  for (size_t i = 0; i < sizeof SignatureTemplate.Magic; ++i)
    SignatureTemplate.Magic[i] = VolumeMagic[i];
  SignatureTemplate.FormatByte = 3;
  SignatureTemplate.MajorVersion = 2;
  SignatureTemplate.MinorVersion = 0;

  FileHeaderTemplate = TFileHeader{};
  for (size_t i = 0; i < sizeof FileHeaderTemplate.Tag; ++i)
    FileHeaderTemplate.Tag[i] = FileHeaderTag[i];

  SmartCombineTemplate = TSmartCombine{};
  SmartCombineTemplate.Tag[0] = 'S';
  SmartCombineTemplate.Tag[1] = 'C';
  SmartCombineTemplate.Tag[2] = 'R';

  FormatVersionText = VersionText;
  FormatProductName = ProductName;
}

void SplitSFXShutdown() {
  std::string().swap(FileHeader.FileName);
  std::string().swap(FileHeaderTemplate.FileName);
  std::string().swap(SmartCombineTemplate.Text);
  std::string().swap(FormatVersionText);
  std::string().swap(FormatProductName);
}
