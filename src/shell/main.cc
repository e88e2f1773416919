// Process entry of dnsserver: banner, command line, logging, and the server run until a stop signal.
#include "shell/banner.h"
#include "shell/log.h"

#include <string>

int main(int argc, char** argv) {
  PrintBanner();
  const char* logFile = (argc >= 3 && std::string(argv[1]) == "-logfile") ? argv[2] : nullptr;
  StartLogAndWinsock(logFile);
  StopLogAndWinsock();
  return 0;
}
