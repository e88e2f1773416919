// Wire codec: name decoding and encoding, request and response parsing, text tables and parsers.
#include "dns/dns_message.h"

#include <gtest/gtest.h>

#include <cstring>
#include <string>
#include <vector>

#include "dns_test_util.h"

using dnstest::Bytes;

namespace {

struct ReadNameCase {
  const char* what;
  Bytes msg;
  size_t start;
  size_t outSize;
  int rc;
  const char* text;
  size_t endPos;  // checked on success only
};

std::string Label(int len, char c) { return std::string(static_cast<size_t>(len), c); }

TEST(DnsReadName, Table) {
  const std::vector<ReadNameCase> cases = {
      {"plain name", Bytes().name("www.example.com"), 0, 256, 16, "www.example.com", 17},
      {"root", Bytes().u8(0), 0, 256, 1, "", 1},
      {"start at end", Bytes().u8(0), 1, 256, -1, "", 0},
      {"pointer to itself", Bytes().u8(1).str("a").u8(0xC0).u8(2), 2, 256, -1, "", 0},
      {"pointer forward", Bytes().u8(0xC0).u8(4).u8(0).u8(0).u8(1).str("a").u8(0), 0, 256, -1, "",
       0},
      {"pointer cut by the end", Bytes().u8(1).str("a").u8(0xC0), 0, 256, -1, "a", 0},
      {"backward chain decoded whole",
       Bytes().u8(1).str("c").u8(0).u8(1).str("b").u8(0xC0).u8(0).u8(1).str("a").u8(0xC0).u8(3), 7,
       256, 6, "a.b.c", 11},
      {"pointer to a pointer reads a 192+ label",
       Bytes().u8(1).str("x").u8(0).u8(0xC0).u8(0).u8(0xC0).u8(3), 5, 256, -1, "", 0},
      {"label past the end", Bytes().u8(5).str("ab"), 0, 256, -1, "", 0},
      {"label without terminator", Bytes().u8(1).str("a"), 0, 256, -1, "", 0},
      {"space in a label", Bytes().u8(3).str("a b").u8(0), 0, 256, -16, "a?", 0},
      {"byte above 127", Bytes().u8(1).str("a").u8(2).str("b\xE9").u8(0), 0, 256, -16, "a.b?", 0},
      {"second label too long for the output", Bytes().name("www.example"), 0, 4, -2, "www", 0},
      {"first label too long for the output", Bytes().name("www"), 0, 3, -2, "", 0},
      {"labels over 63 bytes are read", Bytes().u8(64).str(Label(64, 'a')).u8(0), 0, 256, 65,
       nullptr, 66},
      {"pointer loop ends when the text is full",
       Bytes().u8(1).str("a").u8(0xC0).u8(0), 0, 64, -2, nullptr, 0},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.what);
    char out[256];
    std::memset(out, 'Z', sizeof out);
    size_t pos = c.start;
    int rc = dns_read_name(c.msg.size(), c.msg.data(), out, c.outSize, &pos);
    EXPECT_EQ(rc, c.rc);
    EXPECT_LT(std::strlen(out), c.outSize);  // always terminated inside the output
    if (c.text) {
      EXPECT_STREQ(out, c.text);
    }
    if (rc > 0) {
      EXPECT_EQ(pos, c.endPos);
    }
  }
}

TEST(DnsReadName, NullPositionReadsFromZeroAndMissingOutputIsMissingArgument) {
  Bytes m = Bytes().name("a.b");
  char out[16];
  EXPECT_EQ(dns_read_name(m.size(), m.data(), out, sizeof out, nullptr), 4);
  EXPECT_STREQ(out, "a.b");
  EXPECT_EQ(dns_read_name(m.size(), m.data(), nullptr, 0, nullptr), -3);
}

