// Schema management: the table definitions, their creation and reconciliation, the version rows
// and the program's row in Versions.
//
// Two choices keep the schema working on case-sensitive servers (Debian's MariaDB with
// lower_case_table_names=0) and on servers that report integer types without display widths
// (MySQL 8): the version table is named `DBVersions` in every statement, the same spelling as
// its CREATE; and column types are compared without integer display widths, so "int" and
// "int(11)" are the same type and no MODIFY is ever sent for them.
#include <unistd.h>

#include <boost/format.hpp>
#include <climits>
#include <cstring>
#include <ctime>
#include <string>

#include "db/db_client.h"
#include "db/table_definition.h"
#include "shell/version.h"

namespace {

constexpr int kSystemVersion = 3;
constexpr int kDnsVersion = 3;

const char* const kDBVersionsTable = "`DBVersions`";
const char* const kDBVersionsDefinition = "`Id` INT PRIMARY KEY AUTO_INCREMENT, `DbName` VARCHAR(256), `DbVersion` INT";
const char* const kSettingsTable = "`Settings`";
const char* const kSettingsDefinition =
    "`Id` INT PRIMARY KEY AUTO_INCREMENT, `SName` VARCHAR(100), `SValue` VARCHAR(2000), `App` VARCHAR(100), "
    "`SType` VARCHAR(100), `SValueList` VARCHAR(1024), `SubSystem` VARCHAR(100), INDEX `I0_Settings` (`SName`), "
    "INDEX `I1_Settings` (`App`)";
const char* const kVersionsTable = "`Versions`";
const char* const kVersionsDefinition =
    "`Id` INT PRIMARY KEY AUTO_INCREMENT, `AppName` VARCHAR(256), `AppVersion` VARCHAR(256), "
    "`LastStartTime` VARCHAR(20), `PingTime` BIGINT";
const char* const kDummyCreate = "CREATE TABLE IF NOT EXISTS `Dummy` (`X` VARCHAR(100))";
const char* const kDummyInsert =
    "INSERT INTO `Dummy` (`X`) SELECT * FROM (SELECT 'X') AS t WHERE NOT EXISTS (SELECT * FROM `Dummy`) LIMIT 1";
const char* const kDNSZonesTable = "`DNSZones`";
const char* const kDNSZonesDefinition =
    "`Id` INT PRIMARY KEY AUTO_INCREMENT, `CreateUser` VARCHAR(100), `ZoneName` VARCHAR(256), `Reverse` BOOL, "
    "`NameServer1` VARCHAR(256), `NameServer2` VARCHAR(256), `ResponsibleMailAddr` VARCHAR(256), `Serial` INT, "
    "`Refresh` INT, `Retry` INT, `Expire` INT, `DefaultTTL` INT";
const char* const kDNSResourcesTable = "`DNSResources`";
const char* const kDNSResourcesDefinition =
    "`Id` INT PRIMARY KEY AUTO_INCREMENT, `ZoneId` INT, `RName` VARCHAR(256), `RType` VARCHAR(10), "
    "`RClass` VARCHAR(10), `TTL` INT, `RData` VARCHAR(256), `Preference` INT, `ForwardId` INT, "
    "INDEX `I0_DNSResources` (`ZoneId`), FOREIGN KEY (`ZoneId`) REFERENCES `DNSZones` (`Id`) ON DELETE CASCADE, "
    "INDEX `I1_DNSResources` (`ForwardId`), FOREIGN KEY (`ForwardId`) REFERENCES `DNSResources` (`Id`) ON DELETE CASCADE";

struct DefaultSettingRow {
  const char* name;
  const char* defaultValue;
  const char* type;
  const char* valueList;
};

// The server's own rows of the Settings table, seeded in this order.
const DefaultSettingRow kDefaultSettings[] = {
    {"Log", "No", "VARCHAR(10)", "No|Yes|Overwrite"},
    {"Dump", "No", "BOOL", nullptr},
    {"SrvIPv6", "No", "BOOL", nullptr},
    {"DNSHost", nullptr, "VARCHAR(256)", nullptr},
    {"DNSPort", "53", "INT", nullptr},
    {"DNSHost2", nullptr, "VARCHAR(256)", nullptr},
    {"DNSPort2", "53", "INT", nullptr},
    {"DNSTimeout", "10", "INT", nullptr},
    {"DNSCacheTTL", "3600", "INT", nullptr},
    {"SrvIP", "ANY", "VARCHAR(256)", nullptr},
    {"SrvPort", "53", "INT", nullptr},
    {"SrvIP2", "NO", "VARCHAR(256)", nullptr},
    {"SrvPort2", "53", "INT", nullptr},
    {"DNSZonesReload", "0", "INT", nullptr},
    {"AllowExternalDomains", "No", "BOOL", nullptr},
};

std::string Format2(const char* fmt, const std::string& a, const std::string& b) {
  return (boost::format(fmt) % a % b).str();
}

// The lower-cased file name of the running executable; empty when it cannot be read or is too
// long for the Versions row.
std::string ExecutableFileName() {
  char path[PATH_MAX];
  ssize_t n = readlink("/proc/self/exe", path, sizeof(path) - 1);
  if (n <= 0) return "";
  path[n] = '\0';
  const char* slash = std::strrchr(path, '/');
  std::string name = slash != nullptr ? slash + 1 : path;
  if (name.empty() || name.size() >= 256) return "";
  return DbLower(name);
}

// The file version as the banner shows it, without the leading blank: "1.0 build 1".
std::string VersionText() {
  std::string text = GetVersionText();
  size_t start = text.find_first_not_of(' ');
  return start == std::string::npos ? "" : text.substr(start);
}

// Reads the information_schema rows of one table: fills every key and value.
template <class Each>
void ReadSchemaRows(SqlConnection* connection, const char* fmt, const char* dbName, const char* table, Each&& each) {
  std::unique_ptr<SqlStatement> st = connection->CreateStatement();
  std::unique_ptr<SqlResult> rs = st->ExecuteQuery(Format2(fmt, dbName, table));
  while (rs->Next()) each(*rs);
}

}  // namespace

