// Helpers shared by the settings tests: a temporary folder, log capture to a file, commands.
#pragma once

#include <gtest/gtest.h>
#include <stdlib.h>
#include <sys/wait.h>

#include <cstdio>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <string>

#include "shell/log.h"

namespace settings_test {

// A fresh folder under /tmp, removed with everything in it at the end. Its path holds no ".".
class TempDir {
 public:
  TempDir() {
    char pattern[] = "/tmp/settingsXXXXXX";
    const char* made = mkdtemp(pattern);
    if (made != nullptr) path_ = made;
  }
  ~TempDir() {
    std::error_code ignored;
    if (!path_.empty()) std::filesystem::remove_all(path_, ignored);
  }
  TempDir(const TempDir&) = delete;
  TempDir& operator=(const TempDir&) = delete;

  const std::string& path() const { return path_; }
  std::string File(const std::string& name) const { return path_ + "/" + name; }

 private:
  std::string path_;
};

inline void WriteFile(const std::string& path, const std::string& content) {
  std::ofstream out(path, std::ios::binary | std::ios::trunc);
  out << content;
  ASSERT_TRUE(out.good()) << path;
}

inline std::string ReadFile(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  std::stringstream text;
  text << in.rdbuf();
  return text.str();
}

// Arms the process log to a file for the lifetime of the object; Text() reads what was written.
class LogCapture {
 public:
  explicit LogCapture(const std::string& path) : path_(path) {
    WriteFile(path_, "");
    StartLogAndWinsock(path_.c_str());
  }
  ~LogCapture() { StopLogAndWinsock(); }
  LogCapture(const LogCapture&) = delete;
  LogCapture& operator=(const LogCapture&) = delete;

  std::string Text() const { return ReadFile(path_); }

 private:
  std::string path_;
};

// Runs a shell command; returns its exit status and, when out is given, its standard output.
inline int RunCommand(const std::string& command, std::string* out = nullptr) {
  FILE* pipe = popen(command.c_str(), "r");
  if (pipe == nullptr) return -1;
  std::string text;
  char buffer[4096];
  size_t n;
  while ((n = std::fread(buffer, 1, sizeof(buffer), pipe)) > 0) text.append(buffer, n);
  int status = pclose(pipe);
  if (out != nullptr) *out = text;
  return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
}

// An RSA key pair made with the openssl command line: private key in privatePath (PEM), public
// key in publicPath (PEM "PUBLIC KEY").
inline void MakeRsaKeyPair(const std::string& privatePath, const std::string& publicPath,
                           int bits = 2048) {
  ASSERT_EQ(RunCommand("openssl genpkey -algorithm RSA -pkeyopt rsa_keygen_bits:" + std::to_string(bits) +
                " -out '" + privatePath + "' 2>/dev/null"),
            0);
  ASSERT_EQ(RunCommand("openssl pkey -in '" + privatePath + "' -pubout -out '" + publicPath +
                "' 2>/dev/null"),
            0);
}

}  // namespace settings_test
