// The database-backed server against a real MariaDB: settings merged over the file's, zones
// read into the zone cache and brought in step with the database.
#include "db/mysql_dns_server.h"

#include <gtest/gtest.h>

#include <cstring>
#include <string>
#include <vector>

#include "db_test_support.h"
#include "dns/zone_file.h"

namespace {

using db_test::LogCapture;
using db_test::TestDatabase;

std::vector<std::string> CachedNames(DNSCache* cache) {
  DbZoneMap names;
  ListCachedDomains(cache, &names);
  std::vector<std::string> out;
  for (const auto& entry : names) out.push_back(entry.first);
  return out;
}

int CachedRecords(DNSCache* cache, const char* name) {
  CriticalLockGuard guard(cache->Lock(), 1);
  const char* cursor = name;
  DomainInfo* zone = LookupDomainInfo(cache, &cursor);
  return zone == nullptr ? -1 : zone->count;
}

class DbZonesTest : public ::testing::Test {
 protected:
  void SetUp() override {
    if (!db_test::DatabaseAvailable()) GTEST_SKIP() << "MYSQL_TEST_* not set";
    db_ = std::make_unique<TestDatabase>();
    client_.ReadConnectionSettings(db_->Settings());
    context_ = std::make_unique<MysqlDbContext>(&client_, 0);
    ASSERT_TRUE(EnsureDbReady(&client_, context_.get(), "test", false));
  }
  int AddZone(const std::string& name, int defaultTTL = 300) {
    db_->Exec("INSERT INTO `DNSZones` (`ZoneName`, `NameServer1`, `ResponsibleMailAddr`, `Serial`, `Refresh`, "
              "`Retry`, `Expire`, `DefaultTTL`) VALUES ('" + name + "', 'ns1', 'hostmaster', 1, 3600, 600, 86400, " +
              std::to_string(defaultTTL) + ")");
    return std::stoi(db_->One("SELECT LAST_INSERT_ID()"));
  }
  void AddRecord(int zone, const std::string& name, const std::string& type, const std::string& data, int ttl = 60,
                 int preference = 0) {
    db_->Exec("INSERT INTO `DNSResources` (`ZoneId`, `RName`, `RType`, `RClass`, `TTL`, `RData`, `Preference`) VALUES (" +
              std::to_string(zone) + ", '" + name + "', '" + type + "', 'IN', " + std::to_string(ttl) + ", '" + data +
              "', " + std::to_string(preference) + ")");
  }
  bool Refresh(bool verbose = true) { return RefreshDbZones(&cache_, context_->Connection(), verbose); }

