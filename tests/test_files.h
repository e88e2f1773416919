// Files for the tests: a fresh temporary folder, and whole files written and read back.
#pragma once

#include <stdlib.h>

#include <fstream>
#include <sstream>
#include <string>

namespace test_files {

// A new folder /tmp/<prefix>XXXXXX; empty text when it cannot be made.
inline std::string MakeTempDir(const char* prefix) {
  std::string tmpl = std::string("/tmp/") + prefix + "XXXXXX";
  const char* dir = mkdtemp(&tmpl[0]);
  return dir ? dir : "";
}

inline void WriteFile(const std::string& path, const std::string& content) {
  std::ofstream out(path, std::ios::binary | std::ios::trunc);
  out << content;
}

inline std::string ReadFile(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  std::stringstream ss;
  ss << in.rdbuf();
  return ss.str();
}

}  // namespace test_files