// ---- Versions ----

bool MysqlDbClient::CheckDbVersion(SqlConnection* connection, const char* dbName, int requiredVersion, int* version) {
  static const char* const kTag = "DC::CheckDbVersion";
  bool current = false;
  DbGuarded(kTag, nullptr, [&] {
    if (!ConnectionOpen(connection, kTag)) return;
    std::unique_ptr<SqlPrepared> ps = connection->Prepare("select `DbVersion` from `DBVersions` where `DbName`=?");
    ps->SetString(1, dbName);
    std::unique_ptr<SqlResult> rs = ps->ExecuteQuery();
    if (rs->Next()) {
      *version = rs->GetInt(1);
      current = *version >= requiredVersion;
    }
  });
  return current;
}

bool MysqlDbClient::UpdateDbVersion(SqlConnection* connection, const char* dbName, int version) {
  static const char* const kTag = "DC::UpdateDbVersion";
  bool ok = false;
  DbGuarded(kTag, nullptr, [&] {
    if (!ConnectionOpen(connection, kTag)) return;
    bool exists;
    {
      std::unique_ptr<SqlPrepared> ps = connection->Prepare("select `DbVersion` from `DBVersions` where `DbName`=?");
      ps->SetString(1, dbName);
      std::unique_ptr<SqlResult> rs = ps->ExecuteQuery();
      exists = rs->Next();
    }
    std::unique_ptr<SqlPrepared> ps = connection->Prepare(
        exists ? "update `DBVersions` set `DbVersion`=? where `DbName`=?"
               : "insert into `DBVersions` (`DbVersion`, `DbName`) values (?, ?)");
    ps->SetInt(1, version);
    ps->SetString(2, dbName);
    ps->ExecuteUpdate();
    LogMessage("DB %s upgraded to version %i.", dbName, version);
    ok = true;
  });
  return ok;
}

// ---- Reading the schema ----

bool MysqlDbClient::GetTables(SqlConnection* connection, DbNameSet& tableSet) {
  static const char* const kTag = "DC::GetTables";
  bool ok = false;
  DbGuarded(kTag, nullptr, [&] {
    if (!ConnectionOpen(connection, kTag)) return;
    std::unique_ptr<SqlStatement> st = connection->CreateStatement();
    std::unique_ptr<SqlResult> rs = st->ExecuteQuery("SHOW TABLES");
    while (rs->Next()) tableSet.insert(DbLower(rs->GetString(1)));
    ok = true;
  });
  return ok;
}

