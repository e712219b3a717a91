// The shared name rules: the code page tables (checked against the system's
// own conversions, which under Wine are Windows' tables), UTF-8 decoding,
// and the Windows name rules in tables of cases.
#include <gtest/gtest.h>

#include <string>

#include "NameRules/NameRules.h"
#include "platform/Win32.h"

namespace {

using namerules::CodePage;

// The system converts 1252 to 850 and back (CharToOemBuffA on Windows with
// OEM 850, our layer on Linux): every byte must agree with the tables.
TEST(NameRules, ConversionsMatchTheSystem) {
  if (GetACP() != 1252 || GetOEMCP() != 850) GTEST_SKIP() << "code pages " << GetACP() << "/" << GetOEMCP();
  for (int b = 1; b < 256; ++b) {
    char byte[2] = {static_cast<char>(b), 0}, oem[2] = {}, ansi[2] = {};
    CharToOemBuffA(byte, oem, 1);
    OemToCharBuffA(byte, ansi, 1);
    EXPECT_EQ(static_cast<uint8_t>(oem[0]), namerules::AnsiToOemByte(static_cast<uint8_t>(b))) << b;
    EXPECT_EQ(static_cast<uint8_t>(ansi[0]), namerules::OemToAnsiByte(static_cast<uint8_t>(b))) << b;
  }
}

TEST(NameRules, CodePageCharacters) {
  const struct {
    uint8_t byte;
    char32_t in1252, in850;
  } cases[] = {{'A', 'A', 'A'}, {0x80, 0x20AC, 0xC7}, {0x81, 0x81, 0xFC}, {0x9F, 0x178, 0x192},
               {0xE9, 0xE9, 0xDA}, {0xFF, 0xFF, 0xA0}, {0xFC, 0xFC, 0xB3}};
  for (const auto& c : cases) {
    EXPECT_EQ(namerules::CharOf1252(c.byte), c.in1252) << int(c.byte);
    EXPECT_EQ(namerules::CharOf850(c.byte), c.in850) << int(c.byte);
    EXPECT_EQ(namerules::ByteOf1252(c.in1252), c.byte) << int(c.byte);
    EXPECT_EQ(namerules::ByteOf850(c.in850), c.byte) << int(c.byte);
  }
  EXPECT_EQ(namerules::ByteOf1252(0x3A9), -1);  // omega
  EXPECT_EQ(namerules::ByteOf850(0x20AC), -1);  // euro
}

TEST(NameRules, WhatCodePage850Holds) {
  const struct {
    const char* ansi;
    const char* lacking;  // UTF-8
  } cases[] = {{"Caf\xE9 \xFC\xDF.txt", ""}, {"a \x80.txt", "€"}, {"\x85", "…"}, {"S\x8A", "Š"},
               {"x\x81", "\xC2\x81"}, {"\xBE\xB9", ""}, {"\x8C", "Œ"}, {"", ""}};
  for (const auto& c : cases) {
    EXPECT_EQ(namerules::FirstCharNotIn850(c.ansi), c.lacking) << c.ansi;
    EXPECT_EQ(namerules::Cp850CanHold(c.ansi), *c.lacking == '\0') << c.ansi;
  }
  // Best fits: the name the self-joining program would open instead.
  EXPECT_EQ(namerules::Cp1252ToCp850("a\x85\x8A\x80"), "a.S?");
}

TEST(NameRules, Utf8Decoding) {
  const struct {
    std::string text;
    bool ok;
    char32_t c;
    size_t length;
  } cases[] = {{"a", true, 'a', 1},           {"\xC3\xA9", true, 0xE9, 2},
               {"\xE2\x82\xAC", true, 0x20AC, 3}, {"\xF0\x9F\x98\x80", true, 0x1F600, 4},
               {"\xC3", false, 0, 0},         {"\xC0\xAF", false, 0, 0},  // cut, overlong '/'
               {"\xE0\x80\xAF", false, 0, 0}, {"\xED\xA0\x80", false, 0, 0},  // overlong, surrogate
               {"\xF4\x90\x80\x80", false, 0, 0}, {"\x80", false, 0, 0}, {"\xFF", false, 0, 0}};
  for (const auto& c : cases) {
    size_t i = 0;
    char32_t got = 0;
    EXPECT_EQ(namerules::NextUtf8(c.text, i, got), c.ok) << c.text;
    EXPECT_EQ(i, c.length) << c.text;
    if (c.ok) {
      EXPECT_EQ(got, c.c) << c.text;
    }
  }
}

TEST(NameRules, DeviceNamesInEachCodePage) {
  const struct {
    const char* component;
    bool in1252, in850;
  } cases[] = {
      {"CON", true, true},       {"con.txt", true, true},   {"Con .a.b", true, true},
      {"CONIN$", true, true},    {"conout$", true, true},   {"Clock$.x", true, true},
      {"COM0", true, true},      {"lpt0", true, true},      {"COM9.log", true, true},
      {"COM10", false, false},   {"CONSOLE", false, false}, {"CLOCK", false, false},
      {"COM\xB9", true, false},  {"LPT\xB3", true, false},  // superscripts 1, 3 in 1252
      {"COM\xFB", false, true},  {"lpt\xFD.x", false, true},  // superscripts 1, 2 in 850
      {"COM\xFC", false, true},  // in 1252 that is u with diaeresis, a letter
      {"NUL\xA0", false, false}, {"", false, false},        {".con", false, false},
  };
  for (const auto& c : cases) {
    EXPECT_EQ(namerules::IsDeviceName(c.component, CodePage::Ansi1252), c.in1252) << c.component;
    EXPECT_EQ(namerules::IsDeviceName(c.component, CodePage::Oem850), c.in850) << c.component;
  }
}

TEST(NameRules, StoredNameSafety) {
  const struct {
    std::string name;
    bool safe;
  } cases[] = {
      {"a.txt", true},      {"a\\b\\c", true},     {"a/b", true},       {"...x", true},
      {"x..", true},        {"a\\\\b", true},      {"", true},          {". a", true},
      {".", false},         {"..", false},         {"... ", false},     {" ", false},
      {"a\\ \\b", false},   {"a\\.", false},       {"\\a", false},      {"/a", false},
      {"C:a", false},       {"a:stream", false},   {"CLOCK$", false},   {"x\\conout$.txt", false},
      {"COM\xFB", false},   {"COM\xB9", false},    {std::string("a\0b", 3), false},
  };
  for (const auto& c : cases) EXPECT_EQ(namerules::IsSafeStoredName(c.name), c.safe) << c.name;
}

TEST(NameRules, DotsAndBlanksAndForbiddenCharacters) {
  for (const char* yes : {".", "..", ". ", " ", "  ..  "}) EXPECT_TRUE(namerules::IsDotsAndBlanks(yes)) << yes;
  for (const char* no : {"", ".a", "a.", " a "}) EXPECT_FALSE(namerules::IsDotsAndBlanks(no)) << no;
  for (char32_t c : {U'\\', U'/', U':', U'*', U'?', U'"', U'<', U'>', U'|', U'\t', U'\x1F'})
    EXPECT_TRUE(namerules::IsForbiddenChar(c)) << static_cast<int>(c);
  for (char32_t c : {U' ', U'.', U'$', U'%', U'\x7F', U'\u20AC'})
    EXPECT_FALSE(namerules::IsForbiddenChar(c)) << static_cast<int>(c);
}

}  // namespace