// Writes the names one after another from offset 12 and returns the bytes after the header.
std::vector<uint8_t> WriteNames(const std::vector<std::string>& names, std::vector<int>* rcs = nullptr) {
  static uint8_t msg[8192];
  const char* table[256] = {};
  uint16_t offsets[256] = {};
  size_t at = 12;
  for (const auto& n : names) {
    int rc = dns_write_name(msg, n.c_str(), at, table, offsets);
    if (rcs) rcs->push_back(rc);
    if (rc > 0) at += static_cast<size_t>(rc);
  }
  return std::vector<uint8_t>(msg + 12, msg + at);
}

TEST(DnsWriteName, Compression) {
  struct Case {
    const char* what;
    std::vector<std::string> names;
    Bytes expected;
  };
  // Names must be kept alive while the table points at them: the vectors below do that.
  const std::vector<Case> cases = {
      {"suffix of an earlier name", {"zone.test", "a.zone.test"},
       Bytes().name("zone.test").u8(1).str("a").u8(0xC0).u8(12)},
      {"same name twice", {"zone.test", "zone.test"}, Bytes().name("zone.test").u8(0xC0).u8(12)},
      {"case-insensitive", {"zone.test", "Zone.TEST"}, Bytes().name("zone.test").u8(0xC0).u8(12)},
      {"shared parent", {"a.zone.test", "b.zone.test"},
       Bytes().name("a.zone.test").u8(1).str("b").u8(0xC0).u8(14)},
      {"root", {""}, Bytes().u8(0)},
      {"trailing dot ends the name", {"a.b."}, Bytes().name("a.b")},
      {"doubled dot ends the name", {"a..b"}, Bytes().u8(1).str("a").u8(0)},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.what);
    EXPECT_EQ(WriteNames(c.names), c.expected.v);
  }
}

TEST(DnsWriteName, Limits) {
  uint8_t msg[8192];
  const char* table[256] = {};
  uint16_t offsets[256] = {};
  EXPECT_EQ(dns_write_name(msg, "a", 8192, table, offsets), -2);
  EXPECT_EQ(dns_write_name(msg, "a", 8190, table, offsets), -2);  // needs 3 bytes
  EXPECT_EQ(dns_write_name(msg, "", 8191, table, offsets), 1);
  EXPECT_EQ(table[0], nullptr);  // a failed name leaves nothing remembered
  std::string longLabel = Label(64, 'x') + ".test";
  EXPECT_EQ(dns_write_name(msg, longLabel.c_str(), 12, table, offsets), -1);
  std::string maxLabel = Label(63, 'x') + ".test";
  EXPECT_EQ(dns_write_name(msg, maxLabel.c_str(), 12, table, offsets), 70);
  EXPECT_EQ(dns_write_name(msg, nullptr, 12, table, offsets), -3);
}

TEST(DnsWriteName, TableHoldsAtMost256Entries) {
  std::vector<std::string> names;
  for (int i = 0; i < 300; ++i) names.push_back("n" + std::to_string(i));
  names.push_back("n0");    // remembered early: compressed
  names.push_back("n299");  // past the 256th entry: written in full
  std::vector<int> rcs;
  WriteNames(names, &rcs);
  EXPECT_EQ(rcs[300], 2);
  EXPECT_EQ(rcs[301], 6);
}

