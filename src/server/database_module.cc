#include "server/database_module.h"

#include <dlfcn.h>
#include <unistd.h>

#include <atomic>
#include <climits>
#include <string>

#include "shell/log.h"

#ifndef DNSSERVER_MODULE_DIR
#define DNSSERVER_MODULE_DIR "/usr/local/lib/dnsserver"
#endif

namespace {
std::atomic<bool> gUnavailable{false};
std::atomic<int> gReferences{0};

std::string ExecutableDir() {
  char path[PATH_MAX];
  ssize_t n = readlink("/proc/self/exe", path, sizeof(path) - 1);
  if (n <= 0) return ".";
  path[n] = '\0';
  std::string s(path);
  size_t slash = s.rfind('/');
  return slash == std::string::npos ? "." : s.substr(0, slash);
}
}  // namespace

bool DatabaseModule::Unavailable() { return gUnavailable.load(); }

bool DatabaseModule::Load() {
  if (gReferences.fetch_add(1) + 1 != 1) return Loaded();
  for (const std::string& dir : {ExecutableDir(), std::string(DNSSERVER_MODULE_DIR)}) {
    std::string path = dir + "/" DNSSERVER_DB_MODULE;
    if (access(path.c_str(), R_OK) != 0) continue;
    // NODELETE: a database thread left running after its grace period must not lose its code.
    handle_ = dlopen(path.c_str(), RTLD_NOW | RTLD_LOCAL | RTLD_NODELETE);
    if (handle_ != nullptr) break;
  }
  if (handle_ != nullptr) {
    create_ = reinterpret_cast<CreateDatabaseServerFn>(dlsym(handle_, DNSSERVER_DB_ENTRY));
    if (create_ == nullptr) {
      dlclose(handle_);
      handle_ = nullptr;
    }
  }
  if (handle_ == nullptr) {
    gUnavailable = true;
    LogMessage("Unable to load %s", DNSSERVER_DB_MODULE);
  }
  return Loaded();
}

void DatabaseModule::Unload() {
  if (handle_ == nullptr) return;
  if (gReferences.fetch_sub(1) - 1 == 0) {
    dlclose(handle_);
    handle_ = nullptr;
    create_ = nullptr;
  }
}
