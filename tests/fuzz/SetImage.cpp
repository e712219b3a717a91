// The join fuzz target's input decoded into a directory of volume files,
// and encoded back for the seed corpus (see SetImage.h).
#include "tests/fuzz/SetImage.h"

#include <algorithm>

namespace fuzzset {

// Candidates of the search for set.* (in several spellings), and one file
// that is not a candidate.
const char* const kEntryNames[] = {
    "set.exe", "set.s01", "set.s02", "set.s03", "set.s04", "SET.S05", "set.txt", "set", "other.s01",
};
const size_t kEntryNameCount = sizeof kEntryNames / sizeof kEntryNames[0];

SetImage Decode(const uint8_t* data, size_t size) {
  SetImage image;
  if (size == 0) return image;
  image.options = data[0];
  size_t at = 1;
  while (at < size) {
    Entry entry;
    entry.name = static_cast<uint8_t>(data[at] % kEntryNameCount);
    size_t length = 0;
    if (at + 3 <= size) length = static_cast<size_t>(data[at + 1] | (data[at + 2] << 8));
    at = std::min(size, at + 3);
    length = std::min(length, size - at);
    entry.bytes.assign(data + at, data + at + length);
    at += length;
    image.entries.push_back(std::move(entry));
  }
  return image;
}

Bytes Encode(const SetImage& image) {
  Bytes out;
  out.push_back(image.options);
  for (const Entry& entry : image.entries) {
    const size_t length = std::min<size_t>(entry.bytes.size(), 0xFFFF);
    out.push_back(entry.name);
    out.push_back(static_cast<uint8_t>(length));
    out.push_back(static_cast<uint8_t>(length >> 8));
    out.insert(out.end(), entry.bytes.begin(), entry.bytes.begin() + static_cast<std::ptrdiff_t>(length));
  }
  return out;
}

Bytes FakeProgram() {
  Bytes program(64, 0);
  program[0] = 'M';
  program[1] = 'Z';
  return program;
}

}  // namespace fuzzset
