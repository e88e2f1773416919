// Building responses from a zone: answers, CNAME chains, SOA in authority, name errors, flags,
// truncation, and the owner index giving exactly the answers a plain scan of the list gives.
#include <gtest/gtest.h>

#include <cctype>
#include <cstdlib>
#include <cstring>
#include <random>
#include <string>
#include <thread>
#include <vector>

#include "dns/dns_message.h"
#include "dns/zone_file.h"
#include "dns_test_util.h"

namespace {

using dnstest::Render;
using dnstest::ZoneHolder;

struct Answer {
  int length = 0;
  int rcode = -1;
  uint16_t flags = 0;
  std::vector<std::string> answers;
  std::vector<std::string> authority;
  int additional = 0;
};

Answer Ask(const DomainInfo* zone, const char* name, uint16_t qtype, int rcode = 0,
           uint16_t flags = 0x0100) {
  static uint8_t msg[kDnsMaxMessage];
  std::vector<char> qname(name, name + std::strlen(name) + 1);
  DnsQuestion q{qname.data(), qtype, 1};
  Answer a;
  a.length = dns_make_response(&q, msg, 0x4242, flags, rcode, zone);
  if (a.length <= 0) return a;
  DnsHeader h;
  DnsQuestion back;
  DnsRecord recs[64];
  char names[kDnsNameBufferSize];
  size_t count = 64;
  int rc = dns_parse_response(msg, static_cast<size_t>(a.length), &h, &back, recs, &count, names);
  EXPECT_EQ(rc, 0);
  if (rc != 0) return a;
  EXPECT_EQ(h.id, 0x4242);
  EXPECT_STREQ(back.name, name);
  a.flags = h.flags;
  a.rcode = h.flags & 0xF;
  for (size_t i = 0; i < count; ++i)
    (i < h.ancount ? a.answers : a.authority).push_back(Render(recs[i]));
  a.additional = h.arcount;
  EXPECT_LE(h.nscount, 1);
  return a;
}

const char kZone[] = R"($TTL 3600
@        IN SOA ns1 admin 7 1h 10m 1w 5m
@        NS   ns1
www      A    10.0.0.1
www      A    10.0.0.2
www      AAAA 2001:db8::1
alias    CNAME www
mxonly   CNAME www
far      CNAME www.other.test.
mail     MX   10 mx1
txt      TXT  "hello world"
sub      SOA  ns.sub hostmaster.sub 9 1 1 1 1
sub      A    10.9.9.9
c1 CNAME c2
c2 CNAME c3
c3 CNAME c4
c4 CNAME c5
c5 CNAME c6
c6 CNAME c7
c7 CNAME c8
c8 CNAME c9
c9 CNAME c10
c10 CNAME c11
c11 CNAME c12
c12 A 10.1.1.1
loop1 CNAME loop2
loop2 CNAME loop1
)";

const char* kSoa = "example.test 3600 IN SOA ns1.example.test admin.example.test 7 3600 600 604800 300";

TEST(MakeResponse, AnswersFromZone) {
  ZoneHolder z(dnstest::ZoneFromText(kZone, "example.test"));
  struct Case {
    const char* what;
    const char* name;
    uint16_t qtype;
    int rcode;
    std::vector<std::string> answers;
    std::vector<std::string> authority;
  };
  const std::vector<Case> cases = {
      {"records of the type in zone order", "www.example.test", 1, 0,
       {"www.example.test 3600 IN A 10.0.0.1", "www.example.test 3600 IN A 10.0.0.2"}, {}},
      // The owner is compressed against the question name, so it comes back in the question's case.
      {"name compared without case", "WWW.Example.TEST", 28, 0,
       {"WWW.Example.TEST 3600 IN AAAA 2001:0db8:0000:0000:0000:0000:0000:0001"}, {}},
      {"name with other types only: SOA", "www.example.test", 15, 0, {}, {kSoa}},
      {"no type matches any", "www.example.test", 255, 0, {}, {kSoa}},
      {"unknown name", "nothere.example.test", 1, 3, {}, {}},
      {"no wildcard or parent matching", "x.www.example.test", 1, 3, {}, {}},
      {"CNAME followed for A", "alias.example.test", 1, 0,
       {"alias.example.test 3600 IN CNAME www.example.test", "www.example.test 3600 IN A 10.0.0.1",
        "www.example.test 3600 IN A 10.0.0.2"},
       {}},
      {"CNAME not followed for MX", "mxonly.example.test", 15, 0,
       {"mxonly.example.test 3600 IN CNAME www.example.test"}, {kSoa}},
      {"CNAME asked for", "alias.example.test", 5, 0,
       {"alias.example.test 3600 IN CNAME www.example.test"}, {}},
      {"CNAME out of the zone", "far.example.test", 1, 0,
       {"far.example.test 3600 IN CNAME www.other.test"}, {kSoa}},
      {"MX", "mail.example.test", 15, 0, {"mail.example.test 3600 IN MX 10 mx1.example.test"}, {}},
      {"TXT", "txt.example.test", 16, 0, {"txt.example.test 3600 IN TXT hello world"}, {}},
      {"the name's own SOA replaces the zone's", "sub.example.test", 15, 0, {},
       {"sub.example.test 3600 IN SOA ns.sub.example.test hostmaster.sub.example.test 9 1 1 1 1"}},
      {"zone apex", "example.test", 2, 0, {"example.test 3600 IN NS ns1.example.test"}, {}},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.what);
    Answer a = Ask(z.zone, c.name, c.qtype);
    EXPECT_EQ(a.rcode, c.rcode);
    EXPECT_EQ(a.answers, c.answers);
    EXPECT_EQ(a.authority, c.authority);
    EXPECT_EQ(a.additional, 0);
  }
}

