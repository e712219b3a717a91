// Splitting of the process's command line into arguments (see
// CommandLine.h for the rules): the text as GetCommandLineA gives it, and
// the program's own path as argument 0.
#include "ParcelStub/CommandLine.h"

#include "platform/Win32.h"

namespace {

bool IsSeparator(unsigned char c) { return c >= 1 && c <= 32; }

}  // namespace

std::string CommandLineArgument(const std::string& commandLine, int index) {
  const size_t length = commandLine.size();
  size_t i = 0;
  for (int current = 0;; ++current) {
    // Skip separators and empty quoted pairs before the argument.
    for (;;) {
      while (i < length && IsSeparator(static_cast<unsigned char>(commandLine[i]))) ++i;
      if (i + 1 < length && commandLine[i] == '"' && commandLine[i + 1] == '"') {
        i += 2;
        continue;
      }
      break;
    }
    if (i >= length || commandLine[i] == '\0') return std::string();

    std::string argument;
    while (i < length && commandLine[i] != '\0' &&
           !IsSeparator(static_cast<unsigned char>(commandLine[i]))) {
      if (commandLine[i] == '"') {
        ++i;
        while (i < length && commandLine[i] != '\0' && commandLine[i] != '"') {
          argument += commandLine[i++];
        }
        if (i < length && commandLine[i] == '"') ++i;
      } else {
        argument += commandLine[i++];
      }
    }
    if (current == index) return argument;
  }
}

std::string ArgumentText(int index) {
  if (index == 0) {
    // The module path can be longer than MAX_PATH; grow until it fits.
    std::string path(MAX_PATH, '\0');
    for (;;) {
      DWORD got = GetModuleFileNameA(nullptr, &path[0], static_cast<DWORD>(path.size()));
      if (got == 0) return std::string();
      if (got < path.size()) {
        path.resize(got);
        return path;
      }
      path.resize(path.size() * 2);
    }
  }
  const char* commandLine = GetCommandLineA();
  return CommandLineArgument(commandLine ? std::string(commandLine) : std::string(), index);
}
