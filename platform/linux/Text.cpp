// Code pages and text: the ANSI code page 1252, the OEM code page 850, the
// switch of the file calls between them, UTF-8 for names on disk, and the
// case rules of the ANSI code page.
#include "platform/linux/Text.h"

#include <locale.h>

#include <array>
#include <atomic>
#include <clocale>
#include <cstring>
#include <cwctype>

#include "NameRules/NameRules.h"
#include "platform/linux/Errors.h"

namespace emu {
namespace {

// The code pages themselves, and the best fits between them, are the shared
// name rules'.
char32_t ByteToUnicode(unsigned char b, unsigned codePage) {
  return codePage == kOemCodePage ? namerules::CharOf850(b) : namerules::CharOf1252(b);
}

// The byte for a character, or -1.
int UnicodeToByte(char32_t c, unsigned codePage) {
  return codePage == kOemCodePage ? namerules::ByteOf850(c) : namerules::ByteOf1252(c);
}

// Per-byte tables of code page 1252, built once from the Unicode case rules:
// a byte changes case only when the other case exists in the code page.
struct AnsiTables {
  std::array<unsigned char, 256> upper{};
  std::array<unsigned char, 256> lower{};
  std::array<bool, 256> alpha{};
  std::array<bool, 256> isUpper{};
  std::array<unsigned char, 256> toOem{};
  std::array<unsigned char, 256> toAnsi{};

