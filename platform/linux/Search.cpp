// Directory search (see Search.h).
#include "platform/linux/Search.h"

#include <dirent.h>
#include <sys/stat.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <string>

#include "platform/linux/Attributes.h"
#include "platform/linux/Errors.h"
#include "platform/linux/Handles.h"
#include "platform/linux/Paths.h"
#include "platform/linux/Text.h"

namespace emu {
namespace {

// What a search tells of an entry.
void FillFindData(const std::string& name, const struct stat& st, WIN32_FIND_DATAA& data) {
  std::memset(&data, 0, sizeof data);
  data.dwFileAttributes = AttributesOf(name, st);
  // Unix keeps no creation time; the last write stands in for it.
  data.ftCreationTime = ToFileTime(st.st_mtim);
  data.ftLastAccessTime = ToFileTime(st.st_atim);
  data.ftLastWriteTime = ToFileTime(st.st_mtim);
  if (!S_ISDIR(st.st_mode)) {
    uint64_t size = static_cast<uint64_t>(st.st_size);
    data.nFileSizeHigh = static_cast<DWORD>(size >> 32);
    data.nFileSizeLow = static_cast<DWORD>(size & 0xFFFFFFFFu);
  }
  std::string text = NameToCodePage(name);
  if (text.size() >= sizeof data.cFileName) text.resize(sizeof data.cFileName - 1);
  std::memcpy(data.cFileName, text.c_str(), text.size() + 1);
}

bool HasWildcards(const std::string& part) { return part.find_first_of("*?") != std::string::npos; }

// The order in which a search delivers entries: "." and ".." first, then
// by name regardless of case.
bool SearchOrder(const SearchEntry& a, const SearchEntry& b) {
  auto rank = [](const std::string& n) { return n == "." ? 0 : n == ".." ? 1 : 2; };
  int ra = rank(a.name);
  int rb = rank(b.name);
  if (ra != rb) return ra < rb;
  std::u32string x = DecodeUtf8(a.name);
  std::u32string y = DecodeUtf8(b.name);
  for (auto& c : x) c = UpperChar(c);
  for (auto& c : y) c = UpperChar(c);
  if (x != y) return x < y;
  return a.name < b.name;
}

// Delivers the next entry of a search that still exists.
bool NextEntry(SearchObject& search, WIN32_FIND_DATAA& data) {
  while (search.next < search.entries.size()) {
    const SearchEntry& entry = search.entries[search.next++];
    struct stat st {};
    if (stat(entry.unixPath.c_str(), &st) == 0 || lstat(entry.unixPath.c_str(), &st) == 0) {
      FillFindData(entry.name, st, data);
      return true;
    }
  }
  return false;
}


}  // namespace
}  // namespace emu

HANDLE FindFirstFileA(LPCSTR lpFileName, LPWIN32_FIND_DATAA lpFindFileData) {
  if (lpFindFileData == nullptr) return emu::Fail(ERROR_INVALID_PARAMETER, INVALID_HANDLE_VALUE);
  emu::Win32Name name;
  if (DWORD error = emu::ParseName(lpFileName, name)) return emu::Fail(error, INVALID_HANDLE_VALUE);
  // A path that ends in a backslash, a drive root among them, names no entry.
  if (name.parts.empty() || name.trailingSeparator) {
    return emu::Fail(ERROR_FILE_NOT_FOUND, INVALID_HANDLE_VALUE);
  }
  for (size_t i = 0; i + 1 < name.parts.size(); ++i) {
    if (emu::HasInvalidNameChars(name.parts[i], false)) {
      return emu::Fail(ERROR_INVALID_NAME, INVALID_HANDLE_VALUE);
    }
  }
  const std::string pattern = name.parts.back();
  if (emu::HasInvalidNameChars(pattern, true)) {
    return emu::Fail(ERROR_INVALID_NAME, INVALID_HANDLE_VALUE);
  }

  emu::Win32Name dirName = name;
  dirName.parts.pop_back();
  emu::Resolved dir;
  emu::Resolve(dirName, dir);
  if (!dir.exists || !S_ISDIR(dir.st.st_mode)) {
    return emu::Fail(ERROR_PATH_NOT_FOUND, INVALID_HANDLE_VALUE);
  }

  auto object = std::make_unique<emu::Object>();
  object->kind = emu::Object::Kind::Search;
  std::vector<emu::SearchEntry>& entries = object->search.entries;
  if (!emu::HasWildcards(pattern)) {
    emu::Resolved exact;
    emu::Resolve(name, exact);
    if (exact.exists) {
      entries.push_back({exact.unixPath.substr(exact.unixPath.rfind('/') + 1), exact.unixPath});
    }
  } else {
    // Every directory but the root holds "." and "..".
    if (!dirName.parts.empty()) {
      for (const char* special : {".", ".."}) {
        if (emu::MatchesPattern(special, pattern)) {
          entries.push_back({special, emu::JoinUnix(dir.unixPath, special)});
        }
      }
    }
    if (DIR* d = opendir(dir.unixPath.c_str())) {
      while (dirent* e = readdir(d)) {
        std::string entry = e->d_name;
        if (entry == "." || entry == "..") continue;
        if (emu::MatchesPattern(entry, pattern)) {
          entries.push_back({entry, emu::JoinUnix(dir.unixPath, entry)});
        }
      }
      closedir(d);
    } else {
      return emu::Fail(emu::ErrorFromErrno(errno), INVALID_HANDLE_VALUE);
    }
    std::sort(entries.begin(), entries.end(), emu::SearchOrder);
  }
  if (!emu::NextEntry(object->search, *lpFindFileData)) {
    return emu::Fail(ERROR_FILE_NOT_FOUND, INVALID_HANDLE_VALUE);
  }
  return emu::AddObject(std::move(object));
}

BOOL FindNextFileA(HANDLE hFindFile, LPWIN32_FIND_DATAA lpFindFileData) {
  emu::Object* object = emu::FindObject(hFindFile, emu::Object::Kind::Search);
  if (object == nullptr) return emu::Fail(ERROR_INVALID_HANDLE, FALSE);
  if (lpFindFileData == nullptr) return emu::Fail(ERROR_INVALID_PARAMETER, FALSE);
  if (!emu::NextEntry(object->search, *lpFindFileData)) {
    return emu::Fail(ERROR_NO_MORE_FILES, FALSE);
  }
  return TRUE;
}

BOOL FindClose(HANDLE hFindFile) {
  if (emu::TakeObject(hFindFile, emu::Object::Kind::Search) == nullptr) {
    return emu::Fail(ERROR_INVALID_HANDLE, FALSE);
  }
  return TRUE;
}
