// The shared name rules: code page tables 1252 and 850 with Windows' best
// fits, UTF-8, and the Windows name rules (devices, forbidden characters,
// components of dots and blanks, the stored-name safety check).
#include "NameRules/NameRules.h"

#include <array>

namespace namerules {

namespace {

// The upper halves of the two code pages as Unicode; the lower halves are
// ASCII in both. The five bytes 1252 leaves undefined are the C1 controls of
// the same value.
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

// The system's best fits for characters the other code page lacks (the
// Windows best-fit tables for 1252 and 850); the rest become '?'.
struct BestFit {
  uint8_t from;
  uint8_t to;
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

int ByteOf(char32_t c, const char16_t* upper) {
  if (c < 0x80) return static_cast<int>(c);
  for (int i = 0; i < 128; ++i) {
    if (upper[i] == c) return 0x80 + i;
  }
  return -1;
}

struct ConversionTables {
  std::array<uint8_t, 256> toOem{};
  std::array<uint8_t, 256> toAnsi{};
  std::array<bool, 256> in850{};  // the 1252 byte's character exists in 850

  ConversionTables() {
    for (int b = 0; b < 256; ++b) {
      const int oem = ByteOf850(CharOf1252(static_cast<uint8_t>(b)));
      in850[b] = oem >= 0;
      toOem[b] = static_cast<uint8_t>(oem >= 0 ? oem : '?');
      const int ansi = ByteOf1252(CharOf850(static_cast<uint8_t>(b)));
      toAnsi[b] = static_cast<uint8_t>(ansi >= 0 ? ansi : '?');
    }
    for (const BestFit& fit : kAnsiToOemBestFit) toOem[fit.from] = fit.to;
    for (const BestFit& fit : kOemToAnsiBestFit) toAnsi[fit.from] = fit.to;
  }
};

const ConversionTables& Tables() {
  static const ConversionTables tables;
  return tables;
}

bool IsSuperscriptDigit(uint8_t c, CodePage codePage) {
  if (codePage == CodePage::Ansi1252) return c == 0xB9 || c == 0xB2 || c == 0xB3;
  return c == 0xFB || c == 0xFD || c == 0xFC;
}

}  // namespace

char32_t CharOf1252(uint8_t byte) { return byte < 0x80 ? byte : kUpper1252[byte - 0x80]; }
char32_t CharOf850(uint8_t byte) { return byte < 0x80 ? byte : kUpper850[byte - 0x80]; }
int ByteOf1252(char32_t c) { return ByteOf(c, kUpper1252); }
int ByteOf850(char32_t c) { return ByteOf(c, kUpper850); }

uint8_t AnsiToOemByte(uint8_t ansi) { return Tables().toOem[ansi]; }
uint8_t OemToAnsiByte(uint8_t oem) { return Tables().toAnsi[oem]; }

std::string Cp1252ToCp850(const std::string& ansi) {
  std::string out = ansi;
  for (char& c : out) c = static_cast<char>(AnsiToOemByte(static_cast<uint8_t>(c)));
  return out;
}

std::string Cp850ToCp1252(const std::string& oem) {
  std::string out = oem;
  for (char& c : out) c = static_cast<char>(OemToAnsiByte(static_cast<uint8_t>(c)));
  return out;
}

bool Cp850CanHold(const std::string& ansi) { return FirstCharNotIn850(ansi).empty(); }

std::string FirstCharNotIn850(const std::string& ansi) {
  for (char c : ansi) {
    const uint8_t b = static_cast<uint8_t>(c);
    if (!Tables().in850[b]) {
      std::string utf8;
      AppendUtf8(utf8, CharOf1252(b));
      return utf8;
    }
  }
  return std::string();
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

bool NextUtf8(const std::string& text, size_t& i, char32_t& c) {
  if (i >= text.size()) return false;
  const uint8_t lead = static_cast<uint8_t>(text[i]);
  if (lead < 0x80) {
    c = lead;
    ++i;
    return true;
  }
  size_t length = 0;
  char32_t value = 0, least = 0;
  if ((lead & 0xE0) == 0xC0) {
    length = 2, value = lead & 0x1F, least = 0x80;
  } else if ((lead & 0xF0) == 0xE0) {
    length = 3, value = lead & 0x0F, least = 0x800;
  } else if ((lead & 0xF8) == 0xF0) {
    length = 4, value = lead & 0x07, least = 0x10000;
  } else {
    return false;
  }
  if (i + length > text.size()) return false;
  for (size_t k = 1; k < length; ++k) {
    const uint8_t next = static_cast<uint8_t>(text[i + k]);
    if ((next & 0xC0) != 0x80) return false;
    value = (value << 6) | (next & 0x3F);
  }
  if (value < least || value > 0x10FFFF || (value >= 0xD800 && value <= 0xDFFF)) return false;
  c = value;
  i += length;
  return true;
}

std::string Cp1252ToUtf8(const std::string& ansi) {
  std::string out;
  out.reserve(ansi.size() + ansi.size() / 4);
  for (char c : ansi) AppendUtf8(out, CharOf1252(static_cast<uint8_t>(c)));
  return out;
}

bool Utf8ToCp1252(const std::string& utf8, std::string& ansi, std::string& bad) {
  ansi.clear();
  for (size_t i = 0; i < utf8.size();) {
    const size_t start = i;
    char32_t c = 0;
    if (!NextUtf8(utf8, i, c)) {
      bad = "a byte that is not UTF-8";
      return false;
    }
    const int byte = ByteOf1252(c);
    if (byte < 0) {
      bad = "'" + utf8.substr(start, i - start) + "'";
      return false;
    }
    ansi += static_cast<char>(byte);
  }
  return true;
}

std::string FoldCp1252(const std::string& ansi) {
  std::string out = ansi;
  for (char& c : out) {
    const uint8_t b = static_cast<uint8_t>(c);
    if ((b >= 'a' && b <= 'z') || (b >= 0xE0 && b <= 0xFE && b != 0xF7)) {
      c = static_cast<char>(b - 0x20);
    } else if (b == 0x9A || b == 0x9C || b == 0x9E) {
      c = static_cast<char>(b - 0x10);
    } else if (b == 0xFF) {
      c = static_cast<char>(0x9F);
    }
  }
  return out;
}

bool IsForbiddenChar(char32_t c) {
  switch (c) {
    case '\\': case '/': case ':': case '*': case '?': case '"': case '<': case '>': case '|':
      return true;
    default:
      return c < 0x20;
  }
}

bool IsDeviceName(const std::string& component, CodePage codePage) {
  std::string base = component.substr(0, component.find('.'));
  while (!base.empty() && base.back() == ' ') base.pop_back();
  for (char& c : base) c = static_cast<char>(c >= 'a' && c <= 'z' ? c - 0x20 : c);
  static const char* const kDevices[] = {"CON", "PRN", "AUX", "NUL", "CONIN$", "CONOUT$", "CLOCK$"};
  for (const char* device : kDevices) {
    if (base == device) return true;
  }
  if (base.size() == 4 && (base.compare(0, 3, "COM") == 0 || base.compare(0, 3, "LPT") == 0)) {
    const uint8_t digit = static_cast<uint8_t>(base[3]);
    return (digit >= '0' && digit <= '9') || IsSuperscriptDigit(digit, codePage);
  }
  return false;
}

bool IsDotsAndBlanks(const std::string& component) {
  return !component.empty() && component.find_first_not_of(". ") == std::string::npos;
}

std::string NamePartProblem(const std::string& part) {
  if (part.empty()) return "an empty name";
  for (char ch : part) {
    const char32_t c = CharOf1252(static_cast<uint8_t>(ch));
    if (c < 0x20 || (c >= 0x80 && c < 0xA0)) return "a control character is not allowed in a name";
    if (IsForbiddenChar(c)) return std::string("the character '") + ch + "' is not allowed in a name on Windows";
  }
  if (part.back() == '.' || part.back() == ' ') return "a name ending in a dot or a blank is not allowed on Windows";
  if (IsDeviceName(part, CodePage::Ansi1252)) return "'" + Cp1252ToUtf8(part) + "' is a device name on Windows";
  return std::string();
}

bool IsSafeStoredName(const std::string& name) {
  if (name.find('\0') != std::string::npos) return false;
  if (name.find(':') != std::string::npos) return false;  // drive-qualified, or a stream
  if (!name.empty() && (name[0] == '\\' || name[0] == '/')) return false;  // rooted or UNC
  size_t start = 0;
  while (start <= name.size()) {
    size_t end = name.find_first_of("\\/", start);
    if (end == std::string::npos) end = name.size();
    const std::string component = name.substr(start, end - start);
    if (IsDotsAndBlanks(component)) return false;
    if (IsDeviceName(component, CodePage::Ansi1252) || IsDeviceName(component, CodePage::Oem850)) return false;
    start = end + 1;
  }
  return true;
}

}  // namespace namerules
