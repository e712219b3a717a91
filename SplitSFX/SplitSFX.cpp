// The volume-format readers. Each reads one record from the handle's current
// position with ReadBlock, moves the position by nothing but those reads, and
// answers with a result code; what a failure means is for the caller to say.
// The checks themselves are the format's (VolumeFormat.h).
#include "SplitSFX/SplitSFX.h"

#include "MiscSFX/MiscSFX.h"
#include "SplitSFX/Constants.h"

namespace vf = volformat;

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

const uint8_t* BytesOf(const void* record) { return static_cast<const uint8_t*>(record); }

}  // namespace

int32_t ReadSignature(HANDLE handle, TVolumeSignature& signature) {
  if (!ReadExactly(handle, &signature, vf::kSignatureLength)) return rcReadError;
  switch (vf::CheckSignature(BytesOf(&signature))) {
    case vf::SignatureCheck::WrongMagic:
      return rcBadSignature;
    case vf::SignatureCheck::WrongVersion:
      return rcBadVersion;
    case vf::SignatureCheck::Sound:
      break;
  }
  return rcOk;  // FormatByte is not examined
}

int32_t ReadVolumeRecord(HANDLE handle, TVolumeRecord& record) {
  return ReadExactly(handle, &record, vf::kVolumeRecordLength) ? rcOk : rcReadError;
}

int32_t ReadFileHeader(HANDLE handle, TFileHeader& header) {
  TFileHeaderFixed& fixed = header;
  if (!ReadExactly(handle, &fixed, vf::kPieceHeaderFixedLength)) return rcReadError;
  if (!vf::PieceTagMatches(BytesOf(fixed.Tag))) return rcBadSignature;

  // The name goes to a string of its own first, so that a failed read leaves
  // the previous name in place. An empty name is read like any other.
  const int32_t nameLength = fixed.NameLength;
  std::string name(static_cast<size_t>(nameLength), '\0');
  if (nameLength > 0 && !ReadExactly(handle, &name[0], nameLength)) return rcReadError;
  header.FileName = std::move(name);

  // The end marker is compared exactly, without case folding.
  uint8_t marker[vf::kEndMarkerLength] = {};
  const int32_t got = ReadBlock(handle, marker, sizeof marker);
  if (got < 0) return rcReadError;
  if (got != vf::kEndMarkerLength || !vf::EndMarkerMatches(marker)) return rcBadEndMarker;
  return rcOk;
}

void SplitSFXStartup() {
  SignatureTemplate = TVolumeSignature{};
  for (size_t i = 0; i < sizeof SignatureTemplate.Magic; ++i)
    SignatureTemplate.Magic[i] = vf::kMagic[i];
  SignatureTemplate.FormatByte = vf::kFormatByte;
  SignatureTemplate.MajorVersion = vf::kMajorVersion;
  SignatureTemplate.MinorVersion = vf::kOldestMinorVersion;

  FileHeaderTemplate = TFileHeader{};
  for (size_t i = 0; i < sizeof FileHeaderTemplate.Tag; ++i)
    FileHeaderTemplate.Tag[i] = vf::kPieceTag[i];

  SmartCombineTemplate = TSmartCombine{};
  for (size_t i = 0; i < sizeof SmartCombineTemplate.Tag; ++i)
    SmartCombineTemplate.Tag[i] = vf::kSmartCombineTag[i];

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
