// The command-line splitter: separators, quotes and empty quoted pairs,
// arguments of any length, argument 0.
#include <gtest/gtest.h>

#include <string>

#include "ParcelStub/CommandLine.h"
#include "platform/Win32.h"

namespace {

struct SplitCase {
  const char* commandLine;
  int index;
  std::string expected;
};

class CommandLineSplit : public ::testing::TestWithParam<SplitCase> {};

TEST_P(CommandLineSplit, GivesTheArgument) {
  const SplitCase& c = GetParam();
  EXPECT_EQ(CommandLineArgument(c.commandLine, c.index), c.expected) << c.commandLine;
}

INSTANTIATE_TEST_SUITE_P(
    Cases, CommandLineSplit,
    ::testing::Values(
        SplitCase{"prog", 1, ""},
        SplitCase{"", 0, ""},
        SplitCase{"prog D:\\Out", 1, "D:\\Out"},
        SplitCase{"prog \"\" D:\\Out", 1, "D:\\Out"},
        SplitCase{"prog \"\"\"\"D:\\Out", 1, "D:\\Out"},
        SplitCase{"prog \"D:\\My Files\"", 1, "D:\\My Files"},
        SplitCase{"prog D:\\My\" \"Files next", 1, "D:\\My Files"},
        SplitCase{"prog D:\\My\" \"Files next", 2, "next"},
        SplitCase{"prog \t\r\n  first   second", 1, "first"},
        SplitCase{"prog \t\r\n  first   second", 2, "second"},
        SplitCase{"prog first", 2, ""},
        SplitCase{"\"C:\\Program Files\\x.exe\" /?", 0, "C:\\Program Files\\x.exe"},
        SplitCase{"\"C:\\Program Files\\x.exe\" /?", 1, "/?"},
        SplitCase{"prog \"open to the end", 1, "open to the end"},
        SplitCase{"prog caf\xE9\xFF", 1, "caf\xE9\xFF"},
        SplitCase{"prog a\"\"b", 1, "ab"},
        SplitCase{"prog \"\"", 1, ""}));

TEST(CommandLine, LongArgumentsAreTakenWhole) {
  const std::string longArgument(5000, 'x');
  EXPECT_EQ(CommandLineArgument("prog " + longArgument + " y", 1), longArgument);
  EXPECT_EQ(CommandLineArgument("prog \"" + longArgument + " y\"", 1), longArgument + " y");
}

TEST(CommandLine, ProgramPathIsTheModulesFullPath) {
  const std::string self = ArgumentText(0);
  ASSERT_GE(self.size(), 3u);
  EXPECT_EQ(self[1], ':');
  EXPECT_EQ(self[2], '\\');
  // It names this very program file.
  const DWORD attributes = GetFileAttributesA(self.c_str());
  ASSERT_NE(attributes, INVALID_FILE_ATTRIBUTES) << self;
  EXPECT_EQ(attributes & FILE_ATTRIBUTE_DIRECTORY, 0u) << self;
  EXPECT_NE(self.find("test"), std::string::npos) << self;
}

}  // namespace
