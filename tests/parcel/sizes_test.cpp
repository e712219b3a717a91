// parcel split's SIZE: every accepted form, exact decimal fractions, the
// named sizes, and what is refused.
#include <gtest/gtest.h>

#include <cstdint>
#include <string>

#include "tools/Commands.h"

namespace {

TEST(ParcelSizes, AcceptedForms) {
  const struct {
    const char* text;
    int64_t bytes;
  } cases[] = {
      {"1", 1},
      {"1457664", 1457664},
      {"floppy", 1457664},            // what a formatted 1.44 MB disk holds
      {"fat32", 4294967295},          // FAT32's largest file, 4 GiB less one byte
      {"4G", 4294967296},             // one byte too many for FAT32: say fat32
      {"1k", 1024}, {"1K", 1024}, {"1KiB", 1024}, {"1kB", 1000}, {"1KB", 1000},
      {"2m", 2097152}, {"2MiB", 2097152}, {"2MB", 2000000},
      {"3g", 3221225472}, {"3GiB", 3221225472}, {"3GB", 3000000000},
      {"0.001GB", 1000000},           // exact, not 999,999
      {"0.7MB", 700000},
      {"1.44M", 1509949},             // 1509949.44 bytes, rounded down
      {"1.44MB", 1440000},
      {"48.9k", 50073},               // 50073.6
      {".5k", 512},
      {"5.k", 5120},
      {"1.000000001GB", 1000000001},  // nine decimals, exactly
      {"1.5000000000G", 1610612736},  // trailing zeros do not count as decimals
      {"8589934591G", 9223372035781033984},
      {"9223372036854775807", INT64_MAX},
  };
  for (const auto& c : cases) {
    int64_t size = 0;
    EXPECT_TRUE(parceltool::ParseSize(c.text, size)) << c.text;
    EXPECT_EQ(size, c.bytes) << c.text;
  }
}

TEST(ParcelSizes, Refused) {
  for (const char* text : {"", "0", "0.0001k", "0k", "-5", "+5", "12x", "1.2.3", ".", "k", "1 M", "1m ",
                           "1e6", "0x10", "1.0000000001G", "9223372036854775808", "8589934592G",
                           "Floppy", "fat", "1floppy", "1Mb", "1gb"}) {
    int64_t size = 0;
    EXPECT_FALSE(parceltool::ParseSize(text, size)) << text;
  }
}

}  // namespace
