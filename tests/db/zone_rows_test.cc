// Database rows into zones and records: which rows are used, which are skipped, and what the
// records hold.
#include "db/zone_rows.h"

#include <arpa/inet.h>
#include <gtest/gtest.h>

#include <cstring>
#include <memory>
#include <string>

#include "dns/zone_file.h"

namespace {

struct ZoneDeleter {
  void operator()(DomainInfo* z) const { domain_info_free(&z); }
};
using ZonePtr = std::unique_ptr<DomainInfo, ZoneDeleter>;

struct RecordDeleter {
  void operator()(DnsRecord* r) const { dns_record_free(r); }
};
using RecordPtr = std::unique_ptr<DnsRecord, RecordDeleter>;

DbZoneRow ExampleZone(const std::string& name) {
  DbZoneRow row;
  row.id = 1;
  row.zoneName = name;
  row.nameServer1 = "ns1";
  row.responsibleMailAddr = "hostmaster";
  row.serial = 2024010101;
  row.refresh = 3600;
  row.retry = 600;
  row.expire = 86400;
  row.defaultTTL = 300;
  return row;
}

TEST(DbZoneFromRow, ZoneNameWithoutFinalDot) {
  std::string key;
  DomainInfo* raw = nullptr;
  ASSERT_TRUE(DbZoneFromRow(ExampleZone("example.com"), &key, &raw));
  ZonePtr zone(raw);
  EXPECT_EQ(key, "example.com");
  EXPECT_STREQ(zone->origin, "example.com");
  ASSERT_NE(zone->first_soa, nullptr);
  const DnsRecord* soa = zone->first_soa;
  EXPECT_STREQ(soa->name, "example.com");
  EXPECT_EQ(soa->ttl, 300u);
  EXPECT_STREQ(soa->soa->mname, "ns1.example.com");
  EXPECT_STREQ(soa->soa->rname, "hostmaster.example.com");
  EXPECT_EQ(soa->soa->serial, 2024010101u);
  EXPECT_EQ(soa->soa->refresh, 3600u);
  EXPECT_EQ(soa->soa->retry, 600u);
  EXPECT_EQ(soa->soa->expire, 86400u);
  EXPECT_EQ(soa->soa->minimum, 300u);
}

TEST(DbZoneFromRow, NamesAndSkippedRows) {
  struct Case {
    const char* what;
    std::string name;
    bool used;
    std::string key;
  };
  const Case cases[] = {
      {"final dot is removed", "example.net.", true, "example.net"},
      {"mixed case keyed in lower case", "Example.ORG", true, "example.org"},
      {"empty name", "", false, ""},
      {"the root alone", ".", false, ""},
      {"254 characters without a dot", std::string(254, 'a'), true, std::string(254, 'a')},
      {"255 characters without a dot", std::string(255, 'a'), false, ""},
      {"256 characters with a final dot", std::string(255, 'a') + ".", true, std::string(255, 'a')},
      {"257 characters with a final dot", std::string(256, 'a') + ".", false, ""},
      {"NUL byte inside", std::string("exa\0mple.com", 12), false, ""},
  };
  for (const Case& c : cases) {
    std::string key;
    DomainInfo* raw = nullptr;
    bool used = DbZoneFromRow(ExampleZone(c.name), &key, &raw);
    ZonePtr zone(raw);
    EXPECT_EQ(used, c.used) << c.what;
    EXPECT_EQ(raw != nullptr, c.used) << c.what;
    if (c.used) {
      EXPECT_EQ(key, c.key) << c.what;
    }
  }
}

TEST(DbZoneFromRow, RejectedSoaStillGivesAZone) {
  void (*const variants[])(DbZoneRow&) = {
      [](DbZoneRow& r) { r.serial = -1; },
      [](DbZoneRow& r) { r.nameServer1 = ""; },
      [](DbZoneRow& r) { r.responsibleMailAddr = std::string("a\0b", 3); },
      [](DbZoneRow& r) { r.nameServer1 = std::string(1100, 'n'); },
  };
  for (auto change : variants) {
    DbZoneRow row = ExampleZone("example.com");
    change(row);
    std::string key;
    DomainInfo* raw = nullptr;
    ASSERT_TRUE(DbZoneFromRow(row, &key, &raw));
    ZonePtr zone(raw);
    EXPECT_EQ(zone->first_soa, nullptr);
    EXPECT_EQ(zone->count, 0);
  }
}

class DbRecordFromRowTest : public ::testing::Test {
 protected:
  void SetUp() override {
    std::string key;
    DomainInfo* raw = nullptr;
    ASSERT_TRUE(DbZoneFromRow(ExampleZone("example.com"), &key, &raw));
    zone_.reset(raw);
  }
  RecordPtr Make(const char* name, const char* type, const char* data, int64_t ttl = 60, const char* cls = "IN",
                 int64_t preference = 0) {
    DbResourceRow row;
    row.rName = name;
    row.rType = type;
    row.rClass = cls;
    row.rData = data;
    row.ttl = ttl;
    row.preference = preference;
    return RecordPtr(DbRecordFromRow(row, zone_.get(), 300));
  }
  ZonePtr zone_;
};

TEST_F(DbRecordFromRowTest, RecordsOfEachType) {
  RecordPtr a = Make("www", "A", "192.0.2.1");
  ASSERT_NE(a, nullptr);
  EXPECT_STREQ(a->name, "www.example.com");
  EXPECT_EQ(a->type, DNS_TYPE_A);
  EXPECT_EQ(a->class_, DNS_CLASS_IN);
  EXPECT_EQ(a->ttl, 60u);
  EXPECT_EQ(std::memcmp(a->ip4, "\xC0\x00\x02\x01", 4), 0);

  RecordPtr aaaa = Make("@", "AAAA", "2001:db8::1");
  ASSERT_NE(aaaa, nullptr);
  EXPECT_STREQ(aaaa->name, "example.com");
  EXPECT_EQ(aaaa->ip6[0], 0x20);
  EXPECT_EQ(aaaa->ip6[15], 0x01);

  RecordPtr mx = Make("@", "MX", "mail", 60, "IN", 10);
  ASSERT_NE(mx, nullptr);
  EXPECT_EQ(mx->mx->preference, 10);
  EXPECT_STREQ(mx->mx->exchanger, "mail.example.com");

  RecordPtr txt = Make("@", "TXT", "v=spf1 a mx -all");
  ASSERT_NE(txt, nullptr);
  EXPECT_STREQ(txt->str, "v=spf1 a mx -all");

  RecordPtr quoted = Make("@", "TXT", "\"two words\" and more");
  ASSERT_NE(quoted, nullptr);
  EXPECT_STREQ(quoted->str, "\"two words\" and more");  // taken whole, quotes included

  RecordPtr cname = Make("ftp", "CNAME", "www.example.com.");
  ASSERT_NE(cname, nullptr);
  EXPECT_EQ(cname->type, DNS_TYPE_CNAME);
  EXPECT_STREQ(cname->str, "www.example.com");

  RecordPtr ptr = Make("1", "ptr", "host");
  ASSERT_NE(ptr, nullptr);
  EXPECT_EQ(ptr->type, DNS_TYPE_PTR);
}

TEST_F(DbRecordFromRowTest, TTLAndClass) {
  struct Case {
    const char* what;
    int64_t ttl;
    const char* cls;
    uint32_t wantTTL;
    uint16_t wantClass;
  };
  const Case cases[] = {
      {"TTL 0 takes DefaultTTL", 0, "IN", 300, DNS_CLASS_IN},
      {"negative TTL takes DefaultTTL", -5, "IN", 300, DNS_CLASS_IN},
      {"TTL past 2^31-1 reads as 0", 3000000000ll, "IN", 0, DNS_CLASS_IN},
      {"empty class gives IN", 60, "", 60, DNS_CLASS_IN},
      {"unknown class gives IN", 60, "XX", 60, DNS_CLASS_IN},
      {"class with text left over gives IN", 60, "CHAOS", 60, DNS_CLASS_IN},
      {"CH class kept", 60, "CH", 60, DNS_CLASS_CH},
  };
  for (const Case& c : cases) {
    RecordPtr r = Make("www", "A", "192.0.2.1", c.ttl, c.cls);
    ASSERT_NE(r, nullptr) << c.what;
    EXPECT_EQ(r->ttl, c.wantTTL) << c.what;
    EXPECT_EQ(r->class_, c.wantClass) << c.what;
  }
}

TEST_F(DbRecordFromRowTest, SkippedRows) {
  struct Case {
    const char* what;
    std::string name, type, data;
  };
  const Case cases[] = {
      {"SOA rows", "@", "SOA", "ns1 hostmaster 1 2 3 4 5"},
      {"HINFO rows", "@", "HINFO", "cpu os"},
      {"unknown mnemonic", "@", "BOGUS", "x"},
      {"type with text left over", "@", "AX", "192.0.2.1"},
      {"type with a trailing blank", "@", "A ", "192.0.2.1"},
      {"empty type", "@", "", "192.0.2.1"},
      {"bad address", "www", "A", "192.0.2"},
      {"empty TXT", "@", "TXT", ""},
      {"NUL in the data", "www", "A", std::string("192.0.2.1\0x", 11)},
      {"NUL in the owner", std::string("w\0w", 3), "A", "192.0.2.1"},
      {"data longer than any column", "@", "TXT", std::string(kDbMaxRowText + 1, 't')},
      {"owner past 255 characters", std::string(250, 'o'), "A", "192.0.2.1"},
  };
  for (const Case& c : cases) {
    DbResourceRow row;
    row.rName = c.name;
    row.rType = c.type;
    row.rData = c.data;
    row.ttl = 60;
    EXPECT_EQ(RecordPtr(DbRecordFromRow(row, zone_.get(), 300)), nullptr) << c.what;
  }
}

TEST_F(DbRecordFromRowTest, MxPreferenceRange) {
  EXPECT_NE(Make("@", "MX", "mail", 60, "IN", 65535), nullptr);
  EXPECT_EQ(Make("@", "MX", "mail", 60, "IN", 65536), nullptr);
  EXPECT_EQ(Make("@", "MX", "mail", 60, "IN", -1), nullptr);
  EXPECT_EQ(Make("@", "MX", std::string(1100, 'm').c_str(), 60, "IN", 1), nullptr);
}

}  // namespace
