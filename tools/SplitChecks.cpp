// parcel split's checks before and while it reads: see SplitChecks.h.
#include "tools/SplitChecks.h"

#include "NameRules/NameRules.h"
#include "parcelio/Names.h"
#include "tools/StubProgram.h"
#include "tools/ToolSupport.h"

namespace parceltool {

namespace fs = parcelio::fs;

int CheckPortableNames(const std::vector<NamedInput>& inputs, bool withStub, bool allowed) {
  const bool refuse = withStub && !allowed;
  size_t count = 0;
  {
    ProblemList problems(refuse ? ProblemList::Kind::Error : ProblemList::Kind::Warning);
    for (const NamedInput& input : inputs) {
      const std::string problem = parcelio::UnportableNameProblem(*input.stored);
      if (problem.empty()) continue;
      problems.Add(*input.source, problem);
      ++count;
    }
  }
  if (count == 0) return ExitOk;
  const std::string files = std::to_string(count) + (count == 1 ? " file" : " files");
  if (refuse) {
    return Fail("split", "the self-joining program could not rebuild " + files +
                             "; nothing was written. Rename them (names in code page 850, stored paths of at most " +
                             std::to_string(namerules::kMaxPortablePath) +
                             " characters), or leave out --stub for receivers who join with parcel, or give "
                             "--allow-unportable-names to make the set anyway");
  }
  // The self-joining program ends its run at the first file it cannot
  // open, so what follows that file in the set is lost to it as well.
  Warn("split", withStub ? "making the set anyway (--allow-unportable-names): the self-joining program stops at "
                           "the first of these " + files + " and rebuilds nothing after it; parcel join rebuilds "
                           "them all"
                         : "the self-joining program could not rebuild " + files +
                               " (it would stop at the first); parcel join rebuilds them");
  return ExitOk;
}

std::string InputPlaces::Key(const fs::path& path) const {
  std::error_code ec;
  const fs::path absolute = fs::absolute(path, ec).lexically_normal();
  fs::path parent = absolute.has_filename() ? absolute.parent_path() : absolute.parent_path().parent_path();
  const fs::path name = absolute.has_filename() ? absolute.filename() : absolute.parent_path().filename();
  const std::string given = parcelio::Utf8Of(parent);
  auto it = parents_.find(given);
  if (it == parents_.end()) {
    const fs::path real = fs::weakly_canonical(parent, ec);
    it = parents_.emplace(given, parcelio::Utf8Of(ec ? parent : real)).first;
  }
  std::string key = it->second + "/" + parcelio::Utf8Of(name);
  if (parcelio::NamesIgnoreCase()) {
    // Letter case as the system compares names: the 1252 fold, where the
    // name has a 1252 form.
    std::string ansi, bad;
    if (parcelio::ToCp1252(key, ansi, bad)) key = parcelio::FoldCp1252(ansi);
  }
  return key;
}

void InputPlaces::Add(const fs::path& path, const std::string& shown) { inputs_.emplace(Key(path), shown); }

std::string InputPlaces::InputAt(const fs::path& output) const {
  const auto it = inputs_.find(Key(output));
  return it == inputs_.end() ? std::string() : it->second;
}

Existing WhatIsAt(const fs::path& path) {
  std::error_code ec;
  const fs::file_status status = fs::symlink_status(path, ec);
  if (fs::is_directory(status)) return Existing::Directory;
  if (!fs::is_regular_file(status)) return Existing::OtherFile;
  parcelio::File file;
  if (!file.Open(path, parcelio::File::Mode::Read)) return Existing::OtherFile;
  return CarriesVolume(file) ? Existing::Volume : Existing::OtherFile;
}

bool StateOf(const fs::path& path, FileState& state, std::error_code& ec) {
  const uintmax_t size = fs::file_size(path, ec);
  if (ec) return false;
  state.time = fs::last_write_time(path, ec);
  if (ec) return false;
  state.size = static_cast<int64_t>(size);
  return true;
}

}  // namespace parceltool
