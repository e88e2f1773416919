// The database client against a real MariaDB: connection settings, connections and their
// repair, parameterised statements, the failure report, the schema and the Settings table.
#include "db/db_client.h"

#include <gtest/gtest.h>

#include <regex>
#include <string>
#include <vector>

#include "db_test_support.h"

namespace {

using db_test::LogCapture;
using db_test::TestDatabase;

const char* const kSettingsDefinition =
    "`Id` INT PRIMARY KEY AUTO_INCREMENT, `SName` VARCHAR(100), `SValue` VARCHAR(2000), `App` VARCHAR(100), "
    "`SType` VARCHAR(100), `SValueList` VARCHAR(1024), `SubSystem` VARCHAR(100), INDEX `I0_Settings` (`SName`), "
    "INDEX `I1_Settings` (`App`)";

// Everything of a database except the Versions rows, for comparing two starts.
std::vector<std::string> Snapshot(TestDatabase& db) {
  std::vector<std::string> all = db.Rows("SHOW TABLES");
  for (const char* table : {"DBVersions", "Dummy", "Settings", "DNSZones", "DNSResources"}) {
    for (const std::string& row : db.Rows(std::string("SELECT * FROM `") + table + "`")) all.push_back(row);
    for (const std::string& row : db.Rows(std::string("SHOW CREATE TABLE `") + table + "`")) all.push_back(row);
  }
  return all;
}

// One process's worth of client: read settings, open the context and initialise the schema.
struct Start {
  explicit Start(TestDatabase& db, const std::string& log = "Yes") : context(&client, 0) {
    client.ReadConnectionSettings(db.Settings(log));
  }
  bool Ready(const char* tag = "LoadSettings") { return EnsureDbReady(&client, &context, tag, true); }
  DNSDbClient client;
  MysqlDbContext context;
};

TEST(ReadConnectionSettings, ConfiguredOnlyWithAllFour) {
  const char* names[] = {"MySQLHost", "MySQLDbName", "MySQLUser", "MySQLPass"};
  for (int missing = -1; missing < 4; ++missing) {
    SettingsMap s;
    for (int i = 0; i < 4; ++i)
      if (i != missing) SetSetting(s, names[i], "x");
    MysqlDbClient client;
    EXPECT_TRUE(client.ReadConnectionSettings(s));
    EXPECT_EQ(client.Configured(), missing < 0) << "missing " << missing;
    MysqlDbContext context(&client, 0);
    EXPECT_TRUE(missing < 0 || context.Begin("DNSServer")) << "an unconfigured context begins without a database";
    EXPECT_EQ(context.Connection(), nullptr);
  }
}

TEST(ReadConnectionSettings, LogSetsLogDb) {
  const std::pair<const char*, bool> cases[] = {{"OverWrite", true}, {"yes", true}, {"TRUE", true},
                                                {"1", true},         {"no", false}, {"", false}};
  for (const auto& [value, on] : cases) {
    MysqlDbClient client;
    client.SetLogDb(!on);
    SettingsMap s;
    SetSetting(s, "log", value);
    client.ReadConnectionSettings(s);
    EXPECT_EQ(client.LogDb(), on) << value;
  }
  MysqlDbClient client;
  client.SetLogDb(true);
  client.ReadConnectionSettings(SettingsMap());
  EXPECT_TRUE(client.LogDb()) << "without the key logDb keeps its value";
}

TEST(ReadConnectionSettings, OverlongPasswordIsNotLogged) {
  LogCapture log;
  SettingsMap s;
  SetSetting(s, "MySQLHost", "h");
  SetSetting(s, "MySQLDbName", "d");
  SetSetting(s, "MySQLUser", "u");
  SetSetting(s, "MySQLPass", std::string(40, 'S'));
  MysqlDbClient client;
  client.ReadConnectionSettings(s);
  EXPECT_FALSE(client.Configured());
  EXPECT_EQ(log.Lines("[MySQLPass] Invalid setting value").size(), 1u);
  EXPECT_EQ(log.Text().find("SSSS"), std::string::npos);
}

TEST(DbClient, UnreachableDatabaseFailsWithTheUniformReport) {
  LogCapture log;
  SettingsMap s;
  SetSetting(s, "MySQLHost", "tcp://127.0.0.1:1");
  SetSetting(s, "MySQLDbName", "d");
  SetSetting(s, "MySQLUser", "u");
  SetSetting(s, "MySQLPass", "p");
  DNSDbClient client;
  client.ReadConnectionSettings(s);
  MysqlDbContext context(&client, 0);
  int before = DbConnectionCount();
  EXPECT_FALSE(EnsureDbReady(&client, &context, "LoadSettings", true));
  EXPECT_EQ(DbConnectionCount(), before);
  const std::string text = log.Text();
  EXPECT_TRUE(std::regex_search(text, std::regex(R"(Error: \[\d\d/\d\d/\d\d \d\d:\d\d:\d\d\] \[DC::OpenConnection\]\[LoadSettings\] SQLException: .+ \(MySQL error code: 200[23], SQLState: HY000\))")))
      << text;
  EXPECT_EQ(text.find("Using MySQL Database"), std::string::npos);
}

TEST(DbSchema, EmptyDatabaseGetsEverything) {
  SKIP_WITHOUT_DATABASE();
  TestDatabase db;
  LogCapture log;
  Start start(db);
  ASSERT_TRUE(start.Ready());

  std::vector<std::string> created = log.Lines("Created new table");
  const char* order[] = {"DBVersions", "Dummy", "Settings", "Versions", "DNSZones", "DNSResources"};
  // Dummy is made by its own statements, without the "Created" line.
  std::vector<std::string> expected;
  for (const char* t : order)
    if (std::string(t) != "Dummy") expected.push_back(std::string("Created new table `") + t + "`");
  ASSERT_EQ(created.size(), expected.size());
  for (size_t i = 0; i < created.size(); ++i) EXPECT_NE(created[i].find(expected[i]), std::string::npos) << created[i];

  std::vector<std::string> tables = db.Rows("SHOW TABLES");
  EXPECT_EQ(tables.size(), 6u);
  EXPECT_EQ(db.Rows("SELECT `DbName`, `DbVersion` FROM `DBVersions` ORDER BY `Id`"),
            (std::vector<std::string>{"System|3", "DNS|3"}));
  EXPECT_EQ(log.Lines("upgraded to version").size(), 2u);
  EXPECT_EQ(db.Rows("SELECT `X` FROM `Dummy`"), std::vector<std::string>{"X"});
  EXPECT_EQ(db.One("SELECT COUNT(*) FROM `Settings` WHERE `App`='DNSServer'"), "15");
  EXPECT_EQ(db.One("SELECT `SName`, `SValue`, `SType`, `SValueList`, `SubSystem` FROM `Settings` ORDER BY `Id` LIMIT 1"),
            "Log|No|VARCHAR(10)|No|Yes|Overwrite|NULL");
  EXPECT_EQ(db.One("SELECT `SValue`, `SType` FROM `Settings` WHERE `SName`='DNSHost'"), "NULL|VARCHAR(256)");
  EXPECT_EQ(db.One("SELECT `SValue` FROM `Settings` WHERE `SName`='DNSCacheTTL'"), "3600");
  EXPECT_EQ(db.One("SELECT COUNT(*) FROM `Versions`"), "1");
  EXPECT_EQ(db.One("SELECT `AppName`, `AppVersion` FROM `Versions`"), "test_db|" + std::string("1.0 build 1"));
  EXPECT_EQ(db.One("SELECT `Id` FROM `Versions`"), std::to_string(start.client.AppRowId()));
  EXPECT_TRUE(std::regex_match(db.One("SELECT `LastStartTime` FROM `Versions`"),
                               std::regex(R"(\d\d/\d\d/\d\d \d\d:\d\d:\d\d)")));
  EXPECT_EQ(log.Lines("Using MySQL Database \"" + db.Name() + "\" on \"" + db_test::TestHost() + "\"").size(), 1u);
  EXPECT_EQ(log.Lines("MySQL Database Initialized").size(), 1u);
  EXPECT_EQ(log.Lines("DB \"System\" Initialized").size(), 1u);
  EXPECT_EQ(log.Lines("DB \"DNS\" Initialized").size(), 1u);
  EXPECT_TRUE(log.Lines("Modified column").empty());
  EXPECT_TRUE(log.Lines("Error").empty()) << log.Text();
}

TEST(DbSchema, SecondStartChangesOnlyTheVersionsRow) {
  SKIP_WITHOUT_DATABASE();
  TestDatabase db;
  int firstId;
  {
    Start first(db);
    ASSERT_TRUE(first.Ready());
    firstId = first.client.AppRowId();
  }
  const std::vector<std::string> before = Snapshot(db);
  db.Exec("UPDATE `Versions` SET `PingTime`=1, `LastStartTime`='x'");
  LogCapture log;
  Start second(db);
  ASSERT_TRUE(second.Ready());
  EXPECT_EQ(Snapshot(db), before);
  EXPECT_EQ(second.client.AppRowId(), firstId);
  EXPECT_EQ(db.One("SELECT COUNT(*) FROM `Versions`"), "1");
  EXPECT_EQ(db.One("SELECT `Id` FROM `Versions`"), std::to_string(firstId));
  EXPECT_NE(db.One("SELECT `PingTime` FROM `Versions`"), "1");
  EXPECT_NE(db.One("SELECT `LastStartTime` FROM `Versions`"), "x");
  for (const char* change : {"Created", "Added", "Modified", "upgraded", "Error"})
    EXPECT_TRUE(log.Lines(change).empty()) << change << "\n" << log.Text();
}

TEST(DbSchema, MissingColumnGetsExactlyItsAlter) {
  SKIP_WITHOUT_DATABASE();
  TestDatabase db;
  {
    Start first(db);
    ASSERT_TRUE(first.Ready());
  }
  db.Exec("ALTER TABLE `DNSZones` DROP COLUMN `DefaultTTL`");
  db.Exec("UPDATE `DBVersions` SET `DbVersion`=2 WHERE `DbName`='DNS'");
  LogCapture log;
  Start second(db);
  ASSERT_TRUE(second.Ready());
  std::vector<std::string> changes;
  for (const char* word : {"Created", "Added", "Modified"})
    for (const std::string& line : log.Lines(word)) changes.push_back(line.substr(line.find("] ") + 2));
  EXPECT_EQ(changes, std::vector<std::string>{"Added new column `DefaultTTL` INT into table `DNSZones`"});
  EXPECT_EQ(db.One("SELECT column_type FROM information_schema.columns WHERE table_schema='" + db.Name() +
                   "' AND table_name='DNSZones' AND column_name='DefaultTTL'"),
            "int(11)");
  EXPECT_EQ(db.One("SELECT `DbVersion` FROM `DBVersions` WHERE `DbName`='DNS'"), "3");
  EXPECT_EQ(db.One("SELECT COUNT(*) FROM `Settings`"), "15") << "existing rows are only refreshed";
}

TEST(DbSchema, MissingIndexAndForeignKeyAreCreated) {
  SKIP_WITHOUT_DATABASE();
  TestDatabase db;
  {
    Start first(db);
    ASSERT_TRUE(first.Ready());
  }
  std::string fk = db.One("SELECT constraint_name FROM information_schema.referential_constraints WHERE "
                          "constraint_schema='" + db.Name() + "' AND referenced_table_name='DNSZones'");
  db.Exec("ALTER TABLE `DNSResources` DROP FOREIGN KEY `" + fk + "`");
  db.Exec("DROP INDEX `I0_DNSResources` ON `DNSResources`");
  db.Exec("UPDATE `DBVersions` SET `DbVersion`=1 WHERE `DbName`='DNS'");
  LogCapture log;
  Start second(db);
  ASSERT_TRUE(second.Ready());
  EXPECT_EQ(log.Lines("Created new index `I0_DNSResources` `ZoneId` on table `DNSResources`").size(), 1u) << log.Text();
  EXPECT_EQ(log.Lines("Added new constraint for column `ZoneId` on table `DNSResources`").size(), 1u) << log.Text();
  EXPECT_EQ(db.One("SELECT COUNT(*) FROM information_schema.referential_constraints WHERE constraint_schema='" +
                   db.Name() + "' AND referenced_table_name='DNSZones'"),
            "1");
}

TEST(DbSchema, NewerVersionStopsTheStart) {
  SKIP_WITHOUT_DATABASE();
  for (const char* group : {"System", "DNS"}) {
    TestDatabase db;
    {
      Start first(db);
      ASSERT_TRUE(first.Ready());
    }
    db.Exec(std::string("UPDATE `DBVersions` SET `DbVersion`=4 WHERE `DbName`='") + group + "'");
    LogCapture log;
    Start second(db);
    int before = DbConnectionCount();
    EXPECT_FALSE(second.Ready()) << group;
    EXPECT_EQ(second.context.Connection(), nullptr) << "the connection is closed again";
    EXPECT_EQ(DbConnectionCount(), before);
    EXPECT_FALSE(second.client.Initialized());
    const std::string text = log.Text();
    EXPECT_NE(text.find(std::string("Error: DB \"") + group +
                        "\" version 4 is newer than required version 3.\nPlease, update application.\n"),
              std::string::npos)
        << text;
  }
}

TEST(DbSchema, LogRowDecidesLogDbAtInit) {
  SKIP_WITHOUT_DATABASE();
  const std::pair<const char*, bool> cases[] = {{"yes", true}, {"true", false}, {"1", false}, {"overwrite", true}, {"No", false}};
  TestDatabase db;
  {
    Start first(db);
    ASSERT_TRUE(first.Ready());
  }
  for (const auto& [value, on] : cases) {
    db.Exec(std::string("UPDATE `Settings` SET `SValue`='") + value + "' WHERE `SName`='Log'");
    Start again(db, on ? "No" : "Yes");
    ASSERT_TRUE(again.Ready());
    EXPECT_EQ(again.client.LogDb(), on) << value;
  }
}

TEST(DbContext, ConnectionCountLines) {
  SKIP_WITHOUT_DATABASE();
  TestDatabase db;
  {
    Start first(db);
    ASSERT_TRUE(first.Ready());
  }
  LogCapture log;
  DNSDbClient client;
  client.ReadConnectionSettings(db.Settings("Yes"));
  client.SetInitialized();
  int before = DbConnectionCount();
  {
    MysqlDbContext context(&client, 0);
    ASSERT_TRUE(context.Begin("DNS::ReloadDNSZonesThread"));
    EXPECT_EQ(DbConnectionCount(), before + 1);
    context.End("DNS::ReloadDNSZonesThread");
    EXPECT_EQ(DbConnectionCount(), before);
  }
  EXPECT_EQ(log.Lines("[DNS::ReloadDNSZonesThread] " + std::to_string(before + 1) + " DB connections").size(), 1u)
      << log.Text();
  EXPECT_EQ(log.Lines("] " + std::to_string(before) + " DB connections").size(), 1u) << log.Text();
}

class DbStatementTest : public ::testing::Test {
 protected:
  void SetUp() override {
    if (!db_test::DatabaseAvailable()) GTEST_SKIP() << "MYSQL_TEST_* not set";
    db_ = std::make_unique<TestDatabase>();
    start_ = std::make_unique<Start>(*db_);
    ASSERT_TRUE(start_->Ready());
    db_->Exec("CREATE TABLE `T` (`B` BOOL, `I` INT, `L` BIGINT, `S` VARCHAR(20))");
  }
  MysqlDbContext& Context() { return start_->context; }
  std::unique_ptr<TestDatabase> db_;
  std::unique_ptr<Start> start_;
};

TEST_F(DbStatementTest, BindsEachTypeLetter) {
  EXPECT_EQ(ExecuteParamStatement(&Context(), "INSERT INTO `T` VALUES (?, ?, ?, ?)", true, "bils", 1, int32_t{-7},
                                  int64_t{5000000000}, "text"),
            1);
  EXPECT_EQ(ExecuteParamStatement(&Context(), "INSERT INTO `T` VALUES (?, ?, ?, ?)", false, "bils", 0, int32_t{0},
                                  int64_t{0}, static_cast<const char*>(nullptr)),
            1);
  EXPECT_EQ(db_->Rows("SELECT * FROM `T`"), (std::vector<std::string>{"1|-7|5000000000|text", "0|0|0|NULL"}));
  EXPECT_EQ(ExecuteParamStatement(&Context(), "UPDATE `T` SET `I`=1", false, nullptr), 2);
}

TEST_F(DbStatementTest, UnknownTypeLetterExecutesNothing) {
  LogCapture log;
  EXPECT_EQ(ExecuteParamStatement(&Context(), "INSERT INTO `T` (`I`, `S`) VALUES (?, ?)", true, "ix", int32_t{1}, "x"),
            0);
  EXPECT_EQ(db_->One("SELECT COUNT(*) FROM `T`"), "0");
  EXPECT_EQ(log.Lines("[DC::ExecuteParamStatement] Parse parameterized statement failed").size(), 1u) << log.Text();
}

TEST_F(DbStatementTest, SqlErrorIsReportedWithCodeAndState) {
  LogCapture log;
  EXPECT_EQ(ExecuteParamStatement(&Context(), "INSERT INTO `Missing` VALUES (1)", false, nullptr), 0);
  EXPECT_TRUE(std::regex_search(log.Text(), std::regex(R"(Error: \[[^\]]+\] \[DC::ExecuteParamStatement\] SQLException: .*Missing.* \(MySQL error code: 1146, SQLState: 42S02\))")))
      << log.Text();
}

// The database server drops the connection (as on a restart): isClosed() does not notice, the
// check does, and reconnects.
TEST_F(DbStatementTest, DroppedConnectionIsRepairedByTheCheck) {
  const std::string id = db_->One("SELECT ID FROM information_schema.processlist WHERE db='" + db_->Name() +
                                  "' AND ID<>CONNECTION_ID() ORDER BY ID DESC LIMIT 1");
  db_->Exec("KILL " + id);
  LogCapture log;
  // Without the check the statement meets the dropped connection and reports it.
  EXPECT_EQ(ExecuteParamStatement(&Context(), "INSERT INTO `T` (`I`) VALUES (?)", false, "i", int32_t{1}), 0);
  EXPECT_TRUE(std::regex_search(log.Text(), std::regex(R"(\[DC::ExecuteParamStatement\] SQLException: .* \(MySQL error code: 20(06|13), SQLState: HY000\))")))
      << log.Text();
  int before = DbConnectionCount();
  EXPECT_TRUE(CheckConnection(&Context(), "DNS::ReloadDNSZones"));
  ASSERT_NE(Context().Connection(), nullptr);
  std::unique_ptr<SqlResult> rs = Context().Connection()->CreateStatement()->ExecuteQuery("SELECT CONNECTION_ID()");
  ASSERT_TRUE(rs->Next());
  EXPECT_NE(rs->GetString(1), id) << "a new connection";
  EXPECT_EQ(DbConnectionCount(), before);
  EXPECT_EQ(ExecuteParamStatement(&Context(), "INSERT INTO `T` (`I`) VALUES (?)", true, "i", int32_t{2}), 1);
  // A live connection is kept as it is.
  const std::string current = rs->GetString(1);
  EXPECT_TRUE(CheckConnection(&Context(), "DNS::ReloadDNSZones"));
  std::unique_ptr<SqlResult> again = Context().Connection()->CreateStatement()->ExecuteQuery("SELECT CONNECTION_ID()");
  ASSERT_TRUE(again->Next());
  EXPECT_EQ(again->GetString(1), current);
}

TEST_F(DbStatementTest, CheckFirstRepairsBeforeTheStatement) {
  const std::string id = db_->One("SELECT ID FROM information_schema.processlist WHERE db='" + db_->Name() +
                                  "' AND ID<>CONNECTION_ID() ORDER BY ID DESC LIMIT 1");
  db_->Exec("KILL " + id);
  LogCapture log;
  EXPECT_EQ(ExecuteParamStatement(&Context(), "INSERT INTO `T` (`I`) VALUES (?)", true, "i", int32_t{3}), 1);
  EXPECT_TRUE(log.Lines("Error").empty()) << log.Text();
}

TEST_F(DbStatementTest, PingVersionsRefreshesPingTime) {
  db_->Exec("UPDATE `Versions` SET `PingTime`=1");
  PingVersions(&Context());
  EXPECT_NE(db_->One("SELECT `PingTime` FROM `Versions`"), "1");
}

TEST_F(DbStatementTest, ClosedConnectionIsReportedByEveryOperation) {
  LogCapture log;
  CloseDb(&Context(), "test");
  EXPECT_EQ(ExecuteParamStatement(&Context(), "SELECT 1", false, nullptr), 0);
  DbNameSet tables;
  EXPECT_FALSE(start_->client.GetTables(nullptr, tables));
  SettingsMap s;
  EXPECT_FALSE(start_->client.LoadSettingsFromDb(nullptr, s, nullptr));
  EXPECT_EQ(log.Lines("[DC::ExecuteParamStatement] Connection closed").size(), 1u);
  EXPECT_EQ(log.Lines("[DC::GetTables] Connection closed").size(), 1u);
  EXPECT_EQ(log.Lines("[DC::LoadSettingsFromDb] Connection closed").size(), 1u);
}

// ---- The Settings table ----

class DbSettingsTest : public DbStatementTest {
 protected:
  SqlConnection* C() { return Context().Connection(); }
  MysqlDbClient& Client() { return start_->client; }
};

TEST_F(DbSettingsTest, LoadReadsNullAsEmptyAndComparesNamesWithoutCase) {
  db_->Exec("UPDATE `Settings` SET `SValue`=NULL WHERE `SName`='SrvIP'");
  db_->Exec("INSERT INTO `Settings` (`SName`, `SValue`, `App`) VALUES ('dnshost', 'h1', 'DNSServer'), "
            "('Other', 'x', 'OtherApp')");
  SettingsMap s;
  SetSetting(s, "DNSHost", "from-file");
  ASSERT_TRUE(Client().LoadSettingsFromDb(C(), s, nullptr));
  ASSERT_NE(FindSetting(s, "srvip"), nullptr);
  EXPECT_EQ(FindSetting(s, "srvip")->text, "");
  EXPECT_EQ(FindSetting(s, "DNSHost")->text, "h1");
  EXPECT_EQ(FindSetting(s, "Other"), nullptr);
  EXPECT_EQ(s.size(), 15u) << "dnshost and DNSHost are one setting";
  SettingsMap other;
  ASSERT_TRUE(Client().LoadSettingsFromDb(C(), other, "OtherApp"));
  EXPECT_EQ(other.size(), 1u);
}

TEST_F(DbSettingsTest, AddSettingKeepsAnExistingValue) {
  db_->Exec("UPDATE `Settings` SET `SValue`='Yes', `SType`='x', `SValueList`=NULL WHERE `SName`='Log'");
  SettingsMap loaded;
  ASSERT_TRUE(Client().LoadSettingsFromDb(C(), loaded, nullptr));
  LogCapture log;
  ASSERT_TRUE(Client().AddSetting(C(), loaded, "Log", "No", "VARCHAR(10)", "No|Yes|Overwrite", nullptr, nullptr));
  EXPECT_EQ(db_->One("SELECT `SValue`, `SType`, `SValueList` FROM `Settings` WHERE `SName`='Log'"),
            "Yes|VARCHAR(10)|No|Yes|Overwrite");
  EXPECT_TRUE(log.Lines("Added new setting").empty());
  ASSERT_TRUE(Client().AddSetting(C(), loaded, "NewOne", nullptr, "INT", nullptr, "Sub", nullptr));
  EXPECT_EQ(db_->One("SELECT `SValue`, `SType`, `SValueList`, `SubSystem`, `App` FROM `Settings` WHERE `SName`='NewOne'"),
            "NULL|INT|NULL|Sub|DNSServer");
  EXPECT_EQ(log.Lines("Added new setting `NewOne` INT").size(), 1u);
}

TEST_F(DbSettingsTest, GetDbSettingFitsTheBuffer) {
  char buffer[8] = "keep";
  EXPECT_FALSE(Client().GetDbSetting(C(), "dnscachettl", buffer, 4, nullptr)) << "3600 needs five bytes";
  EXPECT_STREQ(buffer, "keep");
  EXPECT_TRUE(Client().GetDbSetting(C(), "dnscachettl", buffer, 5, nullptr));
  EXPECT_STREQ(buffer, "3600");
  EXPECT_TRUE(Client().GetDbSetting(C(), "DNSHost", buffer, sizeof(buffer), nullptr));
  EXPECT_STREQ(buffer, "") << "NULL reads as empty";
  EXPECT_FALSE(Client().GetDbSetting(C(), "NoSuchSetting", buffer, sizeof(buffer), nullptr));
  EXPECT_FALSE(Client().GetDbSetting(C(), "DNSHost", nullptr, 8, nullptr));
  EXPECT_FALSE(Client().GetDbSetting(C(), "DNSHost", buffer, 0, nullptr));
}

TEST_F(DbSettingsTest, SetDbSettingUpdatesInsertsAndDeletes) {
  ASSERT_TRUE(Client().SetDbSetting(C(), "dnsport", "5353", nullptr));
  EXPECT_EQ(db_->Rows("SELECT `SName`, `SValue` FROM `Settings` WHERE UPPER(`SName`)='DNSPORT'"),
            std::vector<std::string>{"DNSPort|5353"});
  ASSERT_TRUE(Client().SetDbSetting(C(), "DNSPort", "", nullptr));
  EXPECT_EQ(db_->One("SELECT `SValue` FROM `Settings` WHERE `SName`='DNSPort'"), "NULL");
  ASSERT_TRUE(Client().SetDbSetting(C(), "Fresh", "v", nullptr));
  EXPECT_EQ(db_->One("SELECT `SValue`, `App` FROM `Settings` WHERE `SName`='Fresh'"), "v|DNSServer");
  ASSERT_TRUE(Client().SetDbSetting(C(), "fresh", nullptr, nullptr));
  EXPECT_EQ(db_->One("SELECT COUNT(*) FROM `Settings` WHERE `SName`='Fresh'"), "0");
}

TEST_F(DbSettingsTest, ShowPrintsNameAndValue) {
  LogCapture log;
  EXPECT_TRUE(Client().ShowDbSetting(C(), "dnscachettl", nullptr));
  EXPECT_FALSE(Client().ShowDbSetting(C(), "NoSuchSetting", nullptr));
  Client().ShowDbSettings(C(), nullptr);
  const std::string text = log.Text();
  EXPECT_NE(text.find("DNSCacheTTL=3600\nLog=No\n"), std::string::npos) << text;
  EXPECT_NE(text.find("DNSZonesReload=0\n"), std::string::npos) << text;
}

TEST_F(DbSettingsTest, MissingApplicationNameIsReported) {
  LogCapture log;
  // The client's own name is fixed; an empty one is given as an empty string through a subclass.
  struct Empty : MysqlDbClient {
    Empty() { appName_[0] = '\0'; }
  } empty;
  SettingsMap s;
  EXPECT_FALSE(empty.LoadSettingsFromDb(C(), s, nullptr));
  EXPECT_EQ(log.Lines("[DC::LoadSettingsFromDb] AppName is not specified").size(), 1u);
  EXPECT_TRUE(empty.LoadSettingsFromDb(C(), s, "DNSServer"));
  EXPECT_EQ(s.size(), 15u);
}

TEST_F(DbSettingsTest, PrintDbInfoDescribesTheDatabase) {
  LogCapture log;
  EXPECT_TRUE(Client().PrintDbInfo(C(), "someone"));
  const std::string text = log.Text();
  EXPECT_NE(text.find("MySQL Database \"" + db_->Name() + "\" on \"" + db_test::TestHost() + "\", user: \"someone\"\n\n"),
            std::string::npos);
  EXPECT_NE(text.find("Supports Transactions?: yes\n"), std::string::npos) << text;
  EXPECT_NE(text.find("  1. "), std::string::npos) << text;
  EXPECT_FALSE(Client().PrintDbInfo(nullptr, nullptr));
  EXPECT_EQ(log.Lines("[DC::PrintDbInfo] Connection closed").size(), 1u);
}

}  // namespace
