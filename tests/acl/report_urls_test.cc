// Report URLs: picking the upstream host out of a document, the URL rotation, and fetches from a
// real HTTP server on loopback.
#include "acl/report_urls.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "test_support.h"

using test_support::HttpTestServer;
using test_support::LogCapture;

namespace {

ReportBodyReader::State Read(const std::string& body, size_t pieceSize, std::string* candidate) {
  ReportBodyReader reader;
  for (size_t at = 0; at < body.size(); at += pieceSize)
    reader.Feed(body.data() + at, std::min(pieceSize, body.size() - at));
  auto state = reader.Finish();
  *candidate = reader.Candidate();
  return state;
}

TEST(ReportBodyReader, Candidates) {
  using S = ReportBodyReader;
  struct Case {
    const char* name;
    std::string body;
    ReportBodyReader::State state;
    const char* candidate;
  } cases[] = {
      {"plain host", "dns.example\n", S::kCandidate, "dns.example"},
      {"no final separator", "dns.example", S::kCandidate, "dns.example"},
      {"key, address and port", "server=10.0.0.53:5353\r\n", S::kCandidate, "10.0.0.53"},
      {"leading plus", "+dns.example", S::kCandidate, "dns.example"},
      {"leading hash", "#dns.example", S::kCandidate, "dns.example"},
      {"leading star", "*dns.example", S::kCandidate, "dns.example"},
      {"only one leading mark dropped", "++dns.example", S::kCandidate, "+dns.example"},
      {"key, plus and port", "upstream=+dns.example:53;other=x", S::kCandidate, "dns.example"},
      {"last equals sign counts", "a=b=c.example", S::kCandidate, "c.example"},
      {"empty items skipped", "\n,;\r\nkey=\nhost.example", S::kCandidate, "host.example"},
      {"first item decides", "first.example,second.example", S::kCandidate, "first.example"},
      {"265 characters accepted", std::string(265, 'h'), S::kCandidate, nullptr},
      {"266 characters skipped", std::string(266, 'h') + ",next.example", S::kCandidate, "next.example"},
      {"long key before the equals sign", std::string(70000, 'k') + "=host.example", S::kCandidate,
       "host.example"},
      {"port alone gives an empty host", ":53", S::kCandidate, ""},
      {"html page", "<html><body>Error</body></html>", S::kHtmlPage, ""},
      {"nothing", "\r\n,;", S::kNoHost, ""},
      {"empty body", "", S::kNoHost, ""},
  };
  for (const auto& c : cases) {
    for (size_t piece : {size_t(1), size_t(7), size_t(65536)}) {
      std::string candidate;
      auto state = Read(c.body, piece, &candidate);
      if (c.state == S::kHtmlPage && piece < 6) continue;  // the tag must lie in the first piece
      EXPECT_EQ(state, c.state) << c.name << ", pieces of " << piece;
      std::string expected = c.candidate ? c.candidate : c.body;
      if (c.state == S::kCandidate) {
        EXPECT_EQ(candidate, expected) << c.name << ", pieces of " << piece;
      }
    }
  }
}

TEST(ReportUrlList, NextUrlGoesRoundTheList) {
  ReportUrlList list;
  std::string url;
  EXPECT_FALSE(list.NextReportUrl(&url));
  // The list is stored by a fetch whose URL opened.
  HttpTestServer server;
  ASSERT_TRUE(server.Start());
  server.Serve("r", "nohost-html-free\n");
  std::string longUrl = server.Url("r?" + std::string(300, 'q'));
  std::string text = server.Url("r") + "\r\n" + server.Url("two") + "," + longUrl;
  LogCapture log;
  list.FetchDnsHostFromUrl(server.Url("r").c_str(), text.c_str(), [](const std::string&) { return false; });
  std::vector<std::string> got;
  for (int i = 0; i < 5; ++i) {
    ASSERT_TRUE(list.NextReportUrl(&url));
    got.push_back(url);
  }
  EXPECT_EQ(got[0], server.Url("two"));
  EXPECT_EQ(got[1], longUrl.substr(0, 259));  // a later URL that long is cut to 259 characters
  EXPECT_EQ(got[2], server.Url("r"));        // its "\r" dropped
  EXPECT_EQ(got[3], server.Url("two"));
  EXPECT_EQ(got[4], longUrl.substr(0, 259));
  EXPECT_TRUE(list.SetReportUrls(nullptr, nullptr));
  EXPECT_FALSE(list.NextReportUrl(&url));
}

class ReportFetchTest : public ::testing::Test {
 protected:
  static void SetUpTestSuite() {
    server_ = new HttpTestServer;
    ASSERT_TRUE(server_->Start());
  }
  static void TearDownTestSuite() {
    delete server_;
    server_ = nullptr;
  }
  // A stand-in for SetDNSHost that records and accepts (or refuses) every host.
  ReportUrlList::HostSetter Setter(bool accept) {
    return [this, accept](const std::string& host) {
      hosts_.push_back(host);
      return accept;
    };
  }
  static HttpTestServer* server_;
  std::vector<std::string> hosts_;
};

HttpTestServer* ReportFetchTest::server_ = nullptr;

TEST_F(ReportFetchTest, SetReportUrlsFetchesTheFirstUrlAndKeepsTheList) {
  server_->Serve("host1", "# upstream for this site\nserver=+127.0.0.1:5353\n");
  server_->Serve("host2", "dns2.example");
  ReportUrlList list;
  list.SetLog(true);
  list.SetUserAgent("Reporter/1");
  std::string text = server_->Url("host1") + "," + server_->Url("host2");
  LogCapture log;
  ASSERT_TRUE(list.SetReportUrls(text.c_str(), Setter(true)));
  // "# upstream for this site" is the first item: it decides (a bad host name, refused by the
  // real SetDNSHost); here the setter accepts everything, so it is the one given.
  ASSERT_EQ(hosts_.size(), 1u);
  EXPECT_EQ(hosts_[0], " upstream for this site");
  EXPECT_TRUE(log.Contains("Reporting url " + server_->Url("host1") + " [Reporter/1]...")) << log.Text();
  EXPECT_TRUE(log.Contains("DNS Server Host:  upstream for this site")) << log.Text();
  EXPECT_EQ(server_->Agents().back(), "Reporter/1");

  server_->Serve("host1", "server=+127.0.0.1:5353\n");
  hosts_.clear();
  std::string url;
  ASSERT_TRUE(list.NextReportUrl(&url));
  EXPECT_EQ(url, server_->Url("host2"));
  EXPECT_TRUE(list.FetchDnsHostFromUrl(url.c_str(), nullptr, Setter(true)));
  ASSERT_TRUE(list.NextReportUrl(&url));
  EXPECT_TRUE(list.FetchDnsHostFromUrl(url.c_str(), nullptr, Setter(true)));
  EXPECT_EQ(hosts_, (std::vector<std::string>{"dns2.example", "127.0.0.1"}));
  EXPECT_EQ(list.Text(), text);
}

TEST_F(ReportFetchTest, FailuresLeaveTheHostAlone) {
  server_->Serve("page", "<html><head><title>Not found</title></head></html>");
  server_->Serve("port-only", ":53\n");
  server_->Serve("two", "refused.example\naccepted.example\n");
  struct Case {
    const char* name;
    std::string url;
    bool accept;
    std::vector<std::string> given;  // what reached the setter
    std::string message;
    bool listStored;
  } cases[] = {
      {"HTML page", server_->Url("page"), true, {},
       "Report url failed (" + server_->Url("page") + ")\n<html><head>", true},
      {"404", server_->Url("missing"), true, {}, "InternetOpenUrl failed with error 0x16", false},
      {"500", server_->Url("status/500"), true, {}, "InternetOpenUrl failed with error 0x16", false},
      {"a port alone never clears the host", server_->Url("port-only"), true, {}, "", true},
      {"the refused candidate decides", server_->Url("two"), false, {"refused.example"}, "", true},
  };
  for (const auto& c : cases) {
    hosts_.clear();
    ReportUrlList list;
    LogCapture log;
    std::string text = c.url + "," + server_->Url("next");
    EXPECT_FALSE(list.FetchDnsHostFromUrl(c.url.c_str(), text.c_str(), Setter(c.accept))) << c.name;
    EXPECT_EQ(hosts_, c.given) << c.name;
    EXPECT_TRUE(log.Contains(c.message)) << c.name << ": " << log.Text();
    EXPECT_EQ(list.Text(), c.listStored ? text : "") << c.name;
  }
}

TEST_F(ReportFetchTest, TooLongUrlsAreRefusedAtSettingsTime) {
  ReportUrlList list;
  LogCapture log;
  std::string first(260, 'u');
  EXPECT_FALSE(list.SetReportUrls(first.c_str(), Setter(true)));
  std::string text(1040, 'u');
  text[10] = ',';
  EXPECT_FALSE(list.SetReportUrls(text.c_str(), Setter(true)));
  EXPECT_TRUE(hosts_.empty());
  std::string logged = log.Text();
  size_t count = 0;
  for (size_t at = 0; (at = logged.find("Error: ", at)) != std::string::npos; ++at) ++count;
  EXPECT_EQ(count, 2u) << logged;
  EXPECT_NE(logged.find("] Report Url too long\n"), std::string::npos) << logged;
  EXPECT_EQ(list.Text(), "");
}

}  // namespace
