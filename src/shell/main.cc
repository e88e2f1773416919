// Process entry of dnsserver: banner, command line, logging, the database-module probe, one server
// object, its settings, and the run until a stop signal; then the shutdown in a fixed order.
// The exit code is 0 on every path.
#include <dlfcn.h>
#include <signal.h>
#include <unistd.h>

#include <atomic>
#include <climits>
#include <cstdio>
#include <cstring>
#include <string>

#include "net/packet_pool.h"
#include "server/database_module.h"
#include "server/dns_server.h"
#include "shell/banner.h"
#include "shell/exceptions.h"
#include "shell/log.h"
#include "shell/platform.h"

namespace {

Event* gStopEvent = nullptr;

void OnStopSignal(int) {
  if (gStopEvent != nullptr) gStopEvent->Set();  // async-signal-safe: one write(2)
}

void InstallStopSignals(bool install) {
  struct sigaction sa;
  std::memset(&sa, 0, sizeof(sa));
  sa.sa_handler = install ? OnStopSignal : SIG_DFL;
  sigemptyset(&sa.sa_mask);
  for (int sig : {SIGINT, SIGTERM, SIGHUP, SIGQUIT}) sigaction(sig, &sa, nullptr);
}

}  // namespace

int main(int argc, char** argv) {
  InstallExceptionTranslator();
  PrintBanner();

  // "-logfile" counts only first, "-cfgfile" only right after it (or first); each needs its value.
  const char* logFile = nullptr;
  const char* cfgFile = "dnscfg.ini";
  int next = 1;
  if (argc >= 3 && std::strcmp(argv[1], "-logfile") == 0) {
    logFile = argv[2];
    next = 3;
  }
  if (next + 1 < argc && std::strcmp(argv[next], "-cfgfile") == 0) cfgFile = argv[next + 1];

  if (!StartLogAndWinsock(logFile)) return 0;
  // Stop signals are caught from the start; until the stop event exists they are only recorded.
  static Event stopEvent;
  gStopEvent = &stopEvent;
  InstallStopSignals(true);

  DatabaseModule database;
  database.Load();
  DNSServer* server = database.Loaded() ? database.CreateServer() : nullptr;
  bool fileMode = server == nullptr;
  if (server == nullptr) server = new DNSServer(nullptr);

  ThreadContext* context = nullptr;
  RunReported("DNSServer", [&] {
    context = server->CreateThreadContext(0);
    if (!server->LoadConfig(context, cfgFile)) return;
    if (fileMode || !server->UsesDatabase()) LogMessage("Operating in file mode");
    if (server->Log()) {
      server->PrintConfiguration();
      LogRaw("\n");
    }
    std::printf("Press Ctrl+Break to stop.\n\n");
    std::fflush(stdout);
    g_processStopEvent = &stopEvent;
    if (context->Begin("DNSServer")) server->Run(context);
    g_processStopEvent = nullptr;
  });

  RunReported("DNSServer", [&] {
    if (context != nullptr) {
      context->End("DNSServer");
      delete context;
    }
    delete server;
  });
  database.Unload();
  InstallStopSignals(false);
  gStopEvent = nullptr;
  ReleasePacketPools();
  StopLogAndWinsock();
  return 0;
}
