// Client IP access control: entry syntax, both orders, ports, list files read in pieces, printing.
#include "acl/ip_access_control.h"

#include <arpa/inet.h>
#include <gtest/gtest.h>

#include <string>

#include "test_support.h"

using test_support::LogCapture;
using test_support::MakeTempDir;
using test_support::RemoveTree;
using test_support::WriteFile;

namespace {

uint32_t Ip(const char* text) { return inet_addr(text); }

TEST(IPAccessControl, Decisions) {
  struct Case {
    const char* name;
    const char* allow;
    const char* deny;
    const char* order;
    const char* client;
    uint16_t port;
    bool allowed;
  } cases[] = {
      {"Deny,Allow with empty lists allows", nullptr, nullptr, "DenyAllow", "10.1.2.3", 1000, true},
      {"Allow,Deny with empty lists refuses", nullptr, nullptr, "AllowDeny", "10.1.2.3", 1000, false},
      {"10/8 allows 10.1.2.3", "10.0.0.0/8", nullptr, "Allow,Deny", "10.1.2.3", 1000, true},
      {"10/8 refuses 11.0.0.1", "10.0.0.0/8", nullptr, "Allow,Deny", "11.0.0.1", 1000, false},
      {"10/8 refuses loopback", "10.0.0.0/8", nullptr, "Allow,Deny", "127.0.0.1", 1000, false},
      {"deny 10.1/16 wins", "10.0.0.0/8", "10.1.0.0/16", "Allow,Deny", "10.1.2.3", 1000, false},
      {"deny 10.1/16 leaves 10.2", "10.0.0.0/8", "10.1.0.0/16", "Allow,Deny", "10.2.0.1", 1000, true},
      {"deny all, allow one: the one", "192.168.1.5", "0.0.0.0/0", "Deny,Allow", "192.168.1.5", 7, true},
      {"deny all, allow one: others", "192.168.1.5", "0.0.0.0/0", "Deny,Allow", "192.168.1.6", 7, false},
      {"port entry, that port", "192.168.1.5:53", nullptr, "AllowDeny", "192.168.1.5", 53, true},
      {"port entry, other port", "192.168.1.5:53", nullptr, "AllowDeny", "192.168.1.5", 54, false},
      {":53 any address from port 53", ":53", nullptr, "AllowDeny", "8.8.4.4", 53, true},
      {":53 not from port 54", ":53", nullptr, "AllowDeny", "8.8.4.4", 54, false},
      {"network with port", "10.0.0.0/8:5353", nullptr, "AllowDeny", "10.9.9.9", 5353, true},
      {"network with port, other port", "10.0.0.0/8:5353", nullptr, "AllowDeny", "10.9.9.9", 53, false},
      {"exact with wrong port falls to networks", "10.0.0.1:1,10.0.0.0/8", nullptr, "AllowDeny",
       "10.0.0.1", 2, true},
      {"/40 is an exact entry", "10.0.0.1/40", nullptr, "AllowDeny", "10.0.0.1", 9, true},
      {"/40 is not a network", "10.0.0.1/40", nullptr, "AllowDeny", "10.0.0.2", 9, false},
      {"/x reads as prefix 0", "10.0.0.1/x", nullptr, "AllowDeny", "200.1.1.1", 9, true},
      {"host bits of a network are cleared", "10.1.2.3/8", nullptr, "AllowDeny", "10.200.0.1", 9, true},
      {"255.255.255.255 is skipped", "255.255.255.255", nullptr, "AllowDeny", "255.255.255.255", 9, false},
      {"16 characters are skipped", "010.000.000.0001", nullptr, "AllowDeny", "10.0.0.1", 9, false},
      {"a trailing slash is no prefix", "10.0.0.1/", nullptr, "AllowDeny", "10.0.0.1", 9, false},
      {"shortened form", "10.1", nullptr, "AllowDeny", "10.0.0.1", 9, true},
      {"CRLF separated", "1.1.1.1\r\n2.2.2.2\r\n", nullptr, "AllowDeny", "2.2.2.2", 9, true},
      {"blanks are not removed", " 3.3.3.3", nullptr, "AllowDeny", "3.3.3.3", 9, false},
      {"garbage", "hello,1..2", nullptr, "AllowDeny", "1.0.0.2", 9, false},
  };
  for (const auto& c : cases) {
    IPAccessControl control;
    control.SetAllowList(c.allow);
    control.SetDenyList(c.deny);
    ASSERT_TRUE(control.SetOrder(c.order)) << c.name;
    EXPECT_EQ(control.IsAllowed(Ip(c.client), c.port), c.allowed) << c.name;
  }
}

TEST(IPAccessControl, SetOrderTexts) {
  struct Case {
    const char* text;
    bool accepted;
    bool allowDeny;
  } cases[] = {
      {"allowdeny", true, true},    {"Allow, Deny", true, true},  {"ALLOW,DENY", true, true},
      {"denyallow", true, false},   {"Deny,Allow", true, false},  {"deny, allow", true, false},
      {"allow deny", false, false}, {"allow;deny", false, false}, {"", false, false},
      {nullptr, false, false},
  };
  for (const auto& c : cases) {
    IPAccessControl control;
    bool initial = !c.allowDeny;
    ASSERT_TRUE(control.SetOrder(initial ? "AllowDeny" : "DenyAllow"));
    EXPECT_EQ(control.SetOrder(c.text), c.accepted) << (c.text ? c.text : "(null)");
    EXPECT_EQ(control.AllowDenyOrder(), c.accepted ? c.allowDeny : initial) << (c.text ? c.text : "(null)");
  }
}

TEST(IPAccessControl, EmptyTextEmptiesTheList) {
  IPAccessControl control;
  control.SetDenyList("127.0.0.1");
  EXPECT_FALSE(control.IsAllowed(Ip("127.0.0.1"), 5));
  control.SetDenyList("");
  EXPECT_TRUE(control.IsAllowed(Ip("127.0.0.1"), 5));
}

TEST(IPAccessControl, ListFilesAreReadIn24CharacterPieces) {
  std::string dir = MakeTempDir();
  // The first line is 8 + 1 + 17 = 26 characters: pieces "10.0.0.1 ..." of 24, then "17".
  // "10.0.0.1,10.0.0.2,10.0.0" is one piece and one (unconvertible) entry.
  WriteFile(dir + "/allow.txt",
            "1.1.1.1\r\n"
            "\n"
            "10.0.0.1,10.0.0.2,10.0.0.3,10.0.0.4\n"
            "                        2.2.2.2\n"
            "192.168.0.0/16:53\r\n");
  IPAccessControl control;
  control.SetOrder("AllowDeny");
  control.SetVerbose(true);
  LogCapture log;
  ASSERT_TRUE(control.LoadListFile((dir + "/allow.txt").c_str(), true));
  EXPECT_TRUE(log.Contains("Loading Allow List from file " + dir + "/allow.txt...")) << log.Text();
  struct Check {
    const char* client;
    uint16_t port;
    bool allowed;
  } checks[] = {
      {"1.1.1.1", 1, true},      {"10.0.0.1", 1, false},  {"10.0.0.2", 1, false},
      {"10.0.0.3", 1, false},    {"2.2.2.2", 1, true},    {"192.168.7.7", 53, true},
      {"192.168.7.7", 54, false},
  };
  for (const auto& c : checks)
    EXPECT_EQ(control.IsAllowed(Ip(c.client), c.port), c.allowed) << c.client << ":" << c.port;

  // A file that does not open leaves the list as it was.
  log.Clear();
  EXPECT_FALSE(control.LoadListFile((dir + "/none.txt").c_str(), true));
  EXPECT_TRUE(log.Contains("Unable to load Allow List from file " + dir + "/none.txt (error 2)")) << log.Text();
  EXPECT_TRUE(control.IsAllowed(Ip("1.1.1.1"), 1));
  EXPECT_FALSE(control.LoadListFile("", false));
  EXPECT_TRUE(log.Contains("Deny List filename is empty")) << log.Text();

  WriteFile(dir + "/deny.txt", "1.1.1.1\n");
  ASSERT_TRUE(control.LoadListFile((dir + "/deny.txt").c_str(), false));
  EXPECT_FALSE(control.IsAllowed(Ip("1.1.1.1"), 1));
  EXPECT_TRUE(control.IsAllowed(Ip("2.2.2.2"), 1));
  RemoveTree(dir);
}

TEST(IPAccessControl, Print) {
  IPAccessControl control;
  control.SetAllowList("10.0.0.1:53,10.0.0.0/8");
  control.SetOrder("allow,deny");
  LogCapture log;
  control.Print();
  EXPECT_EQ(log.Text(),
            "\nAccess allowed from IP:\n"
            "  10.0.0.1:53 ALLOWED\n"
            "  10.0.0.0/8 ALLOWED\n"
            "\n"
            "Access from IP Allow-Deny order: Allow,Deny\n");
  log.Clear();
  control.SetAllowList(nullptr);
  control.SetDenyList("0.0.0.0/0:53");
  control.SetOrder("deny,allow");
  control.Print();
  EXPECT_EQ(log.Text(),
            "\nAccess denied from IP:\n"
            "  0.0.0.0/0:53 DENIED\n"
            "\n"
            "Access from IP Allow-Deny order: Deny,Allow\n");
}

}  // namespace
