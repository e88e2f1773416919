// Zone files: tokens, name resolution, record constructors, the line reader, and a golden file in
// the master-file layout.
#include "dns/zone_file.h"

#include <gtest/gtest.h>

#include <cstdio>
#include <cstring>
#include <fstream>
#include <sstream>
#include <string>
#include <vector>

#include "dns_test_util.h"

namespace {

using dnstest::RenderZone;
using dnstest::ZoneHolder;
using Lines = std::vector<std::string>;

TEST(DnsReadToken, Table) {
  struct Case {
    const char* text;
    size_t outSize;
    int rc;
    const char* token;
    size_t end;
  };
  const Case cases[] = {
      {"abc def", 64, 3, "abc", 3},
      {"\"a b\" c", 64, 3, "a b", 5},
      {"\"unterminated text", 64, 17, "unterminated text", 18},
      {"a\\032b", 64, 3, "a b", 6},
      {"a\\256b", 64, 5, "a256b", 6},
      {"\\0651", 64, 2, "A1", 5},
      {"a\\.b c", 64, 3, "a.b", 4},
      {"a\\ b c", 64, 3, "a b", 4},
      {"ab\\", 64, 2, "ab", 3},
      {"\"q\\\"x\" y", 64, 3, "q\"x", 6},
      {"", 64, 0, "", 0},
      {" lead", 64, 0, "", 0},
      {"abcd", 5, 4, "abcd", 4},
      {"abcde", 5, -2, nullptr, 0},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.text);
    char out[64];
    const char* end = nullptr;
    EXPECT_EQ(dns_read_token(c.text, &end, out, c.outSize), c.rc);
    EXPECT_LT(std::strlen(out), c.outSize);
    if (c.token) {
      EXPECT_STREQ(out, c.token);
      EXPECT_EQ(static_cast<size_t>(end - c.text), c.end);
    }
  }
}

TEST(DnsResolveName, Table) {
  std::string n250(250, 'n');
  std::string o256(256, 'o');
  struct Case {
    std::string text;
    const char* origin;
    int rc;
    const char* name;
    size_t end;
  };
  const std::vector<Case> cases = {
      {"@", "example.com", 11, "example.com", 1},
      {"@ rest", "example.com", 11, "example.com", 1},
      {"@", "example.com.", 11, "example.com", 1},
      {"@x", "example.com", 14, "@x.example.com", 2},
      {"www", "example.com", 15, "www.example.com", 3},
      {"www", "example.com.", 15, "www.example.com", 3},
      {"www.", "example.com", 3, "www", 4},
      {"WWW.Other.", "example.com", 9, "WWW.Other", 10},
      {"www", nullptr, 3, "www", 3},
      {"www.", nullptr, 3, "www", 4},
      {"@", nullptr, 1, "@", 1},
      {"www", "", 3, "www", 3},
      {"", "example.com", 0, "", 0},
      {".", "example.com", 0, "", 1},
      {"@", "", -8, "", 0},
      {"@", o256.c_str(), -8, "", 0},
      {n250, "example.com", -2, "", 0},
      {n250 + ".", "example.com", 250, n250.c_str(), 251},
      {std::string(256, 'x'), nullptr, -2, nullptr, 0},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.text.substr(0, 20));
    char out[256];
    const char* end = nullptr;
    EXPECT_EQ(dns_resolve_name(c.text.c_str(), out, &end, c.origin), c.rc);
    if (c.name) {
      EXPECT_STREQ(out, c.name);
    }
    if (c.rc >= 0) {
      EXPECT_EQ(static_cast<size_t>(end - c.text.c_str()), c.end);
    }
  }
}

// One constructor call by type name, rendered ("" when rejected).
std::string Construct(const char* kind, const char* owner, const char* data, const char* origin) {
  DnsRecord* r = nullptr;
  std::string k = kind;
  if (k == "A") r = dns_record_new_a(owner, 1, 60, data, origin);
  else if (k == "AAAA") r = dns_record_new_aaaa(owner, 1, 60, data, origin);
  else if (k == "CNAME") r = dns_record_new_name(owner, DNS_TYPE_CNAME, 1, 60, data, origin);
  else if (k == "PTR") r = dns_record_new_name(owner, DNS_TYPE_PTR, 1, 60, data, origin);
  else if (k == "SOA-as-name") r = dns_record_new_name(owner, DNS_TYPE_SOA, 1, 60, data, origin);
  else if (k == "SOA") r = dns_record_new_soa(owner, 1, 60, data, origin);
  else if (k == "MX") r = dns_record_new_mx(owner, 1, 60, data, origin);
  else if (k == "TXT") r = dns_record_new_txt(owner, 1, 60, data, origin, false);
  else if (k == "TXT-whole") r = dns_record_new_txt(owner, 1, 60, data, origin, true);
  if (!r) return "";
  std::string s = dnstest::Render(*r);
  dns_record_free(r);
  return s;
}

