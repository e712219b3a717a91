// parcel list: the files of a set, from the records of its volumes alone.
#include <algorithm>
#include <cstdio>
#include <string>

#include "parcelio/SetReader.h"
#include "tools/Commands.h"
#include "tools/RecoveryTool.h"
#include "tools/ToolSupport.h"

namespace parceltool {

namespace {

std::string Row(const std::string& size, const std::string& pieces, const std::string& volumes,
                const std::string& name) {
  char text[64];
  std::snprintf(text, sizeof text, "%15s %7s %-11s ", size.c_str(), pieces.c_str(), volumes.c_str());
  return text + name;
}

}  // namespace

int CmdList(const std::string& volume) {
  parcelio::SetInfo set;
  std::string error;
  if (!parcelio::ReadSet(parcelio::PathOf(volume), set, error)) return Fail("list", error);

  // The table goes to standard output even with -q: it is what was asked for.
  std::string table = Row("SIZE", "PIECES", "VOLUMES", "NAME") + "\n";
  for (const parcelio::FileEntry& file : set.files) {
    table += Row(std::to_string(file.size), std::to_string(file.pieces), parcelio::NumbersText(file.volumes),
                 file.name) + "\n";
  }
  // A total beyond 64 bits is a fault of the set, said below; "?" stands for it.
  table += Row(set.totalSize >= 0 ? std::to_string(set.totalSize) : "?", std::to_string(set.totalPieces),
               std::to_string(set.volumes.size()) + (set.volumes.size() == 1 ? " volume" : " volumes"),
               std::to_string(set.files.size()) + (set.files.size() == 1 ? " file" : " files")) + "\n";
  if (!set.missing.empty()) table += "missing volumes: " + parcelio::RangesText(set.missing) + "\n";
  if (set.lastNumber == 0) table += "the last volume was not found\n";
  parcelio::WriteOut(table);
  SayRecoveryFiles(volume);
  return ReportSetProblems(set, volume) ? ExitFailed : ExitOk;
}

}  // namespace parceltool
