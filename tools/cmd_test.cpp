// parcel test: reads every piece of a set and checks its CRC, writing
// nothing.
#include <string>

#include "parcelio/SetReader.h"
#include "tools/Commands.h"
#include "tools/RecoveryTool.h"
#include "tools/ToolSupport.h"

namespace parceltool {

int RunTest(const std::string& volume) {
  parcelio::SetInfo set;
  std::string error;
  if (!parcelio::ReadSet(parcelio::PathOf(volume), set, error)) {
    Fail("test", error);
    SayRepairVerdict(volume);
    return ExitFailed;
  }
  bool bad = ReportSetProblems(set, volume);

  int64_t total = 0;
  for (const parcelio::VolumeEntry& entry : set.volumes)
    for (const parcelio::PieceEntry& piece : entry.pieces) total += piece.size;
  ProgressLine progress("parcel: test", total);
  int64_t done = 0, failures = 0;
  for (const parcelio::VolumeEntry& entry : set.volumes) {
    parcelio::File file;
    if (!file.Open(entry.path, parcelio::File::Mode::Read)) {
      Fail(entry.name, parcelio::LastErrorText());
      bad = true;
      continue;
    }
    for (const parcelio::PieceEntry& piece : entry.pieces) {
      const parcelio::CopyResult copy = parcelio::CopyRange(
          file, piece.dataPos, nullptr, 0, piece.size, [&](int64_t n) { progress.Update(done + n); });
      done += piece.size;
      const parcelio::FileEntry& owner = set.files[piece.file];
      const std::string where = " at offset " + std::to_string(piece.offset) + " (volume " +
                                std::to_string(entry.number) + ")";
      if (!copy.ok) {
        progress.Finish();
        Fail(owner.name, "cannot read the piece" + where + ": " + copy.reason);
        ++failures;
      } else if (entry.checkMode != 4 && copy.crc != piece.crc) {
        progress.Finish();
        Fail(owner.name, "CRC error in the piece" + where);
        ++failures;
      }
    }
  }
  progress.Finish();
  if (failures > 0 || bad) {
    SayRepairVerdict(volume);
    return ExitFailed;
  }
  SayRecoveryFiles(volume);
  Say("ok: " + std::to_string(set.files.size()) + (set.files.size() == 1 ? " file, " : " files, ") +
      std::to_string(done) + " bytes in " + std::to_string(set.volumes.size()) +
      (set.volumes.size() == 1 ? " volume" : " volumes") + ", every piece sound");
  return ExitOk;
}

}  // namespace parceltool