TEST(DnsRecordConstructors, Table) {
  std::string txt2046(2046, 't'), txt2047(2047, 't');
  std::string q2046 = "\"" + txt2046 + "\"";
  std::string q2047 = "\"" + txt2047 + "\"";
  struct Case {
    const char* kind;
    const char* owner;
    std::string data;
    const char* origin;
    std::string expected;
  };
  const std::vector<Case> cases = {
      {"A", "www", "10.0.0.1", "ex.test", "www.ex.test 60 IN A 10.0.0.1"},
      {"A", "@", "10.0.0.1", "ex.test", "ex.test 60 IN A 10.0.0.1"},
      {"A", "@", "10.0.0.1", "", ""},
      {"A", "", "10.0.0.1", "ex.test", ""},
      {"A", "www", "10.0.0", "ex.test", ""},
      {"AAAA", "v6", "fe80::1", "ex.test", "v6.ex.test 60 IN AAAA fe80:0000:0000:0000:0000:0000:0000:0001"},
      {"AAAA", "v6", "fe80:1", "ex.test", ""},
      {"CNAME", "alias", "www", "ex.test", "alias.ex.test 60 IN CNAME www.ex.test"},
      {"CNAME", "alias", "www.other.", "ex.test", "alias.ex.test 60 IN CNAME www.other"},
      {"CNAME", "alias", ".", "ex.test", ""},
      {"PTR", "1.2.0.192.in-addr.arpa.", "host.ex.test.", nullptr,
       "1.2.0.192.in-addr.arpa 60 IN PTR host.ex.test"},
      {"SOA-as-name", "x", "y", "ex.test", ""},
      {"SOA", "@", "ns1 admin 2024 1h 15m 1w 300", "ex.test",
       "ex.test 60 IN SOA ns1.ex.test admin.ex.test 2024 3600 900 604800 300"},
      {"SOA", "@", "ns1 admin 2147483647 0 0 0 0 trailing", "ex.test",
       "ex.test 60 IN SOA ns1.ex.test admin.ex.test 2147483647 0 0 0 0"},
      {"SOA", "@", "ns1 admin 2147483648 1 1 1 1", "ex.test", ""},
      {"SOA", "@", "ns1 admin 1 1 1 1", "ex.test", ""},
      {"SOA", "@", "ns1 admin 1 x 1 1 1", "ex.test", ""},
      {"SOA", "@", "ns1admin 1 1 1 1 1", "ex.test", ""},
      {"MX", "@", "10 mail", "ex.test", "ex.test 60 IN MX 10 mail.ex.test"},
      {"MX", "@", "65535   mail.other.", "ex.test", "ex.test 60 IN MX 65535 mail.other"},
      {"MX", "@", "65536 mail", "ex.test", ""},
      {"MX", "@", "mail", "ex.test", ""},
      {"MX", "@", "10", "ex.test", ""},
      {"MX", "@", "-1 mail", "ex.test", ""},
      {"TXT", "t", "\"two words\" ignored", "ex.test", "t.ex.test 60 IN TXT two words"},
      {"TXT", "t", "two words", "ex.test", "t.ex.test 60 IN TXT two"},
      {"TXT", "t", "\"\"", "ex.test", ""},
      {"TXT", "t", q2046, "ex.test", "t.ex.test 60 IN TXT " + txt2046},
      {"TXT", "t", q2047, "ex.test", ""},
      {"TXT-whole", "t", "\"kept\" as it stands", "ex.test", "t.ex.test 60 IN TXT \"kept\" as it stands"},
      {"TXT-whole", "t", txt2047, "ex.test", "t.ex.test 60 IN TXT " + txt2047},
      {"TXT-whole", "t", txt2047 + "t", "ex.test", ""},
      {"TXT-whole", "t", "", "ex.test", ""},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(std::string(c.kind) + " " + c.data.substr(0, 40));
    EXPECT_EQ(Construct(c.kind, c.owner, c.data.c_str(), c.origin), c.expected);
  }
  EXPECT_EQ(dns_record_new_a(nullptr, 1, 1, "1.2.3.4", "x"), nullptr);
  EXPECT_EQ(dns_record_new_a("a", 1, 1, nullptr, "x"), nullptr);
}

