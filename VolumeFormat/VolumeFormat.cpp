// The field checks and decoders of the volume format (see VolumeFormat.h):
// byte-level, no system calls, the same for every reader.
#include "VolumeFormat/VolumeFormat.h"

#include <cstring>

namespace volformat {

namespace {

uint8_t UpperAscii(uint8_t c) { return c >= 'a' && c <= 'z' ? static_cast<uint8_t>(c - 'a' + 'A') : c; }

// The length bytes at field equal the text when upper-cased.
bool MatchesIgnoringCase(const uint8_t* field, const char* text, size_t length) {
  for (size_t i = 0; i < length; ++i)
    if (UpperAscii(field[i]) != static_cast<uint8_t>(text[i])) return false;
  return true;
}

}  // namespace

bool MagicMatches(const uint8_t* magic) { return MatchesIgnoringCase(magic, kMagic, kMagicLength); }

SignatureCheck CheckSignature(const uint8_t* signature) {
  if (!MagicMatches(signature + kSignatureMagic)) return SignatureCheck::WrongMagic;
  if (signature[kSignatureMajor] != kMajorVersion) return SignatureCheck::WrongVersion;
  if (signature[kSignatureMinor] > kNewestMinorVersion) return SignatureCheck::WrongVersion;
  return SignatureCheck::Sound;
}

bool PieceTagMatches(const uint8_t* tag) { return MatchesIgnoringCase(tag, kPieceTag, kPieceTagLength); }

bool EndMarkerMatches(const uint8_t* marker) {
  return std::memcmp(marker, kEndMarker, static_cast<size_t>(kEndMarkerLength)) == 0;
}

VolumeRecordFields DecodeVolumeRecord(const uint8_t* record) {
  VolumeRecordFields fields;
  std::memcpy(fields.setId, record + kRecordSetId, kSetIdLength);
  fields.checkMode = record[kRecordCheckMode];
  fields.volumeNumber = LoadLe<int32_t>(record + kRecordVolumeNumber);
  fields.isLast = record[kRecordIsLast] != 0;
  fields.spaceNeeded = LoadLe<int64_t>(record + kRecordSpaceNeeded);
  return fields;
}

PieceHeaderFields DecodePieceHeader(const uint8_t* fixed) {
  PieceHeaderFields fields;
  fields.fileOffset = LoadLe<int64_t>(fixed + kHeaderFileOffset);
  fields.dataSize = LoadLe<int64_t>(fixed + kHeaderDataSize);
  fields.crc = LoadLe<uint32_t>(fixed + kHeaderCrc);
  fields.nameLength = LoadLe<uint16_t>(fixed + kHeaderNameLength);
  return fields;
}

}  // namespace volformat
