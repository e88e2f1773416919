#include "shell/version.h"

#include "shell/build_version.h"

std::string FormatVersionText(const std::string& fileVersion) {
  if (fileVersion.empty()) return "";
  std::string text = " " + fileVersion + "\n";
  for (char& c : text)
    if (c == ',') c = '.';
  // Delete the blank after every ". " (a version written "2, 3, 0, 45").
  for (size_t p = text.find(". "); p != std::string::npos; p = text.find(". ", p + 1)) text.erase(p + 1, 1);
  std::string build;
  size_t nl = text.find('\n');
  size_t last = text.rfind('.', nl);
  if (last != std::string::npos) {
    std::string tail = text.substr(last + 1, nl - last - 1);
    if (tail != "0" && !tail.empty() && tail.size() <= 9) build = tail;
    text.erase(last, nl - last);
  }
  // Trailing ".0" components go, but major and minor always stay.
  for (;;) {
    nl = text.find('\n');
    size_t first = text.find('.');
    if (nl >= 2 && text.compare(nl - 2, 2, ".0") == 0 && nl - 2 != first) {
      text.erase(nl - 2, 2);
    } else {
      break;
    }
  }
  text.erase(text.find('\n'));
  if (!build.empty()) text += " build " + build;
  return text;
}

std::string GetVersionText() { return FormatVersionText(DNSSERVER_VERSION); }