TEST(MakeResponse, CnameChainStopsAfterNineLinks) {
  ZoneHolder z(dnstest::ZoneFromText(kZone, "example.test"));
  Answer a = Ask(z.zone, "c1.example.test", 1);
  EXPECT_EQ(a.rcode, 0);
  ASSERT_EQ(a.answers.size(), 9u);
  EXPECT_EQ(a.answers[0], "c1.example.test 3600 IN CNAME c2.example.test");
  EXPECT_EQ(a.answers[8], "c9.example.test 3600 IN CNAME c10.example.test");
  EXPECT_EQ(a.authority, std::vector<std::string>{kSoa});

  Answer loop = Ask(z.zone, "loop1.example.test", 28);
  EXPECT_EQ(loop.rcode, 0);
  EXPECT_EQ(loop.answers.size(), 9u);
  EXPECT_EQ(loop.authority.size(), 1u);
}

TEST(MakeResponse, FlagsAndRcode) {
  ZoneHolder z(dnstest::ZoneFromText(kZone, "example.test"));
  struct Case {
    uint16_t requestFlags;
    int rcode;
    uint16_t responseFlags;
  };
  const Case cases[] = {
      {0x0100, 0, 0x8100},  // rd kept, qr set
      {0x0500, 0, 0x8500},  // aa only when the request carried it
      {0x2900, 0, 0xA900},  // opcode, tc kept... as the request had them
      {0x010F, 0, 0x8100},  // the request's rcode bits are replaced
      {0x0100, 2, 0x8102},
      {0x0100, 5, 0x8105},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.requestFlags);
    Answer a = Ask(z.zone, "www.example.test", 1, c.rcode, c.requestFlags);
    EXPECT_EQ(a.flags, c.responseFlags);
    if (c.rcode != 0) {
      EXPECT_TRUE(a.answers.empty());
      EXPECT_TRUE(a.authority.empty());
    }
  }
  Answer none = Ask(nullptr, "www.example.test", 1);
  EXPECT_EQ(none.rcode, 3);
  EXPECT_TRUE(none.answers.empty());

  uint8_t msg[kDnsMaxMessage];
  DnsQuestion q{nullptr, 1, 1};
  EXPECT_EQ(dns_make_response(&q, msg, 1, 0, 0, z.zone), -3);
}

TEST(MakeResponse, AnswersThatOverflowAreLeftOut) {
  ZoneHolder z(domain_info_new());
  std::string text(100, 't');
  for (int i = 0; i < 300; ++i)
    domain_info_add(z.zone, dns_record_new_txt("big.test", 1, 60, text.c_str(), nullptr, true));
  uint8_t msg[kDnsMaxMessage];
  char name[] = "big.test";
  DnsQuestion q{name, 16, 1};
  int len = dns_make_response(&q, msg, 1, 0, 0, z.zone);
  // Header 12, question 10 + 4, each answer: owner pointer 2, fixed 10, string 101.
  const int per = 2 + 10 + 101;
  const int fit = (8192 - 26) / per;
  EXPECT_EQ(len, 26 + fit * per);
  EXPECT_EQ(msg[3] & 0xF, 0);
  EXPECT_EQ(msg[6] << 8 | msg[7], fit);

  // A first answer that cannot fit at all is a server failure.
  ZoneHolder huge(domain_info_new());
  const size_t n = 9000;
  auto* rec = static_cast<DnsRecord*>(std::calloc(1, sizeof(DnsRecord) + 16 + n + 1));
  char* owner = reinterpret_cast<char*>(rec + 1);
  std::strcpy(owner, "big.test");
  char* txt = owner + 16;
  std::memset(txt, 'x', n);
  txt[n] = '\0';
  rec->name = owner;
  rec->type = 16;
  rec->class_ = 1;
  rec->str = txt;
  domain_info_add(huge.zone, rec);
  len = dns_make_response(&q, msg, 1, 0, 0, huge.zone);
  EXPECT_EQ(len, 26);
  EXPECT_EQ(msg[3] & 0xF, 2);
  EXPECT_EQ(msg[6] << 8 | msg[7], 0);
}

