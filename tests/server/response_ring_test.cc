#include "server/response_ring.h"

#include <gtest/gtest.h>

#include <cstring>
#include <random>
#include <string>
#include <strings.h>
#include <vector>

namespace {

// The ring exactly as its behaviour is described: a walk from start over the live entries, where
// an expired entry moves start past itself and a name equal without regard to case is the hit.
class ReferenceRing {
 public:
  bool Lookup(int64_t now, uint32_t ttl, const std::string& name, std::vector<uint8_t>* answer) {
    for (int i = start_, walked = 0; i != end_ && walked < kN; i = (i + 1) % kN, ++walked) {
      if (now - entries_[i].stored >= static_cast<int64_t>(ttl)) {
        start_ = (i + 1) % kN;
        continue;
      }
      if (strcasecmp(entries_[i].name.c_str(), name.c_str()) == 0) {
        *answer = entries_[i].answer;
        return true;
      }
    }
    return false;
  }
  void Store(int64_t now, const std::string& name, const std::vector<uint8_t>& answer) {
    entries_[end_] = Entry{name, now, answer};
    end_ = (end_ + 1) % kN;
    if (end_ == start_) start_ = (start_ + 1) % kN;
  }
  int Size() const { return (end_ - start_ + kN) % kN; }

 private:
  static constexpr int kN = ResponseRings::kEntries;
  struct Entry {
    std::string name;
    int64_t stored = 0;
    std::vector<uint8_t> answer;
  };
  Entry entries_[kN];
  int start_ = 0, end_ = 0;
};

DnsQuestion Question(std::string& name, uint16_t type) {
  DnsQuestion q;
  q.name = &name[0];
  q.qtype = type;
  q.qclass = 1;
  return q;
}

// An answer whose bytes say which store made it (the first two bytes are the id).
std::vector<uint8_t> Answer(uint32_t serial, size_t length) {
  std::vector<uint8_t> a(length);
  for (size_t i = 0; i < length; ++i) a[i] = static_cast<uint8_t>((serial >> (8 * (i % 4))) + i);
  return a;
}

struct LookupResult {
  bool hit;
  std::vector<uint8_t> message;
};

LookupResult Lookup(ResponseRings& rings, int64_t now, uint32_t ttl, std::string name, uint16_t type) {
  LookupResult r;
  r.message.assign(512, 0);
  r.message[0] = 0xAB;
  r.message[1] = 0xCD;
  uint16_t length = 40;
  DnsQuestion q = Question(name, type);
  r.hit = rings.LookupAt(now, ttl, false, &length, r.message.data(), q);
  r.message.resize(r.hit ? length : 0);
  return r;
}

void Store(ResponseRings& rings, int64_t now, std::string name, uint16_t type, const std::vector<uint8_t>& a) {
  DnsQuestion q = Question(name, type);
  rings.StoreAt(now, false, static_cast<uint16_t>(a.size()), a.data(), q);
}

// Random stores and lookups over few names, checked step by step against the reference: the same
// hits, the same bytes, the same number of live entries. The clock mostly runs forward; in the
// runs that allow it, it is sometimes set back, which puts expired entries behind live ones.
TEST(ResponseRings, GiveTheAnswerOfTheWalkInEveryCase) {
  struct Run {
    const char* what;
    int names;
    uint32_t ttl;
    bool clockSetBack;
    int steps;
  } runs[] = {
      {"few names, long life", 40, 1000, false, 20000},
      {"many names, ring overwrites", 3000, 100000, false, 20000},
      {"short life, front expiry", 200, 5, false, 20000},
      {"clock set back", 200, 8, true, 30000},
      {"clock set back, ring full", 1500, 50, true, 30000},
  };
  for (const Run& run : runs) {
    std::mt19937 random(7);
    ResponseRings rings;
    ReferenceRing reference;
    int64_t now = 1700000000;
    uint32_t serial = 0;
    for (int step = 0; step < run.steps; ++step) {
      int r = static_cast<int>(random() % 100);
      if (r < 30) now += random() % 3;
      if (run.clockSetBack && r == 99) now -= random() % 20;
      std::string name = "Host" + std::to_string(random() % run.names) + ".Example.test";
      if (random() % 2) {
        for (char& c : name) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
      }
      if (random() % 3 == 0) {
        std::vector<uint8_t> a = Answer(++serial, 12 + random() % 500);
        Store(rings, now, name, DNS_TYPE_A, a);
        reference.Store(now, name, a);
      } else {
        std::vector<uint8_t> expected;
        bool expectHit = reference.Lookup(now, run.ttl, name, &expected);
        LookupResult got = Lookup(rings, now, run.ttl, name, DNS_TYPE_A);
        ASSERT_EQ(got.hit, expectHit) << run.what << ", step " << step << ", " << name;
        if (expectHit) {
          expected[0] = 0xAB;
          expected[1] = 0xCD;
          ASSERT_EQ(got.message, expected) << run.what << ", step " << step;
        }
      }
      ASSERT_EQ(rings.Size(DNS_TYPE_A), reference.Size()) << run.what << ", step " << step;
    }
  }
}

TEST(ResponseRings, EdgeCases) {
  ResponseRings rings;
  const int64_t t = 1700000000;
  // An answer comes back with the new id, otherwise unchanged, for any mix of letter case.
  std::vector<uint8_t> a = Answer(1, 60);
  Store(rings, t, "www.Example.com", DNS_TYPE_A, a);
  LookupResult r = Lookup(rings, t + 9, 10, "WWW.example.COM", DNS_TYPE_A);
  ASSERT_TRUE(r.hit);
  EXPECT_EQ(r.message[0], 0xAB);
  EXPECT_EQ(r.message[1], 0xCD);
  EXPECT_TRUE(std::equal(a.begin() + 2, a.end(), r.message.begin() + 2));
  // The rings are per type; types without a ring store and find nothing.
  EXPECT_FALSE(Lookup(rings, t, 10, "www.example.com", DNS_TYPE_PTR).hit);
  Store(rings, t, "www.example.com", DNS_TYPE_AAAA, a);
  EXPECT_FALSE(Lookup(rings, t, 10, "www.example.com", DNS_TYPE_AAAA).hit);
  EXPECT_EQ(rings.Size(DNS_TYPE_AAAA), 0);
  // Stored exactly TTL seconds ago: expired, and dropped by the lookup.
  EXPECT_FALSE(Lookup(rings, t + 10, 10, "www.example.com", DNS_TYPE_A).hit);
  EXPECT_EQ(rings.Size(DNS_TYPE_A), 0);
  // Two answers for one name: the older one answers until it expires.
  Store(rings, t, "two.test", DNS_TYPE_MX, Answer(2, 30));
  Store(rings, t + 5, "TWO.test", DNS_TYPE_MX, Answer(3, 31));
  EXPECT_EQ(Lookup(rings, t + 6, 10, "two.test", DNS_TYPE_MX).message.size(), 30u);
  EXPECT_EQ(Lookup(rings, t + 10, 10, "two.test", DNS_TYPE_MX).message.size(), 31u);
  EXPECT_EQ(rings.Size(DNS_TYPE_MX), 1);
  // The 1024th answer overwrites the oldest; the ring then holds 1023.
  for (int i = 0; i < 1024; ++i) Store(rings, t, "n" + std::to_string(i) + ".test", DNS_TYPE_TXT, Answer(i, 20));
  EXPECT_EQ(rings.Size(DNS_TYPE_TXT), 1023);
  EXPECT_FALSE(Lookup(rings, t, 10, "n0.test", DNS_TYPE_TXT).hit);
  EXPECT_TRUE(Lookup(rings, t, 10, "n1.test", DNS_TYPE_TXT).hit);
  EXPECT_TRUE(Lookup(rings, t, 10, "n1023.test", DNS_TYPE_TXT).hit);
  // Lengths outside 1..512 are not stored; Clear empties every ring.
  Store(rings, t, "big.test", DNS_TYPE_A, Answer(9, 513));
  EXPECT_FALSE(Lookup(rings, t, 10, "big.test", DNS_TYPE_A).hit);
  rings.Clear();
  EXPECT_EQ(rings.Size(DNS_TYPE_TXT), 0);
  EXPECT_FALSE(Lookup(rings, t, 10, "n1.test", DNS_TYPE_TXT).hit);
  Store(rings, t, "n1.test", DNS_TYPE_TXT, Answer(10, 20));
  EXPECT_TRUE(Lookup(rings, t, 10, "n1.test", DNS_TYPE_TXT).hit);
}

}  // namespace