TEST(DnsParseRequest, Table) {
  struct Case {
    const char* what;
    Bytes msg;
    int rc;
    const char* name;
    uint16_t qtype;
  };
  const std::vector<Case> cases = {
      {"A query", Bytes().header(0x1234, 0x0100, 1, 0, 0, 0).name("www.example.com").u16(1).u16(1),
       0, "www.example.com", 1},
      {"11 bytes", Bytes().u16(1).u16(0).u16(1).u16(0).u16(0).u8(0), -1, "", 0},
      {"qdcount 0", Bytes().header(1, 0, 0, 0, 0, 0).name("a").u16(1).u16(1), -4, "", 0},
      {"two questions: first parsed",
       Bytes().header(1, 0, 2, 0, 0, 0).name("a.test").u16(28).u16(1).name("b.test").u16(1).u16(1),
       0, "a.test", 28},
      {"type and class cut", Bytes().header(1, 0, 1, 0, 0, 0).name("a.test").u16(1).u8(0), -1,
       "a.test", 0},
      {"bad character keeps the partial name",
       Bytes().header(1, 0, 1, 0, 0, 0).u8(3).str("abc").u8(2).str("d/").u8(0).u16(1).u16(1), -16,
       "abc.d?", 0},
      {"name past the end", Bytes().header(1, 0, 1, 0, 0, 0).u8(9).str("abc"), -1, "", 0},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.what);
    DnsHeader h;
    DnsQuestion q;
    char names[kDnsNameBufferSize];
    EXPECT_EQ(dns_parse_request(&h, c.msg.data(), c.msg.size(), &q, names), c.rc);
    EXPECT_EQ(q.name, names);
    EXPECT_STREQ(q.name, c.name);
    if (c.rc == 0) {
      EXPECT_EQ(q.qtype, c.qtype);
      EXPECT_EQ(q.qclass, 1);
    }
  }
  DnsHeader h;
  DnsQuestion q;
  char names[kDnsNameBufferSize];
  Bytes ok = cases[0].msg;
  EXPECT_EQ(dns_parse_request(&h, ok.data(), ok.size(), &q, names), 0);
  EXPECT_EQ(h.id, 0x1234);
  EXPECT_EQ(h.flags, 0x0100);
  EXPECT_EQ(dns_parse_request(&h, nullptr, 40, &q, names), -3);
  EXPECT_EQ(dns_parse_request(&h, ok.data(), ok.size(), &q, nullptr), -3);
}

// A response header and question for www.example.com A, ready for records.
Bytes ResponseStart(int an, int ns = 0, int ar = 0, int qd = 1) {
  return Bytes().header(7, 0x8180, qd, an, ns, ar).name("www.example.com").u16(1).u16(1);
}

struct ParsedResponse {
  int rc;
  DnsHeader header;
  std::vector<std::string> records;
};

ParsedResponse Parse(const Bytes& m, size_t capacity = 64) {
  ParsedResponse p{};
  DnsQuestion q;
  std::vector<DnsRecord> recs(capacity ? capacity : 1);
  char names[kDnsNameBufferSize];
  size_t count = capacity;
  p.rc = dns_parse_response(m.data(), m.size(), &p.header, &q, recs.data(), &count, names);
  if (p.rc == 0)
    for (size_t i = 0; i < count; ++i) p.records.push_back(dnstest::Render(recs[i]));
  return p;
}

