#include <gtest/gtest.h>

#include <string>

#include "ParcelStub/ParcelStub.h"

namespace {

struct NameCase {
  std::string name;
  bool safe;
};

class StoredNames : public ::testing::TestWithParam<NameCase> {};

TEST_P(StoredNames, StayInsideTheDestination) {
  EXPECT_EQ(IsSafeStoredName(GetParam().name), GetParam().safe) << GetParam().name;
}

INSTANTIATE_TEST_SUITE_P(
    Cases, StoredNames,
    ::testing::Values(
        NameCase{"A.TXT", true}, NameCase{"docs\\report.doc", true},
        NameCase{"docs/report.doc", true}, NameCase{"a..b", true}, NameCase{"...txt", true},
        NameCase{".hidden", true}, NameCase{"CONSOLE.txt", true}, NameCase{"COM0", true},
        NameCase{"LPT10", true}, NameCase{"caf\xE9.txt", true},
        // Leaving the destination.
        NameCase{"..\\a.txt", false}, NameCase{"../a.txt", false}, NameCase{"a\\..\\..\\b", false},
        NameCase{"a/../b", false}, NameCase{"..", false}, NameCase{"a\\..", false},
        NameCase{".. \\a", false}, NameCase{"...\\a", false}, NameCase{"\\a.txt", false},
        NameCase{"/etc/passwd", false}, NameCase{"\\\\server\\share\\a", false},
        NameCase{"//server/share/a", false}, NameCase{"C:\\a.txt", false},
        NameCase{"C:a.txt", false}, NameCase{"Z:/tmp/a", false},
        // Devices.
        NameCase{"CON", false}, NameCase{"con.txt", false}, NameCase{"dir\\NUL.dat", false},
        NameCase{"Prn", false}, NameCase{"aux.c", false}, NameCase{"COM1", false},
        NameCase{"com9.log", false}, NameCase{"LPT1", false}, NameCase{"lpt9.x.y", false},
        NameCase{"CON .txt", false}, NameCase{"NUL\\x", false},
        // A NUL would cut the name the system sees.
        NameCase{std::string("a.txt\0..\\x", 10), false}));

}  // namespace
