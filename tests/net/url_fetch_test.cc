// The URL fetch against a real HTTP server on loopback, a socket that never answers and a port
// that refuses.
#include "net/url_fetch.h"

#include <arpa/inet.h>
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "../acl/test_support.h"

using test_support::HttpTestServer;
using test_support::LogCapture;

namespace {

class UrlFetchTest : public ::testing::Test {
 protected:
  static void SetUpTestSuite() {
    server_ = new HttpTestServer;
    ASSERT_TRUE(server_->Start());
  }
  static void TearDownTestSuite() {
    delete server_;
    server_ = nullptr;
  }

  // Fetches and returns the pieces; ok gets the result.
  static std::vector<std::string> Fetch(const std::string& url, bool* ok, const char* agent = "",
                                        const UrlFetchOptions& options = UrlFetchOptions()) {
    std::vector<std::string> pieces;
    *ok = FetchUrl(url.c_str(), agent, [&](const char* data, size_t size) {
      pieces.emplace_back(data, size);
      return true;
    }, options);
    return pieces;
  }

  static HttpTestServer* server_;
};

HttpTestServer* UrlFetchTest::server_ = nullptr;

// A socket on loopback that listens but never accepts or answers; the kernel still completes the
// connection, so a fetch from it waits for an answer that never comes.
class SilentSocket {
 public:
  SilentSocket() {
    fd_ = socket(AF_INET, SOCK_STREAM, 0);
    sockaddr_in a{};
    a.sin_family = AF_INET;
    a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    bind(fd_, reinterpret_cast<sockaddr*>(&a), sizeof(a));
    listen(fd_, 4);
    socklen_t len = sizeof(a);
    getsockname(fd_, reinterpret_cast<sockaddr*>(&a), &len);
    port_ = ntohs(a.sin_port);
  }
  ~SilentSocket() { close(fd_); }
  int port() const { return port_; }

