// The settings file reader: line syntax, file names, lookups and value tests, on real files.
#include "config/settings_file.h"

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <string>
#include <utility>
#include <vector>

#include "settings_test_support.h"

namespace {

using settings_test::LogCapture;
using settings_test::TempDir;
using settings_test::WriteFile;
using Entries = std::vector<std::pair<std::string, std::string>>;

Entries EntriesOf(const SettingsMap& settings) {
  Entries entries;
  for (const auto& [name, value] : settings) entries.emplace_back(name, value.text);
  return entries;
}

struct ParseCase {
  const char* name;
  std::string text;
  Entries expected;
};

const std::string kLongValue(SettingsReader::kMaxLine - 2, 'x');

const ParseCase kParseCases[] = {
    {"blank separator", "DNSPort 53\n", {{"DNSPort", "53"}}},
    {"tab separator", "DNSPort\t53\n", {{"DNSPort", "53"}}},
    {"equals", "DNSPort=53\n", {{"DNSPort", "53"}}},
    {"lower case, blanks around equals", "dnsport = 53\n", {{"dnsport", "53"}}},
    {"three ways are one entry with the first spelling",
     "DNSPort 51\ndnsport = 52\nDNSPORT=53\n",
     {{"DNSPort", "53"}}},
    {"quoted after blanks, escapes removed", "Name \"a \\\"b\\\" c\\\\d\"\n", {{"Name", "a \"b\" c\\d"}}},
    {"quoted after equals is kept as written", "Name=\"a \\\"b\\\"\"\n", {{"Name", "\"a \\\"b\\\"\""}}},
    {"text after the closing quote is dropped", "Name \"x\" trailing\n", {{"Name", "x"}}},
    {"quoted value keeps its #", "Name \"a # b\"\n", {{"Name", "a # b"}}},
    {"remark after blanks is dropped", "Name value  # remark\n", {{"Name", "value"}}},
    {"remark after equals is kept", "Name=value # remark\n", {{"Name", "value # remark"}}},
    {"only a remark after blanks gives an empty value", "Name #remark\n", {{"Name", ""}}},
    {"name alone is ignored", "Name\n", {}},
    {"name alone with trailing blanks is ignored", "Name   \t\n", {}},
    {"name and equals set an empty value", "Name=\n", {{"Name", ""}}},
    {"a second equals starts the value", "A==x\nB = = y\n", {{"A", "=x"}, {"B", "= y"}}},
    {"unterminated quote ignores the line", "Name \"abc\nOther 1\n", {{"Other", "1"}}},
    {"escaped closing quote is no closing quote", "Name \"abc\\\"\n", {}},
    {"backslash at the end is no closing quote", "Name \"abc\\\n", {}},
    {"comments and lines starting with equals", ";A 1\n  ;B 2\n  #C 3\n=D 4\n", {}},
    {"leading and trailing blanks", "  \t Name   1 \t \n", {{"Name", "1"}}},
    {"CRLF line ends", "A 1\r\nB=2\r\n", {{"A", "1"}, {"B", "2"}}},
    {"a NUL byte ends the line", std::string("A 1\0junk\nB 2\n", 14), {{"A", "1"}, {"B", "2"}}},
    {"a later line replaces the value", "A 1\na 2\n", {{"A", "2"}}},
    {"block of three lines with an empty line inside",
     "<Servers>\nfirst\n\nsecond\nthird\n</Servers>\nAfter 1\n",
     {{"After", "1"}, {"Servers", "first\nsecond\nthird"}}},
    {"block lines: blanks trimmed, remarks dropped, quotes read",
     "<B>\n  one  \ntwo # remark\n\"  three # kept \"\n</B>\n",
     {{"B", "one\ntwo\n  three # kept "}}},
    {"end tag in any letter case", "<Block>\nx\n</BLOCK>\nA 1\n", {{"A", "1"}, {"Block", "x"}}},
    {"nested tags are ignored", "<B>\n<C>\nx\n</C>\ny\n</B>\n", {{"B", "x\ny"}}},
    {"setting lines inside a block are block text", "<B>\nA 1\n</B>\n", {{"B", "A 1"}}},
    {"unclosed block keeps its lines", "<B>\nx\ny\n", {{"B", "x\ny"}}},
    {"tag without > is ignored", "<B a=1\nA 1\n", {{"A", "1"}}},
    {"blank after < is ignored", "< B>\nA 1\n", {{"A", "1"}}},
    {"empty tag is ignored", "<>\nA 1\n", {{"A", "1"}}},
    {"end tag with no block open opens nothing", "</B>\nA 1\n", {{"A", "1"}}},
    {"block replaces a plain entry", "B old\n<b>\nnew\n</B>\n", {{"B", "new"}}},
    {"indented # inside a block is a remark", "<B>\n  #x\ny\n</B>\n", {{"B", "y"}}},
    {"empty quoted block line adds an empty line", "<B>\nx\n\"\"\ny\n</B>\n", {{"B", "x\n\ny"}}},
    {"overlong line is read in pieces", "A " + kLongValue + "C 3\nB 1\n",
     {{"A", kLongValue}, {"B", "1"}, {"C", "3"}}},
    {"overlong piece without separator is ignored",
     "A " + kLongValue + std::string(5000, 'z') + "\nB 1\n",
     {{"A", kLongValue}, {"B", "1"}}},
};

TEST(SettingsLineParser, Cases) {
  for (const ParseCase& c : kParseCases) {
    SettingsMap settings;
    EXPECT_TRUE(ReadSettingsText(c.text, "", settings)) << c.name;
    EXPECT_EQ(EntriesOf(settings), c.expected) << c.name;
  }
}

TEST(SettingsLineParser, SameTextFromAFileGivesTheSameMap) {
  TempDir dir;
  for (const ParseCase& c : kParseCases) {
    const std::string path = dir.File("dnscfg.ini");
    WriteFile(path, c.text);
    SettingsMap settings;
    EXPECT_TRUE(ReadSettingsFile(path.c_str(), settings)) << c.name;
    EXPECT_EQ(EntriesOf(settings), c.expected) << c.name;
  }
}

TEST(SettingsLineParser, TagAttributes) {
  SettingsMap settings;
  ReadSettingsText("<Block a=1 b = \"x > \\\"y\\\"\" c d=>\nline\n</Block>\n", "", settings);
  const SettingValue* block = FindSetting(settings, "block");
  ASSERT_NE(block, nullptr);
  EXPECT_EQ(block->text, "line");
  const std::map<std::string, std::string> expected = {
      {"a", "1"}, {"b", "x > \"y\""}, {"c", ""}, {"d", ""}};
  EXPECT_EQ(block->attributes, expected);

  // An "=" without a name ends the attributes; the tag still counts.
  settings.clear();
  ReadSettingsText("<B a=1 =2 c=3>\nx\n</B>\n", "", settings);
  ASSERT_NE(FindSetting(settings, "B"), nullptr);
  EXPECT_EQ(FindSetting(settings, "B")->attributes, (std::map<std::string, std::string>{{"a", "1"}}));

  // An unterminated quoted attribute leaves the tag without its ">".
  settings.clear();
  ReadSettingsText("<B a=\"x>\nA 1\n", "", settings);
  EXPECT_EQ(EntriesOf(settings), (Entries{{"A", "1"}}));

  // A plain value replaces a block's attributes too.
  settings.clear();
  ReadSettingsText("<B a=1>\n</B>\nB 2\n", "", settings);
  EXPECT_TRUE(FindSetting(settings, "B")->attributes.empty());
}

TEST(SettingsLineParser, BlockStateAcrossLines) {
  SettingsMap settings;
  SettingsReader reader(settings, "");
  reader.ParseLine("<Zone>");
  EXPECT_EQ(reader.openBlock(), "Zone");
  reader.ParseLine("a");
  reader.ParseLine("</zone>");
  EXPECT_EQ(reader.openBlock(), "");
  reader.ParseLine("b");  // a line without separator outside the block
  EXPECT_EQ(EntriesOf(settings), (Entries{{"Zone", "a"}}));
}

TEST(SettingsFile, KeyFileName) {
  const std::pair<const char*, const char*> cases[] = {
      {"dnscfg.ini", "dnscfg.key"},
      {"/etc/dns/dnscfg.ini", "/etc/dns/dnscfg.key"},
      {"./dnscfg.ini", "./dnscfg.key"},
      {"/etc/conf.d/dnscfg.ini", "/etc/conf.d/dnscfg.key"},
      {"/a/b.c.d", "/a/b.key"},
      {"dnscfg", ""},
      {"/etc/conf.d/dnscfg", ""},
      {"", ""},
  };
  for (const auto& [path, key] : cases) EXPECT_EQ(SettingsKeyFileName(path), key) << path;
}

TEST(SettingsFile, OpenFailures) {
  TempDir dir;
  LogCapture log(dir.File("log"));
  SettingsMap settings;
  EXPECT_FALSE(ReadSettingsFile(nullptr, settings));
  EXPECT_FALSE(ReadSettingsFile("", settings));
  EXPECT_FALSE(ReadSettingsFile(dir.File("missing.ini").c_str(), settings));
  EXPECT_FALSE(ReadSettingsFile(dir.path().c_str(), settings));  // a directory
  const std::string text = log.Text();
  EXPECT_THAT(text, testing::ContainsRegex(
                        "Error: \\[[0-9/]+ [0-9:]+\\] Settings file does not specified\n"
                        ".*Settings file does not specified\n"
                        ".*\\] Unable to open config file \\(error 2\\)\n"
                        ".*\\] Unable to open config file \\(error 21\\)\n"));
  EXPECT_TRUE(settings.empty());
}

TEST(SettingsFile, EncCopyIsPreferred) {
  TempDir dir;
  const std::string path = dir.File("dnscfg.ini");
  WriteFile(path, "A plain\nB 1\n");
  WriteFile(path + ".enc", "A enc\n");
  SettingsMap settings;
  EXPECT_TRUE(ReadSettingsFile(path.c_str(), settings));
  EXPECT_EQ(EntriesOf(settings), (Entries{{"A", "enc"}}));

  // The copy alone is enough.
  std::filesystem::remove(path);
  settings.clear();
  EXPECT_TRUE(ReadSettingsFile(path.c_str(), settings));
  EXPECT_EQ(EntriesOf(settings), (Entries{{"A", "enc"}}));
}

TEST(SettingsFile, EncryptedLineWithoutDotInFileNameStopsReading) {
  TempDir dir;
  LogCapture log(dir.File("log"));
  std::filesystem::create_directory(dir.File("conf.d"));
  for (const std::string& path : {dir.File("dnscfg"), dir.File("conf.d/dnscfg")}) {
    WriteFile(path, "A 1\n#aAbB\nB 2\n");
    SettingsMap settings;
    EXPECT_FALSE(ReadSettingsFile(path.c_str(), settings)) << path;
    EXPECT_EQ(EntriesOf(settings), (Entries{{"A", "1"}})) << path;
  }
  const std::string text = log.Text();
  EXPECT_THAT(text, testing::ContainsRegex("^Error: \\[[0-9/]+ [0-9:]+\\] Wrong key filename\\.\n"
                                           "Error: .* Wrong key filename\\.\n$"));

  // A "#" after leading blanks is not an encrypted line: no key is needed.
  WriteFile(dir.File("plain"), "A 1\n  #aAbB\nB 2\n");
  SettingsMap settings;
  EXPECT_TRUE(ReadSettingsFile(dir.File("plain").c_str(), settings));
  EXPECT_EQ(EntriesOf(settings), (Entries{{"A", "1"}, {"B", "2"}}));
}

TEST(SettingsMapTest, NamesIgnoreCaseAndKeepTheFirstSpelling) {
  SettingsMap settings;
  SetSetting(settings, "gamma", "3");
  SetSetting(settings, "Alpha", "1");
  SetSetting(settings, "beta", "2");
  SetSetting(settings, "ALPHA", "one");
  EXPECT_EQ(EntriesOf(settings), (Entries{{"Alpha", "one"}, {"beta", "2"}, {"gamma", "3"}}));
  ASSERT_NE(FindSetting(settings, "GAMMA"), nullptr);
  EXPECT_EQ(FindSetting(settings, std::string("Beta"))->text, "2");
  EXPECT_EQ(FindSetting(settings, "delta"), nullptr);
  EXPECT_EQ(FindSetting(settings, static_cast<const char*>(nullptr)), nullptr);
}

TEST(SettingsMapTest, GetSettingCopiesOrReportsWhatDoesNotFit) {
  TempDir dir;
  LogCapture log(dir.File("log"));
  SettingsMap settings;
  SetSetting(settings, "DNSHost", "12345");
  char buffer[8] = "unset";
  EXPECT_FALSE(GetSetting(settings, "Missing", buffer, sizeof(buffer)));
  EXPECT_STREQ(buffer, "unset");
  EXPECT_EQ(log.Text(), "");  // absent: no message

  EXPECT_TRUE(GetSetting(settings, "dnshost", buffer, 6));  // exactly fits with its terminator
  EXPECT_STREQ(buffer, "12345");
  EXPECT_FALSE(GetSetting(settings, "dnshost", buffer, 5));
  EXPECT_THAT(log.Text(), testing::MatchesRegex(
                              "Error: \\[[0-9/]+ [0-9:]+\\] \\[dnshost\\] Invalid setting value: "
                              "12345\n"));
}

TEST(SettingsValues, TrueAndOverwrite) {
  for (const char* text : {"yes", "YES", "Yes", "true", "TRUE", "tRuE", "1"}) {
    EXPECT_TRUE(IsTrueValue(text)) << text;
    EXPECT_TRUE(IsTrueValue(std::string(text))) << text;
  }
  for (const char* text : {"", "0", "no", "y", "yes ", " 1", "11", "truee", "on", "overwrite"}) {
    EXPECT_FALSE(IsTrueValue(text)) << text;
  }
  EXPECT_FALSE(IsTrueValue(static_cast<const char*>(nullptr)));
  for (const char* text : {"overwrite", "OVERWRITE", "OverWrite"}) EXPECT_TRUE(IsOverwriteValue(text));
  for (const char* text : {"", "overwrite ", "overwrites", "yes", "1"}) {
    EXPECT_FALSE(IsOverwriteValue(text)) << text;
  }
  EXPECT_FALSE(IsOverwriteValue(static_cast<const char*>(nullptr)));
}

}  // namespace
