// Stored names: the code page 1252 text a volume holds, its UTF-8 form on
// disk, and the rules that keep a name usable on Windows and inside the
// destination of a join.
#pragma once

#include <string>
#include <vector>

namespace parcelio {

// UTF-8 to code page 1252; false when the text is not valid UTF-8 or holds a
// character that 1252 has no byte for (bad then names it).
bool ToCp1252(const std::string& utf8, std::string& ansi, std::string& bad);
// Code page 1252 to UTF-8; the five bytes 1252 leaves undefined become the
// control characters of the same number, as Windows converts them.
std::string FromCp1252(const std::string& ansi);
// Upper-cased as Windows compares file names in code page 1252.
std::string FoldCp1252(const std::string& ansi);

// Why one part of a name to be stored (1252 text, no separators) is not a
// name Windows can take; empty when it is.
std::string NamePartProblem(const std::string& part);

// The whole stored name (parts joined by backslashes): empty when a join,
// ours or the self-joining program's, takes it; else the reason.
std::string StoredNameProblem(const std::string& stored);

// Whether the system's OEM code page holds every character of a 1252 name.
// The self-joining program opens files by their OEM names, so it cannot
// rebuild a name that fails this (a euro sign with OEM 850, for one).
bool OemCanHold(const std::string& ansi);

// Why the self-joining program could not rebuild a stored name (1252 text
// that passed StoredNameProblem): a character its code page 850 lacks, or a
// path longer than a Windows destination leaves room for. Empty when it can.
std::string UnportableNameProblem(const std::string& stored);

// The relative path a join writes for a stored name.
struct OutputName {
  std::vector<std::string> parts;  // UTF-8
  std::string key;
};
// A stored name read from a volume, made into the relative path a join
// writes: its parts in UTF-8 (trailing dots and blanks dropped, as Windows
// does; empty and "." parts dropped), and a key that is equal for every
// spelling of the same file. False with the reason when the name is refused
// (the same refusals as the self-joining program, and what Windows forbids).
bool ResolveStoredName(const std::string& stored, OutputName& out, std::string& why);

}  // namespace parcelio