bool MysqlDbClient::GetTableColumns(SqlConnection* connection, DbColumnMap& columnMap, const char* table) {
  static const char* const kTag = "DC::GetTableColumns";
  bool ok = false;
  DbGuarded(kTag, nullptr, [&] {
    if (!ConnectionOpen(connection, kTag)) return;
    ReadSchemaRows(connection,
                   "SELECT column_name, column_type FROM information_schema.columns WHERE table_schema='%s' AND "
                   "table_name='%s'",
                   mySQLDbName_, table, [&](SqlResult& rs) {
                     columnMap[DbLower(std::string(table) + "." + rs.GetString(1))] = DbLower(rs.GetString(2));
                   });
    ok = true;
  });
  return ok;
}

bool MysqlDbClient::GetTableIndexes(SqlConnection* connection, DbNameSet& indexSet, const char* table) {
  static const char* const kTag = "DC::GetTableIndexes";
  bool ok = false;
  DbGuarded(kTag, nullptr, [&] {
    if (!ConnectionOpen(connection, kTag)) return;
    ReadSchemaRows(connection,
                   "SELECT index_name FROM information_schema.statistics WHERE table_schema='%s' AND table_name='%s'",
                   mySQLDbName_, table,
                   [&](SqlResult& rs) { indexSet.insert(DbLower(std::string(table) + "." + rs.GetString(1))); });
    ok = true;
  });
  return ok;
}

bool MysqlDbClient::GetTableConstraints(SqlConnection* connection, DbNameSet& constraintSet, const char* table) {
  static const char* const kTag = "DC::GetTableConstraints";
  bool ok = false;
  DbGuarded(kTag, nullptr, [&] {
    if (!ConnectionOpen(connection, kTag)) return;
    ReadSchemaRows(connection,
                   "SELECT column_name FROM information_schema.key_column_usage WHERE table_schema='%s' AND "
                   "table_name='%s'",
                   mySQLDbName_, table,
                   [&](SqlResult& rs) { constraintSet.insert(DbLower(std::string(table) + "." + rs.GetString(1))); });
    ok = true;
  });
  return ok;
}

// ---- Changing the schema ----

bool MysqlDbClient::AddTableColumn(SqlConnection* connection, DbColumnMap& columnMap, const char* table,
                                   const char* column, const char* type) {
  static const char* const kTag = "DC::AddTableColumn";
  bool ok = false;
  DbGuarded(kTag, nullptr, [&] {
    if (!ConnectionOpen(connection, kTag)) return;
    const std::string key = DbLower(Format2("%s.%s", table, column));
    const std::string wanted = WantedColumnType(type);
    auto found = columnMap.find(key);
    if (found != columnMap.end() && ColumnTypeMatches(found->second, wanted)) {
      ok = true;
      return;
    }
    const bool exists = found != columnMap.end();
    std::unique_ptr<SqlStatement> st = connection->CreateStatement();
    st->Execute((boost::format("ALTER TABLE `%s` %s COLUMN `%s` %s") % table % (exists ? "MODIFY" : "ADD") %
                 column % type).str());
    if (exists)
      LogMessage("Modified column `%s` %s in table `%s`", column, type, table);
    else
      LogMessage("Added new column `%s` %s into table `%s`", column, type, table);
    columnMap[key] = wanted;
    ok = true;
  });
  return ok;
}

bool MysqlDbClient::AddTableIndex(SqlConnection* connection, DbNameSet& indexSet, const char* table,
                                  const char* index, const char* columns) {
  static const char* const kTag = "DC::AddTableIndex";
  bool ok = false;
  DbGuarded(kTag, nullptr, [&] {
    if (!ConnectionOpen(connection, kTag)) return;
    const std::string key = DbLower(Format2("%s.%s", table, index));
    if (indexSet.count(key) == 0) {
      std::unique_ptr<SqlStatement> st = connection->CreateStatement();
      st->Execute((boost::format("CREATE INDEX `%s` ON `%s` (%s)") % index % table % columns).str());
      LogMessage("Created new index `%s` %s on table `%s`", index, columns, table);
      indexSet.insert(key);
    }
    ok = true;
  });
  return ok;
}