TEST(MakeResponse, LongTxtReachesTheWireWhole) {
  ZoneHolder z(domain_info_new());
  std::string text;
  for (int i = 0; i < 700; ++i) text += static_cast<char>('a' + i % 26);
  domain_info_add(z.zone, dns_record_new_txt("t.test", 1, 60, text.c_str(), nullptr, true));
  uint8_t msg[kDnsMaxMessage];
  char name[] = "t.test";
  DnsQuestion q{name, 16, 1};
  int len = dns_make_response(&q, msg, 1, 0, 0, z.zone);
  ASSERT_GT(len, 0);
  // Answer data after header 12, question 8 + 4, owner pointer 2 and the fixed 10: strings of
  // 255, 255 and 190 bytes, RDLENGTH 703.
  const uint8_t* rd = msg + 12 + 12 + 2 + 8;
  EXPECT_EQ(rd[0] << 8 | rd[1], 703);
  EXPECT_EQ(rd[2], 255);
  EXPECT_EQ(rd[2 + 256], 255);
  EXPECT_EQ(rd[2 + 512], 190);
  EXPECT_EQ(std::string(reinterpret_cast<const char*>(rd + 2 + 512 + 1), 190), text.substr(510));
  EXPECT_EQ(len, 12 + 12 + 2 + 10 + 703);
}

std::vector<std::string> Folded(std::vector<std::string> lines) {
  for (auto& l : lines)
    for (auto& ch : l) ch = static_cast<char>(std::tolower(static_cast<unsigned char>(ch)));
  return lines;
}

// The answer search as a literal scan of the zone list in order, for comparison with the index.
struct Expected {
  int rcode;
  std::vector<const DnsRecord*> answers;
  const DnsRecord* soa;
};

Expected ScanReference(const DomainInfo* zone, const char* qname, uint16_t qtype) {
  Expected e{0, {}, nullptr};
  const char* current = qname;
  bool seen = false, answered = false;
  const DnsRecord* soa = nullptr;
  const DnsRecord* cname = nullptr;
  for (int scans = 0;;) {
    for (const DnsRecord* r = zone->head; r; r = r->next) {
      if (r->type == 6 && !soa) soa = r;
      if (strcasecmp(r->name, current) != 0) continue;
      seen = true;
      if (r->type == 6) soa = r;
      if (r->type == 5 && !cname) cname = r;
      if (r->type == qtype) {
        e.answers.push_back(r);
        answered = true;
      }
    }
    if (answered) return e;
    if (++scans >= 10 || !cname) break;
    e.answers.push_back(cname);
    current = cname->str;
    cname = nullptr;
    if (qtype != 1 && qtype != 28) break;
  }
  if (!seen) {
    e.rcode = 3;
    return e;
  }
  e.soa = soa;
  return e;
}