struct ParseCase {
  const char* what;
  std::string text;
  Lines records;
};

Lines ParseLines(const std::string& text, const char* origin, int* rc) {
  ZoneHolder z(dnstest::ZoneFromText(text, origin, rc));
  return RenderZone(z.zone);
}

TEST(DomainInfoParse, Table) {
  const std::string longWord(5000, 'x');
  const std::vector<ParseCase> cases = {
      {"comments and blank lines only", "; one\n\n   \n\t; two\n", {}},
      {"SOA across lines",
       "@ IN SOA ns1 admin (\n   2024 ; serial\n   1h\n   15m\n   1w\n   5m )\n",
       {"ex.test 0 IN SOA ns1.ex.test admin.ex.test 2024 3600 900 604800 300"}},
      {"owner carried to the next line", "host1 A 10.0.0.1\n  A 10.0.0.2\n",
       {"host1.ex.test 0 IN A 10.0.0.1", "host1.ex.test 0 IN A 10.0.0.2"}},
      {"both field orders", "host1 1H IN A 10.0.0.1\nhost1 IN 3600 A 10.0.0.1\nhost1 A 10.0.0.1\n",
       {"host1.ex.test 3600 IN A 10.0.0.1", "host1.ex.test 3600 IN A 10.0.0.1",
        "host1.ex.test 0 IN A 10.0.0.1"}},
      {"$TTL gives the default", "$TTL 2h\nhost1 A 10.0.0.1\n", {"host1.ex.test 7200 IN A 10.0.0.1"}},
      {"$TTL change applies to later lines",
       "$TTL 60\na A 10.0.0.1\n$TTL 120\nb A 10.0.0.2\n$TTL bad\nc A 10.0.0.3\n",
       {"a.ex.test 60 IN A 10.0.0.1", "b.ex.test 120 IN A 10.0.0.2", "c.ex.test 120 IN A 10.0.0.3"}},
      {"absolute, relative and @", "abs.other. A 1.1.1.1\nrel A 1.1.1.2\n@ A 1.1.1.3\n",
       {"abs.other 0 IN A 1.1.1.1", "rel.ex.test 0 IN A 1.1.1.2", "ex.test 0 IN A 1.1.1.3"}},
      {"bad lines skipped, later lines read",
       "host1 A 10.0.0\nhost1 MX mail\nhost1 A 10.0.0.5\n", {"host1.ex.test 0 IN A 10.0.0.5"}},
      {"quoted ; kept, bare ; a comment", "t TXT \"a;b\" ; c\nu TXT x;y\n",
       {"t.ex.test 0 IN TXT a;b", "u.ex.test 0 IN TXT x"}},
      {"$ORIGIN applies to later lines",
       "a A 1.0.0.1\n$ORIGIN other.test.\nb A 1.0.0.2\n$origin third\nc A 1.0.0.3\n",
       {"a.ex.test 0 IN A 1.0.0.1", "b.other.test 0 IN A 1.0.0.2", "c.third 0 IN A 1.0.0.3"}},
      {"$INCLUDE has no effect", "$INCLUDE /etc/passwd\na A 1.0.0.1\n", {"a.ex.test 0 IN A 1.0.0.1"}},
      {"quoted TXT keeps blanks, bare TXT one word", "q TXT \"a  b\"\nw TXT a  b\n",
       {"q.ex.test 0 IN TXT a  b", "w.ex.test 0 IN TXT a"}},
      {"escaped quote inside quotes ends the text", "q TXT \"a\\\"b\"\n", {"q.ex.test 0 IN TXT a"}},
      {"decimal escape only in a bare word", "q TXT \"\\065\"\nw TXT \\065\n",
       {"q.ex.test 0 IN TXT 065", "w.ex.test 0 IN TXT A"}},
      {"CR LF line ends", "a A 1.0.0.1\r\nb A 1.0.0.2\r\n",
       {"a.ex.test 0 IN A 1.0.0.1", "b.ex.test 0 IN A 1.0.0.2"}},
      {"last line without line feed", "a A 1.0.0.1", {"a.ex.test 0 IN A 1.0.0.1"}},
      {"over-long line skipped whole", "a TXT " + longWord + " A 1.0.0.9\nb A 1.0.0.2\n",
       {"b.ex.test 0 IN A 1.0.0.2"}},
      {"first field of 256 characters skipped", std::string(256, 'o') + " A 1.0.0.1\nb A 1.0.0.2\n",
       {"b.ex.test 0 IN A 1.0.0.2"}},
      {"TTL 0 is not a TTL", "a 0 IN A 1.0.0.1\n", {}},
      {"unsupported types skipped", "a HINFO x y\na WKS 1 2\na NULL x\na AXFR x\na * x\n", {}},
      {"no owner yet", "  A 1.0.0.1\n", {}},
      {"unclosed parenthesis at the end", "a A (\n 1.0.0.1\n", {}},
      {"continuation lines need leading blanks",
       "s SOA ns admin (\n 1\n2 3 4 5 )\n", {}},
      {"class CH and HS", "a CH A 1.0.0.1\nb HS 5 A 1.0.0.2\n",
       {"a.ex.test 0 CH A 1.0.0.1", "b.ex.test 5 HS A 1.0.0.2"}},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.what);
    int rc = -99;
    EXPECT_EQ(ParseLines(c.text, "ex.test", &rc), c.records);
    EXPECT_EQ(rc, 0);
  }
}

