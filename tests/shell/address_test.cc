#include "shell/address.h"

#include <arpa/inet.h>
#include <gtest/gtest.h>

#include <cstring>
#include <string>

namespace {

std::string V6Text(const char* in, bool brackets = false) {
  uint8_t b[16];
  EXPECT_EQ(inet_pton(AF_INET6, in, b), 1) << in;
  char out[kAddressTextSize];
  EXPECT_EQ(AddressToText(AF_INET6, b, out, sizeof(out), brackets), 0);
  return out;
}

TEST(AddressToText, Ipv6ZeroRuns) {
  struct Case {
    const char* in;
    const char* out;
  } cases[] = {
      {"1:2:3:4:5:6:7:8", "1:2:3:4:5:6:7:8"},
      {"1:0:3:4:5:6:7:8", "1:0:3:4:5:6:7:8"},          // one zero group written out
      {"1:0:0:4:5:6:7:8", "1:0:0:4:5:6:7:8"},          // two zero groups written out
      {"1:0:0:0:5:6:7:8", "1::5:6:7:8"},               // three become "::"
      {"::1", "::1"},                                  // run from group 0
      {"1::", "1::"},                                  // run to the end
      {"::", "::"},
      {"1:2:3:4:5:0:0:0", "1:2:3:4:5::"},              // run starting at group 5
      {"1:2:3:4:5:6:0:0", "1:2:3:4:5:6:0:0"},          // two at the end stay
      {"1:0:0:4:0:0:0:8", "1:0:0:4::8"},               // first run of three counts
      {"0:0:0:1:0:0:0:0", "::1:0:0:0:0"},              // only the first run
      {"2001:db8::ff00:42:8329", "2001:db8::ff00:42:8329"},
      {"::ffff:1.2.3.4", "::ffff:102:304"},            // no mapped form
      {"ABCD::", "abcd::"},
  };
  for (const auto& c : cases) EXPECT_EQ(V6Text(c.in), c.out) << c.in;
  EXPECT_EQ(V6Text("::1", true), "[::1]");
}

TEST(AddressToText, Ipv4AndErrors) {
  uint8_t b[4] = {10, 0, 20, 255};
  char out[kAddressTextSize];
  ASSERT_EQ(AddressToText(AF_INET, b, out, sizeof(out), false), 0);
  EXPECT_STREQ(out, "10.0.20.255");
  ASSERT_EQ(AddressToText(AF_INET, b, out, sizeof(out), true), 0);
  EXPECT_STREQ(out, "[10.0.20.255]");
  EXPECT_EQ(AddressToText(AF_UNIX, b, out, sizeof(out), false), EAFNOSUPPORT);
  EXPECT_EQ(AddressToText(AF_INET, nullptr, out, sizeof(out), false), EINVAL);
}

TEST(SockaddrToText, BracketsOnlyForIpv6) {
  sockaddr_in in{};
  in.sin_family = AF_INET;
  inet_pton(AF_INET, "127.0.0.1", &in.sin_addr);
  char out[kAddressTextSize];
  ASSERT_TRUE(SockaddrToText(reinterpret_cast<sockaddr*>(&in), out, sizeof(out)));
  EXPECT_STREQ(out, "127.0.0.1");
  sockaddr_in6 in6{};
  in6.sin6_family = AF_INET6;
  inet_pton(AF_INET6, "::1", &in6.sin6_addr);
  ASSERT_TRUE(SockaddrToText(reinterpret_cast<sockaddr*>(&in6), out, sizeof(out)));
  EXPECT_STREQ(out, "[::1]");
}

TEST(TextToAddress, AcceptsAndRefuses) {
  struct Case {
    const char* text;
    bool ok;
    int family;
    const char* back;  // text form when ok
  } cases[] = {
      {"192.168.1.10", true, AF_INET, "192.168.1.10"},
      {"10.0.0.1:53", true, AF_INET, "10.0.0.1"},
      {"::1", true, AF_INET6, "::1"},
      {"[2001:db8::1]", true, AF_INET6, "2001:db8::1"},
      {"[::1]:5353", true, AF_INET6, "::1"},
      {"fe80::1", true, AF_INET6, "fe80::1"},
      {"not an address", false, AF_INET, nullptr},
      {"300.1.1.1", false, AF_INET, nullptr},
      {"", false, AF_INET, nullptr},
      {"::ffff:1.2.3.4", false, AF_INET, nullptr},  // holds "." so it is read as IPv4
      {"[::1", false, AF_INET, nullptr},
  };
  for (const auto& c : cases) {
    AddressRecord r;
    EXPECT_EQ(TextToAddress(c.text, &r), c.ok) << c.text;
    EXPECT_EQ(r.family, c.family) << c.text;
    if (c.ok) {
      char out[kAddressTextSize];
      ASSERT_EQ(AddressToText(r.family, r.addr, out, sizeof(out), false), 0);
      EXPECT_STREQ(out, c.back);
    } else {
      EXPECT_TRUE(IsNoneAddress(r)) << c.text;
    }
  }
  std::string longText(65, '1');
  AddressRecord r;
  EXPECT_FALSE(TextToAddress(longText.c_str(), &r));
  EXPECT_TRUE(IsNoneAddress(r));
}

TEST(AddressPredicates, NoneAnyLoopbackAndLengths) {
  AddressRecord r;
  TextToAddress("255.255.255.255", &r);
  EXPECT_TRUE(IsNoneAddress(r));
  sockaddr_storage ss;
  ASSERT_EQ(RecordToSockaddr(r, 53, &ss), static_cast<int>(sizeof(sockaddr_in)));
  EXPECT_TRUE(IsNoneAddress(reinterpret_cast<sockaddr*>(&ss)));
  EXPECT_EQ(AddressLength(reinterpret_cast<sockaddr*>(&ss)), 16);

  SetAnyAddress(&r, AF_INET6);
  EXPECT_TRUE(IsAnyAddress(r));
  RecordToSockaddr(r, 53, &ss);
  EXPECT_TRUE(IsAnyAddress(reinterpret_cast<sockaddr*>(&ss)));
  EXPECT_EQ(AddressLength(reinterpret_cast<sockaddr*>(&ss)), 28);
  EXPECT_FALSE(IsNoneAddress(reinterpret_cast<sockaddr*>(&ss)));

  ASSERT_TRUE(SetLoopback(&r, AF_INET));
  EXPECT_FALSE(IsAnyAddress(r));
  char out[kAddressTextSize];
  AddressToText(r.family, r.addr, out, sizeof(out), false);
  EXPECT_STREQ(out, "127.0.0.1");
  ASSERT_TRUE(SetLoopback(&r, AF_INET6));
  AddressToText(r.family, r.addr, out, sizeof(out), false);
  EXPECT_STREQ(out, "::1");
  EXPECT_FALSE(SetLoopback(&r, AF_UNIX));
  sockaddr un{};
  un.sa_family = AF_UNIX;
  EXPECT_EQ(AddressLength(&un), 0);
}

TEST(ResolveHostAddress, PrefersTheWantedFamily) {
  AddressRecord r;
  ASSERT_TRUE(ResolveHostAddress("127.0.0.1", &r, AF_INET6));  // falls back to the other family
  EXPECT_EQ(r.family, AF_INET);
  ASSERT_TRUE(ResolveHostAddress("::1", &r, AF_INET));
  EXPECT_EQ(r.family, AF_INET6);
  EXPECT_FALSE(ResolveHostAddress("no-such-host.invalid", &r, AF_INET));
}

}  // namespace
