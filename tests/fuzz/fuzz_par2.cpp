// Fuzz target: one hostile recovery file beside a set's files.
//
// The input is a recovery file (packets at any offset, any of them damaged
// or lying). It is read from memory and assembled into a set; when that
// gives a set of modest size, the input is also written as x.par2 into a
// fresh folder beside the data file x.s01 (fixed bytes), and the folder is
// checked and repaired as `parcel repair` does. Besides sanitizer reports,
// a finding is: a rebuilt file that does not match what its slice checksums
// promise, or anything written outside the folder.
#include <unistd.h>

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <string>
#include <vector>

#include "parcelio/recovery/Par2Format.h"
#include "parcelio/recovery/Par2Repair.h"

namespace {

namespace fs = std::filesystem;
using namespace parcelio::recovery;

fs::path g_root;  // holds only the work folder

std::vector<uint8_t> DataFile() {
  std::vector<uint8_t> data(1000);
  for (size_t i = 0; i < data.size(); ++i) data[i] = static_cast<uint8_t>(i * 7 + 3);
  return data;
}

void WriteFile(const fs::path& path, const uint8_t* data, size_t size) {
  std::ofstream out(path, std::ios::binary);
  out.write(reinterpret_cast<const char*>(data), static_cast<std::streamsize>(size));
}

}  // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***) {
  char pattern[] = "/tmp/fuzz_par2.XXXXXX";
  const char* made = mkdtemp(pattern);
  if (made == nullptr) std::abort();
  g_root = made;
  return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  Found found;
  ScanPackets(
      [&](uint64_t pos, uint8_t* buffer, uint64_t count) -> int64_t {
        if (pos >= size) return 0;
        const uint64_t n = std::min<uint64_t>(count, size - pos);
        std::memcpy(buffer, data + pos, static_cast<size_t>(n));
        return static_cast<int64_t>(n);
      },
      size, 0, found);
  RecoverySet set;
  std::string error;
  if (!AssembleSet(found, set, error)) return 0;
  // Only sets that a run can afford: little data to rebuild.
  uint64_t bytes = 0;
  for (const ProtectedFile& file : set.files) bytes += file.desc.length;
  if (set.sliceSize > (1u << 16) || bytes > (1u << 20) || set.files.size() > 16) return 0;

  const fs::path dir = g_root / "set";
  std::error_code ec;
  fs::remove_all(dir, ec);
  fs::create_directories(dir);
  WriteFile(dir / "x.par2", data, size);
  const std::vector<uint8_t> volume = DataFile();
  WriteFile(dir / "x.s01", volume.data(), volume.size());

  if (LoadRecoverySet(dir, "x", set, error)) {
    SetCheck check;
    CheckFiles(set, check);
    RepairResult result;
    if (RepairFiles(set, check, result, error, 1u << 16)) {
      // Every file is now what its slice checksums say.
      SetCheck after;
      CheckFiles(set, after);
      for (size_t f = 0; f < set.files.size(); ++f) {
        if (after.files[f].condition != FileCondition::Complete) {
          std::fprintf(stderr, "finding: %s is not whole after a repair that succeeded\n",
                       set.files[f].desc.name.c_str());
          std::abort();
        }
      }
    }
  }
  // Nothing beside the work folder.
  for (const fs::directory_entry& entry : fs::directory_iterator(g_root)) {
    if (entry.path().filename() != "set") {
      std::fprintf(stderr, "finding: %s written outside the folder\n", entry.path().c_str());
      std::abort();
    }
  }
  fs::remove_all(dir, ec);
  return 0;
}