TEST(DnsParseResponse, RecordTable) {
  struct Case {
    const char* what;
    Bytes msg;
    int rc;
    std::vector<std::string> records;
  };
  const uint8_t wwwAt = 12;  // offset of the question name, for compression pointers
  const std::vector<Case> cases = {
      {"A through a pointer", ResponseStart(1).u8(0xC0).u8(wwwAt).u16(1).u16(1).u32(300).u16(4).u32(0x0A000001),
       0, {"www.example.com 300 IN A 10.0.0.1"}},
      {"A with 5 bytes", ResponseStart(1).u8(0xC0).u8(wwwAt).u16(1).u16(1).u32(300).u16(5).u32(1).u8(0),
       -1, {}},
      {"AAAA with 4 bytes", ResponseStart(1).u8(0xC0).u8(wwwAt).u16(28).u16(1).u32(300).u16(4).u32(1),
       -1, {}},
      {"data past the end", ResponseStart(1).u8(0xC0).u8(wwwAt).u16(1).u16(1).u32(300).u16(4).u16(1),
       -1, {}},
      {"fixed part past the end", ResponseStart(1).u8(0xC0).u8(wwwAt).u16(1).u16(1), -1, {}},
      {"CNAME compressed into the owner",
       ResponseStart(1).u8(0xC0).u8(wwwAt).u16(5).u16(1).u32(60).u16(6).u8(3).str("web").u8(0xC0).u8(16),
       0, {"www.example.com 60 IN CNAME web.example.com"}},
      {"name running past its record data",
       ResponseStart(2).u8(0xC0).u8(wwwAt).u16(2).u16(1).u32(60).u16(2).u8(2).str("ns").u8(0)
           .u8(0xC0).u8(wwwAt).u16(1).u16(1).u32(1).u16(4).u32(1),
       -1, {}},
      {"SOA", ResponseStart(0, 1).u8(0xC0).u8(16).u16(6).u16(1).u32(900).u16(2 + 2 + 20)
                  .u8(0xC0).u8(16).u8(0xC0).u8(16).u32(7).u32(3600).u32(600).u32(86400).u32(300),
       0, {"example.com 900 IN SOA example.com example.com 7 3600 600 86400 300"}},
      {"SOA numbers cut by the record data",
       ResponseStart(0, 1).u8(0xC0).u8(16).u16(6).u16(1).u32(900).u16(2 + 2 + 8)
           .u8(0xC0).u8(16).u8(0xC0).u8(16).u32(7).u32(3600).u32(600).u32(86400).u32(300),
       -3, {}},
      {"MX", ResponseStart(1).u8(0xC0).u8(16).u16(15).u16(1).u32(60).u16(2 + 7).u16(10).u8(4).str("mail").u8(0xC0).u8(16),
       0, {"example.com 60 IN MX 10 mail.example.com"}},
      {"MX without room for the preference", ResponseStart(1).u8(0xC0).u8(16).u16(15).u16(1).u32(60).u16(1).u8(0),
       -3, {}},
      {"TXT keeps the first string",
       ResponseStart(1).u8(0xC0).u8(wwwAt).u16(16).u16(1).u32(60).u16(7).u8(3).str("a;c").u8(2).str("de"),
       0, {"www.example.com 60 IN TXT a;c"}},
      {"TXT string past its data", ResponseStart(1).u8(0xC0).u8(wwwAt).u16(16).u16(1).u32(60).u16(2).u8(3).str("abc"),
       -1, {}},
      {"TXT without data", ResponseStart(1).u8(0xC0).u8(wwwAt).u16(16).u16(1).u32(60).u16(0), -1, {}},
      {"unknown type skipped by its length",
       ResponseStart(2).u8(0xC0).u8(wwwAt).u16(99).u16(1).u32(1).u16(3).str("xyz")
           .u8(0xC0).u8(wwwAt).u16(1).u16(1).u32(2).u16(4).u32(0x7F000001),
       0, {"www.example.com 1 IN UNKNOWN", "www.example.com 2 IN A 127.0.0.1"}},
      {"reading resumes at the declared end of the data",
       ResponseStart(2).u8(0xC0).u8(wwwAt).u16(5).u16(1).u32(1).u16(5).u8(0xC0).u8(wwwAt).str("pad")
           .u8(0xC0).u8(wwwAt).u16(1).u16(1).u32(2).u16(4).u32(0x7F000001),
       0, {"www.example.com 1 IN CNAME www.example.com", "www.example.com 2 IN A 127.0.0.1"}},
      {"two questions", ResponseStart(0, 0, 0, 2), -6, {}},
      {"no question", ResponseStart(0, 0, 0, 0), -4, {}},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.what);
    ParsedResponse p = Parse(c.msg);
    EXPECT_EQ(p.rc, c.rc);
    EXPECT_EQ(p.records, c.records);
  }
}

TEST(DnsParseResponse, CapacityAndNameSpace) {
  Bytes m = ResponseStart(65);
  for (int i = 0; i < 65; ++i) m.u8(0xC0).u8(12).u16(1).u16(1).u32(1).u16(4).u32(static_cast<uint32_t>(i));
  EXPECT_EQ(Parse(m, 64).rc, -5);
  EXPECT_EQ(Parse(m, 65).rc, 0);
  EXPECT_EQ(Parse(m, 0).rc, -3);

  // Ten TXT strings of 250 bytes do not fit the 2048-byte name buffer.
  Bytes t = ResponseStart(10);
  for (int i = 0; i < 10; ++i)
    t.u8(0xC0).u8(12).u16(16).u16(1).u32(1).u16(251).u8(250).str(Label(250, 'x'));
  EXPECT_EQ(Parse(t).rc, -2);
}

