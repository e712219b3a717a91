// Volume sizes as users write them: bytes, a number with a unit (1024- or
// 1000-based, decimal fractions taken exactly), or the name of a limit
// people still meet (a floppy disk, FAT32's largest file).
#include <cstdint>
#include <string>

#include "tools/Commands.h"

namespace parceltool {

namespace {

struct Unit {
  const char* name;
  int64_t factor;
};
constexpr Unit kUnits[] = {
    {"", 1},
    {"k", 1024}, {"K", 1024}, {"KiB", 1024},
    {"m", 1048576}, {"M", 1048576}, {"MiB", 1048576},
    {"g", 1073741824}, {"G", 1073741824}, {"GiB", 1073741824},
    {"kB", 1000}, {"KB", 1000}, {"MB", 1000000}, {"GB", 1000000000}};

struct Named {
  const char* name;
  int64_t size;
};
constexpr Named kNamed[] = {
    {"floppy", 1457664},     // a formatted 3.5-inch 1.44 MB disk holds 2847 sectors of 512 bytes
    {"fat32", 4294967295},   // FAT32's largest file: 4 GiB less one byte
};

}  // namespace

const char SizeForms[] =
    "bytes (1457664), a number with a unit: k, M, G (or KiB, MiB, GiB) count 1024, kB, MB, GB "
    "count 1000, fractions of up to 9 decimals allowed (1.5G, 0.7MB), or a name: floppy (1,457,664 bytes, a 1.44 MB "
    "disk) or fat32 (4 GiB less one byte, FAT32's largest file)";

bool ParseSize(const std::string& text, int64_t& size) {
  for (const Named& named : kNamed) {
    if (text == named.name) {
      size = named.size;
      return true;
    }
  }
  size_t end = 0;
  std::string whole, fraction;
  while (end < text.size() && text[end] >= '0' && text[end] <= '9') whole += text[end++];
  if (end < text.size() && text[end] == '.') {
    ++end;
    while (end < text.size() && text[end] >= '0' && text[end] <= '9') fraction += text[end++];
  }
  if (whole.empty() && fraction.empty()) return false;
  const std::string unitText = text.substr(end);
  const Unit* unit = nullptr;
  for (const Unit& u : kUnits) {
    if (unitText == u.name) unit = &u;
  }
  if (unit == nullptr) return false;

  // whole * factor + floor(fraction * factor / 10^digits), exactly: with
  // at most 9 decimals the product stays below 2^63.
  while (!fraction.empty() && fraction.back() == '0') fraction.pop_back();
  if (fraction.size() > 9) return false;
  int64_t value = 0;
  for (char c : whole) {
    if (value > (INT64_MAX - (c - '0')) / 10) return false;
    value = value * 10 + (c - '0');
  }
  if (value > INT64_MAX / unit->factor) return false;
  value *= unit->factor;
  int64_t part = 0, scale = 1;
  for (char c : fraction) {
    part = part * 10 + (c - '0');
    scale *= 10;
  }
  const int64_t extra = part * unit->factor / scale;
  if (value > INT64_MAX - extra) return false;
  value += extra;
  if (value < 1) return false;
  size = static_cast<int64_t>(value);
  return true;
}

}  // namespace parceltool