  AnsiTables() {
    for (int b = 0; b < 256; ++b) {
      char32_t u = ByteToUnicode(static_cast<unsigned char>(b), kAnsiCodePage);
      int up = UnicodeToByte(UpperChar(u), kAnsiCodePage);
      int low = UnicodeToByte(LowerChar(u), kAnsiCodePage);
      upper[b] = static_cast<unsigned char>(up >= 0 ? up : b);
      lower[b] = static_cast<unsigned char>(low >= 0 ? low : b);
      alpha[b] = IsLetter(u);
      isUpper[b] = alpha[b] && LowerChar(u) != u;

      toOem[b] = namerules::AnsiToOemByte(static_cast<unsigned char>(b));
      toAnsi[b] = namerules::OemToAnsiByte(static_cast<unsigned char>(b));
    }
  }
};

const AnsiTables& Tables() {
  static const AnsiTables tables;
  return tables;
}

// The Unicode case rules come from the C library's UTF-8 locale, which is
// built into the library and needs nothing installed.
locale_t UnicodeLocale() {
  static locale_t loc = [] {
    locale_t l = newlocale(LC_CTYPE_MASK, "C.UTF-8", static_cast<locale_t>(nullptr));
    return l;
  }();
  return loc;
}

std::atomic<bool> g_fileApisAnsi{true};

}  // namespace

char32_t UpperChar(char32_t c) {
  if (c < 0x80) return (c >= 'a' && c <= 'z') ? c - 0x20 : c;
  locale_t loc = UnicodeLocale();
  if (loc == static_cast<locale_t>(nullptr)) {
    // Without the locale: Latin-1 only.
    if ((c >= 0xE0 && c <= 0xFE && c != 0xF7)) return c - 0x20;
    if (c == 0xFF) return 0x178;
    return c;
  }
  return static_cast<char32_t>(towupper_l(static_cast<wint_t>(c), loc));
}

char32_t LowerChar(char32_t c) {
  if (c < 0x80) return (c >= 'A' && c <= 'Z') ? c + 0x20 : c;
  locale_t loc = UnicodeLocale();
  if (loc == static_cast<locale_t>(nullptr)) {
    if ((c >= 0xC0 && c <= 0xDE && c != 0xD7)) return c + 0x20;
    if (c == 0x178) return 0xFF;
    return c;
  }
  return static_cast<char32_t>(towlower_l(static_cast<wint_t>(c), loc));
}

bool IsLetter(char32_t c) {
  if (c < 0x80) return (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z');
  locale_t loc = UnicodeLocale();
  if (loc == static_cast<locale_t>(nullptr)) return c >= 0xC0 && c != 0xD7 && c != 0xF7;
  return iswalpha_l(static_cast<wint_t>(c), loc) != 0;
}

std::u32string DecodeUtf8(const std::string& text) {
  std::u32string out;
  out.reserve(text.size());
  const auto* p = reinterpret_cast<const unsigned char*>(text.data());
  size_t n = text.size();
  size_t i = 0;
  while (i < n) {
    unsigned char b = p[i];
    if (b < 0x80) {
      out += b;
      ++i;
      continue;
    }
    size_t len = 0;
    char32_t c = 0;
    char32_t min = 0;
    if ((b & 0xE0) == 0xC0) {
      len = 2, c = b & 0x1F, min = 0x80;
    } else if ((b & 0xF0) == 0xE0) {
      len = 3, c = b & 0x0F, min = 0x800;
    } else if ((b & 0xF8) == 0xF0) {
      len = 4, c = b & 0x07, min = 0x10000;
    }
    bool ok = len != 0 && i + len <= n;
    for (size_t k = 1; ok && k < len; ++k) {
      if ((p[i + k] & 0xC0) != 0x80) {
        ok = false;
      } else {
        c = (c << 6) | (p[i + k] & 0x3F);
      }
    }
    if (ok && (c < min || c > 0x10FFFF || (c >= 0xD800 && c <= 0xDFFF))) ok = false;
    if (ok) {
      out += c;
      i += len;
    } else {
      out += kReplacementChar;
      ++i;
    }
  }
  return out;
}

void AppendUtf8(std::string& out, char32_t c) { namerules::AppendUtf8(out, c); }

std::string CodePageToUtf8(const std::string& bytes, unsigned codePage) {
  std::string out;
  out.reserve(bytes.size() * 2);
  for (char ch : bytes) AppendUtf8(out, ByteToUnicode(static_cast<unsigned char>(ch), codePage));
  return out;
}

std::string Utf8ToCodePage(const std::string& utf8, unsigned codePage) {
  std::string out;
  for (char32_t c : DecodeUtf8(utf8)) {
    int b = UnicodeToByte(c, codePage);
    out += static_cast<char>(b >= 0 ? b : '?');
  }
  return out;
}

unsigned FileApiCodePage() { return g_fileApisAnsi ? kAnsiCodePage : kOemCodePage; }

std::string NameToCodePage(const std::string& utf8Name) {
  unsigned codePage = FileApiCodePage();
  std::string out;
  for (char32_t c : DecodeUtf8(utf8Name)) {
    // Characters that a Win32 name cannot hold: a Unix name may have them.
    bool forbidden = namerules::IsForbiddenChar(c);
    int b = forbidden ? -1 : UnicodeToByte(c, codePage);
    out += static_cast<char>(b >= 0 ? b : '?');
  }
  return out;
}

std::string Folded(const std::string& name) {
  std::string out;
  out.reserve(name.size());
  for (char32_t c : DecodeUtf8(name)) AppendUtf8(out, UpperChar(c));
  return out;
}

bool SameNameNoCase(const std::string& a, const std::string& b) {
  if (a == b) return true;
  std::u32string x = DecodeUtf8(a);
  std::u32string y = DecodeUtf8(b);
  if (x.size() != y.size()) return false;
  for (size_t i = 0; i < x.size(); ++i) {
    if (x[i] != y[i] && UpperChar(x[i]) != UpperChar(y[i])) return false;
  }
  return true;
}

// '*' matches any run of characters, '?' any one character, other
// characters match regardless of case. Once the name is used up, what is
// left of the pattern may be dots and stars only, so "data.*" and "data*"
// both match "data".
bool MatchesPattern(const std::string& name, const std::string& pattern) {
  std::u32string n = DecodeUtf8(name);
  std::u32string p = DecodeUtf8(pattern);
  size_t i = 0;
  size_t j = 0;
  size_t star = std::u32string::npos;
  size_t mark = 0;
  while (i < n.size()) {
    if (j < p.size() && p[j] == '*') {
      star = j++;
      mark = i;
    } else if (j < p.size() &&
               (p[j] == '?' || p[j] == n[i] || UpperChar(p[j]) == UpperChar(n[i]))) {
      ++i;
      ++j;
    } else if (star != std::u32string::npos) {
      j = star + 1;
      i = ++mark;
    } else {
      return false;
    }
  }
  while (j < p.size() && (p[j] == '*' || p[j] == '.')) ++j;
  return j == p.size();
}

}  // namespace emu

// ---------------------------------------------------------------- Win32 calls

UINT GetACP() { return emu::kAnsiCodePage; }
UINT GetOEMCP() { return emu::kOemCodePage; }
BOOL AreFileApisANSI() { return emu::g_fileApisAnsi ? TRUE : FALSE; }
void SetFileApisToOEM() { emu::g_fileApisAnsi = false; }
void SetFileApisToANSI() { emu::g_fileApisAnsi = true; }

DWORD CharUpperBuffA(LPSTR lpsz, DWORD cchLength) {
  if (lpsz == nullptr) return 0;
  const auto& t = emu::Tables();
  for (DWORD i = 0; i < cchLength; ++i) {
    lpsz[i] = static_cast<char>(t.upper[static_cast<unsigned char>(lpsz[i])]);
  }
  return cchLength;
}

DWORD CharLowerBuffA(LPSTR lpsz, DWORD cchLength) {
  if (lpsz == nullptr) return 0;
  const auto& t = emu::Tables();
  for (DWORD i = 0; i < cchLength; ++i) {
    lpsz[i] = static_cast<char>(t.lower[static_cast<unsigned char>(lpsz[i])]);
  }
  return cchLength;
}

BOOL IsCharAlphaA(CHAR ch) {
  return emu::Tables().alpha[static_cast<unsigned char>(ch)] ? TRUE : FALSE;
}

BOOL IsCharUpperA(CHAR ch) {
  return emu::Tables().isUpper[static_cast<unsigned char>(ch)] ? TRUE : FALSE;
}

BOOL CharToOemBuffA(LPCSTR lpszSrc, LPSTR lpszDst, DWORD cchDstLength) {
  if (lpszSrc == nullptr || lpszDst == nullptr) {
    return emu::Fail(ERROR_INVALID_PARAMETER, FALSE);
  }
  const auto& t = emu::Tables();
  // Source and destination may be the same buffer.
  for (DWORD i = 0; i < cchDstLength; ++i) {
    lpszDst[i] = static_cast<char>(t.toOem[static_cast<unsigned char>(lpszSrc[i])]);
  }
  return TRUE;
}

BOOL CharToOemA(LPCSTR pSrc, LPSTR pDst) {
  if (pSrc == nullptr || pDst == nullptr) {
    return emu::Fail(ERROR_INVALID_PARAMETER, FALSE);
  }
  return CharToOemBuffA(pSrc, pDst, static_cast<DWORD>(std::strlen(pSrc) + 1));
}

BOOL OemToCharBuffA(LPCSTR lpszSrc, LPSTR lpszDst, DWORD cchDstLength) {
  if (lpszSrc == nullptr || lpszDst == nullptr) {
    return emu::Fail(ERROR_INVALID_PARAMETER, FALSE);
  }
  const auto& t = emu::Tables();
  for (DWORD i = 0; i < cchDstLength; ++i) {
    lpszDst[i] = static_cast<char>(t.toAnsi[static_cast<unsigned char>(lpszSrc[i])]);
  }
  return TRUE;
}