TEST(DnsParseResponse, SetsCountToRecordsInMessage) {
  Bytes m = ResponseStart(1, 0, 1).u8(0xC0).u8(12).u16(1).u16(1).u32(1).u16(4).u32(1)
                .u8(0).u16(41).u16(4096).u32(0).u16(0);  // an OPT record in the additional section
  DnsHeader h;
  DnsQuestion q;
  DnsRecord recs[8];
  char names[kDnsNameBufferSize];
  size_t count = 8;
  ASSERT_EQ(dns_parse_response(m.data(), m.size(), &h, &q, recs, &count, names), 0);
  EXPECT_EQ(count, 2u);
  EXPECT_STREQ(q.name, "www.example.com");
  EXPECT_EQ(recs[1].type, 41);
  EXPECT_STREQ(recs[1].name, "");
}

TEST(DnsTables, NamesAndText) {
  EXPECT_STREQ(dns_type_name(1), "A");
  EXPECT_STREQ(dns_type_name(28), "AAAA");
  EXPECT_STREQ(dns_type_name(255), "*");
  EXPECT_STREQ(dns_type_name(0), "UNKNOWN");
  EXPECT_STREQ(dns_type_name(33), "UNKNOWN");
  EXPECT_STREQ(dns_class_name(1), "IN");
  EXPECT_STREQ(dns_class_name(255), "*");
  EXPECT_STREQ(dns_class_name(5), "UNKNOWN");

  struct Case {
    const char* text;
    int type;
    const char* rest;
  };
  const Case types[] = {
      {"AAAA ::1", 28, " ::1"}, {"a 1.2.3.4", 1, " 1.2.3.4"}, {"AXFR", 1, "XFR"},
      {"cname x", 5, " x"},     {"Mx", 15, ""},               {"NSEC", 2, "EC"},
      {"SRV", -1, nullptr},     {"", -3, nullptr},            {"* x", 255, " x"},
  };
  for (const auto& c : types) {
    SCOPED_TRACE(c.text);
    const char* rest = nullptr;
    EXPECT_EQ(dns_type_from_text(c.text, &rest), c.type);
    if (c.rest) {
      EXPECT_STREQ(rest, c.rest);
    }
  }
  const char* rest = nullptr;
  EXPECT_EQ(dns_class_from_text("in 3600", &rest), 1);
  EXPECT_STREQ(rest, " 3600");
  EXPECT_EQ(dns_class_from_text("CH", nullptr), 3);
  EXPECT_EQ(dns_class_from_text("XX", nullptr), -1);
  EXPECT_EQ(dns_class_from_text(nullptr, nullptr), -3);
}

TEST(DnsTextParsers, Ttl) {
  struct Case {
    const char* text;
    int value;
    const char* rest;
  };
  const Case cases[] = {
      {"3600", 3600, ""}, {"1H", 3600, ""},      {"1h", 3600, ""},      {"1W", 604800, ""},
      {"2d x", 172800, " x"}, {"5m", 300, ""},   {"1h30m", 3600, "30m"}, {"10s", 10, "s"},
      {"h1", -1, nullptr},    {"", -3, nullptr}, {"2147483647", 2147483647, ""},
      {"2147483648", -1, nullptr}, {"99999999999999999999", -1, nullptr}, {"4000W", -1, nullptr},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.text);
    const char* end = nullptr;
    EXPECT_EQ(dns_parse_ttl(c.text, &end), c.value);
    if (c.rest) {
      EXPECT_STREQ(end, c.rest);
    }
  }
}

