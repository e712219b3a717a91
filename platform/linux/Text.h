// Text in the Linux Win32 emulation: the ANSI (1252) and OEM (850) code
// pages through the shared name rules, the switch of the file calls between
// them, UTF-8 for names on disk, Unicode case rules and the Win32 wildcard
// match. Above the error layer only; also the code-page and character calls
// (GetACP, CharUpperBuffA, CharToOemBuffA, ...).
#pragma once

#include <string>

namespace emu {

// Code pages the layer knows: the ANSI and the OEM code page of the machine.
constexpr unsigned kAnsiCodePage = 1252;
constexpr unsigned kOemCodePage = 850;

// Single-byte text in code page 1252 or 850 as UTF-8, and back. Characters
// that the code page cannot represent come back as '?'; byte sequences that
// are not valid UTF-8 count as such characters.
std::string CodePageToUtf8(const std::string& bytes, unsigned codePage);
std::string Utf8ToCodePage(const std::string& utf8, unsigned codePage);

// The code page of the file calls' names: 1252 in ANSI mode (the start),
// 850 after SetFileApisToOEM.
unsigned FileApiCodePage();

// Unicode case rules: the upper and lower case of a character (itself when
// it has none), and whether it is a letter.
constexpr char32_t kReplacementChar = 0xFFFD;
char32_t UpperChar(char32_t c);
char32_t LowerChar(char32_t c);
bool IsLetter(char32_t c);
// UTF-8 text as characters; bytes that are not valid UTF-8 decode to
// kReplacementChar, one per byte.
std::u32string DecodeUtf8(const std::string& text);
// Appends one character as UTF-8.
void AppendUtf8(std::string& out, char32_t c);
// Case-insensitive equality of two UTF-8 names, character by character.
bool SameNameNoCase(const std::string& a, const std::string& b);
// A UTF-8 name with every character upper-cased: names that match
// regardless of case fold to the same text.
std::string Folded(const std::string& name);
// The Win32 wildcard match of a UTF-8 name against a UTF-8 pattern ('*'
// any run, '?' any one character, the rest regardless of case).
bool MatchesPattern(const std::string& name, const std::string& pattern);
// A name from disk in the file-API code page; characters that Win32 names
// cannot hold, or the code page cannot represent, become '?'.
std::string NameToCodePage(const std::string& utf8Name);

}  // namespace emu
