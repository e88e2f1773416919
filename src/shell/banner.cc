#include "shell/banner.h"

#include <cstdio>
#include <ctime>

#include "shell/version.h"

namespace {
constexpr int kFirstYear = 2026;
}

std::string MakerLine(int currentYear) {
  std::string years = std::to_string(kFirstYear);
  if (currentYear > kFirstYear) years += "-" + std::to_string(currentYear);
  return "Copyright (C) " + years + " The dnsserver developers, https://dnsserver.example/";
}

void PrintBanner() {
  time_t now = time(nullptr);
  struct tm tmv;
  localtime_r(&now, &tmv);
  std::printf("%s%s\n", "DNS Server", GetVersionText().c_str());
  std::printf("%s\n\n", MakerLine(tmv.tm_year + 1900).c_str());
  std::printf("Usage: dnsserver [-logfile filename] [-cfgfile dnscfg.ini]\n\n");
  std::fflush(stdout);
}
