// Code pages and text: the ANSI code page 1252, the OEM code page 850, the
// switch of the file calls between them, UTF-8 for names on disk, and the
// case rules of the ANSI code page.
#include <locale.h>

#include <array>
#include <atomic>
#include <clocale>
#include <cstring>
#include <cwctype>

#include "platform/linux/EmuInternal.h"
#include "platform/linux/Win32Emu.h"

namespace emu {
namespace {

// The upper halves of the two code pages as Unicode. The lower halves are
// ASCII (and the C0 controls) in both. The five bytes that 1252 leaves
// undefined map to the C1 controls of the same value.
constexpr char16_t kUpper1252[128] = {
    0x20AC, 0x0081, 0x201A, 0x0192, 0x201E, 0x2026, 0x2020, 0x2021, 0x02C6, 0x2030, 0x0160, 0x2039,
    0x0152, 0x008D, 0x017D, 0x008F, 0x0090, 0x2018, 0x2019, 0x201C, 0x201D, 0x2022, 0x2013, 0x2014,
    0x02DC, 0x2122, 0x0161, 0x203A, 0x0153, 0x009D, 0x017E, 0x0178, 0x00A0, 0x00A1, 0x00A2, 0x00A3,
    0x00A4, 0x00A5, 0x00A6, 0x00A7, 0x00A8, 0x00A9, 0x00AA, 0x00AB, 0x00AC, 0x00AD, 0x00AE, 0x00AF,
    0x00B0, 0x00B1, 0x00B2, 0x00B3, 0x00B4, 0x00B5, 0x00B6, 0x00B7, 0x00B8, 0x00B9, 0x00BA, 0x00BB,
    0x00BC, 0x00BD, 0x00BE, 0x00BF, 0x00C0, 0x00C1, 0x00C2, 0x00C3, 0x00C4, 0x00C5, 0x00C6, 0x00C7,
    0x00C8, 0x00C9, 0x00CA, 0x00CB, 0x00CC, 0x00CD, 0x00CE, 0x00CF, 0x00D0, 0x00D1, 0x00D2, 0x00D3,
    0x00D4, 0x00D5, 0x00D6, 0x00D7, 0x00D8, 0x00D9, 0x00DA, 0x00DB, 0x00DC, 0x00DD, 0x00DE, 0x00DF,
    0x00E0, 0x00E1, 0x00E2, 0x00E3, 0x00E4, 0x00E5, 0x00E6, 0x00E7, 0x00E8, 0x00E9, 0x00EA, 0x00EB,
    0x00EC, 0x00ED, 0x00EE, 0x00EF, 0x00F0, 0x00F1, 0x00F2, 0x00F3, 0x00F4, 0x00F5, 0x00F6, 0x00F7,
    0x00F8, 0x00F9, 0x00FA, 0x00FB, 0x00FC, 0x00FD, 0x00FE, 0x00FF};

constexpr char16_t kUpper850[128] = {
    0x00C7, 0x00FC, 0x00E9, 0x00E2, 0x00E4, 0x00E0, 0x00E5, 0x00E7, 0x00EA, 0x00EB, 0x00E8, 0x00EF,
    0x00EE, 0x00EC, 0x00C4, 0x00C5, 0x00C9, 0x00E6, 0x00C6, 0x00F4, 0x00F6, 0x00F2, 0x00FB, 0x00F9,
    0x00FF, 0x00D6, 0x00DC, 0x00F8, 0x00A3, 0x00D8, 0x00D7, 0x0192, 0x00E1, 0x00ED, 0x00F3, 0x00FA,
    0x00F1, 0x00D1, 0x00AA, 0x00BA, 0x00BF, 0x00AE, 0x00AC, 0x00BD, 0x00BC, 0x00A1, 0x00AB, 0x00BB,
    0x2591, 0x2592, 0x2593, 0x2502, 0x2524, 0x00C1, 0x00C2, 0x00C0, 0x00A9, 0x2563, 0x2551, 0x2557,
    0x255D, 0x00A2, 0x00A5, 0x2510, 0x2514, 0x2534, 0x252C, 0x251C, 0x2500, 0x253C, 0x00E3, 0x00C3,
    0x255A, 0x2554, 0x2569, 0x2566, 0x2560, 0x2550, 0x256C, 0x00A4, 0x00F0, 0x00D0, 0x00CA, 0x00CB,
    0x00C8, 0x0131, 0x00CD, 0x00CE, 0x00CF, 0x2518, 0x250C, 0x2588, 0x2584, 0x00A6, 0x00CC, 0x2580,
    0x00D3, 0x00DF, 0x00D4, 0x00D2, 0x00F5, 0x00D5, 0x00B5, 0x00FE, 0x00DE, 0x00DA, 0x00DB, 0x00D9,
    0x00FD, 0x00DD, 0x00AF, 0x00B4, 0x00AD, 0x00B1, 0x2017, 0x00BE, 0x00B6, 0x00A7, 0x00F7, 0x00B8,
    0x00B0, 0x00A8, 0x00B7, 0x00B9, 0x00B3, 0x00B2, 0x25A0, 0x00A0};

// Characters that the other code page lacks take the system's best fit
// when text is converted with CharToOemBuffA and OemToCharBuffA (the
// Windows best-fit tables for 1252 and 850); the rest become '?'.
struct BestFit {
  unsigned char from;
  unsigned char to;
};
constexpr BestFit kAnsiToOemBestFit[] = {
    {0x82, 0x27}, {0x84, 0x22}, {0x85, 0x2E}, {0x86, 0xC5}, {0x87, 0xCE},
    {0x88, 0x5E}, {0x89, 0x25}, {0x8A, 0x53}, {0x8B, 0x3C}, {0x8C, 0x4F},
    {0x8E, 0x5A}, {0x91, 0x27}, {0x92, 0x27}, {0x93, 0x22}, {0x94, 0x22},
    {0x95, 0x07}, {0x96, 0x2D}, {0x97, 0x2D}, {0x98, 0x7E}, {0x99, 0x54},
    {0x9A, 0x73}, {0x9B, 0x3E}, {0x9C, 0x6F}, {0x9E, 0x7A}, {0x9F, 0x59},
};
constexpr BestFit kOemToAnsiBestFit[] = {
    {0xB0, 0xA6}, {0xB1, 0xA6}, {0xB2, 0xA6}, {0xB3, 0xA6}, {0xB4, 0xA6}, {0xB9, 0xA6},
    {0xBA, 0xA6}, {0xBB, 0x2B}, {0xBC, 0x2B}, {0xBF, 0x2B}, {0xC0, 0x2B}, {0xC1, 0x2D},
    {0xC2, 0x2D}, {0xC3, 0x2B}, {0xC4, 0x2D}, {0xC5, 0x2B}, {0xC8, 0x2B}, {0xC9, 0x2B},
    {0xCA, 0x2D}, {0xCB, 0x2D}, {0xCC, 0xA6}, {0xCD, 0x2D}, {0xCE, 0x2B}, {0xD5, 0x69},
    {0xD9, 0x2B}, {0xDA, 0x2B}, {0xDB, 0xA6}, {0xDC, 0x5F}, {0xDF, 0xAF}, {0xF2, 0x3D},
    {0xFE, 0xA6},
};

char32_t ByteToUnicode(unsigned char b, unsigned codePage) {
  if (b < 0x80) return b;
  return codePage == kOemCodePage ? kUpper850[b - 0x80] : kUpper1252[b - 0x80];
}

// Reverse lookup over the upper half: the byte for a character, or -1.
int UnicodeToByte(char32_t c, unsigned codePage) {
  if (c < 0x80) return static_cast<int>(c);
  const char16_t* table = codePage == kOemCodePage ? kUpper850 : kUpper1252;
  for (int i = 0; i < 128; ++i) {
    if (table[i] == c) return 0x80 + i;
  }
  return -1;
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

      int oem = UnicodeToByte(u, kOemCodePage);
      toOem[b] = static_cast<unsigned char>(oem >= 0 ? oem : '?');
      char32_t o = ByteToUnicode(static_cast<unsigned char>(b), kOemCodePage);
      int ansi = UnicodeToByte(o, kAnsiCodePage);
      toAnsi[b] = static_cast<unsigned char>(ansi >= 0 ? ansi : '?');
    }
    for (const BestFit& fit : kAnsiToOemBestFit) toOem[fit.from] = fit.to;
    for (const BestFit& fit : kOemToAnsiBestFit) toAnsi[fit.from] = fit.to;
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

void AppendUtf8(std::string& out, char32_t c) {
  if (c < 0x80) {
    out += static_cast<char>(c);
  } else if (c < 0x800) {
    out += static_cast<char>(0xC0 | (c >> 6));
    out += static_cast<char>(0x80 | (c & 0x3F));
  } else if (c < 0x10000) {
    out += static_cast<char>(0xE0 | (c >> 12));
    out += static_cast<char>(0x80 | ((c >> 6) & 0x3F));
    out += static_cast<char>(0x80 | (c & 0x3F));
  } else {
    out += static_cast<char>(0xF0 | (c >> 18));
    out += static_cast<char>(0x80 | ((c >> 12) & 0x3F));
    out += static_cast<char>(0x80 | ((c >> 6) & 0x3F));
    out += static_cast<char>(0x80 | (c & 0x3F));
  }
}

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
    bool forbidden = c < 0x20 || c == '\\' || c == '/' || c == ':' || c == '*' || c == '?' ||
                     c == '"' || c == '<' || c == '>' || c == '|';
    int b = forbidden ? -1 : UnicodeToByte(c, codePage);
    out += static_cast<char>(b >= 0 ? b : '?');
  }
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
    SetLastError(ERROR_INVALID_PARAMETER);
    return FALSE;
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
    SetLastError(ERROR_INVALID_PARAMETER);
    return FALSE;
  }
  return CharToOemBuffA(pSrc, pDst, static_cast<DWORD>(std::strlen(pSrc) + 1));
}

BOOL OemToCharBuffA(LPCSTR lpszSrc, LPSTR lpszDst, DWORD cchDstLength) {
  if (lpszSrc == nullptr || lpszDst == nullptr) {
    SetLastError(ERROR_INVALID_PARAMETER);
    return FALSE;
  }
  const auto& t = emu::Tables();
  for (DWORD i = 0; i < cchDstLength; ++i) {
    lpszDst[i] = static_cast<char>(t.toAnsi[static_cast<unsigned char>(lpszSrc[i])]);
  }
  return TRUE;
}
