// Pieces of the driver that stand apart from a run: which stored names stay
// inside the destination, and the prompt that waits for a disk.
#include <gtest/gtest.h>

#include <cstdio>
#include <string>

#include "ParcelStub/ParcelStub.h"
#include "tests/TestSupport.h"

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
        NameCase{".hidden", true}, NameCase{"CONSOLE.txt", true}, NameCase{"CONIN", true},
        NameCase{"LPT10", true}, NameCase{"CLOCK", true}, NameCase{"a. b", true},
        NameCase{"caf\xE9.txt", true},
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
        NameCase{"CON .txt", false}, NameCase{"NUL\\x", false}, NameCase{"COM0", false},
        NameCase{"lpt0.txt", false}, NameCase{"CONIN$", false}, NameCase{"conout$.log", false},
        NameCase{"d\\Clock$", false},
        // Components of dots and blanks, which Windows reads as "." or "..".
        NameCase{".", false}, NameCase{". ", false}, NameCase{"a\\ .\\b", false},
        NameCase{" ", false}, NameCase{"a/.../b", false},
        // Ports with a superscript digit, spelt in code page 1252 (B9 B2 B3)
        // or, as the driver checks them, in 850 (FB FD FC), in any case.
        NameCase{"COM\xB9", false}, NameCase{"lpt\xB2.txt", false}, NameCase{"d\\Com\xB3", false},
        NameCase{"COM\xFB", false}, NameCase{"com\xFD.log", false}, NameCase{"LPT\xFC .x", false},
        NameCase{"COM\xB9x", true}, NameCase{"CO\xB9", true}, NameCase{"COM\xB4", true},
        NameCase{"COM\xDB", true},  // the upper-case form of FB in 1252 is a letter
        // A NUL would cut the name the system sees.
        NameCase{std::string("a.txt\0..\\x", 10), false}));

std::string WithoutCarriageReturns(std::string text) {
  std::string out;
  for (char c : text) {
    if (c != '\r') out += c;
  }
  return out;
}

struct PromptCase {
  std::string input;
  int32_t ordinal;
  std::string expected;
  bool cancelled;
};

// The insert-disk prompt waits for Enter; when no operator is left to press
// it (the end of input), the run ends as if it had been cancelled.
TEST(InsertDiskPrompt, WaitsForEnterOrEndsAtTheEndOfInput) {
  const std::vector<PromptCase> cases = {
      {"anything typed\n", 1, "\nInsert first disk in drive A:. Press 'Enter' when ready.", false},
      {"\n", 2, "\nInsert next disk in drive A:. Press 'Enter' when ready.", false},
      {"", 2, "\nInsert next disk in drive A:. Press 'Enter' when ready.\nDone\n", true},
  };
  for (const PromptCase& c : cases) {
    ScratchDir dir;
    dir.WriteBytes("input", c.input);
    ASSERT_NE(std::freopen(dir.NativePath("input").c_str(), "rb", stdin), nullptr);
    InitDefaults();
    Settings.AskForDisk = FlagTrue;
    Settings.SourceDir = "A:\\sets\\";
    ::testing::internal::CaptureStdout();
    ShowState(stAskVolume, c.ordinal);
    const std::string output = WithoutCarriageReturns(::testing::internal::GetCapturedStdout());
    EXPECT_EQ(output, c.expected) << c.input;
    EXPECT_EQ(Cancelled != 0, c.cancelled) << c.input;
  }
}

}  // namespace
