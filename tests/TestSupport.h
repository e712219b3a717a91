// Helpers shared by the unit tests of both builds.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

// A fresh directory below the system's temporary directory, removed with
// everything in it when the object goes.
class ScratchDir {
 public:
  ScratchDir();
  ~ScratchDir();
  ScratchDir(const ScratchDir&) = delete;
  ScratchDir& operator=(const ScratchDir&) = delete;

  // The directory as the Win32 calls take it (Z:\... on Linux), without a
  // final backslash; Path("a\\b") is a path below it in the same form.
  const std::string& Win32() const { return win32_; }
  std::string Path(const std::string& relative) const;
  // The same places as the host's own file functions take them.
  const std::string& Native() const { return native_; }
  std::string NativePath(const std::string& relative) const;

  void WriteBytes(const std::string& relative, const std::string& bytes) const;
  void WriteBytes(const std::string& relative, const std::vector<uint8_t>& bytes) const;
  std::string ReadBytes(const std::string& relative) const;
  bool Exists(const std::string& relative) const;
  void MakeDir(const std::string& relative) const;

 private:
  std::string win32_;
  std::string native_;
};

// Bytes of a string literal that may hold NULs: Bytes("a\0b", 3).
std::string Bytes(const char* data, size_t size);
