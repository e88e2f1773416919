// The server's settings applied from a settings map, checked through the configuration print and
// the messages, as an operator sees them.
#include <gtest/gtest.h>
#include <unistd.h>

#include <cstdio>
#include <fstream>
#include <sstream>
#include <string>

#include "config/settings_file.h"
#include "server/dns_server.h"
#include "server/server_settings.h"
#include "shell/log.h"

namespace {

class SettingsTest : public ::testing::Test {
 protected:
  void SetUp() override {
    path_ = std::string(::testing::TempDir()) + "server_settings_" + std::to_string(getpid()) + ".log";
    std::remove(path_.c_str());
    StartLogAndWinsock(path_.c_str());
  }
  void TearDown() override {
    StopLogAndWinsock();
    std::remove(path_.c_str());
  }
  // Applies the text as a settings file and returns what the log holds afterwards, the
  // configuration print included.
  std::string Apply(DNSServer& server, const std::string& text, bool reload = false, bool* ok = nullptr) {
    SettingsMap map;
    EXPECT_TRUE(ReadSettingsText(text, "", map));
    bool applied = server.ApplySettings(map, reload);
    if (ok) *ok = applied;
    if (applied) server.PrintConfiguration();
    return TakeLog();
  }
  std::string TakeLog() {
    std::ifstream in(path_);
    std::stringstream ss;
    ss << in.rdbuf();
    std::remove(path_.c_str());
    return ss.str();
  }
  std::string path_;
};

TEST_F(SettingsTest, EmptyFileGivesTheDefaults) {
  DNSServer server(nullptr);
  std::string log = Apply(server, "");
  EXPECT_EQ(log,
            "Service IP: ANY\nService Port: 53\nFrom IP: ANY\nDNS Server is not specified\n"
            "DNS Timeout: 10 sec.\nNo DNS Cache.\nAccess from IP Allow-Deny order: Deny,Allow\n");
}

TEST_F(SettingsTest, RejectedValuesStopWithTheirMessage) {
  struct Case {
    const char* text;
    const char* message;
  } cases[] = {
      {"DNSPort 65536", "Unable to set DNSPort=65536"},
      {"DNSPort 0", "Unable to set DNSPort=0"},
      {"DNSCacheTTL h2", "Unable to set DNSCacheTTL=h2"},
      {"DNSTimeout 0", "Unable to set DNSTimeout=0"},
      {"SrvIP 300.1.1.1", "Unable to set SrvIP=300.1.1.1"},
      {"DNSHost no-such-host.invalid", "Unable to set DNSHost=no-such-host.invalid"},
      {"AllowDenyOrder sideways", "Unable to set AllowDenyOrder=sideways"},
  };
  for (const Case& c : cases) {
    DNSServer server(nullptr);
    bool ok = true;
    std::string log = Apply(server, c.text, false, &ok);
    EXPECT_FALSE(ok) << c.text;
    EXPECT_NE(log.find(std::string("Error: [")), std::string::npos) << c.text;
    EXPECT_NE(log.find(std::string("] ") + c.message + "\n"), std::string::npos) << log;
  }
}

TEST_F(SettingsTest, ValueSyntaxes) {
  DNSServer server(nullptr);
  std::string log = Apply(server,
                          "DNSHost 127.0.0.1\nDNSPort 65589\nDNSCacheTTL 2h\nDNSTimeout 1M\n"
                          "SrvIP 127.0.0.1\nSrvPort 5353\nSrvPort2 5353\nFromIP 127.0.0.1\n");
  EXPECT_NE(log.find("DNS Server Host: 127.0.0.1\nDNS Server Port: 53\n"), std::string::npos) << log;
  EXPECT_NE(log.find("DNS Cache TTL: 7200 sec.\n"), std::string::npos);
  EXPECT_NE(log.find("DNS Timeout: 60 sec.\n"), std::string::npos);
  EXPECT_NE(log.find("Service IP: 127.0.0.1\nService Port: 5353\nFrom IP: 127.0.0.1\n"), std::string::npos) << log;
}

TEST_F(SettingsTest, SecondServicePortBindsTheServiceAddressAgain) {
  {
    DNSServer server(nullptr);
    std::string log = Apply(server, "SrvIP 127.0.0.1\nSrvPort2 5353\n");
    EXPECT_NE(log.find("Service Port: 53\nService IP 2: 127.0.0.1\nService Port 2: 5353\n"), std::string::npos) << log;
  }
  {
    // The default second port 53 differs from 5353: the service address is bound on 53 too.
    DNSServer server(nullptr);
    std::string log = Apply(server, "SrvIP 127.0.0.1\nSrvPort 5353\n");
    EXPECT_NE(log.find("Service Port: 5353\nService IP 2: 127.0.0.1\nService Port 2: 53\n"), std::string::npos) << log;
  }
  {
    DNSServer server(nullptr);
    std::string log = Apply(server, "SrvIP 127.0.0.1\nSrvPort 5353\nSrvPort2 5353\n");
    EXPECT_EQ(log.find("Service IP 2"), std::string::npos) << log;
  }
}

TEST_F(SettingsTest, IPv6ServiceAddressAndAnyInAnyCase) {
  DNSServer server(nullptr);
  ASSERT_TRUE(server.IsIPv6Available());
  std::string log = Apply(server, "SrvIPv6 yes\nSrvIP any\nSrvPort2 53\n");
  EXPECT_NE(log.find("Service IPv6: ON\nService IP: ANY\n"), std::string::npos) << log;
  log = Apply(server, "SrvIPv6 yes\nSrvIP ::1\n");
  EXPECT_NE(log.find("Service IP: [::1]\n"), std::string::npos) << log;
}

TEST_F(SettingsTest, ReloadKeepsAbsentSettingsButSwitchesTheAlwaysRowsOff) {
  DNSServer server(nullptr);
  Apply(server, "DNSHost 127.0.0.1\nDNSTimeout 30\nAllowExternalDomains yes\nMyIPDomains myip.test\n");
  EXPECT_TRUE(server.IsMyIPDomain("a.myip.test"));
  std::string log = Apply(server, "DNSPort 5300\n", true);
  EXPECT_NE(log.find("DNS Server Host: 127.0.0.1\nDNS Server Port: 5300\n"), std::string::npos) << log;
  EXPECT_NE(log.find("DNS Timeout: 30 sec.\n"), std::string::npos);
  EXPECT_FALSE(server.IsMyIPDomain("a.myip.test")) << "MyIPDomains is switched off on every application";
  // Its entries stay: giving the setting again switches the same set on.
  Apply(server, "MyIPDomains other.test\n", true);
  EXPECT_TRUE(server.IsMyIPDomain("other.test"));
}

TEST_F(SettingsTest, FirstAlternativeWins) {
  DNSServer server(nullptr);
  std::string log = Apply(server, "AllowedDomains ok.test\nAllowedFile /nonexistent/list\n");
  EXPECT_NE(log.find("1 domains:\nok.test ALLOWED\n"), std::string::npos) << log;
}

TEST_F(SettingsTest, NumberedUrlsAreLimited) {
  DNSServer server(nullptr);
  std::string big(260, 'u');
  bool ok = true;
  std::string log = Apply(server, "AllowedUrl3 http://" + big + "\n", false, &ok);
  EXPECT_FALSE(ok);
  EXPECT_NE(log.find("] Domains Url too long\n"), std::string::npos) << log;
  // The tenth numbered URL is never read: a bad one there changes nothing.
  log = Apply(server, "ReportUrl10 http://127.0.0.1:1/never\n", false, &ok);
  EXPECT_TRUE(ok) << log;
}

TEST(SettingRows, TableIsInApplicationOrder) {
  size_t count = 0;
  const SettingRow* rows = SettingRows(&count);
  ASSERT_GE(count, 30u);
  EXPECT_STREQ(rows[0].names[0], "Log");
  EXPECT_STREQ(rows[3].names[0], "DNSCacheTTL");
  EXPECT_STREQ(rows[23].names[0], "AllowExternalDomains");
  EXPECT_TRUE(rows[23].always && rows[24].always && rows[25].always);
  EXPECT_STREQ(rows[count - 1].names[0], "ReportSeconds");
}

TEST(SettingSyntax, PortsAndSeconds) {
  uint16_t port = 0;
  EXPECT_TRUE(ParsePortSetting("53", &port));
  EXPECT_EQ(port, 53);
  EXPECT_TRUE(ParsePortSetting("65589", &port));
  EXPECT_EQ(port, 53);
  EXPECT_TRUE(ParsePortSetting("8080abc", &port));
  EXPECT_EQ(port, 8080);
  EXPECT_FALSE(ParsePortSetting("65536", &port));
  EXPECT_FALSE(ParsePortSetting("x", &port));
  uint32_t s = 0;
  struct {
    const char* text;
    bool ok;
    uint32_t seconds;
  } cases[] = {{"3600", true, 3600}, {"1H", true, 3600}, {"1h", true, 3600}, {"2d", true, 172800},
               {"1W", true, 604800}, {"5m", true, 300}, {"1h30m", true, 3600}, {"0", true, 0},
               {"h1", false, 0}, {"", false, 0}, {" 5", false, 0}};
  for (const auto& c : cases) {
    EXPECT_EQ(ParseSecondsSetting(c.text, &s), c.ok) << c.text;
    if (c.ok) {
      EXPECT_EQ(s, c.seconds) << c.text;
    }
  }
}

}  // namespace