bool MysqlDbClient::AddTableConstraint(SqlConnection* connection, DbNameSet& constraintSet, const char* table,
                                       const char* column, const char* reference) {
  static const char* const kTag = "DC::AddTableConstraint";
  bool ok = false;
  DbGuarded(kTag, nullptr, [&] {
    if (!ConnectionOpen(connection, kTag)) return;
    const std::string key = DbLower(Format2("%s.%s", table, column));
    if (constraintSet.count(key) == 0) {
      std::unique_ptr<SqlStatement> st = connection->CreateStatement();
      st->Execute((boost::format("ALTER TABLE `%s` ADD FOREIGN KEY (`%s`) %s") % table % column % reference).str());
      LogMessage("Added new constraint for column `%s` on table `%s`", column, table);
      constraintSet.insert(key);
    }
    ok = true;
  });
  return ok;
}

bool MysqlDbClient::SplitTableDefinition(SqlConnection* connection, DbColumnMap& columnMap, DbNameSet& indexSet,
                                         DbNameSet& constraintSet, const char* table, const char* definition) {
  return WalkTableDefinition(definition, [&](DefinitionClause kind, const std::string& name, const std::string& rest) {
    switch (kind) {
      case DefinitionClause::Index:
        return AddTableIndex(connection, indexSet, table, name.c_str(), rest.c_str());
      case DefinitionClause::ForeignKey:
        return AddTableConstraint(connection, constraintSet, table, name.c_str(), rest.c_str());
      case DefinitionClause::Column:
        return AddTableColumn(connection, columnMap, table, name.c_str(), rest.c_str());
    }
    return true;
  });
}

bool MysqlDbClient::CreateTable(SqlConnection* connection, DbNameSet& tableSet, const char* table,
                                const char* definition, const char* extraSql) {
  static const char* const kTag = "DC::CreateTable";
  bool ok = false;
  DbGuarded(kTag, nullptr, [&] {
    if (!ConnectionOpen(connection, kTag)) return;
    const std::string name = UnquotedTableName(table);
    if (tableSet.count(DbLower(name)) == 0) {
      std::unique_ptr<SqlStatement> st = connection->CreateStatement();
      st->Execute(Format2("CREATE TABLE IF NOT EXISTS `%s` (%s)", name, definition));
      if (extraSql != nullptr && extraSql[0] != '\0') st->Execute(extraSql);
      LogMessage("Created new table `%s`", name.c_str());
    }
    DbColumnMap columns;
    DbNameSet indexes, constraints;
    if (!GetTableColumns(connection, columns, name.c_str()) || !GetTableIndexes(connection, indexes, name.c_str()) ||
        !GetTableConstraints(connection, constraints, name.c_str())) {
      ok = true;  // already reported; the table itself is there
      return;
    }
    ok = SplitTableDefinition(connection, columns, indexes, constraints, name.c_str(), definition);
  });
  return ok;
}

// ---- The table groups ----

