#include <gtest/gtest.h>

#include <random>
#include <string>
#include <vector>

#include "CRC32/CRC32.h"

namespace {

using CrcRoutine = void (*)(const void*, int32_t, uint32_t&, bool, bool);

struct Form {
  const char* Name;
  CrcRoutine Routine;
};

// UpdateCrc32 is what the join uses; the sliced loop is its fallback on
// processors without carry-less multiplication; the byte-wise loop is the
// reference both are held to.
const Form Forms[] = {
    {"UpdateCrc32", UpdateCrc32},
    {"UpdateCrc32Sliced", UpdateCrc32Sliced},
    {"UpdateCrc32Bytewise", UpdateCrc32Bytewise},
};
const Form FastForms[] = {Forms[0], Forms[1]};

TEST(Crc32, TableAndByteStep) {
  EXPECT_EQ(Crc32Table[0], 0x00000000u);
  EXPECT_EQ(Crc32Table[1], 0x77073096u);
  EXPECT_EQ(Crc32Table[2], 0xEE0E612Cu);
  EXPECT_EQ(Crc32Table[255], 0x2D02EF8Du);
  // Index (crc ^ byte) & 0xFF = 0x02; crc >> 8 brings in zeros from the left.
  EXPECT_EQ(UpdateCrc32Byte(0x10, 0xABCDEF12u), Crc32Table[0x02] ^ 0x00ABCDEFu);
}

TEST(Crc32, CheckValuesAndFlags) {
  const struct {
    std::string Text;
    uint32_t Expected;
  } cases[] = {
      {"123456789", 0xCBF43926u},
      {"abc", 0x352441C2u},
      {"", 0x00000000u},
      {"The quick brown fox jumps over the lazy dog", 0x414FA339u},
  };
  const char* digits = "123456789";
  for (const Form& form : Forms) {
    SCOPED_TRACE(form.Name);
    for (const auto& c : cases) {
      uint32_t crc = 0x5A5A5A5A;  // Start overwrites it
      form.Routine(c.Text.data(), static_cast<int32_t>(c.Text.size()), crc, true, true);
      EXPECT_EQ(crc, c.Expected) << '"' << c.Text << '"';
    }

    uint32_t crc = 0;
    form.Routine(digits, 9, crc, true, false);  // no Finish: not complemented
    EXPECT_EQ(crc, ~0xCBF43926u);

    form.Routine(digits, 4, crc, true, false);  // chunks of 4, 4 and 1
    form.Routine(digits + 4, 4, crc, false, false);
    form.Routine(digits + 8, 1, crc, false, true);
    EXPECT_EQ(crc, 0xCBF43926u);

    crc = 0x12345678u;  // a count of 0 or less passes no bytes
    form.Routine(digits, 0, crc, false, false);
    form.Routine(digits, -1, crc, false, false);
    form.Routine(digits, INT32_MIN, crc, false, false);
    EXPECT_EQ(crc, 0x12345678u);
    form.Routine(digits, -5, crc, true, true);
    EXPECT_EQ(crc, 0x00000000u);
    form.Routine(digits, 0, crc, false, true);  // Finish alone complements
    EXPECT_EQ(crc, 0xFFFFFFFFu);
  }
}

// Every short length at every start alignment, as a whole framed call and as
// the continuation of a running value. Lengths run past a few 64-byte blocks
// so that the folding path, its loop and its tail are all covered.
TEST(Crc32, FastFormsMatchReferenceForEveryLengthAndAlignment) {
  std::vector<uint8_t> storage(16 + 300);
  std::mt19937 random(7);
  for (auto& b : storage) b = static_cast<uint8_t>(random());

  for (const Form& form : FastForms) {
    for (int32_t length = 0; length <= 300; ++length) {
      for (size_t align = 0; align < 16; ++align) {
        for (bool framed : {true, false}) {
          uint32_t expected = 0xDEADBEEFu;
          uint32_t actual = 0xDEADBEEFu;
          UpdateCrc32Bytewise(storage.data() + align, length, expected, framed, framed);
          form.Routine(storage.data() + align, length, actual, framed, framed);
          ASSERT_EQ(actual, expected) << form.Name << " length " << length << " alignment "
                                      << align << (framed ? " framed" : " running");
        }
      }
    }
  }
}

// Large random buffers fed in random chunks give the CRC of the whole.
TEST(Crc32, RandomChunkingGivesWholeBufferCrc) {
  std::mt19937 random(2024);
  for (int round = 0; round < 12; ++round) {
    std::vector<uint8_t> data(1 + random() % 300000);
    for (auto& b : data) b = static_cast<uint8_t>(random());
    uint32_t expected = 0;
    UpdateCrc32Bytewise(data.data(), static_cast<int32_t>(data.size()), expected, true, true);

    const size_t limit = round % 2 ? 16384 : 70000;
    for (const Form& form : FastForms) {
      uint32_t crc = 0;
      for (size_t done = 0; done < data.size();) {
        const size_t chunk = std::min<size_t>(data.size() - done, 1 + random() % limit);
        form.Routine(data.data() + done, static_cast<int32_t>(chunk), crc, done == 0,
                     done + chunk == data.size());
        done += chunk;
      }
      EXPECT_EQ(crc, expected) << form.Name << " round " << round << " size " << data.size();
    }
  }
}

}  // namespace
