// dnsserver-settings-doc: prints the configuration reference (docs/configuration.md) written from
// the server's settings table.
//
//   dnsserver-settings-doc                 prints the page to standard output
//   dnsserver-settings-doc -check FILE     exit status 0 when FILE holds exactly that page, else 1
//
// After changing a setting, regenerate the page:
//   build/tools/dnsserver-settings-doc > docs/configuration.md
#include <cstdio>
#include <cstring>
#include <fstream>
#include <sstream>
#include <string>

#include "server/settings_reference.h"

int main(int argc, char** argv) {
  const std::string page = SettingsReferenceMarkdown();
  if (argc == 1) {
    std::fwrite(page.data(), 1, page.size(), stdout);
    return std::fflush(stdout) == 0 ? 0 : 1;
  }
  if (argc == 3 && std::strcmp(argv[1], "-check") == 0) {
    std::ifstream in(argv[2], std::ios::binary);
    std::ostringstream text;
    text << in.rdbuf();
    if (in && text.str() == page) return 0;
    std::fprintf(stderr, "%s is not the generated configuration reference; run\n  %s > %s\n", argv[2], argv[0],
                 argv[2]);
    return 1;
  }
  std::fprintf(stderr, "Usage: dnsserver-settings-doc [-check FILE]\n");
  return 2;
}
