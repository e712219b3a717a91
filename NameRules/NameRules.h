// The rules for file names that every program of the project shares, as
// plain functions over bytes with no system calls: the two code pages a set
// lives in (ANSI 1252 for stored names, OEM 850 for what the self-joining
// program opens), UTF-8, the names and characters Windows reserves, and the
// check that a stored name stays inside the destination of a join.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>

namespace namerules {

// --- code pages --------------------------------------------------------------

// The character of one byte. Code page 1252 leaves five bytes (81 8D 8F 90
// 9D) undefined; they stand for the control characters of the same number,
// as Windows converts them.
char32_t CharOf1252(uint8_t byte);
char32_t CharOf850(uint8_t byte);
// The byte of a character in either code page; -1 when it has none.
int ByteOf1252(char32_t c);
int ByteOf850(char32_t c);

// 1252 text to 850 and back, byte by byte, as Windows' CharToOemBuff and
// OemToCharBuff convert: a character the other code page lacks takes the
// system's best fit (the ellipsis becomes a dot, S with caron an S), and
// '?' where there is none.
uint8_t AnsiToOemByte(uint8_t ansi);
uint8_t OemToAnsiByte(uint8_t oem);
std::string Cp1252ToCp850(const std::string& ansi);
std::string Cp850ToCp1252(const std::string& oem);

// Whether every character of a 1252 text exists in 850, so that the trip to
// OEM and back gives the same text. The self-joining program opens files by
// their OEM names: a stored name that fails this comes back under another
// name, or not at all (a euro sign becomes '?').
bool Cp850CanHold(const std::string& ansi);
// The first character of a 1252 text that 850 lacks, in UTF-8; empty if none.
std::string FirstCharNotIn850(const std::string& ansi);

// --- UTF-8 -------------------------------------------------------------------

// Appends the UTF-8 bytes of the character c (at most U+10FFFF) to out.
void AppendUtf8(std::string& out, char32_t c);
// Decodes one character at text[i] and moves i past it. False (i unchanged)
// for a byte that does not start a well-formed sequence: a cut or overlong
// sequence, a surrogate, a value beyond U+10FFFF.
bool NextUtf8(const std::string& text, size_t& i, char32_t& c);

// 1252 text in UTF-8 (every byte has a character, see CharOf1252).
std::string Cp1252ToUtf8(const std::string& ansi);
// UTF-8 in 1252; false when the text is not UTF-8 or holds a character 1252
// has no byte for (bad then says which: "'Ω'" or "a byte that is not UTF-8").
bool Utf8ToCp1252(const std::string& utf8, std::string& ansi, std::string& bad);

// Upper-cased as Windows compares file names in code page 1252.
std::string FoldCp1252(const std::string& ansi);

// --- Windows names -----------------------------------------------------------

// The characters no Windows name may hold: the controls below 32 and
// \ / : * ? " < > |.
bool IsForbiddenChar(char32_t c);

enum class CodePage { Ansi1252, Oem850 };

// A name that opens a device instead of a file wherever it stands in a
// path: CON, PRN, AUX, NUL, CONIN$, CONOUT$, CLOCK$, COM0-COM9 and LPT0-LPT9
// (also with the superscript digits 1, 2 and 3, which are B9 B2 B3 in 1252
// and FB FD FC in 850), in any letter case, judged on the part before the
// first dot with trailing blanks dropped ("con .txt" is CON).
bool IsDeviceName(const std::string& component, CodePage codePage);

// A component made only of dots and blanks (".", "..", ". ", "... "):
// Windows drops trailing dots and blanks, so each is "", "." or "..".
bool IsDotsAndBlanks(const std::string& component);

// Why one part of a name to be stored (1252 text, no separators) is not a
// name Windows can create; empty when it is.
std::string NamePartProblem(const std::string& part);

// The check the self-joining program makes on every stored name before it
// opens anything (given in the code page it opens names in): false for a
// name that could reach outside the destination or open a device: a NUL,
// a colon (a drive or a stream), a leading separator (rooted or UNC), a
// component of dots and blanks, a device name (with the superscript digits
// of either code page, so that the check holds whichever it is given).
// Both separators count.
bool IsSafeStoredName(const std::string& name);

// The longest stored path (in characters) that a set meant for the
// self-joining program may hold: a Windows destination such as
// C:\Users\<name>\Downloads\ has to fit before it within Windows' 260.
constexpr size_t kMaxPortablePath = 200;

}  // namespace namerules
