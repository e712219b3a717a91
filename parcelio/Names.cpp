#include "parcelio/Names.h"

#include <cstdint>

#include "ParcelStub/ParcelStub.h"
#include "platform/Win32.h"

namespace parcelio {

namespace {

// The characters of bytes 0x80-0x9F in code page 1252; 0 where it has none.
constexpr char32_t HighControls[32] = {
    0x20AC, 0,      0x201A, 0x0192, 0x201E, 0x2026, 0x2020, 0x2021,
    0x02C6, 0x2030, 0x0160, 0x2039, 0x0152, 0,      0x017D, 0,
    0,      0x2018, 0x2019, 0x201C, 0x201D, 0x2022, 0x2013, 0x2014,
    0x02DC, 0x2122, 0x0161, 0x203A, 0x0153, 0,      0x017E, 0x0178};

char32_t CharOf(uint8_t byte) {
  if (byte >= 0x80 && byte < 0xA0 && HighControls[byte - 0x80] != 0) return HighControls[byte - 0x80];
  return byte;
}

bool ByteOf(char32_t c, uint8_t& byte) {
  const bool undefinedByte = c == 0x81 || c == 0x8D || c == 0x8F || c == 0x90 || c == 0x9D;
  if (c < 0x80 || (c >= 0xA0 && c <= 0xFF) || undefinedByte) {
    byte = static_cast<uint8_t>(c);
    return true;
  }
  for (int i = 0; i < 32; ++i) {
    if (HighControls[i] == c) {
      byte = static_cast<uint8_t>(0x80 + i);
      return true;
    }
  }
  return false;
}

void PutUtf8(std::string& out, char32_t c) {
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

std::string OemOf(const std::string& ansi) {
  std::string oem(ansi.size(), '\0');
  if (!ansi.empty()) CharToOemBuffA(ansi.data(), &oem[0], static_cast<DWORD>(ansi.size()));
  return oem;
}

bool IsDevice(const std::string& part) {
  std::string base = FoldCp1252(part.substr(0, part.find('.')));
  while (!base.empty() && base.back() == ' ') base.pop_back();
  if (base == "CON" || base == "PRN" || base == "AUX" || base == "NUL") return true;
  if (base.size() == 4 && (base.compare(0, 3, "COM") == 0 || base.compare(0, 3, "LPT") == 0)) {
    const uint8_t digit = static_cast<uint8_t>(base[3]);
    // 1-9, and the superscript digits 1, 2 and 3, which Windows takes too.
    return (digit >= '1' && digit <= '9') || digit == 0xB9 || digit == 0xB2 || digit == 0xB3;
  }
  return false;
}

}  // namespace

bool ToCp1252(const std::string& utf8, std::string& ansi, std::string& bad) {
  ansi.clear();
  for (size_t i = 0; i < utf8.size();) {
    const uint8_t lead = static_cast<uint8_t>(utf8[i]);
    size_t length = lead < 0x80 ? 1 : (lead >> 5) == 6 ? 2 : (lead >> 4) == 14 ? 3 : (lead >> 3) == 30 ? 4 : 0;
    if (length == 0 || i + length > utf8.size()) {
      bad = "a byte that is not UTF-8";
      return false;
    }
    char32_t c = length == 1 ? lead : lead & (0x3F >> (length - 1));
    for (size_t k = 1; k < length; ++k) {
      const uint8_t next = static_cast<uint8_t>(utf8[i + k]);
      if ((next & 0xC0) != 0x80) {
        bad = "a byte that is not UTF-8";
        return false;
      }
      c = (c << 6) | (next & 0x3F);
    }
    uint8_t byte = 0;
    if (!ByteOf(c, byte)) {
      bad = "'" + utf8.substr(i, length) + "'";
      return false;
    }
    ansi += static_cast<char>(byte);
    i += length;
  }
  return true;
}

std::string FromCp1252(const std::string& ansi) {
  std::string out;
  out.reserve(ansi.size() + ansi.size() / 4);
  for (char c : ansi) PutUtf8(out, CharOf(static_cast<uint8_t>(c)));
  return out;
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

std::string NamePartProblem(const std::string& part) {
  if (part.empty()) return "an empty name";
  for (char ch : part) {
    const uint8_t b = static_cast<uint8_t>(ch);
    if (b < 0x20 || (b >= 0x80 && b < 0xA0 && HighControls[b - 0x80] == 0))
      return "a control character is not allowed in a name";
    if (std::string("\\/:*?\"<>|").find(ch) != std::string::npos)
      return std::string("the character '") + ch + "' is not allowed in a name on Windows";
  }
  if (part.back() == '.' || part.back() == ' ') return "a name ending in a dot or a blank is not allowed on Windows";
  if (IsDevice(part)) return "'" + FromCp1252(part) + "' is a device name on Windows";
  return std::string();
}

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
  // Whatever the self-joining program refuses is refused here too.
  if (!IsSafeStoredName(OemOf(stored))) return "the name would be refused by the joiner";
  return std::string();
}

bool ResolveStoredName(const std::string& stored, OutputName& out, std::string& why) {
  out = OutputName();
  if (!IsSafeStoredName(OemOf(stored))) {
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
