// Stored names for the parcel tool: the shared name rules (NameRules/)
// applied to what a split stores and what a join rebuilds.
#include "parcelio/Names.h"

#include "NameRules/NameRules.h"

namespace parcelio {

bool ToCp1252(const std::string& utf8, std::string& ansi, std::string& bad) {
  return namerules::Utf8ToCp1252(utf8, ansi, bad);
}

std::string FromCp1252(const std::string& ansi) { return namerules::Cp1252ToUtf8(ansi); }

std::string FoldCp1252(const std::string& ansi) { return namerules::FoldCp1252(ansi); }

std::string NamePartProblem(const std::string& part) { return namerules::NamePartProblem(part); }

std::string StoredNameProblem(const std::string& stored) {
  if (stored.size() > 65535) return "the name is longer than 65535 bytes";
  size_t start = 0;
  for (;;) {
    const size_t end = stored.find('\\', start);
    const std::string problem =
        NamePartProblem(stored.substr(start, end == std::string::npos ? end : end - start));
    if (!problem.empty()) return problem;
    if (end == std::string::npos) break;
    start = end + 1;
  }
  // Whatever the self-joining program refuses is refused here too; it
  // judges the name in its OEM form.
  if (!namerules::IsSafeStoredName(namerules::Cp1252ToCp850(stored))) return "the name would be refused by the joiner";
  return std::string();
}

bool OemCanHold(const std::string& ansi) { return namerules::Cp850CanHold(ansi); }

std::string UnportableNameProblem(const std::string& stored) {
  const std::string lacking = namerules::FirstCharNotIn850(stored);
  if (!lacking.empty())
    return "the self-joining program cannot rebuild this name: its code page (850) has no '" + lacking + "'";
  if (stored.size() > namerules::kMaxPortablePath)
    return "the stored name is " + std::to_string(stored.size()) + " characters long; the self-joining program " +
           "rebuilds names of at most " + std::to_string(namerules::kMaxPortablePath) +
           " (Windows' 260 less room for the destination)";
  return std::string();
}

bool ResolveStoredName(const std::string& stored, OutputName& out, std::string& why) {
  out = OutputName();
  if (!namerules::IsSafeStoredName(namerules::Cp1252ToCp850(stored))) {
    why = "unsafe stored name (it leaves the destination, or names a device)";
    return false;
  }
  size_t start = 0;
  for (;;) {
    const size_t end = stored.find_first_of("\\/", start);
    std::string part = stored.substr(start, end == std::string::npos ? end : end - start);
    while (!part.empty() && (part.back() == '.' || part.back() == ' ')) part.pop_back();
    if (!part.empty()) {
      const std::string problem = NamePartProblem(part);
      if (!problem.empty()) {
        why = "unusable stored name: " + problem;
        return false;
      }
      out.parts.push_back(FromCp1252(part));
      if (!out.key.empty()) out.key += '\\';
      out.key += FoldCp1252(part);
    }
    if (end == std::string::npos) break;
    start = end + 1;
  }
  if (out.parts.empty()) {
    why = "empty stored name";
    return false;
  }
  return true;
}

}  // namespace parcelio