 private:
  int fd_;
  int port_;
};

TEST_F(UrlFetchTest, BodyComesInFullPiecesOfAtMost65536Bytes) {
  std::string body;
  for (int i = 0; body.size() < 200000; ++i) body += "host" + std::to_string(i) + ".example\n";
  server_->Serve("big.txt", body);
  bool ok = false;
  auto pieces = Fetch(server_->Url("big.txt"), &ok);
  ASSERT_TRUE(ok);
  ASSERT_EQ(pieces.size(), (body.size() + kUrlPieceSize - 1) / kUrlPieceSize);
  std::string joined;
  for (size_t i = 0; i < pieces.size(); ++i) {
    if (i + 1 < pieces.size()) {
      EXPECT_EQ(pieces[i].size(), kUrlPieceSize) << "piece " << i;
    }
    joined += pieces[i];
  }
  EXPECT_EQ(joined, body);
}

TEST_F(UrlFetchTest, SendsTheUserAgentOrMozilla) {
  server_->Serve("a.txt", "x\n");
  bool ok = false;
  Fetch(server_->Url("a.txt?agent"), &ok, "ListFetcher/2.0");
  ASSERT_TRUE(ok);
  Fetch(server_->Url("a.txt?none"), &ok, "");
  ASSERT_TRUE(ok);
  auto requests = server_->Requests();
  auto agents = server_->Agents();
  ASSERT_GE(requests.size(), 2u);
  EXPECT_EQ(requests[requests.size() - 2], "/a.txt?agent");
  EXPECT_EQ(agents[agents.size() - 2], "ListFetcher/2.0");
  EXPECT_EQ(agents.back(), "Mozilla");
}

TEST_F(UrlFetchTest, ConnectsDirectlyWhateverTheProxyEnvironmentSays) {
  server_->Serve("direct.txt", "direct\n");
  setenv("http_proxy", "http://127.0.0.1:9", 1);
  setenv("HTTP_PROXY", "http://127.0.0.1:9", 1);
  bool ok = false;
  auto pieces = Fetch(server_->Url("direct.txt"), &ok);
  unsetenv("http_proxy");
  unsetenv("HTTP_PROXY");
  ASSERT_TRUE(ok);
  ASSERT_EQ(pieces.size(), 1u);
  EXPECT_EQ(pieces[0], "direct\n");
}

TEST_F(UrlFetchTest, FailuresAreReportedWithCurlsResultCode) {
  int refusedPort;
  {
    SilentSocket closed;  // a port that was free a moment ago: connections are refused
    refusedPort = closed.port();
  }
  struct Case {
    const char* name;
    std::string url;
    const char* message;
  } cases[] = {
      {"HTTP 404 error page", server_->Url("missing.txt"), "InternetOpenUrl failed with error 0x16"},
      {"HTTP 500", server_->Url("status/500"), "InternetOpenUrl failed with error 0x16"},
      {"HTTP 403", server_->Url("status/403"), "InternetOpenUrl failed with error 0x16"},
      {"refused connection", "http://127.0.0.1:" + std::to_string(refusedPort) + "/x",
       "InternetOpenUrl failed with error 0x7"},
      {"local file scheme", "file:///etc/hostname", "InternetOpenUrl failed with error 0x1"},
      {"empty URL", "", "InternetOpenUrl failed with error 0x3"},
  };
  for (const auto& c : cases) {
    LogCapture log;
    bool ok = true;
    auto pieces = Fetch(c.url, &ok);
    EXPECT_FALSE(ok) << c.name;
    EXPECT_TRUE(pieces.empty()) << c.name;
    EXPECT_TRUE(log.Contains(c.message)) << c.name << ": " << log.Text();
  }
}

TEST_F(UrlFetchTest, AUrlThatDoesNotAnswerFailsWithTheTimeOut) {
  SilentSocket silent;
  UrlFetchOptions options;
  options.transferTimeoutMs = 1000;
  LogCapture log;
  bool ok = true;
  Fetch("http://127.0.0.1:" + std::to_string(silent.port()) + "/list", &ok, "", options);
  EXPECT_FALSE(ok);
  EXPECT_TRUE(log.Contains("InternetOpenUrl failed with error 0x1c")) << log.Text();  // time-out
  // The HTTP server's own slow path too.
  log.Clear();
  Fetch(server_->Url("hang"), &ok, "", options);
  EXPECT_FALSE(ok);
  EXPECT_TRUE(log.Contains("InternetOpenUrl failed with error 0x1c")) << log.Text();
}

TEST_F(UrlFetchTest, CancelledFetchFails) {
  UrlFetchOptions options;
  options.cancelled = [] { return true; };
  LogCapture log;
  bool ok = true;
  Fetch(server_->Url("hang"), &ok, "", options);
  EXPECT_FALSE(ok);
  EXPECT_TRUE(log.Contains("InternetOpenUrl failed with error 0x2a")) << log.Text();
}

TEST_F(UrlFetchTest, SinkThatStopsEndsTheFetchWithSuccess) {
  server_->Serve("stop.txt", std::string(3 * kUrlPieceSize, 'a'));
  int calls = 0;
  LogCapture log;
  bool ok = FetchUrl(server_->Url("stop.txt").c_str(), "", [&](const char*, size_t) {
    ++calls;
    return false;
  });
  EXPECT_TRUE(ok);
  EXPECT_EQ(calls, 1);
  EXPECT_EQ(log.Text(), "");
}

TEST(LooksLikeHtmlPage, Cases) {
  struct Case {
    const char* body;
    bool html;
  } cases[] = {
      {"<html><body>x</body></html>", true},
      {"<HTML>", true},
      {"<!DOCTYPE html>\n<html lang=\"en\">", true},
      {"<Html>", true},
      {"example.com\n<html\n", true},
      {"<htmlx>", false},
      {"<html", false},  // the tag does not end within the piece
      {"example.com,example.org", false},
      {"html.example.com", false},
      {"", false},
  };
  for (const auto& c : cases)
    EXPECT_EQ(LooksLikeHtmlPage(c.body, std::strlen(c.body)), c.html) << c.body;
}

}  // namespace
