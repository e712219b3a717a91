// The program parcel split makes a self-joining file with (--stub): found by
// name ("windows", "linux": the programs installed with parcel) or by path,
// and recognised by the marker our build puts in it, in a Windows (PE) or a
// Linux (ELF) program. Anything else is refused.
#pragma once

#include <string>

#include "parcelio/FileIO.h"

namespace parceltool {

enum class StubKind { Windows, Linux };

struct StubProgram {
  parcelio::File file;   // open for reading
  parcelio::fs::path path;
  std::string shown;     // as the user sees it
  StubKind kind = StubKind::Windows;
  int64_t size = 0;
};

// Resolves and checks --stub's value. On failure the reason has been said
// and the answer is the exit status; ExitOk when stub is ready.
int OpenStubProgram(const std::string& given, StubProgram& stub);

// Whether the open file carries the data of a volume: the signature at byte
// 0, or where the last four bytes of the file point.
bool CarriesVolume(parcelio::File& file);

// Where "--stub windows" and "--stub linux" look, in order: beside parcel,
// then in ../lib/parcel below its folder (the Debian package's place).
std::vector<parcelio::fs::path> InstalledStubPaths(StubKind kind);

}  // namespace parceltool
