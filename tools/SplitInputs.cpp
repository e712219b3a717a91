// parcel split's inputs: walking the paths given and checking every name
// before anything is written (see SplitInputs.h).
#include "tools/SplitInputs.h"

#include <algorithm>
#include <utility>

#include "parcelio/Names.h"
#include "tools/ToolSupport.h"

namespace parceltool {

using parcelio::fs::path;
namespace fs = parcelio::fs;

void Collector::Refuse(const std::string& shown, const std::string& reason) {
  Fail(shown, reason);
  ++refused;
}

void Collector::AddFile(const path& source, const std::vector<std::string>& parts) {
  const std::string shown = parcelio::Utf8Of(source);
  std::string stored;
  std::vector<std::string> ansiParts;
  for (const std::string& part : parts) {
    std::string ansi, bad;
    if (!parcelio::ToCp1252(part, ansi, bad)) {
      return Refuse(shown, "the name cannot be stored: code page 1252 has no " + bad);
    }
    if (part.find('\\') != std::string::npos) {
      return Refuse(shown, "the character '\\' is not allowed in a name on Windows");
    }
    const std::string problem = parcelio::NamePartProblem(ansi);
    if (!problem.empty()) return Refuse(shown, problem);
    ansiParts.push_back(ansi);
    stored += (stored.empty() ? "" : "\\") + ansi;
  }
  const std::string problem = parcelio::StoredNameProblem(stored);
  if (!problem.empty()) return Refuse(shown, problem);

  // Windows sees one file where the names differ only in letter case, and
  // cannot have a file and a directory of one name.
  const std::string key = parcelio::FoldCp1252(stored);
  const uint32_t index = static_cast<uint32_t>(inputs.size());
  if (auto it = fileKeys.find(key); it != fileKeys.end())
    return Refuse(shown, "has the same stored name as " + inputs[it->second].source + " when letter case is ignored");
  if (auto it = dirKeys.find(key); it != dirKeys.end())
    return Refuse(shown, "has the stored name of a directory of " + inputs[it->second].source);
  std::string prefix;
  for (size_t i = 0; i + 1 < ansiParts.size(); ++i) {
    prefix += (prefix.empty() ? "" : "\\") + parcelio::FoldCp1252(ansiParts[i]);
    if (auto it = fileKeys.find(prefix); it != fileKeys.end())
      return Refuse(shown, "needs a directory of the stored name of " + inputs[it->second].source);
  }
  prefix.clear();
  for (size_t i = 0; i + 1 < ansiParts.size(); ++i) {
    prefix += (prefix.empty() ? "" : "\\") + parcelio::FoldCp1252(ansiParts[i]);
    dirKeys.emplace(prefix, index);
  }

  FileState state;
  std::error_code ec;
  if (!StateOf(source, state, ec)) return Refuse(shown, parcelio::ErrorText(ec));
  fileKeys.emplace(key, index);
  places.Add(source, shown);
  inputs.push_back(Input{shown, stored, state.size, state});
}

bool Collector::AddTree(const path& dir, std::vector<std::string>& parts) {
  std::vector<fs::directory_entry> entries;
  std::error_code ec;
  for (fs::directory_iterator it(dir, ec), end; !ec && it != end; it.increment(ec)) entries.push_back(*it);
  if (ec) {
    Refuse(parcelio::Utf8Of(dir), parcelio::ErrorText(ec));
    return true;
  }
  // Files first, then subdirectories, each in name order: every level then
  // gets its first file before anything deeper, which suits joiners that
  // create one directory level at a time.
  std::vector<std::pair<bool, fs::directory_entry>> sorted;
  for (const fs::directory_entry& entry : entries) {
    std::error_code typeError;
    sorted.emplace_back(fs::is_directory(fs::status(entry.path(), typeError)), entry);
  }
  std::sort(sorted.begin(), sorted.end(), [](const auto& a, const auto& b) {
    return a.first != b.first ? b.first : a.second.path() < b.second.path();
  });
  for (size_t i = 0; i < sorted.size(); ++i) entries[i] = sorted[i].second;
  bool any = false;
  for (const fs::directory_entry& entry : entries) {
    const std::string shown = parcelio::Utf8Of(entry.path());
    std::error_code typeError;
    const bool link = entry.is_symlink(typeError);
    const fs::file_status status = fs::status(entry.path(), typeError);
    parts.push_back(parcelio::Utf8Of(entry.path().filename()));
    if (fs::is_directory(status)) {
      if (link) {
        Warn(shown, "linked directory skipped");
      } else if (AddTree(entry.path(), parts)) {
        any = true;
      } else {
        Warn(shown, "empty directory cannot be stored; skipped");
      }
    } else if (fs::is_regular_file(status)) {
      AddFile(entry.path(), parts);
      any = true;
    } else if (!fs::exists(status)) {
      Warn(shown, link ? "broken link skipped" : "vanished; skipped");
    } else {
      Warn(shown, "not a regular file; skipped");
    }
    parts.pop_back();
  }
  return any;
}

std::string OwnName(const path& source) {
  std::error_code ec;
  path full = fs::absolute(source, ec).lexically_normal();
  if (!full.has_filename()) full = full.parent_path();
  return parcelio::Utf8Of(full.filename());
}

void CollectInputs(const SplitArgs& args, Collector& collector) {
  for (const std::string& given : args.paths) {
    const path source = parcelio::PathOf(given);
    std::error_code ec;
    const fs::file_status status = fs::status(source, ec);
    if (!fs::exists(status)) {
      collector.Refuse(given, ec ? parcelio::ErrorText(ec) : "No such file or directory");
      continue;
    }
    const std::string name = OwnName(source);
    std::vector<std::string> parts;
    if (!name.empty()) parts.push_back(name);
    if (fs::is_directory(status)) {
      collector.places.Add(source, given);
      if (fs::is_symlink(fs::symlink_status(source, ec))) {
        Warn(given, "linked directory skipped");
      } else if (!collector.AddTree(source, parts)) {
        Warn(given, "empty directory cannot be stored; skipped");
      }
    } else if (fs::is_regular_file(status)) {
      collector.AddFile(source, parts);
    } else {
      collector.Refuse(given, "not a regular file or directory");
    }
  }
}

}  // namespace parceltool
