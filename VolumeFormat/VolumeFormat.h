// The volume format, defined once: how a volume of a split set lies on disk
// (the signature, the volume record, the piece headers: their sizes, field
// offsets, tags and end marker), the versions a reader takes, the trailer
// that locates the volume inside a self-joining file, and the marker that
// makes our self-joining program known. Pure C++ with no system calls: the
// self-joining program's readers (SplitSFX/), the driver's candidate check,
// parcel's set reader (parcelio/SetReader), the writer (writer/) and the
// tools take the layout from here and nowhere else.
//
// A volume:  signature (9) | volume record (30) | piece header (34 + name + 2)
//            | piece data | piece header | piece data | ...
// All integers are little-endian. A self-joining file is a program, then one
// volume, then a 4-byte trailer holding the volume's position. Lengths are
// int64_t, as file positions are; offsets inside a record are size_t, as
// indexes into its bytes are.
#pragma once

#include <cstddef>
#include <cstdint>

namespace volformat {

// ------------------------------------------------------------------ signature
// The first 9 bytes of a volume: the magic, a format byte nobody examines,
// the version of the format.
constexpr int64_t kSignatureLength = 9;
constexpr size_t kSignatureMagic = 0;       // 6 bytes, compared in any letter case
constexpr size_t kSignatureFormatByte = 6;  // 1 byte, written as kFormatByte, never read
constexpr size_t kSignatureMajor = 7;       // 1 byte
constexpr size_t kSignatureMinor = 8;       // 1 byte

constexpr char kMagic[] = "PARCEL";
constexpr size_t kMagicLength = sizeof kMagic - 1;
constexpr uint8_t kFormatByte = 3;

// The versions a reader takes: major 2, minor 0 to 3. The writer writes the
// newest; version 2.0 is the oldest of the range.
constexpr uint8_t kMajorVersion = 2;
constexpr uint8_t kOldestMinorVersion = 0;
constexpr uint8_t kNewestMinorVersion = 3;

// ------------------------------------------------------------------ volume record
// The 30 bytes after the signature.
constexpr int64_t kVolumeRecordLength = 30;
constexpr size_t kRecordSetId = 0;         // 8 bytes: the identity shared by a set's volumes
constexpr size_t kRecordCheckMode = 8;     // 1 byte: kNoCrcCheck, or anything else
constexpr size_t kRecordVolumeNumber = 9;  // int32: 1 for the first volume
constexpr size_t kRecordIsLast = 13;       // 1 byte: nonzero on the set's last volume
constexpr size_t kRecordSpaceNeeded = 14;  // int64: free bytes the join wants for the volume
constexpr size_t kRecordSpare = 22;        // 8 bytes, written as zeros, never read

constexpr size_t kSetIdLength = 8;
// The check mode that says the pieces' CRCs are not to be compared.
constexpr uint8_t kNoCrcCheck = 4;

// The signature and the volume record together: where the first piece
// header begins, counted from the volume's start.
constexpr int64_t kVolumeHeadLength = kSignatureLength + kVolumeRecordLength;

// ------------------------------------------------------------------ piece header
// The 34 fixed bytes before each piece's data, then the stored name
// (NameLength bytes of ANSI text), then the 2-byte end marker, then the data.
constexpr int64_t kPieceHeaderFixedLength = 34;
constexpr size_t kHeaderTag = 0;          // 4 bytes, compared in any letter case
constexpr size_t kHeaderSpare = 4;        // 8 bytes, written as zeros, never read
constexpr size_t kHeaderFileOffset = 12;  // int64: where the piece lies in its file
constexpr size_t kHeaderDataSize = 20;    // int64: the data bytes that follow
constexpr size_t kHeaderCrc = 28;         // uint32: CRC-32 of the data
constexpr size_t kHeaderNameLength = 32;  // uint16

constexpr char kPieceTag[] = "FHDR";
constexpr size_t kPieceTagLength = sizeof kPieceTag - 1;
// Compared exactly, letter case included.
constexpr char kEndMarker[] = "DS";
constexpr int64_t kEndMarkerLength = sizeof kEndMarker - 1;
constexpr size_t kMaxNameLength = UINT16_MAX;

// The record of a feature of the splitter that the joiner does not use: a
// 3-byte tag and 22 bytes of fields, then text.
constexpr char kSmartCombineTag[] = "SCR";
constexpr size_t kSmartCombineTagLength = sizeof kSmartCombineTag - 1;
constexpr size_t kSmartCombineFieldsLength = 22;

// ------------------------------------------------------------------ self-joining files
// A self-joining file ends with 4 bytes: the position of its volume's
// signature (the program's size), as an unsigned 32-bit number. The
// volume's pieces end where the trailer begins.
constexpr int64_t kTrailerLength = 4;

// Where a candidate file's volume lies.
struct VolumePlace {
  int64_t start = 0;    // the position of the signature
  int64_t dataEnd = 0;  // where the pieces end: the file's end, or where the trailer begins
};

// The one rule for where a candidate's volume starts: a sound signature at
// byte 0 makes a plain volume, its pieces running to the end of the file;
// failing that, a file of at least 4 bytes is taken as a self-joining file,
// whose last 4 bytes give the position of the signature, and a sound
// signature there makes it a volume. signatureAt(position) reads the
// signature at that position and answers whether it is sound (each reader
// with its own checks, its own way of reading); readTrailer(position, bytes)
// reads the 4 trailer bytes there, false when they cannot be read. A file
// size below 0 (unknown) never reaches the trailer. On true, place says
// where the volume lies; on false it is left as it was.
template <typename SignatureAt, typename ReadTrailer>
bool LocateVolume(int64_t fileSize, SignatureAt&& signatureAt, ReadTrailer&& readTrailer,
                  VolumePlace& place);

// ------------------------------------------------------------------ the self-joining program's marker
// The mark that makes a program recognisable as our self-joining program: a
// section of its own in the executable (in the Windows and the Linux build
// alike) that begins with the marker text, its zero byte included, and then
// the major and the newest minor version of the format the program reads.
// parcel split looks for it before it makes a self-joining file, so that no
// other program (a text file, parcel itself) can be taken for one. The
// section itself is VolumeFormat/StubMarker.cpp, linked into the program only.
#define PARCEL_STUB_SECTION ".parcel"  // a literal, as the section attribute takes it
constexpr char kStubSectionName[] = PARCEL_STUB_SECTION;
static_assert(sizeof kStubSectionName - 1 <= 8, "a PE section name holds at most 8 characters");
constexpr char kStubMarkerText[] = "parcelstub self-joining program";
constexpr size_t kStubMarkerTextSize = sizeof kStubMarkerText;  // with the zero byte

// ------------------------------------------------------------------ reading and checking fields
// The little-endian integer of type T at p.
template <typename T>
T LoadLe(const uint8_t* p) {
  uint64_t value = 0;
  for (size_t i = sizeof(T); i-- > 0;) value = (value << 8) | p[i];
  return static_cast<T>(value);
}

// Stores value at p as a little-endian integer of sizeof(T) bytes.
template <typename T>
void StoreLe(uint8_t* p, T value) {
  uint64_t bits = static_cast<uint64_t>(value);
  for (size_t i = 0; i < sizeof(T); ++i, bits >>= 8) p[i] = static_cast<uint8_t>(bits & 0xFFu);
}

// What a signature's 9 bytes say.
enum class SignatureCheck { Sound, WrongMagic, WrongVersion };

// True when the 6 bytes at magic are kMagic in any letter case (ASCII
// letters only: no other byte of the ANSI code pages upper-cases to one).
bool MagicMatches(const uint8_t* magic);
// The checks every reader makes of a signature (9 bytes): the magic, then a
// version inside the range. The format byte is not examined.
SignatureCheck CheckSignature(const uint8_t* signature);
// True when the 4 bytes at tag are kPieceTag in any letter case.
bool PieceTagMatches(const uint8_t* tag);
// True when the 2 bytes at marker are kEndMarker exactly.
bool EndMarkerMatches(const uint8_t* marker);

// The fields of a volume record (the 30 bytes at record), decoded.
struct VolumeRecordFields {
  uint8_t setId[kSetIdLength] = {};
  uint8_t checkMode = 0;
  int32_t volumeNumber = 0;
  bool isLast = false;
  int64_t spaceNeeded = 0;
};
VolumeRecordFields DecodeVolumeRecord(const uint8_t* record);

// The numeric fields of a piece header's fixed part (the 34 bytes at fixed),
// decoded; the tag is checked with PieceTagMatches.
struct PieceHeaderFields {
  int64_t fileOffset = 0;
  int64_t dataSize = 0;
  uint32_t crc = 0;
  uint16_t nameLength = 0;
};
PieceHeaderFields DecodePieceHeader(const uint8_t* fixed);

// ------------------------------------------------------------------ the rule's code
template <typename SignatureAt, typename ReadTrailer>
bool LocateVolume(int64_t fileSize, SignatureAt&& signatureAt, ReadTrailer&& readTrailer,
                  VolumePlace& place) {
  if (signatureAt(int64_t{0})) {
    place = VolumePlace{0, fileSize};
    return true;
  }
  if (fileSize < kTrailerLength) return false;
  const int64_t trailerAt = fileSize - kTrailerLength;
  uint8_t trailer[kTrailerLength];
  if (!readTrailer(trailerAt, trailer)) return false;
  const int64_t start = LoadLe<uint32_t>(trailer);
  if (!signatureAt(start)) return false;
  place = VolumePlace{start, trailerAt};
  return true;
}

}  // namespace volformat
