// The configuration reference against the settings table: the committed page must be exactly what
// the table gives, so a setting added to the code without its documentation fails here.
#include "server/settings_reference.h"

#include <gtest/gtest.h>

#include <fstream>
#include <sstream>
#include <string>

#include "server/server_settings.h"

namespace {

std::string ReadFile(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  std::ostringstream text;
  text << in.rdbuf();
  return text.str();
}

TEST(SettingsReference, CommittedPageIsTheGeneratedOne) {
  const std::string path = std::string(TEST_SOURCE_DIR) + "/../docs/configuration.md";
  const std::string committed = ReadFile(path);
  ASSERT_FALSE(committed.empty()) << path << " is missing";
  const std::string generated = SettingsReferenceMarkdown();
  if (committed == generated) return;
  // Point at the first line that differs, then fail with the way to fix it.
  std::istringstream a(committed), b(generated);
  std::string la, lb;
  int line = 0;
  while (true) {
    bool ga = static_cast<bool>(std::getline(a, la)), gb = static_cast<bool>(std::getline(b, lb));
    ++line;
    if (!ga && !gb) break;
    if (!ga || !gb || la != lb) break;
  }
  FAIL() << "docs/configuration.md differs from the settings table at line " << line << ":\n  committed: " << la
         << "\n  generated: " << lb << "\nRegenerate it: build/tools/dnsserver-settings-doc > docs/configuration.md";
}

// Every row documents itself: its names (each alternative), a syntax, a default and an effect.
TEST(SettingsReference, EveryRowIsDocumented) {
  const std::string page = SettingsReferenceMarkdown();
  size_t count = 0;
  const SettingRow* rows = SettingRows(&count);
  for (size_t i = 0; i < count; ++i) {
    const SettingRow& row = rows[i];
    ASSERT_NE(row.names[0], nullptr) << "row " << i + 1;
    for (const char* name : row.names) {
      if (name == nullptr) break;
      EXPECT_NE(page.find(std::string("`") + name + "`"), std::string::npos) << name;
    }
    for (const char* text : {row.syntax, row.defaultText, row.effect}) {
      EXPECT_TRUE(text != nullptr && text[0] != '\0') << row.names[0] << ": empty documentation text";
    }
  }
  // The settings read outside the table.
  for (const char* name : {"MySQLHost", "MySQLDbName", "MySQLUser", "MySQLPass", "DNSZonesReload",
                           "AllowedUrl9", "ReportUrl9"}) {
    EXPECT_NE(page.find(std::string("`") + name + "`"), std::string::npos) << name;
  }
}

// A value with a "|" must not split its table cell.
TEST(SettingsReference, TableRowsHaveSixCells) {
  const std::string page = SettingsReferenceMarkdown();
  std::istringstream in(page);
  std::string line;
  int rows = 0;
  bool inTable = false;
  while (std::getline(in, line)) {
    if (line.rfind("| # | Setting |", 0) == 0) {
      inTable = true;
      continue;
    }
    if (!inTable) continue;
    if (line.empty()) break;
    if (line.rfind("|---", 0) == 0) continue;
    int cells = -1;
    for (size_t i = 0; i < line.size(); ++i)
      if (line[i] == '|' && (i == 0 || line[i - 1] != '\\')) ++cells;
    EXPECT_EQ(cells, 6) << line;
    ++rows;
  }
  size_t count = 0;
  SettingRows(&count);
  EXPECT_EQ(rows, static_cast<int>(count));
}

}  // namespace
