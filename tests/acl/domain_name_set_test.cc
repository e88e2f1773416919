// The entry set of the domain lists: the parent and leading-dot probes, lower-casing, limits, and
// the item reader with items spanning pieces.
#include "acl/domain_name_set.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

namespace {

DomainNameSet SetOf(const std::vector<std::string>& names) {
  DomainNameSet set;
  for (const auto& n : names) set.Add(n);
  return set;
}

TEST(DomainNameSet, NameAndParentProbes) {
  struct Case {
    const char* name;
    std::vector<std::string> entries;
    const char* query;
    bool match;
  } cases[] = {
      {"the entry itself", {"y.z"}, "y.z", true},
      {"a child", {"y.z"}, "x.y.z", true},
      {"a grandchild", {"y.z"}, "w.x.y.z", true},
      {"trailing dot", {"y.z"}, "y.z.", true},
      {"only one trailing dot is dropped", {"y.z"}, "y.z..", false},
      {"sibling domain", {"y.z"}, "y.q", false},
      {"label that merely ends in y", {"y.z"}, "xy.z", false},
      {"parent of the entry", {"x.y.z"}, "y.z", false},
      {"leading dot: children match", {".y.z"}, "x.y.z", true},
      {"leading dot: the domain itself does not", {".y.z"}, "y.z", false},
      {"top-level entry matches everything under it", {"z"}, "a.b.c.z", true},
      {"capitals in the query", {"y.z"}, "X.Y.Z", true},
      {"query starting with a dot", {"y.z"}, ".y.z", true},
      {"empty labels", {"b"}, "a..b", true},
      {"star is an ordinary character", {"*.y.z"}, "x.y.z", false},
      {"star entry matched literally", {"*.y.z"}, "*.y.z", true},
      {"blank before the name never matches", {" y.z"}, "y.z", false},
      {"empty query", {"y.z"}, "", false},
      {"a lone dot", {"y.z"}, ".", false},
  };
  for (const auto& c : cases) {
    DomainNameSet set = SetOf(c.entries);
    EXPECT_EQ(set.MatchesNameOrParent(c.query), c.match) << c.name;
  }
  EXPECT_FALSE(SetOf({"y.z"}).MatchesNameOrParent(nullptr));
}

TEST(DomainNameSet, LongQueriesAreTestedOnTheirFirst255Characters) {
  // 255 characters ending in ".example.com", then ".org" and more: 300 in all.
  std::string name = std::string(243, 'a') + ".example.com";
  ASSERT_EQ(name.size(), 255u);
  name += ".org" + std::string(41, 'b');
  ASSERT_EQ(name.size(), 300u);
  EXPECT_TRUE(SetOf({"example.com"}).MatchesNameOrParent(name.c_str()));
  EXPECT_FALSE(SetOf({"org" + std::string(41, 'b')}).MatchesNameOrParent(name.c_str()));
}

TEST(DomainNameSet, AddLowerCasesAndRejectsBadNames) {
  DomainNameSet set;
  EXPECT_TRUE(set.Add("Example.COM"));
  EXPECT_FALSE(set.Add("example.com"));  // already there
  EXPECT_FALSE(set.Add(""));
  EXPECT_FALSE(set.Add(std::string(256, 'a')));
  EXPECT_TRUE(set.Add(std::string(255, 'a')));
  EXPECT_EQ(set.Size(), 2u);
  EXPECT_TRUE(set.Contains("EXAMPLE.com"));
  std::vector<std::string> seen;
  set.ForEach([&](std::string_view n) { seen.emplace_back(n); });
  ASSERT_EQ(seen.size(), 2u);
  EXPECT_EQ(seen[0], "example.com");
}

TEST(DomainNameSet, ManyEntriesAllFoundAfterGrowth) {
  DomainNameSet set;
  for (int i = 0; i < 50000; ++i) set.Add("host" + std::to_string(i) + ".example");
  ASSERT_EQ(set.Size(), 50000u);
  for (int i = 0; i < 50000; i += 7) {
    EXPECT_TRUE(set.MatchesNameOrParent(("www.host" + std::to_string(i) + ".example").c_str()));
    EXPECT_FALSE(set.MatchesNameOrParent(("host" + std::to_string(i) + ".example.org").c_str()));
  }
}

std::vector<std::string> Items(const std::string& doc, size_t pieceSize) {
  DomainNameSet set;
  DomainItemReader reader(&set);
  for (size_t at = 0; at < doc.size(); at += pieceSize)
    reader.Feed(doc.data() + at, std::min(pieceSize, doc.size() - at));
  reader.Finish();
  std::vector<std::string> out;
  set.ForEach([&](std::string_view n) { out.emplace_back(n); });
  return out;
}

TEST(DomainItemReader, ItemsWhateverThePieces) {
  std::string long255(255, 'c'), long256(256, 'd');
  struct Case {
    const char* name;
    std::string doc;
    std::vector<std::string> items;
  } cases[] = {
      {"comma and newline", "a.com,b.com\nc.com", {"a.com", "b.com", "c.com"}},
      {"CRLF lines", "a.com\r\nb.com\r\n", {"a.com", "b.com"}},
      {"only one CR dropped", "a.com\r\r\n", {"a.com\r"}},
      {"empty items", ",,\n\r\n,a.com,", {"a.com"}},
      {"blanks kept", "a.com, b.com", {"a.com", " b.com"}},
      {"capitals lowered", "A.Com", {"a.com"}},
      {"255 characters kept", long255 + "\n", {long255}},
      {"255 characters and CR kept", long255 + "\r\nx", {long255, "x"}},
      {"256 characters skipped", long256 + "\nx", {"x"}},
      {"very long item skipped", std::string(100000, 'e') + ",x", {"x"}},
      {"semicolons are not separators", "a.com;b.com", {"a.com;b.com"}},
  };
  for (const auto& c : cases) {
    for (size_t piece : {size_t(1), size_t(3), size_t(64), size_t(65536)})
      EXPECT_EQ(Items(c.doc, piece), c.items) << c.name << ", pieces of " << piece;
  }
}

std::vector<std::string> Lines(const std::string& file, size_t pieceSize) {
  DomainNameSet set;
  DomainLineReader reader(&set);
  for (size_t at = 0; at < file.size(); at += pieceSize)
    reader.Feed(file.data() + at, std::min(pieceSize, file.size() - at));
  reader.Finish();
  std::vector<std::string> out;
  set.ForEach([&](std::string_view n) { out.emplace_back(n); });
  return out;
}

TEST(DomainLineReader, LinesWhateverTheBlocks) {
  std::string long255(255, 'c');
  struct Case {
    const char* name;
    std::string file;
    std::vector<std::string> names;
  } cases[] = {
      {"LF and CRLF", "a.com\nB.com\r\n\nc.com", {"a.com", "b.com", "c.com"}},
      {"commas are part of the name", "a.com,b.com\n", {"a.com,b.com"}},
      {"255 characters and CRLF", long255 + "\r\nx\n", {long255, "x"}},
      {"a long line is skipped, not cut", std::string(300, 'q') + "\nx", {"x"}},
      {"a long last line without LF", "x\n" + std::string(256, 'q'), {"x"}},
      {"blank lines of CR only", "\r\n\r\n", {}},
  };
  for (const auto& c : cases) {
    for (size_t piece : {size_t(1), size_t(5), size_t(65536)})
      EXPECT_EQ(Lines(c.file, piece), c.names) << c.name << ", blocks of " << piece;
  }
}

}  // namespace