  std::unique_ptr<TestDatabase> db_;
  DNSDbClient client_;
  std::unique_ptr<MysqlDbContext> context_;
  DNSCache cache_;
};

TEST_F(DbZonesTest, LoadReadsZonesWithTheirRecords) {
  int a = AddZone("example.com");
  AddRecord(a, "www", "A", "192.0.2.1");
  AddRecord(a, "@", "MX", "mail", 60, 10);
  AddRecord(a, "@", "HINFO", "cpu os");  // skipped
  AddRecord(a, "@", "SOA", "x y 1 2 3 4 5");  // skipped
  int b = AddZone("example.net.");
  AddRecord(b, "txt", "TXT", "with blanks inside");
  db_->Exec("INSERT INTO `DNSZones` (`ZoneName`) VALUES (NULL), ('')");  // skipped
  DbZoneMap zones;
  ASSERT_TRUE(LoadDNSDomainInfoFromDb(context_->Connection(), zones));
  ASSERT_EQ(zones.size(), 2u);
  EXPECT_EQ(zones["example.com"]->count, 3);  // SOA, A, MX
  EXPECT_EQ(zones["example.net"]->count, 2);  // SOA, TXT
  for (auto& entry : zones) domain_info_free(&entry.second);
}

TEST_F(DbZonesTest, LaterRowWithTheSameNameWins) {
  int first = AddZone("dup.example");
  AddRecord(first, "a", "A", "192.0.2.1");
  int second = AddZone("DUP.example.");
  AddRecord(second, "a", "A", "192.0.2.2");
  AddRecord(second, "b", "A", "192.0.2.3");
  DbZoneMap zones;
  ASSERT_TRUE(LoadDNSDomainInfoFromDb(context_->Connection(), zones));
  ASSERT_EQ(zones.size(), 1u);
  EXPECT_EQ(zones["dup.example"]->count, 3);
  for (auto& entry : zones) domain_info_free(&entry.second);
}

TEST_F(DbZonesTest, RefreshAddsAndRemovesZones) {
  int a = AddZone("a.example");
  AddRecord(a, "www", "A", "192.0.2.1");
  int b = AddZone("B.Example");
  AddRecord(b, "www", "A", "192.0.2.2");
  // A zone that came from a file and is cached right now: the database does not have it.
  DomainInfo* fileZone = domain_info_new();
  std::strcpy(fileZone->origin, "file.example");
  ASSERT_TRUE(CacheDomainInfo("file.example", &cache_, fileZone, true));

  LogCapture log;
  ASSERT_TRUE(Refresh());
  EXPECT_EQ(CachedNames(&cache_), (std::vector<std::string>{"a.example", "b.example"}));
  EXPECT_EQ(CachedRecords(&cache_, "www.b.example"), 2);
  EXPECT_EQ(log.Lines("DNS zone \"a.example\" loaded from DB.").size(), 1u);
  EXPECT_EQ(log.Lines("DNS zone \"file.example\" removed from cache.").size(), 1u);
  EXPECT_EQ(log.Lines("Loaded 2 DNS zones from DB, 2 cached, 1 removed from cache.").size(), 1u) << log.Text();

  // Mixed-case names stay the same zone from one reload to the next.
  db_->Exec("DELETE FROM `DNSZones` WHERE `Id`=" + std::to_string(a));
  int c = AddZone("c.example");
  AddRecord(c, "www", "AAAA", "2001:db8::3");
  ASSERT_TRUE(Refresh());
  EXPECT_EQ(CachedNames(&cache_), (std::vector<std::string>{"b.example", "c.example"}));
  EXPECT_EQ(log.Lines("Loaded 2 DNS zones from DB, 2 cached, 1 removed from cache.").size(), 2u) << log.Text();
  EXPECT_EQ(log.Lines("DNS zone \"a.example\" removed from cache.").size(), 1u);
  EXPECT_EQ(db_->One("SELECT COUNT(*) FROM `DNSResources` WHERE `ZoneId`=" + std::to_string(a)), "0")
      << "records go with their zone";
}

TEST_F(DbZonesTest, FailedLoadLeavesTheCacheAlone) {
  int a = AddZone("a.example");
  AddRecord(a, "www", "A", "192.0.2.1");
  ASSERT_TRUE(Refresh());
  db_->Exec("DELETE FROM `DNSZones`");
  db_->Exec("RENAME TABLE `DNSResources` TO `Gone`");
  LogCapture log;
  EXPECT_TRUE(Refresh());
  EXPECT_EQ(CachedNames(&cache_), std::vector<std::string>{"a.example"});
  EXPECT_TRUE(Refresh() && RefreshDbZones(&cache_, nullptr, true));
  EXPECT_EQ(CachedNames(&cache_), std::vector<std::string>{"a.example"});
  EXPECT_EQ(log.Lines("[DC::LoadDNSDomainInfoFromDb] Connection closed").size(), 1u) << log.Text();
  db_->Exec("RENAME TABLE `Gone` TO `DNSResources`");
}

TEST_F(DbZonesTest, FailedLoadOfRecordsKeepsTheCacheAndFreesTheZones) {
  int a = AddZone("a.example");
  AddRecord(a, "www", "A", "192.0.2.1");
  ASSERT_TRUE(Refresh());
  AddZone("new.example");
  db_->Exec("RENAME TABLE `DNSResources` TO `Gone`");
  LogCapture log;
  EXPECT_TRUE(Refresh());
  EXPECT_EQ(CachedNames(&cache_), std::vector<std::string>{"a.example"});
  EXPECT_EQ(log.Lines("[DC::LoadDNSDomainInfoFromDb] SQLException").size(), 1u) << log.Text();
  db_->Exec("RENAME TABLE `Gone` TO `DNSResources`");
}

// ---- The server ----

class DbServerTest : public ::testing::Test {
 protected:
  void SetUp() override {
    if (!db_test::DatabaseAvailable()) GTEST_SKIP() << "MYSQL_TEST_* not set";
    db_ = std::make_unique<TestDatabase>();
    // The first start creates the schema and the default rows.
    MysqlDNSServer first;
    std::unique_ptr<ThreadContext> context(first.CreateThreadContext(0));
    SettingsMap file = db_->Settings();
    ASSERT_TRUE(first.LoadSettings(context.get(), file));
  }
  std::unique_ptr<TestDatabase> db_;
};

TEST_F(DbServerTest, DatabaseRowsOverrideTheFile) {
  db_->Exec("UPDATE `Settings` SET `SName`='dnscachettl', `SValue`='77' WHERE `SName`='DNSCacheTTL'");
  db_->Exec("UPDATE `Settings` SET `SValue`='yes' WHERE `SName`='Log'");
  MysqlDNSServer server;
  std::unique_ptr<ThreadContext> context(server.CreateThreadContext(0));
  SettingsMap file = db_->Settings("No");
  SetSetting(file, "DNSCacheTTL", "5");
  SetSetting(file, "DNSZonesReload", "9");
  ASSERT_TRUE(server.LoadSettings(context.get(), file));
  EXPECT_TRUE(server.UsesDatabase());
  EXPECT_EQ(server.CacheTTL(), 77u);
  EXPECT_TRUE(server.Log());
  EXPECT_EQ(server.ZonesReloadSeconds(), 0u) << "DNSZonesReload comes from the database only";
  EXPECT_EQ(static_cast<MysqlDbContext*>(context.get())->Connection(), nullptr) << "closed again after loading";
}

TEST_F(DbServerTest, KeysAbsentFromTheDatabaseKeepTheFileValue) {
  db_->Exec("DELETE FROM `Settings` WHERE `SName`='DNSCacheTTL'");
  MysqlDNSServer server;
  std::unique_ptr<ThreadContext> context(server.CreateThreadContext(0));
  SettingsMap file = db_->Settings();
  SetSetting(file, "DNSCacheTTL", "5");
  ASSERT_TRUE(server.LoadSettings(context.get(), file));
  EXPECT_EQ(server.CacheTTL(), 5u);
}

TEST_F(DbServerTest, ZonesReloadPeriod) {
  const std::pair<const char*, uint32_t> cases[] = {{"7", 7}, {" +12x", 12}, {"none", 0}, {"-3", 0}, {"", 0}};
  for (const auto& [value, seconds] : cases) {
    db_->Exec(std::string("UPDATE `Settings` SET `SValue`='") + value + "' WHERE `SName`='DNSZonesReload'");
    MysqlDNSServer server;
    std::unique_ptr<ThreadContext> context(server.CreateThreadContext(0));
    SettingsMap file = db_->Settings();
    ASSERT_TRUE(server.LoadSettings(context.get(), file));
    EXPECT_EQ(server.ZonesReloadSeconds(), seconds) << value;
  }
}

TEST_F(DbServerTest, RejectedDatabaseValueStopsTheStart) {
  db_->Exec("UPDATE `Settings` SET `SValue`='0' WHERE `SName`='SrvPort'");
  LogCapture log;
  MysqlDNSServer server;
  std::unique_ptr<ThreadContext> context(server.CreateThreadContext(0));
  SettingsMap file = db_->Settings();
  EXPECT_FALSE(server.LoadSettings(context.get(), file));
  EXPECT_EQ(log.Lines("Unable to set SrvPort=0").size(), 1u) << log.Text();
}

TEST_F(DbServerTest, UnconfiguredOrUnreachableDatabase) {
  {
    MysqlDNSServer server;
    std::unique_ptr<ThreadContext> context(server.CreateThreadContext(0));
    SettingsMap file;
    SetSetting(file, "DNSCacheTTL", "5");
    EXPECT_TRUE(server.LoadSettings(context.get(), file));
    EXPECT_FALSE(server.UsesDatabase());
    EXPECT_TRUE(context->Begin("DNSServer"));
  }
  {
    LogCapture log;
    MysqlDNSServer server;
    std::unique_ptr<ThreadContext> context(server.CreateThreadContext(0));
    SettingsMap file = db_->Settings();
    SetSetting(file, "MySQLHost", "tcp://127.0.0.1:1");
    EXPECT_FALSE(server.LoadSettings(context.get(), file));
    EXPECT_FALSE(server.UsesDatabase());
    EXPECT_EQ(log.Lines("[DC::OpenConnection][LoadSettings] SQLException").size(), 1u) << log.Text();
  }
}

TEST_F(DbServerTest, OnStartLoadsTheZones) {
  db_->Exec("UPDATE `Settings` SET `SValue`='Yes' WHERE `SName`='Log'");
  db_->Exec("INSERT INTO `DNSZones` (`ZoneName`, `NameServer1`, `ResponsibleMailAddr`, `Serial`, `Refresh`, `Retry`, "
            "`Expire`, `DefaultTTL`) VALUES ('example.com', 'ns1', 'hostmaster', 1, 2, 3, 4, 5)");
  LogCapture log;
  MysqlDNSServer server;
  std::unique_ptr<ThreadContext> context(server.CreateThreadContext(0));
  SettingsMap file = db_->Settings();
  ASSERT_TRUE(server.LoadSettings(context.get(), file));
  ASSERT_TRUE(context->Begin("DNSServer"));
  ASSERT_TRUE(server.OnStart(context.get()));
  EXPECT_EQ(CachedNames(server.Cache()), std::vector<std::string>{"example.com"});
  EXPECT_EQ(log.Lines("Loading DNS zones from DB...").size(), 1u);
  EXPECT_EQ(log.Lines("Loaded 1 DNS zones from DB, 1 cached, 0 removed from cache.").size(), 1u) << log.Text();
  context->End("DNSServer");
}

}  // namespace
