// The domain info cache and the answers from local zones: files read once per TTL, expiry
// noticed at lookup and re-read in the same request, timed and untimed inserts, listing,
// the parse-failure message, and answers while other threads change the cache.
#include <gtest/gtest.h>

#include <atomic>
#include <map>
#include <string>
#include <thread>
#include <vector>

#include "dns/dns_cache.h"
#include "dns/zone_file.h"
#include "local_zone_support.h"
#include "shell/platform.h"

using local_zone::LogCapture;
using local_zone::Question;
using local_zone::ReadReply;
using local_zone::Reply;
using local_zone::TempDir;
using local_zone::ZoneText;

namespace {

constexpr uint16_t kFlagsRd = 0x0100;

Reply FromFile(DNSCache& cache, const std::string& name, uint16_t type = DNS_TYPE_A,
               uint16_t id = 0x1234) {
  Question q(name, type);
  uint8_t msg[kDnsMaxMessage];
  return ReadReply(msg, MakeResponseFromFile(&q.q, &cache, msg, id, kFlagsRd));
}

Reply FromCache(DNSCache& cache, const std::string& name, uint16_t type = DNS_TYPE_A,
                uint16_t id = 0x4321) {
  Question q(name, type);
  uint8_t msg[kDnsMaxMessage];
  return ReadReply(msg, MakeResponseFromCache(&q.q, &cache, msg, id, kFlagsRd));
}

// The answer the pipeline would give: the cache first, then the file.
Reply Answer(DNSCache& cache, const std::string& name) {
  Reply r = FromCache(cache, name);
  return r.rc == 0 && r.rcode >= 0 ? r : FromFile(cache, name);
}

std::vector<std::string> Cached(DNSCache& cache) {
  std::map<std::string, DomainInfo*> names;
  EXPECT_TRUE(ListCachedDomains(&cache, &names));
  std::vector<std::string> out;
  for (const auto& [name, zone] : names) {
    EXPECT_EQ(zone, nullptr);
    out.push_back(name);
  }
  return out;
}

DomainInfo* ZoneFor(const std::string& origin, const std::string& address) {
  DomainInfo* zone = domain_info_new();
  std::string text = ZoneText(address);
  EXPECT_EQ(domain_info_parse_text(zone, text.data(), text.size(), origin.c_str()), 0);
  return zone;
}

// Ages the cached zone of name so that it was loaded `age` seconds ago.
void Age(DNSCache& cache, const std::string& name, int64_t age) {
  CriticalLockGuard guard(cache.Lock(), 1);
  const char* cursor = name.c_str();
  DomainInfo* zone = LookupDomainInfo(&cache, &cursor);
  ASSERT_NE(zone, nullptr) << name;
  zone->loaded = NowSeconds() - age;
}

class DomainInfoCache : public ::testing::Test {
 protected:
  void SetUp() override {
    tmp_.Write("example.com", ZoneText("192.0.2.1"));
    ASSERT_TRUE(cache_.Directory().SetDirectory(tmp_.Path().c_str()));
  }
  TempDir tmp_;
  DNSCache cache_;
};

TEST_F(DomainInfoCache, AnswersFromTheFileOfTheSuffix) {
  cache_.SetTTL(3600);
  Reply r = FromFile(cache_, "mail.example.com");
  ASSERT_EQ(r.rc, 0);
  EXPECT_EQ(r.id, 0x1234);
  EXPECT_EQ(r.rcode, 0);
  EXPECT_EQ(r.records, std::vector<std::string>{"mail.example.com A 192.0.2.1"});

  r = FromFile(cache_, "nothing.example.com");
  EXPECT_EQ(r.rcode, DNS_RCODE_NXDOMAIN);
  EXPECT_TRUE(r.records.empty());

  r = FromFile(cache_, "www.example.com", DNS_TYPE_MX);
  EXPECT_EQ(r.rcode, 0);
  EXPECT_EQ(r.records, std::vector<std::string>{"example.com SOA ns1.example.com admin.example.com"})
      << "no data: the zone's SOA";

  r = FromFile(cache_, "ftp.example.com");
  EXPECT_EQ(r.records, (std::vector<std::string>{"ftp.example.com CNAME www.example.com",
                                                 "www.example.com A 192.0.2.1"}));

  EXPECT_EQ(FromFile(cache_, "example.org").rc, 0) << "no file: 0, nothing built";
  Question q("example.org");
  uint8_t msg[kDnsMaxMessage];
  EXPECT_EQ(MakeResponseFromFile(&q.q, &cache_, msg, 1, 0), 0);
  EXPECT_EQ(Cached(cache_), std::vector<std::string>{"example.com"});
}

TEST_F(DomainInfoCache, WithATtlTheFileIsReadOnce) {
  cache_.SetTTL(3600);
  EXPECT_EQ(FromCache(cache_, "www.example.com").rc, 0);
  Question q("www.example.com");
  uint8_t msg[kDnsMaxMessage];
  EXPECT_EQ(MakeResponseFromCache(&q.q, &cache_, msg, 1, 0), 0) << "nothing cached yet";

  EXPECT_EQ(Answer(cache_, "www.example.com").records,
            std::vector<std::string>{"www.example.com A 192.0.2.1"});
  tmp_.Write("example.com", ZoneText("192.0.2.99"));
  Reply r = FromCache(cache_, "WWW.Example.COM");
  EXPECT_EQ(r.id, 0x4321);
  EXPECT_EQ(r.records, std::vector<std::string>{"WWW.Example.COM A 192.0.2.1"})
      << "answered from memory, not from the edited file";
}

TEST_F(DomainInfoCache, TtlZeroReReadsTheFileEveryTime) {
  cache_.SetTTL(0);
  EXPECT_EQ(FromFile(cache_, "www.example.com").records,
            std::vector<std::string>{"www.example.com A 192.0.2.1"});
  EXPECT_TRUE(Cached(cache_).empty());
  tmp_.Write("example.com", ZoneText("192.0.2.2"));
  EXPECT_EQ(FromFile(cache_, "www.example.com").records,
            std::vector<std::string>{"www.example.com A 192.0.2.2"});
  tmp_.Write("example.com", ZoneText("192.0.2.3"));
  EXPECT_EQ(FromFile(cache_, "www.example.com").records,
            std::vector<std::string>{"www.example.com A 192.0.2.3"});
  EXPECT_TRUE(Cached(cache_).empty());
}

TEST_F(DomainInfoCache, ExpiredZoneIsReReadInTheSameRequest) {
  cache_.SetTTL(60);
  ASSERT_EQ(Answer(cache_, "www.example.com").records,
            std::vector<std::string>{"www.example.com A 192.0.2.1"});
  tmp_.Write("example.com", ZoneText("192.0.2.7"));

  Age(cache_, "example.com", 59);
  EXPECT_EQ(Answer(cache_, "www.example.com").records,
            std::vector<std::string>{"www.example.com A 192.0.2.1"}) << "59 s old: still valid";

  Age(cache_, "example.com", 60);  // exactly the TTL: expired
  EXPECT_EQ(Answer(cache_, "www.example.com").records,
            std::vector<std::string>{"www.example.com A 192.0.2.7"});
  EXPECT_EQ(Cached(cache_), std::vector<std::string>{"example.com"});
  EXPECT_EQ(FromCache(cache_, "www.example.com").records,
            std::vector<std::string>{"www.example.com A 192.0.2.7"}) << "the new zone is kept";
}

TEST_F(DomainInfoCache, ExpiredZoneEndsTheSearch) {
  cache_.SetTTL(60);
  ASSERT_TRUE(CacheDomainInfo("com", &cache_, ZoneFor("com", "192.0.2.50"), false));
  ASSERT_TRUE(CacheDomainInfo("example.com", &cache_, ZoneFor("example.com", "192.0.2.51"), true));
  Age(cache_, "example.com", 61);
  CriticalLockGuard guard(cache_.Lock(), 1);
  const char* name = "www.example.com";
  const char* cursor = name;
  EXPECT_EQ(LookupDomainInfo(&cache_, &cursor), nullptr) << "com is not tried after it";
  EXPECT_EQ(cursor, name);
  EXPECT_EQ(Cached(cache_), std::vector<std::string>{"com"}) << "the expired zone is gone";
  DomainInfo* com = LookupDomainInfo(&cache_, &cursor);
  ASSERT_NE(com, nullptr);
  EXPECT_STREQ(cursor, "com");
}

TEST_F(DomainInfoCache, LookupTakesTheLongestCachedSuffix) {
  cache_.SetTTL(60);
  ASSERT_TRUE(CacheDomainInfo("com", &cache_, ZoneFor("com", "192.0.2.50"), false));
  ASSERT_TRUE(CacheDomainInfo("..Example.COM", &cache_, ZoneFor("example.com", "192.0.2.51"), false));
  struct Case {
    const char* name;
    const char* cursor;  // null: none
  } cases[] = {
      {"a.b.example.com", "example.com"}, {"EXAMPLE.com", "EXAMPLE.com"}, {"..x.example.com", "example.com"},
      {"www.other.com", "com"},           {"com", "com"},                 {"example.org", nullptr},
      {"", nullptr},                      {"...", nullptr},               {"xcom", nullptr},
  };
  CriticalLockGuard guard(cache_.Lock(), 1);
  for (const auto& c : cases) {
    const char* cursor = c.name;
    DomainInfo* zone = LookupDomainInfo(&cache_, &cursor);
    EXPECT_EQ(zone != nullptr, c.cursor != nullptr) << c.name;
    if (zone) {
      EXPECT_STREQ(cursor, c.cursor) << c.name;
    }
  }
}

TEST_F(DomainInfoCache, TimedAndUntimedInserts) {
  cache_.SetTTL(60);
  struct Step {
    const char* what;
    bool timed;
    int64_t ageBefore;  // < 0: leave the cached zone's age alone
    bool taken;
    const char* address;  // the answer afterwards
  } steps[] = {
      {"first timed insert", true, -1, true, "192.0.2.1"},
      {"timed over a valid zone: refused", true, -1, false, "192.0.2.1"},
      {"timed over an expired zone: replaces", true, 60, true, "192.0.2.3"},
      {"untimed over a valid timed zone: replaces", false, -1, true, "192.0.2.4"},
      {"timed over an untimed zone: refused", true, -1, false, "192.0.2.4"},
      {"untimed over untimed: replaces", false, -1, true, "192.0.2.6"},
  };
  int n = 1;
  for (const auto& s : steps) {
    if (s.ageBefore >= 0) Age(cache_, "example.com", s.ageBefore);
    DomainInfo* zone = ZoneFor("example.com", "192.0.2." + std::to_string(n++));
    bool taken = CacheDomainInfo("Example.Com", &cache_, zone, s.timed);
    EXPECT_EQ(taken, s.taken) << s.what;
    if (!taken) domain_info_free(&zone);
    EXPECT_EQ(FromCache(cache_, "www.example.com").records,
              std::vector<std::string>{std::string("www.example.com A ") + s.address})
        << s.what;
  }
  // An untimed zone never expires, whatever the TTL and its age.
  cache_.SetTTL(1);
  EXPECT_EQ(FromCache(cache_, "www.example.com").rc, 0);
  EXPECT_EQ(FromCache(cache_, "www.example.com").records.size(), 1u);
  // A file zone does not displace it either.
  EXPECT_EQ(FromFile(cache_, "www.example.com").records,
            std::vector<std::string>{"www.example.com A 192.0.2.1"});
  EXPECT_EQ(FromCache(cache_, "www.example.com").records,
            std::vector<std::string>{"www.example.com A 192.0.2.6"});

  DomainInfo* zone = ZoneFor("x", "192.0.2.9");
  EXPECT_FALSE(CacheDomainInfo("", &cache_, zone, false));
  EXPECT_FALSE(CacheDomainInfo("...", &cache_, zone, false));
  EXPECT_FALSE(CacheDomainInfo(nullptr, &cache_, zone, false));
  EXPECT_FALSE(CacheDomainInfo("x", &cache_, nullptr, false));
  domain_info_free(&zone);
}

TEST_F(DomainInfoCache, RemoveClearAndList) {
  cache_.SetTTL(60);
  ASSERT_TRUE(CacheDomainInfo("Zone.One", &cache_, ZoneFor("zone.one", "192.0.2.1"), false));
  ASSERT_TRUE(CacheDomainInfo(".zone.two", &cache_, ZoneFor("zone.two", "192.0.2.2"), true));
  ASSERT_TRUE(CacheDomainInfo("three", &cache_, ZoneFor("three", "192.0.2.3"), false));

  std::map<std::string, DomainInfo*> names{{"zone.one", reinterpret_cast<DomainInfo*>(8)},
                                           {"db.only", nullptr}};
  EXPECT_TRUE(ListCachedDomains(&cache_, &names));
  EXPECT_EQ(names.size(), 4u);
  EXPECT_EQ(names["zone.one"], nullptr) << "every cached name is entered with a null zone";
  EXPECT_EQ(names.count("zone.two"), 1u);
  EXPECT_FALSE(ListCachedDomains(&cache_, nullptr));

  EXPECT_TRUE(RemoveDomainInfo("..ZONE.one", &cache_));
  EXPECT_FALSE(RemoveDomainInfo("zone.one", &cache_));
  EXPECT_FALSE(RemoveDomainInfo("", &cache_));
  EXPECT_EQ(Cached(cache_), (std::vector<std::string>{"three", "zone.two"}));
  EXPECT_EQ(FromCache(cache_, "a.zone.one").rc, 0);

  ClearDomainInfoCache(&cache_);
  EXPECT_TRUE(Cached(cache_).empty());
  EXPECT_EQ(FromCache(cache_, "a.zone.two").rc, 0);
  ASSERT_TRUE(CacheDomainInfo("zone.two", &cache_, ZoneFor("zone.two", "192.0.2.2"), true));
  EXPECT_EQ(FromCache(cache_, "a.zone.two").rcode, DNS_RCODE_NXDOMAIN) << "usable after a clear";
}

TEST_F(DomainInfoCache, ParseFailureMessage) {
  const std::string index = tmp_ / "zones.idx";
  local_zone::WriteFile(index, "missing.test = missing.zone\n");
  cache_.SetTTL(60);
  struct Case {
    const char* what;
    bool log;
    bool useIndex;
    const char* name;
    const char* expected;  // null: nothing written
  } cases[] = {
      {"log off, open error", false, true, "missing.test", nullptr},
      {"log on, open error", true, true, "missing.test", "Parse domain file failed with error: -10"},
      {"log on, no file (-9) is silent", true, true, "example.org", nullptr},
      {"log on, invalid name (-9) is silent", true, false, "con.example.com", nullptr},
  };
  for (const auto& c : cases) {
    LogCapture log;
    cache_.SetLog(c.log);
    ASSERT_TRUE(cache_.Directory().SetIndexFile(c.useIndex ? index.c_str() : ""));
    EXPECT_EQ(FromFile(cache_, c.name).rc, 0) << c.what;
    std::string text = log.Text();
    if (c.expected) {
      EXPECT_NE(text.find(c.expected), std::string::npos) << c.what << ": " << text;
    } else {
      EXPECT_EQ(text.find("Parse domain file failed"), std::string::npos) << c.what << ": " << text;
    }
  }
}

TEST_F(DomainInfoCache, MissingArguments) {
  Question q("www.example.com");
  uint8_t msg[kDnsMaxMessage];
  EXPECT_EQ(MakeResponseFromCache(nullptr, &cache_, msg, 1, 0), DNS_ERR_MISSING);
  EXPECT_EQ(MakeResponseFromCache(&q.q, nullptr, msg, 1, 0), DNS_ERR_MISSING);
  EXPECT_EQ(MakeResponseFromFile(&q.q, &cache_, nullptr, 1, 0), DNS_ERR_MISSING);
  EXPECT_EQ(LookupDomainInfo(nullptr, nullptr), nullptr);
  EXPECT_FALSE(RemoveDomainInfo(nullptr, &cache_));
  ClearDomainInfoCache(nullptr);
}

// Answers on one thread while a reload thread replaces and removes zones and settings change:
// every answer is complete and comes from one of the zones (run it under the sanitizers).
TEST_F(DomainInfoCache, AnswersWhileTheCacheChanges) {
  cache_.SetTTL(60);
  std::atomic<bool> stop{false};
  std::thread reload([&] {
    for (int i = 0; i < 2000 && !stop.load(); ++i) {
      DomainInfo* zone = ZoneFor("example.net", i % 2 ? "192.0.2.21" : "192.0.2.22");
      if (!CacheDomainInfo("example.net", &cache_, zone, false)) domain_info_free(&zone);
      if (i % 3 == 0) RemoveDomainInfo("example.net", &cache_);
      if (i % 7 == 0) {
        std::map<std::string, DomainInfo*> names;
        ListCachedDomains(&cache_, &names);
      }
      cache_.Directory().SetDirectory(i % 2 ? tmp_.Path().c_str() : (tmp_.Path() + "/").c_str());
      cache_.SetTTL(i % 5 ? 60 : 0);
      cache_.SetLog(i % 2);
    }
  });
  int answered = 0;
  for (int i = 0; i < 4000; ++i) {
    Reply r = FromCache(cache_, "www.example.net");
    if (r.rcode >= 0) {
      ASSERT_EQ(r.records.size(), 1u);
      EXPECT_TRUE(r.records[0] == "www.example.net A 192.0.2.21" ||
                  r.records[0] == "www.example.net A 192.0.2.22")
          << r.records[0];
      ++answered;
    }
    Reply f = FromFile(cache_, "www.example.com");
    ASSERT_EQ(f.records, std::vector<std::string>{"www.example.com A 192.0.2.1"});
  }
  stop = true;
  reload.join();
}

}  // namespace
