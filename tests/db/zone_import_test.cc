// Zones into database rows and back: every record the server holds comes back from its rows as
// the server rebuilds them, what the tables cannot hold is refused, and the comparison names
// every record that the database would change.
#include "db/zone_import.h"

#include <gtest/gtest.h>

#include <cstring>
#include <memory>
#include <string>
#include <vector>

#include "dns/zone_file.h"

namespace {

struct ZoneDeleter {
  void operator()(DomainInfo* z) const { domain_info_free(&z); }
};
using ZonePtr = std::unique_ptr<DomainInfo, ZoneDeleter>;

ZonePtr ParseZone(const std::string& text, const char* origin) {
  ZonePtr zone(domain_info_new());
  EXPECT_EQ(domain_info_parse_text(zone.get(), text.data(), text.size(), origin), 0);
  return zone;
}

bool Contains(const std::vector<std::string>& lines, const std::string& part) {
  for (const std::string& l : lines)
    if (l.find(part) != std::string::npos) return true;
  return false;
}

const char kEveryType[] =
    "$TTL 3600\n"
    "@        IN SOA ns1 hostmaster (\n"
    "                2026121101 1H 15M 1W 3600 )\n"
    "         IN NS    ns1\n"
    "         IN NS    ns.other.org.\n"
    "         IN MX    10 mail\n"
    "         IN MX    20 backup.other.org.\n"
    "         IN TXT   \"v=spf1 a mx -all\"\n"
    "ns1      IN A     192.0.2.1\n"
    "www  600 IN A     192.0.2.10\n"
    "www      IN AAAA  2001:db8::10\n"
    "ftp      IN CNAME www\n"
    "10       IN PTR   host.example.org.\n"
    "a.b.deep IN TXT   \"two words\"\n"
    "old      IN MD    md.host\n"
    "old      IN MF    mf.host\n"
    "box      IN MB    mb.host\n"
    "box      IN MG    mg.host\n"
    "box      IN MR    mr.host\n"
    "chaos 60 CH TXT   hello\n"
    "out.of.zone.org. 120 IN A 198.51.100.1\n";

TEST(DbRowsFromZone, EveryTypeComesBackFromItsRows) {
  ZonePtr zone = ParseZone(kEveryType, "example.com");
  ASSERT_EQ(zone->count, 19);
  DbZoneImport rows = DbRowsFromZone(*zone, "example.com");
  EXPECT_TRUE(rows.problems.empty()) << rows.problems.front();
  EXPECT_TRUE(rows.notes.empty());

  EXPECT_EQ(rows.zone.zoneName, "example.com");
  EXPECT_EQ(rows.zone.nameServer1, "ns1.example.com.");
  EXPECT_EQ(rows.zone.responsibleMailAddr, "hostmaster.example.com.");
  EXPECT_EQ(rows.zone.serial, 2026121101);
  EXPECT_EQ(rows.zone.refresh, 3600);
  EXPECT_EQ(rows.zone.retry, 900);
  EXPECT_EQ(rows.zone.expire, 604800);
  EXPECT_EQ(rows.zone.defaultTTL, 3600);
  ASSERT_EQ(rows.resources.size(), 18u);

  // Owners relative to the zone, data names absolute, MX preference in its own column, TXT text
  // without quotes.
  struct Row {
    const char *rName, *rType, *rClass;
    int64_t ttl;
    const char* rData;
    int64_t preference;
  };
  const Row want[] = {
      {"@", "NS", "IN", 3600, "ns1.example.com.", 0},
      {"@", "NS", "IN", 3600, "ns.other.org.", 0},
      {"@", "MX", "IN", 3600, "mail.example.com.", 10},
      {"@", "MX", "IN", 3600, "backup.other.org.", 20},
      {"@", "TXT", "IN", 3600, "v=spf1 a mx -all", 0},
      {"ns1", "A", "IN", 3600, "192.0.2.1", 0},
      {"www", "A", "IN", 600, "192.0.2.10", 0},
      {"www", "AAAA", "IN", 3600, "2001:db8::10", 0},
      {"ftp", "CNAME", "IN", 3600, "www.example.com.", 0},
      {"10", "PTR", "IN", 3600, "host.example.org.", 0},
      {"a.b.deep", "TXT", "IN", 3600, "two words", 0},
      {"old", "MD", "IN", 3600, "md.host.example.com.", 0},
      {"old", "MF", "IN", 3600, "mf.host.example.com.", 0},
      {"box", "MB", "IN", 3600, "mb.host.example.com.", 0},
      {"box", "MG", "IN", 3600, "mg.host.example.com.", 0},
      {"box", "MR", "IN", 3600, "mr.host.example.com.", 0},
      {"chaos", "TXT", "CH", 60, "hello", 0},
      {"out.of.zone.org.", "A", "IN", 120, "198.51.100.1", 0},
  };
  for (size_t i = 0; i < rows.resources.size(); ++i) {
    const DbResourceRow& r = rows.resources[i];
    SCOPED_TRACE(want[i].rName + std::string(" ") + want[i].rType);
    EXPECT_EQ(r.rName, want[i].rName);
    EXPECT_EQ(r.rType, want[i].rType);
    EXPECT_EQ(r.rClass, want[i].rClass);
    EXPECT_EQ(r.ttl, want[i].ttl);
    EXPECT_EQ(r.rData, want[i].rData);
    EXPECT_EQ(r.preference, want[i].preference);
  }

  ZonePtr back(DbZoneFromRows(rows.zone, rows.resources));
  ASSERT_NE(back, nullptr);
  EXPECT_EQ(back->count, zone->count);
  EXPECT_STREQ(back->origin, "example.com");
  const std::vector<std::string> diff = DbCompareZones(*zone, *back, 3600);
  EXPECT_TRUE(diff.empty()) << diff.front();
}

TEST(DbRowsFromZone, NamesThatNeedEscapesComeBack) {
  // Names holding blanks, quotes, backslashes and a label "@" below the zone, as the record
  // constructors make them from escaped text.
  ZonePtr zone(domain_info_new());
  std::strcpy(zone->origin, "example.com");
  domain_info_add(zone.get(), dns_record_new_soa("@", DNS_CLASS_IN, 300, "ns1 host\\032master 1 2 3 4 300", "example.com"));
  domain_info_add(zone.get(), dns_record_new_name("odd\\032owner", DNS_TYPE_NS, DNS_CLASS_IN, 60, "a\\\"b\\\\c.org.", "example.com"));
  domain_info_add(zone.get(), dns_record_new_a("\\@", DNS_CLASS_IN, 60, "192.0.2.7", "example.com"));
  domain_info_add(zone.get(), dns_record_new_mx("@", DNS_CLASS_IN, 60, "5 mx\\009tab", "example.com"));
  ASSERT_EQ(zone->count, 4);
  EXPECT_STREQ(zone->head->next->name, "odd owner.example.com");
  EXPECT_STREQ(zone->head->next->next->name, "@.example.com");

  DbZoneImport rows = DbRowsFromZone(*zone, "example.com");
  ASSERT_TRUE(rows.problems.empty()) << rows.problems.front();
  EXPECT_EQ(rows.resources[1].rName, "\\@");
  ZonePtr back(DbZoneFromRows(rows.zone, rows.resources));
  ASSERT_NE(back, nullptr);
  const std::vector<std::string> diff = DbCompareZones(*zone, *back, 300);
  EXPECT_TRUE(diff.empty()) << diff.front();
  EXPECT_EQ(back->count, 4);
}

TEST(DbRowsFromZone, WhatTheDatabaseDecidesIsANote) {
  // No $TTL: records without a TTL have 0, which the database replaces by the zone's DefaultTTL
  // (the SOA minimum), and the SOA's own TTL becomes that minimum too.
  ZonePtr zone = ParseZone("@ 7200 IN SOA ns1 hm 1 2 3 4 300\nwww IN A 192.0.2.1\nmail 60 IN A 192.0.2.2\n",
                           "example.net");
  DbZoneImport rows = DbRowsFromZone(*zone, "example.net");
  ASSERT_TRUE(rows.problems.empty());
  ASSERT_EQ(rows.notes.size(), 2u);
  EXPECT_TRUE(Contains(rows.notes, "TTL 7200 becomes its minimum 300"));
  EXPECT_TRUE(Contains(rows.notes, "1 record(s) with TTL 0"));
  EXPECT_EQ(rows.resources[0].ttl, 0);  // stored as 0: it follows the zone's DefaultTTL

  ZonePtr back(DbZoneFromRows(rows.zone, rows.resources));
  ASSERT_NE(back, nullptr);
  EXPECT_TRUE(DbCompareZones(*zone, *back, 300).empty());
  EXPECT_EQ(back->first_soa->ttl, 300u);
  EXPECT_EQ(back->head->next->ttl, 300u);
}

TEST(DbRowsFromZone, ZoneWithoutSoaHasNoSoaInTheDatabase) {
  ZonePtr zone = ParseZone("www 60 IN A 192.0.2.1\n@ 60 IN TXT \"a b\"\n", "nosoa.test");
  DbZoneImport rows = DbRowsFromZone(*zone, "nosoa.test");
  ASSERT_TRUE(rows.problems.empty());
  EXPECT_TRUE(rows.zone.nameServer1.empty());
  ZonePtr back(DbZoneFromRows(rows.zone, rows.resources));
  ASSERT_NE(back, nullptr);
  EXPECT_EQ(back->first_soa, nullptr);
  EXPECT_TRUE(DbCompareZones(*zone, *back, 0).empty());
}

TEST(DbRowsFromZone, WhatTheTablesCannotHoldIsRefused) {
  const std::string longText(300, 'x');
  const std::string longLabel(60, 'l');
  const std::string longName = longLabel + "." + longLabel + "." + longLabel + "." + longLabel;  // 243
  struct Case {
    const char* what;
    std::string text;
    std::string zoneName;
    const char* problem;
  } cases[] = {
      {"second SOA", "@ 60 IN SOA a b 1 2 3 4 5\n@ 60 IN SOA c d 1 2 3 4 5\n", "z.test", "a second SOA"},
      {"SOA of another name", "sub 60 IN SOA a b 1 2 3 4 5\n", "z.test", "owner is not the zone name"},
      {"SOA owner in other letter case", "Z.TEST. 60 IN SOA a b 1 2 3 4 5\n", "z.test", "owner is not the zone name"},
      {"SOA of class CH", "@ 60 CH SOA a b 1 2 3 4 5\n", "z.test", "not of class IN"},
      {"TXT longer than its column", "t 60 IN TXT " + longText + "\n", "z.test", "data is longer than 256"},
      {"zone name too long", "www.z.test. 60 IN A 192.0.2.1\n", longName + "." + std::string(11, 'n'), "zone name"},
      {"zone name with a final dot", "www.z.test. 60 IN A 192.0.2.1\n", "z.test.", "zone name"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    ZonePtr zone = ParseZone(c.text, c.zoneName.c_str());
    ASSERT_GT(zone->count, 0);
    DbZoneImport rows = DbRowsFromZone(*zone, c.zoneName);
    EXPECT_TRUE(Contains(rows.problems, c.problem)) << (rows.problems.empty() ? "no problem" : rows.problems[0]);
  }

  // Made directly: an SOA number past the INT columns (the zone reader refuses such numbers), and
  // an owner whose escaped blanks make it longer than its column.
  ZonePtr zone(domain_info_new());
  std::strcpy(zone->origin, "z.test");
  DnsRecord* soa = dns_record_new_soa("@", DNS_CLASS_IN, 60, "a b 1 2 3 4 5", "z.test");
  ASSERT_NE(soa, nullptr);
  soa->soa->serial = 3000000000u;
  domain_info_add(zone.get(), soa);
  const std::string owner = "x\\032\\032\\032\\032." + longName + ".";
  DnsRecord* a = dns_record_new_a(owner.c_str(), DNS_CLASS_IN, 60, "192.0.2.1", "z.test");
  ASSERT_NE(a, nullptr);
  domain_info_add(zone.get(), a);
  const std::vector<std::string> problems = DbRowsFromZone(*zone, "z.test").problems;
  EXPECT_TRUE(Contains(problems, "larger than 2147483647"));
  EXPECT_TRUE(Contains(problems, "owner name is longer than 256"));
}

TEST(DbCompareZones, NamesEveryRecordTheRowsChange) {
  ZonePtr zone = ParseZone(kEveryType, "example.com");
  DbZoneImport rows = DbRowsFromZone(*zone, "example.com");
  ASSERT_TRUE(rows.problems.empty());
  struct Case {
    const char* what;
    void (*change)(DbZoneImport&);
    std::vector<const char*> lines;
  } cases[] = {
      {"data cut short", [](DbZoneImport& r) { r.resources[5].rData = "192.0.2.2"; },
       {"only in the zone file: ns1.example.com. 3600 IN A 192.0.2.1",
        "only in the database: ns1.example.com. 3600 IN A 192.0.2.2"}},
      {"row lost", [](DbZoneImport& r) { r.resources.pop_back(); },
       {"only in the zone file: out.of.zone.org. 120 IN A 198.51.100.1"}},
      {"row the server skips", [](DbZoneImport& r) { r.resources[4].rType = "HINFO"; },
       {"only in the zone file: example.com. 3600 IN TXT \"v=spf1 a mx -all\""}},
      {"TTL changed", [](DbZoneImport& r) { r.resources[6].ttl = 0; },
       {"only in the zone file: www.example.com. 600 IN A 192.0.2.10",
        "only in the database: www.example.com. 3600 IN A 192.0.2.10"}},
      {"SOA number changed", [](DbZoneImport& r) { r.zone.serial = 7; },
       {"only in the zone file: example.com. 3600 IN SOA ns1.example.com. hostmaster.example.com. 2026121101",
        "only in the database: example.com. 3600 IN SOA ns1.example.com. hostmaster.example.com. 7 "}},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    DbZoneImport changed = rows;
    c.change(changed);
    ZonePtr back(DbZoneFromRows(changed.zone, changed.resources));
    ASSERT_NE(back, nullptr);
    const std::vector<std::string> diff = DbCompareZones(*zone, *back, 3600);
    ASSERT_EQ(diff.size(), c.lines.size());
    for (const char* line : c.lines) EXPECT_TRUE(Contains(diff, line)) << line;
  }
}

}  // namespace