TEST(DnsTextParsers, Ipv4) {
  struct Case {
    const char* text;
    int rc;
    uint8_t bytes[4];
  };
  const Case cases[] = {
      {"10.0.0.1", 0, {10, 0, 0, 1}},       {"255.255.255.255", 0, {255, 255, 255, 255}},
      {"1.2.3.4 rest", 0, {1, 2, 3, 4}},    {"1.2.3.4x", 0, {1, 2, 3, 4}},
      {"1.2.3", -1, {}},                    {"1..3.4", -1, {}},
      {"1.2.3.256", -1, {}},                {" 1.2.3.4", -1, {}},
      {"a.b.c.d", -1, {}},                  {"", -3, {}},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.text);
    uint8_t out[4] = {9, 9, 9, 9};
    EXPECT_EQ(dns_parse_ipv4(c.text, out), c.rc);
    if (c.rc == 0) {
      EXPECT_EQ(0, std::memcmp(out, c.bytes, 4));
    }
  }
}

std::string Groups(const char* text, int* rc) {
  uint16_t g[8] = {};
  *rc = dns_parse_ipv6(text, g);
  const uint8_t* b = reinterpret_cast<const uint8_t*>(g);
  char buf[64];
  std::string s;
  for (int i = 0; i < 16; i += 2) {
    std::snprintf(buf, sizeof buf, "%s%x", i ? ":" : "", b[i] << 8 | b[i + 1]);
    s += buf;
  }
  return s;
}

TEST(DnsTextParsers, Ipv6) {
  struct Case {
    const char* text;
    int rc;
    const char* groups;
  };
  const Case cases[] = {
      {"::1", 0, "0:0:0:0:0:0:0:1"},
      {"1::", 0, "1:0:0:0:0:0:0:0"},
      {"::", 0, "0:0:0:0:0:0:0:0"},
      {"2001:db8:0:0:1:0:0:1", 0, "2001:db8:0:0:1:0:0:1"},
      {"2001:DB8::a:B", 0, "2001:db8:0:0:0:0:a:b"},
      {"fe80::1 rest", 0, "fe80:0:0:0:0:0:0:1"},
      {"1::2::3", 0, "1:0:0:0:0:0:0:2"},  // a second "::" ends the text
      {"::ffff:10.1.2.3", 0, "0:0:0:0:0:ffff:a01:203"},
      {"1:2:3", -1, nullptr},
      {":1:2:3:4:5:6:7", -1, nullptr},
      {"1:2:3:4:5:6:7:", -1, nullptr},
      {"12345::1", -1, nullptr},
      {"", -3, nullptr},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.text);
    int rc;
    std::string g = Groups(c.text, &rc);
    EXPECT_EQ(rc, c.rc);
    if (c.groups) {
      EXPECT_EQ(g, c.groups);
    }
  }
}

TEST(DnsTextParsers, FormatIpv6) {
  struct Case {
    uint16_t g[8];
    const char* text;
  };
  const Case cases[] = {
      {{0, 1, 2, 3, 4, 5, 6, 7}, "0:1:2:3:4:5:6:7"},
      {{0, 0, 0, 0, 0, 0, 0, 1}, "::1"},
      {{1, 0, 2, 0, 0, 0, 0, 3}, "1:0:2::3"},
      {{1, 0, 0, 2, 0, 0, 0, 0}, "1::2:0:0:0:0"},  // the first run, not the longest
      {{0, 0, 0, 0, 0, 0, 0, 0}, "::"},
      {{0x2001, 0xdb8, 0, 0, 0, 0, 0, 0}, "2001:db8::"},
      {{0xabcd, 0x0ef0, 1, 2, 3, 4, 5, 6}, "abcd:ef0:1:2:3:4:5:6"},
  };
  for (const auto& c : cases) {
    uint8_t wire[16];
    for (int i = 0; i < 8; ++i) {
      wire[2 * i] = static_cast<uint8_t>(c.g[i] >> 8);
      wire[2 * i + 1] = static_cast<uint8_t>(c.g[i]);
    }
    uint16_t groups[8];
    std::memcpy(groups, wire, 16);
    char out[40];
    EXPECT_STREQ(dns_format_ipv6(groups, out), c.text);
    // And back again.
    uint16_t back[8];
    ASSERT_EQ(dns_parse_ipv6(out, back), 0);
    EXPECT_EQ(0, std::memcmp(back, groups, 16)) << out;
  }
}

}  // namespace
