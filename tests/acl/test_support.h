// Test support for the list and URL tests: a real HTTP server on loopback (tests/acl/http_server.py
// run by /usr/bin/python3, stopped by its PID), temporary folders, and the log written to a file.
#pragma once

#include <signal.h>
#include <spawn.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "shell/log.h"
#include "../test_files.h"

extern char** environ;

namespace test_support {

inline std::string MakeTempDir() { return test_files::MakeTempDir("dnsserver-acl-"); }
using test_files::ReadFile;
using test_files::WriteFile;

inline void RemoveTree(const std::string& dir) {
  if (dir.size() > 5 && dir.rfind("/tmp/", 0) == 0) std::system(("rm -rf '" + dir + "'").c_str());
}

// The log of the process goes to a file while the capture lives.
class LogCapture {
 public:
  LogCapture() : dir_(MakeTempDir()), path_(dir_ + "/log.txt") { StartLogAndWinsock(path_.c_str()); }
  ~LogCapture() {
    StopLogAndWinsock();
    RemoveTree(dir_);
  }
  std::string Text() const { return ReadFile(path_); }
  void Clear() const { WriteFile(path_, ""); }
  bool Contains(const std::string& text) const { return Text().find(text) != std::string::npos; }

 private:
  std::string dir_;
  std::string path_;
};

// The HTTP server serves the files of Root(); requests are listed by Requests().
class HttpTestServer {
 public:
  HttpTestServer() = default;
  ~HttpTestServer() { Stop(); }

  bool Start() {
    base_ = MakeTempDir();
    root_ = base_ + "/root";
    if (base_.empty() || mkdir(root_.c_str(), 0700) != 0) return false;
    std::string portFile = base_ + "/port";
    std::string script = std::string(TEST_SOURCE_DIR) + "/acl/http_server.py";
    std::vector<std::string> args = {"/usr/bin/python3", script,      "--root", root_,
                                     "--port-file",      portFile, "--lifetime", "600"};
    std::vector<char*> argv;
    for (auto& a : args) argv.push_back(&a[0]);
    argv.push_back(nullptr);
    if (posix_spawn(&pid_, argv[0], nullptr, nullptr, argv.data(), environ) != 0) {
      pid_ = -1;
      return false;
    }
    for (int i = 0; i < 200; ++i) {  // up to 10 s for the server to listen
      std::string port = ReadFile(portFile);
      if (!port.empty()) {
        port_ = std::atoi(port.c_str());
        return port_ > 0;
      }
      std::this_thread::sleep_for(std::chrono::milliseconds(50));
    }
    return false;
  }

  void Stop() {
    if (pid_ > 0) {
      kill(pid_, SIGTERM);
      int status;
      waitpid(pid_, &status, 0);
      pid_ = -1;
    }
    RemoveTree(base_);
    base_.clear();
  }

  std::string Url(const std::string& path) const {
    return "http://127.0.0.1:" + std::to_string(port_) + "/" + path;
  }
  void Serve(const std::string& name, const std::string& content) const {
    WriteFile(root_ + "/" + name, content);
  }
  void Remove(const std::string& name) const { unlink((root_ + "/" + name).c_str()); }
  // Paths requested so far, in order, and the user agent of each.
  std::vector<std::string> Requests() const { return Column(0); }
  std::vector<std::string> Agents() const { return Column(1); }

 private:
  std::vector<std::string> Column(int column) const {
    std::vector<std::string> out;
    std::istringstream in(ReadFile(base_ + "/requests.log"));
    std::string line;
    while (std::getline(in, line)) {
      size_t tab = line.find('\t');
      out.push_back(column == 0 ? line.substr(0, tab) : line.substr(tab + 1));
    }
    return out;
  }

  pid_t pid_ = -1;
  int port_ = 0;
  std::string base_;
  std::string root_;
};

}  // namespace test_support
