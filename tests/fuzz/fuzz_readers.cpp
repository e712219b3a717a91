// Fuzz target: the volume readers over arbitrary bytes.
//
// Each input is written to a file and read the way the driver reads a
// candidate: the signature at byte 0, otherwise at the position the last 4
// bytes give; then the volume record and every file header, the data of each
// piece read in chunks in between, until a header does not read. Every answer
// is compared with the reference reading of the same bytes (VolumeModel),
// so a reader that accepts a bad record, refuses a good one, mis-reads a
// field or loses its place is found, as well as any sanitizer report.
#include <fcntl.h>
#include <unistd.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>

#include "CRC32/CRC32.h"
#include "MiscSFX/MiscSFX.h"
#include "SplitSFX/Constants.h"
#include "SplitSFX/SplitSFX.h"
#include "platform/RunTime.h"
#include "platform/Win32.h"
#include "tests/fuzz/VolumeModel.h"

namespace {

std::string g_dir;       // Unix directory holding the input file
std::string g_file;      // the input file, Unix path
std::string g_win32;     // the same as the readers' caller names it

[[noreturn]] void Fail(const char* what, long long expected, long long got) {
  std::fprintf(stderr, "fuzz_readers: %s: expected %lld, got %lld\n", what, expected, got);
  std::abort();
}

void Expect(const char* what, long long expected, long long got) {
  if (expected != got) Fail(what, expected, got);
}

int64_t Position(HANDLE h) {
  LONG high = 0;
  DWORD low = SetFilePointer(h, 0, &high, FILE_CURRENT);
  return static_cast<int64_t>((static_cast<uint64_t>(static_cast<uint32_t>(high)) << 32) | low);
}

void MoveTo(HANDLE h, int64_t at, DWORD method) {
  LONG high = static_cast<LONG>(static_cast<uint64_t>(at) >> 32);
  SetFilePointer(h, static_cast<LONG>(static_cast<uint32_t>(at)), &high, method);
}

void CleanUp() {
  unlink(g_file.c_str());
  rmdir(g_dir.c_str());
}

}  // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***) {
  PlatformStartup();
  MiscSFXStartup();
  ConstantsStartup();
  SplitSFXStartup();
  CRC32Startup();
  char pattern[] = "/tmp/parcelreaders-XXXXXX";
  if (mkdtemp(pattern) == nullptr) {
    std::perror("mkdtemp");
    std::abort();
  }
  g_dir = pattern;
  g_file = g_dir + "/volume.s01";
  g_win32 = "Z:" + g_file;
  for (char& c : g_win32) {
    if (c == '/') c = '\\';
  }
  std::atexit(CleanUp);
  return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  using namespace fuzzmodel;
  const Bytes file(data, data + size);
  {
    int fd = open(g_file.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
    if (fd < 0 || write(fd, data, size) != static_cast<ssize_t>(size)) std::abort();
    close(fd);
  }

  HANDLE h = CreateFileA(g_win32.c_str(), GENERIC_READ, FILE_SHARE_READ, nullptr, OPEN_EXISTING,
                         FILE_FLAG_SEQUENTIAL_SCAN, nullptr);
  if (h == INVALID_HANDLE_VALUE) Fail("open the input", 0, static_cast<long long>(GetLastError()));

  // The signature: at byte 0, else through the trailer.
  TVolumeSignature signature;
  int32_t rc = ReadSignature(h, signature);
  Expect("signature at byte 0", ExpectSignature(file, 0), rc);
  uint64_t start = 0;
  if (rc != rcOk) {
    if (size < 4) {
      CloseHandle(h);
      return 0;  // no trailer to read: not a volume
    }
    MoveTo(h, -4, FILE_END);
    uint32_t trailer = 0;
    Expect("trailer bytes read", 4, ReadBlock(h, &trailer, 4));
    Expect("trailer value", Le32(file, size - 4), trailer);
    start = trailer;
    MoveTo(h, static_cast<int64_t>(start), FILE_BEGIN);
    rc = ReadSignature(h, signature);
    Expect("signature through the trailer", ExpectSignature(file, start), rc);
    if (rc != rcOk) {
      CloseHandle(h);
      return 0;
    }
  }
  Expect("position after the signature", static_cast<long long>(start + kSignatureLength),
         Position(h));

  TVolumeRecord record;
  rc = ReadVolumeRecord(h, record);
  const size_t recordAt = static_cast<size_t>(start) + kSignatureLength;
  const bool recordThere = size - recordAt >= kRecordLength;
  Expect("volume record", recordThere ? kOk : kReadError, rc);
  if (rc != rcOk) {
    CloseHandle(h);
    return 0;
  }
  Expect("volume record bytes", 0, std::memcmp(&record, &file[recordAt], kRecordLength));

  // The pieces, with their data read in chunks as the copy loop does.
  static uint8_t buffer[16384];
  size_t at = recordAt + kRecordLength;
  for (int pieces = 0; pieces < 100000; ++pieces) {
    TFileHeader header;
    rc = ReadFileHeader(h, header);
    const Header expected = ExpectFileHeader(file, at);
    Expect("file header result", expected.rc, rc);
    if (rc != rcOk) break;
    Expect("file offset", expected.fileOffset, header.FileOffset);
    Expect("data size", expected.dataSize, header.DataSize);
    Expect("crc", expected.crc, header.Crc);
    Expect("name length", expected.nameLength, header.NameLength);
    Expect("name length read", expected.nameLength, static_cast<long long>(header.FileName.size()));
    Expect("name bytes", 0, header.FileName.compare(expected.name));
    Expect("position after the header", static_cast<long long>(expected.dataAt), Position(h));

    int64_t copied = 0;
    while (copied < header.DataSize) {
      const int32_t chunk = header.DataSize - copied > 16384
                                ? 16384
                                : static_cast<int32_t>(header.DataSize - copied);
      const int32_t got = ReadBlock(h, buffer, chunk);
      if (got <= 0) break;
      copied += got;
    }
    at = static_cast<size_t>(Position(h));
    const size_t left = size - expected.dataAt;
    const size_t wanted = header.DataSize > 0 ? static_cast<size_t>(header.DataSize) : 0;
    Expect("position after the data", static_cast<long long>(expected.dataAt + std::min(left, wanted)),
           static_cast<long long>(at));
  }
  CloseHandle(h);
  return 0;
}