bool InitMysqlDb(SqlConnection* connection, MysqlDbClient* client) {
  static const char* const kTag = "DC::InitMysqlDb";
  bool ok = false;
  DbGuarded(kTag, nullptr, [&] {
    if (!ConnectionOpen(connection, kTag)) return;
    const std::string startTime = FormatStartTime(std::time(nullptr));
    if (client->systemDbReady) {
      ok = true;
      return;
    }
    if (!connection->GetAutoCommit()) connection->SetAutoCommit(true);
    DbNameSet tables;
    if (!client->GetTables(connection, tables)) return;
    if (!client->CreateTable(connection, tables, kDBVersionsTable, kDBVersionsDefinition, nullptr)) return;
    int version = 0;
    const bool current = client->CheckDbVersion(connection, "System", kSystemVersion, &version);
    if (version > kSystemVersion) {
      LogErrorPlain("DB \"%s\" version %i is newer than required version %i.\nPlease, update application.", "System",
                    version, kSystemVersion);
      return;
    }
    if (!current) {
      {
        std::unique_ptr<SqlStatement> st = connection->CreateStatement();
        st->Execute(kDummyCreate);
        st->ExecuteUpdate(kDummyInsert);
      }
      if (!client->CreateTable(connection, tables, kSettingsTable, kSettingsDefinition, nullptr)) return;
    }
    if (client->AppName()[0] != '\0') {
      std::unique_ptr<SqlPrepared> ps =
          connection->Prepare("select `SValue` from `Settings` where `App`=? and `SName`='Log'");
      ps->SetString(1, client->AppName());
      std::unique_ptr<SqlResult> rs = ps->ExecuteQuery();
      if (rs->Next()) {
        const std::string value = rs->GetString(1);
        if (IsOverwriteValue(value)) {
          RequestLogTruncate();
          client->SetLogDb(true);
        } else {
          client->SetLogDb(DbLower(value) == "yes");
        }
      }
    }
    if (!current) {
      if (!client->CreateTable(connection, tables, kVersionsTable, kVersionsDefinition, nullptr)) return;
      client->UpdateDbVersion(connection, "System", kSystemVersion);
    }

    const std::string versionText = VersionText();
    const std::string appName = ExecutableFileName();
    if (!versionText.empty() && !appName.empty()) {
      int32_t rowId = 0;
      {
        std::unique_ptr<SqlPrepared> ps = connection->Prepare("SELECT `Id` FROM `Versions` WHERE `AppName`=?");
        ps->SetString(1, appName);
        std::unique_ptr<SqlResult> rs = ps->ExecuteQuery();
        if (rs->Next()) rowId = rs->GetInt(1);
      }
      std::unique_ptr<SqlPrepared> ps;
      if (rowId != 0) {
        client->SetAppRowId(rowId);
        ps = connection->Prepare(
            "UPDATE `Versions` SET `AppVersion`=?, `LastStartTime`=?, `PingTime`=UNIX_TIMESTAMP() WHERE `Id`=?");
        ps->SetString(1, versionText);
        ps->SetString(2, startTime);
        ps->SetInt(3, rowId);
      } else {
        ps = connection->Prepare(
            "INSERT INTO `Versions` (`AppName`, `AppVersion`, `LastStartTime`, `PingTime`) VALUES (?, ?, ?, "
            "UNIX_TIMESTAMP())");
        ps->SetString(1, appName);
        ps->SetString(2, versionText);
        ps->SetString(3, startTime);
      }
      ps->ExecuteUpdate();
      if (client->AppRowId() == 0) {
        std::unique_ptr<SqlStatement> st = connection->CreateStatement();
        std::unique_ptr<SqlResult> rs = st->ExecuteQuery("SELECT LAST_INSERT_ID()");
        if (rs->Next()) client->SetAppRowId(rs->GetInt(1));
      }
    }
    if (client->LogDb()) LogMessage("DB \"%s\" Initialized", "System");
    client->systemDbReady = true;
    ok = true;
  });
  return ok;
}

bool InitDNSDb(SqlConnection* connection, MysqlDbClient* client) {
  static const char* const kTag = "DDC::InitDNSDb";
  if (client->dnsDbReady) return true;
  bool ok = false;
  DbGuarded(kTag, nullptr, [&] {
    if (!connection->GetAutoCommit()) connection->SetAutoCommit(true);
    DbNameSet tables;
    if (!client->GetTables(connection, tables)) return;
    int version = 0;
    const bool current = client->CheckDbVersion(connection, "DNS", kDnsVersion, &version);
    if (version > kDnsVersion) {
      LogErrorPlain("DB \"%s\" version %i is newer than required version %i.\nPlease, update application.", "DNS",
                    version, kDnsVersion);
      return;
    }
    if (!current) {
      if (!client->CreateTable(connection, tables, kDNSZonesTable, kDNSZonesDefinition, nullptr)) return;
      if (!client->CreateTable(connection, tables, kDNSResourcesTable, kDNSResourcesDefinition, nullptr)) return;
      SettingsMap loaded;
      if (client->LoadSettingsFromDb(connection, loaded, nullptr)) {
        for (const DefaultSettingRow& row : kDefaultSettings)
          client->AddSetting(connection, loaded, row.name, row.defaultValue, row.type, row.valueList, nullptr,
                             client->AppName());
      }
      client->UpdateDbVersion(connection, "DNS", kDnsVersion);
    }
    if (client->LogDb()) LogMessage("DB \"%s\" Initialized", "DNS");
    client->dnsDbReady = true;
    ok = true;
  });
  return ok;
}
