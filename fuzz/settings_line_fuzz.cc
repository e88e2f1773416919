// Fuzz target for the settings line reader and line parser: the input is the contents of a
// settings file. It is read once as a whole (pieces of at most 16383 characters, "#" lines
// stopping at the missing key) and once line by line straight into the line parser, so text after
// a "#" line is reached too.
#include <cstdint>
#include <cstdlib>
#include <string_view>

#include "config/settings_file.h"

namespace {

void CheckMap(const SettingsMap& settings) {
  for (const auto& [name, value] : settings) {
    if (name.empty()) std::abort();  // every entry has a name
    (void)value;
  }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  const std::string_view text(reinterpret_cast<const char*>(data), size);

  SettingsMap whole;
  ReadSettingsText(text, "", whole);
  CheckMap(whole);

  SettingsMap byLine;
  SettingsReader reader(byLine, "");
  size_t start = 0;
  while (start <= text.size()) {
    size_t end = text.find('\n', start);
    if (end == std::string_view::npos) end = text.size();
    reader.ParseLine(text.substr(start, end - start));
    start = end + 1;
  }
  CheckMap(byLine);
  return 0;
}