TEST(MakeResponse, IndexGivesTheAnswersOfAListScan) {
  std::mt19937 rng(20240611);
  const char* owners[] = {"a", "B", "c", "A", "d.e", "D.E", "f", "g"};
  const uint16_t types[] = {1, 1, 28, 5, 5, 6, 15, 16, 2};
  for (int round = 0; round < 200; ++round) {
    ZoneHolder z(domain_info_new());
    int n = 1 + static_cast<int>(rng() % 30);
    for (int i = 0; i < n; ++i) {
      const char* owner = owners[rng() % 8];
      uint16_t type = types[rng() % 9];
      std::string data;
      DnsRecord* rec = nullptr;
      switch (type) {
        case 1: rec = dns_record_new_a(owner, 1, i, ("10.0.0." + std::to_string(i)).c_str(), "z"); break;
        case 28: rec = dns_record_new_aaaa(owner, 1, i, ("::" + std::to_string(i)).c_str(), "z"); break;
        case 5: case 2: rec = dns_record_new_name(owner, type, 1, i, owners[rng() % 8], "z"); break;
        case 6: rec = dns_record_new_soa(owner, 1, i, ("ns" + std::to_string(i) + " h 1 2 3 4 5").c_str(), "z"); break;
        case 15: rec = dns_record_new_mx(owner, 1, i, "5 mx", "z"); break;
        case 16: rec = dns_record_new_txt(owner, 1, i, ("t" + std::to_string(i)).c_str(), "z", false); break;
      }
      ASSERT_NE(rec, nullptr);
      domain_info_add(z.zone, rec);
    }
    for (const char* owner : {"a.z", "b.z", "C.z", "d.e.z", "f.z", "g.z", "h.z"}) {
      for (uint16_t qtype : {1, 28, 5, 6, 15, 16, 2, 255}) {
        SCOPED_TRACE(std::string(owner) + " " + dns_type_name(qtype) + " round " + std::to_string(round));
        Expected e = ScanReference(z.zone, owner, qtype);
        Answer a = Ask(z.zone, owner, qtype);
        std::vector<std::string> answers, authority;
        for (const DnsRecord* r : e.answers) answers.push_back(Render(*r));
        if (e.soa) authority.push_back(Render(*e.soa));
        EXPECT_EQ(a.rcode, e.rcode);
        // Names on the wire take the case of the first spelling written (compression).
        EXPECT_EQ(Folded(a.answers), Folded(answers));
        EXPECT_EQ(Folded(a.authority), Folded(authority));

        // Without its index the zone is scanned, with the same result byte for byte.
        uint8_t withIndex[kDnsMaxMessage], withoutIndex[kDnsMaxMessage];
        std::vector<char> qname(owner, owner + std::strlen(owner) + 1);
        DnsQuestion q{qname.data(), qtype, 1};
        int l1 = dns_make_response(&q, withIndex, 1, 0, 0, z.zone);
        DomainInfo copy = *z.zone;
        copy.index = nullptr;
        int l2 = dns_make_response(&q, withoutIndex, 1, 0, 0, &copy);
        ASSERT_EQ(l1, l2);
        EXPECT_EQ(0, std::memcmp(withIndex, withoutIndex, static_cast<size_t>(l1)));
      }
    }
  }
}

TEST(MakeResponse, LargeZoneIndexFindsEveryOwner) {
  ZoneHolder z(domain_info_new());
  domain_info_add(z.zone, dns_record_new_soa("@", 1, 60, "ns admin 1 2 3 4 5", "big.test"));
  for (int i = 0; i < 20000; ++i) {
    std::string owner = "h" + std::to_string(i);
    std::string ip = "10." + std::to_string(i / 256 % 256) + "." + std::to_string(i % 256) + ".1";
    domain_info_add(z.zone, dns_record_new_a(owner.c_str(), 1, 60, ip.c_str(), "big.test"));
  }
  EXPECT_EQ(z.zone->count, 20001);
  for (int i = 0; i < 20000; i += 997) {
    std::string name = "H" + std::to_string(i) + ".BIG.test";
    Answer a = Ask(z.zone, name.c_str(), 1);
    ASSERT_EQ(a.answers.size(), 1u) << name;
    std::string ip = "10." + std::to_string(i / 256 % 256) + "." + std::to_string(i % 256) + ".1";
    EXPECT_EQ(a.answers[0], name + " 60 IN A " + ip);
  }
  EXPECT_EQ(Ask(z.zone, "h20000.big.test", 1).rcode, 3);
}

TEST(MakeResponse, ConcurrentReadersGetTheSameAnswers) {
  ZoneHolder z(dnstest::ZoneFromText(kZone, "example.test"));
  const char* names[] = {"www.example.test", "alias.example.test", "c1.example.test",
                         "nothere.example.test", "sub.example.test", "txt.example.test"};
  const uint16_t types[] = {1, 28, 15, 16};
  // Answers built on this thread first.
  std::vector<std::vector<uint8_t>> expected;
  for (const char* n : names) {
    for (uint16_t t : types) {
      uint8_t msg[kDnsMaxMessage];
      std::vector<char> qname(n, n + std::strlen(n) + 1);
      DnsQuestion q{qname.data(), t, 1};
      int len = dns_make_response(&q, msg, 7, 0x0100, 0, z.zone);
      ASSERT_GT(len, 0);
      expected.emplace_back(msg, msg + len);
    }
  }
  std::vector<int> mismatches(4, 0);
  std::vector<std::thread> threads;
  for (int t = 0; t < 4; ++t) {
    threads.emplace_back([&, t] {
      uint8_t msg[kDnsMaxMessage];
      for (int round = 0; round < 2000; ++round) {
        size_t i = static_cast<size_t>(round + t) % expected.size();
        const char* n = names[i / 4];
        std::vector<char> qname(n, n + std::strlen(n) + 1);
        DnsQuestion q{qname.data(), types[i % 4], 1};
        int len = dns_make_response(&q, msg, 7, 0x0100, 0, z.zone);
        if (len != static_cast<int>(expected[i].size()) ||
            std::memcmp(msg, expected[i].data(), expected[i].size()) != 0)
          ++mismatches[static_cast<size_t>(t)];
      }
    });
  }
  for (auto& th : threads) th.join();
  EXPECT_EQ(mismatches, std::vector<int>(4, 0));
}

}  // namespace
