// The allowed and denied lists filled from text, files and URLs of a real HTTP server on
// loopback, reloaded, printed, and read while they are replaced.
#include "acl/domain_list.h"

#include <gtest/gtest.h>

#include <atomic>
#include <string>
#include <thread>
#include <vector>

#include "test_support.h"

using test_support::HttpTestServer;
using test_support::LogCapture;
using test_support::MakeTempDir;
using test_support::RemoveTree;
using test_support::WriteFile;

namespace {

class DomainListTest : public ::testing::Test {
 protected:
  static void SetUpTestSuite() {
    server_ = new HttpTestServer;
    ASSERT_TRUE(server_->Start());
  }
  static void TearDownTestSuite() {
    delete server_;
    server_ = nullptr;
  }
  void SetUp() override { dir_ = MakeTempDir(); }
  void TearDown() override { RemoveTree(dir_); }

  std::string Path(const std::string& name) const { return dir_ + "/" + name; }

  static HttpTestServer* server_;
  std::string dir_;
};

HttpTestServer* DomainListTest::server_ = nullptr;

TEST_F(DomainListTest, InactiveListsAllowAndDenyAsConfigured) {
  AllowedDomainList allowed;
  DeniedDomainList denied;
  EXPECT_FALSE(allowed.IsAllowed("a.com"));  // not switched on by the server yet
  allowed.SetAllowWhenInactive(true);
  EXPECT_TRUE(allowed.IsAllowed("a.com"));
  EXPECT_FALSE(allowed.IsAllowed(nullptr));
  EXPECT_FALSE(denied.IsDenied("a.com"));

  // Text with no value switches a list off but keeps its entries.
  denied.SetFromText("a.com");
  EXPECT_TRUE(denied.IsDenied("www.a.com"));
  EXPECT_TRUE(denied.SetFromText(nullptr));
  EXPECT_FALSE(denied.IsDenied("www.a.com"));
  EXPECT_FALSE(denied.Active());
  EXPECT_EQ(denied.Count(), 1u);
}

TEST_F(DomainListTest, SettingsTextAsThePartsExamplesShow) {
  AllowedDomainList allowed;
  allowed.SetAllowWhenInactive(true);
  allowed.SetFromText("y.z,.only.below,Caps.Example, blank.com");
  struct Case {
    const char* name;
    bool allowed;
  } cases[] = {
      {"y.z", true},          {"x.y.z", true},        {"y.z.", true},
      {"y.q", false},         {"xy.z", false},        {"a.only.below", true},
      {"only.below", false},  {"caps.example", true}, {"WWW.CAPS.EXAMPLE", true},
      {"blank.com", false},   {"other.org", false},
  };
  for (const auto& c : cases) EXPECT_EQ(allowed.IsAllowed(c.name), c.allowed) << c.name;
}

TEST_F(DomainListTest, FileLinesAreNamesAndAFailedOrEmptyLoadKeepsTheOldEntries) {
  std::string longLine(300, 'q');
  WriteFile(Path("denied.txt"), "Bad.Example\r\n\nworse.example,not.split\n" + longLine + "\nlast.example");
  DeniedDomainList denied;
  ASSERT_TRUE(denied.LoadFromFile(Path("denied.txt").c_str()));
  EXPECT_TRUE(denied.Active());
  EXPECT_TRUE(denied.IsDenied("www.bad.example"));
  EXPECT_TRUE(denied.IsDenied("worse.example,not.split"));  // no "," splitting in files
  EXPECT_FALSE(denied.IsDenied("worse.example"));
  EXPECT_TRUE(denied.IsDenied("last.example"));
  EXPECT_FALSE(denied.IsDenied(longLine.substr(255).c_str()));  // no piece of a long line
  EXPECT_EQ(denied.Count(), 3u);

  LogCapture log;
  EXPECT_FALSE(denied.LoadFromFile(Path("missing.txt").c_str()));
  EXPECT_TRUE(log.Contains("Unable to load file " + Path("missing.txt") + " (error 2)")) << log.Text();
  std::string tooLong(260, 'p');
  EXPECT_FALSE(denied.LoadFromFile(tooLong.c_str()));
  EXPECT_TRUE(log.Contains("Error: ")) << log.Text();
  EXPECT_TRUE(log.Contains("Domains File too long")) << log.Text();
  WriteFile(Path("empty.txt"), "\r\n\n");
  EXPECT_TRUE(denied.LoadFromFile(Path("empty.txt").c_str()));
  EXPECT_TRUE(denied.IsDenied("bad.example"));

  // Reload reads the source file again and takes its new contents.
  ASSERT_TRUE(denied.LoadFromFile(Path("denied.txt").c_str()));
  WriteFile(Path("denied.txt"), "new.example\n");
  EXPECT_TRUE(denied.Reload());
  EXPECT_TRUE(denied.IsDenied("new.example"));
  EXPECT_FALSE(denied.IsDenied("bad.example"));
}

TEST_F(DomainListTest, AllowedListRotatesOverThreeUrlsAcrossReloads) {
  server_->Serve("one.txt", "one.example\n");
  server_->Serve("two.txt", "two.example\r\n");
  server_->Serve("three.txt", "three.example");
  std::string urls = server_->Url("one.txt") + "\r\n" + server_->Url("two.txt") + "," + server_->Url("three.txt");
  AllowedDomainList allowed;
  allowed.SetUserAgent("ListAgent");
  size_t before = server_->Requests().size();
  ASSERT_TRUE(allowed.LoadFromUrls(urls.c_str()));
  EXPECT_TRUE(allowed.IsAllowed("one.example"));
  const char* expected[] = {"two", "three", "one", "two"};
  for (const char* name : expected) {
    ASSERT_TRUE(allowed.Reload());
    std::string host = std::string(name) + ".example";
    EXPECT_TRUE(allowed.IsAllowed(host.c_str())) << host;
    EXPECT_EQ(allowed.Count(), 1u);
  }
  auto requests = server_->Requests();
  auto agents = server_->Agents();
  std::vector<std::string> got(requests.begin() + before, requests.end());
  EXPECT_EQ(got, (std::vector<std::string>{"/one.txt", "/two.txt", "/three.txt", "/one.txt", "/two.txt"}));
  EXPECT_EQ(agents.back(), "ListAgent");
}

TEST_F(DomainListTest, DeniedListRefetchesItsUrlAndFollowsChanges) {
  server_->Serve("deny.txt", "ads.example,tracker.example\n");
  DeniedDomainList denied;
  size_t before = server_->Requests().size();
  ASSERT_TRUE(denied.LoadFromUrl(server_->Url("deny.txt").c_str()));
  EXPECT_TRUE(denied.IsDenied("x.ads.example"));
  server_->Serve("deny.txt", "spam.example\n");
  ASSERT_TRUE(denied.Reload());
  EXPECT_TRUE(denied.IsDenied("spam.example"));
  EXPECT_FALSE(denied.IsDenied("ads.example"));
  auto requests = server_->Requests();
  EXPECT_EQ(requests.size() - before, 2u);
  EXPECT_EQ(requests.back(), "/deny.txt");
}

TEST_F(DomainListTest, HtmlPagesEmptyDocumentsAndErrorsKeepTheOldEntries) {
  struct Case {
    const char* name;
    const char* body;  // null: the file is gone (404)
    std::string message;
  } cases[] = {
      {"HTML page", "<html><body>Login required</body></html>\n",
       "Load domains from url failed (" + server_->Url("list.txt") + ")\n<html><body>Login required"},
      {"HTML page with attributes", "<!DOCTYPE html>\n<HTML lang=\"en\">\nx.example\n",
       "Load domains from url failed ("},
      {"empty document", "\r\n,\n", ""},
      {"no such file", nullptr, "InternetOpenUrl failed with error 0x16"},
  };
  for (const auto& c : cases) {
    server_->Serve("list.txt", "kept.example\n");
    DeniedDomainList denied;
    ASSERT_TRUE(denied.LoadFromUrl(server_->Url("list.txt").c_str()));
    if (c.body)
      server_->Serve("list.txt", c.body);
    else
      server_->Remove("list.txt");
    LogCapture log;
    EXPECT_FALSE(denied.Reload()) << c.name;
    EXPECT_TRUE(denied.Active()) << c.name;
    EXPECT_TRUE(denied.IsDenied("kept.example")) << c.name;
    EXPECT_FALSE(denied.IsDenied("x.example")) << c.name;
    EXPECT_TRUE(log.Contains(c.message)) << c.name << ": " << log.Text();
    // The source is still the same URL: once it serves a list again, the list follows.
    server_->Serve("list.txt", "x.example\n");
    EXPECT_TRUE(denied.Reload()) << c.name;
    EXPECT_TRUE(denied.IsDenied("x.example")) << c.name;
  }
  // At start: an HTML page or an empty document fails the load (the server does not start).
  server_->Serve("page.txt", "<html>Not here</html>");
  AllowedDomainList allowed;
  EXPECT_FALSE(allowed.LoadFromUrls(server_->Url("page.txt").c_str()));
}

TEST_F(DomainListTest, UrlLengthLimits) {
  LogCapture log;
  AllowedDomainList allowed;
  DeniedDomainList denied;
  std::string url260 = "http://127.0.0.1/" + std::string(243, 'u');
  ASSERT_EQ(url260.size(), 260u);
  EXPECT_FALSE(denied.LoadFromUrl(url260.c_str()));
  EXPECT_FALSE(allowed.LoadFromUrls((url260 + ",http://127.0.0.1/b").c_str()));
  std::string list1040;
  while (list1040.size() < 1040) list1040 += "http://127.0.0.1:1/short,";
  EXPECT_FALSE(allowed.LoadFromUrls(list1040.c_str()));
  std::string text = log.Text();
  size_t count = 0;
  for (size_t at = 0; (at = text.find("Domains Url too long", at)) != std::string::npos; ++at) ++count;
  EXPECT_EQ(count, 3u) << text;
  EXPECT_FALSE(allowed.Active());
}

TEST_F(DomainListTest, PrintListsTheEntriesOfAnActiveList) {
  DeniedDomainList denied;
  LogCapture log;
  denied.Print();
  EXPECT_EQ(log.Text(), "");
  denied.SetFromText("b.example,A.example");
  denied.Print();
  EXPECT_EQ(log.Text(), "\n2 domains:\nb.example DENIED\na.example DENIED\n");
  AllowedDomainList allowed;
  allowed.SetFromText("c.example");
  log.Clear();
  allowed.Print();
  EXPECT_EQ(log.Text(), "\n1 domains:\nc.example ALLOWED\n");
}

TEST_F(DomainListTest, ProgressLinesWithTheLogSwitch) {
  server_->Serve("p.txt", "p.example\nq.example\n");
  WriteFile(Path("p.txt"), "p.example\n");
  DeniedDomainList denied;
  denied.SetLog(true);
  denied.SetUserAgent("Agent/1");
  LogCapture log;
  ASSERT_TRUE(denied.LoadFromUrl(server_->Url("p.txt").c_str()));
  ASSERT_TRUE(denied.LoadFromFile(Path("p.txt").c_str()));
  std::string text = log.Text();
  EXPECT_NE(text.find("Loading domains from url " + server_->Url("p.txt") + " [Agent/1]..."), std::string::npos) << text;
  EXPECT_NE(text.find("] 2 domains loaded."), std::string::npos) << text;
  EXPECT_NE(text.find("Loading domains from file " + Path("p.txt") + "..."), std::string::npos) << text;
  EXPECT_NE(text.find("] Domains loaded."), std::string::npos) << text;
}

// Lookups running while the list is replaced see the old or the new list, never an empty or a
// half-built one.
TEST_F(DomainListTest, LookupsDuringReloadsSeeAWholeList) {
  // Both documents end with the same name: a list that lacks it is empty or half-built.
  std::string a, b;
  for (int i = 0; i < 20000; ++i) {
    a += "a" + std::to_string(i) + ".example\n";
    b += "b" + std::to_string(i) + ".example\n";
  }
  a += "last.example\n";
  b += "last.example\n";
  WriteFile(Path("a.txt"), a);
  WriteFile(Path("b.txt"), b);
  server_->Serve("a.txt", a);
  server_->Serve("b.txt", b);
  DeniedDomainList denied;
  ASSERT_TRUE(denied.LoadFromFile(Path("a.txt").c_str()));
  std::atomic<bool> done{false};
  std::atomic<long> bad{0}, checks{0};
  std::thread reader([&] {
    while (!done.load()) {
      if (!denied.IsDenied("www.last.example")) ++bad;
      ++checks;
    }
  });
  for (int round = 0; round < 10; ++round) {
    ASSERT_TRUE(denied.LoadFromFile(Path(round % 2 ? "a.txt" : "b.txt").c_str()));
    ASSERT_TRUE(denied.LoadFromUrl(server_->Url(round % 2 ? "b.txt" : "a.txt").c_str()));
  }
  done = true;
  reader.join();
  EXPECT_EQ(bad.load(), 0);
  EXPECT_GT(checks.load(), 0);
}

}  // namespace
