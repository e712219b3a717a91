// The stored-name rules of the parcel tool: code page 1252 both ways, the
// case folding Windows uses to compare names, and which names a split
// refuses and a join rewrites or refuses.
#include <gtest/gtest.h>

#include <string>

#include "parcelio/Names.h"
#include "platform/Win32.h"

namespace {

using parcelio::FoldCp1252;
using parcelio::FromCp1252;
using parcelio::NamePartProblem;
using parcelio::OutputName;
using parcelio::ResolveStoredName;
using parcelio::StoredNameProblem;
using parcelio::ToCp1252;

TEST(ParcelNames, EveryCp1252ByteSurvivesTheTripThroughUtf8) {
  for (int b = 1; b < 256; ++b) {
    const std::string ansi(1, static_cast<char>(b));
    std::string back, bad;
    const std::string utf8 = FromCp1252(ansi);
    const bool undefined = b == 0x81 || b == 0x8D || b == 0x8F || b == 0x90 || b == 0x9D;
    ASSERT_TRUE(ToCp1252(utf8, back, bad)) << b;
    EXPECT_EQ(back, ansi) << b;
    if (!undefined && b >= 0x80) {
      EXPECT_GT(utf8.size(), 1u) << b;
    }
  }
  EXPECT_EQ(FromCp1252("\x80"), "€");
  EXPECT_EQ(FromCp1252("Caf\xE9"), "Café");
}

TEST(ParcelNames, Utf8ThatCp1252CannotHold) {
  const struct {
    const char* utf8;
    const char* bad;
  } cases[] = {{"日本", "'日'"}, {"a\xC3", "a byte that is not UTF-8"}, {"\xFF", "a byte that is not UTF-8"},
               {"x\xE2\x82", "a byte that is not UTF-8"}, {"Ω.txt", "'Ω'"}, {"emoji 😀", "'😀'"}};
  for (const auto& c : cases) {
    std::string ansi, bad;
    EXPECT_FALSE(ToCp1252(c.utf8, ansi, bad)) << c.utf8;
    EXPECT_EQ(bad, c.bad) << c.utf8;
  }
}

// The fold must match the system's upper-casing of 1252 text, which is how
// Windows (and our Linux layer) compare names.
TEST(ParcelNames, FoldMatchesTheSystemUpperCase) {
  for (int b = 1; b < 256; ++b) {
    char system[2] = {static_cast<char>(b), 0};
    CharUpperBuffA(system, 1);
    EXPECT_EQ(FoldCp1252(std::string(1, static_cast<char>(b))), std::string(system, 1)) << b;
  }
}

TEST(ParcelNames, PartsWindowsRefuses) {
  const struct {
    const char* part;
    bool ok;
  } cases[] = {{"a.txt", true},   {"Caf\xE9", true},  {".hidden", true},  {"con.", false},
               {"CON", false},    {"con.txt", false}, {"Com1", false},    {"COM0", false},
               {"com\xB9", false}, {"LPT\xB3.x", false}, {"console", true}, {"nul .txt", false},
               {"CONOUT$", false}, {"clock$.x", false}, {"CONIN$x", true},
               {"a:b", false},    {"a*", false},      {"a\"b", false},    {"a<b", false},
               {"a|b", false},    {"tab\t", false},   {"x\x81", false},   {"dot.", false},
               {"blank ", false}, {"", false},        {"\x80uro", true}};
  for (const auto& c : cases) EXPECT_EQ(NamePartProblem(c.part).empty(), c.ok) << c.part;
  EXPECT_EQ(StoredNameProblem("photos\\2024\\a.jpg"), "");
  EXPECT_TRUE(parcelio::OemCanHold("Caf\xE9 \xFC\xDF.txt"));
  EXPECT_FALSE(parcelio::OemCanHold("5\x80.txt"));
  EXPECT_NE(StoredNameProblem(std::string(65536, 'a')), "");
}

TEST(ParcelNames, JoinResolvesSpellingsAndRefusesEscapes) {
  const struct {
    const char* stored;
    const char* path;  // parts joined by '/', or nullptr when refused
    const char* key;
  } cases[] = {
      {"a.txt", "a.txt", "A.TXT"},
      {"sub\\a.txt", "sub/a.txt", "SUB\\A.TXT"},
      {"sub/a.txt", "sub/a.txt", "SUB\\A.TXT"},
      {"sub\\\\a.txt.", "sub/a.txt", "SUB\\A.TXT"},
      {".\\sub\\a.txt", nullptr, nullptr},
      {"sub\\. \\a.txt", nullptr, nullptr},
      {"CONIN$\\a.txt", nullptr, nullptr},
      {"sub\\lpt0", nullptr, nullptr},
      {"Caf\xE9\\\x80.txt", "Café/€.txt", "CAF\xC9\\\x80.TXT"},
      {"..\\x", nullptr, nullptr},
      {"sub\\..\\..\\x", nullptr, nullptr},
      {"... \\x", nullptr, nullptr},
      {"\\root.txt", nullptr, nullptr},
      {"C:x.txt", nullptr, nullptr},
      {"\\\\server\\share\\x", nullptr, nullptr},
      {"nul", nullptr, nullptr},
      {"sub\\lpt1.log", nullptr, nullptr},
      {"a?b", nullptr, nullptr},
      {"", nullptr, nullptr},
      {".\\.", nullptr, nullptr},
  };
  for (const auto& c : cases) {
    OutputName name;
    std::string why;
    const bool ok = ResolveStoredName(c.stored, name, why);
    EXPECT_EQ(ok, c.path != nullptr) << c.stored;
    if (!ok || c.path == nullptr) continue;
    std::string path;
    for (const std::string& part : name.parts) path += (path.empty() ? "" : "/") + part;
    EXPECT_EQ(path, c.path) << c.stored;
    EXPECT_EQ(name.key, c.key) << c.stored;
  }
}

}  // namespace
