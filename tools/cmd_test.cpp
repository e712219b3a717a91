// parcel test: reads every piece of a set and checks its CRC, writing
// nothing.
#include <string>

#include "VolumeFormat/VolumeFormat.h"
#include "parcelio/PieceCopy.h"
#include "parcelio/SetReader.h"
#include "tools/Commands.h"
#include "tools/RecoveryTool.h"
#include "tools/ToolSupport.h"

namespace parceltool {

int CmdTest(const std::string& volume) {
  parcelio::SetInfo set;
  std::string error;
  if (!parcelio::ReadSet(parcelio::PathOf(volume), set, error)) {
    Fail("test", error);
    SayRepairVerdict(volume);
    return ExitFailed;
  }
  bool bad = ReportSetProblems(set, volume);
  if (!bad && !set.crcsRecorded) Warn(volume, NoCrcsText);

  ProgressLine progress("parcel: test", set.dataBytes);
  ProblemList failures;
  int64_t done = 0;
  for (const parcelio::VolumeEntry& entry : set.volumes) {
    parcelio::File file;
    if (!file.Open(entry.path, parcelio::File::Mode::Read)) {
      failures.Add(entry.name, parcelio::LastErrorText());
      continue;
    }
    if (!file.IsRegular()) {
      failures.Add(entry.name, "not a regular file");
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
        failures.Add(owner.name, "cannot read the piece" + where + ": " + copy.reason);
      } else if (entry.checkMode != volformat::kNoCrcCheck && copy.crc != piece.crc) {
        progress.Finish();
        failures.Add(owner.name, "CRC error in the piece" + where);
      }
    }
  }
  progress.Finish();
  failures.Close();
  if (!failures.Empty() || bad) {
    SayRepairVerdict(volume);
    return ExitFailed;
  }
  SayRecoveryFiles(volume);
  Say("ok: " + std::to_string(set.files.size()) + (set.files.size() == 1 ? " file, " : " files, ") +
      std::to_string(done) + " bytes in " + std::to_string(set.volumes.size()) +
      (set.volumes.size() == 1 ? " volume" : " volumes") +
      (set.crcsRecorded ? ", every file whole and every piece sound" : ", every file whole; contents not checked"));
  return ExitOk;
}

}  // namespace parceltool