TEST(DomainInfoParse, Errors) {
  // A parenthesised record that passes 4095 characters ends the parse with -2.
  std::string text = "s SOA ns admin (\n";
  for (int i = 0; i < 500; ++i) text += "  1234567890\n";
  text += " )\n";
  int rc = 0;
  ParseLines(text, "ex.test", &rc);
  EXPECT_EQ(rc, -2);

  DomainInfo* zone = domain_info_new();
  EXPECT_EQ(domain_info_parse(zone, nullptr, "x"), -3);
  EXPECT_EQ(domain_info_parse(nullptr, stdin, "x"), -3);
  EXPECT_EQ(domain_info_parse_text(zone, "", 0, nullptr), 0);
  EXPECT_EQ(zone->count, 0);
  domain_info_free(&zone);
  EXPECT_EQ(zone, nullptr);
  domain_info_free(&zone);  // harmless twice
}

TEST(DomainInfoParse, InitialOriginAndZoneFields) {
  ZoneHolder z(domain_info_new());
  const char text[] = "$TTL 1d\n@ SOA ns admin 1 2 3 4 5\nwww A 1.2.3.4\n";
  EXPECT_EQ(domain_info_parse_text(z.zone, text, sizeof text - 1, "Found.Test"), 0);
  EXPECT_STREQ(z.zone->origin, "Found.Test");
  EXPECT_EQ(z.zone->default_ttl, 86400u);
  EXPECT_EQ(z.zone->count, 2);
  EXPECT_EQ(z.zone->loaded, 0);
  ASSERT_NE(z.zone->head, nullptr);
  EXPECT_EQ(z.zone->head->next, z.zone->tail);
  EXPECT_EQ(z.zone->first_soa, z.zone->head);
  EXPECT_STREQ(z.zone->tail->name, "www.Found.Test");
}

TEST(DomainInfoParse, GoldenFile) {
  const std::string dir = std::string(TEST_SOURCE_DIR) + "/dns/data/";
  FILE* f = std::fopen((dir + "golden.zone").c_str(), "r");
  ASSERT_NE(f, nullptr);
  ZoneHolder z(domain_info_new());
  EXPECT_EQ(domain_info_parse(z.zone, f, "golden.test"), 0);
  std::fclose(f);
  std::ifstream in(dir + "golden.expected");
  Lines expected;
  for (std::string line; std::getline(in, line);)
    if (!line.empty() && line[0] != '#') expected.push_back(line);
  EXPECT_EQ(RenderZone(z.zone), expected);
  EXPECT_STREQ(z.zone->origin, "sub.example.com.");
}

}  // namespace
