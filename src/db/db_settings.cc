// Settings in the database: the application's rows of the Settings table, read into a
// SettingsMap, seeded, and read, written and printed one at a time.
#include <cstring>

#include "db/db_client.h"

namespace {

// The application the operation works for: the given name, else the client's; null after
// "[%s] AppName is not specified".
const char* ResolveApp(const char* appName, const char* clientApp, const char* tag) {
  if (appName != nullptr) return appName;
  if (clientApp != nullptr && clientApp[0] != '\0') return clientApp;
  LogError("[%s] AppName is not specified", tag);
  return nullptr;
}

}  // namespace

bool MysqlDbClient::LoadSettingsFromDb(SqlConnection* connection, SettingsMap& settings, const char* appName) {
  static const char* const kTag = "DC::LoadSettingsFromDb";
  bool ok = false;
  DbGuarded(kTag, nullptr, [&] {
    if (!ConnectionOpen(connection, kTag)) return;
    const char* app = ResolveApp(appName, appName_, kTag);
    if (app == nullptr) return;
    std::unique_ptr<SqlPrepared> ps = connection->Prepare("SELECT `SName`, `SValue` FROM `Settings` where `App`=?");
    ps->SetString(1, app);
    std::unique_ptr<SqlResult> rs = ps->ExecuteQuery();
    while (rs->Next()) SetSetting(settings, rs->GetString(1), rs->GetString(2));
    ok = true;
  });
  return ok;
}

bool MysqlDbClient::AddSetting(SqlConnection* connection, const SettingsMap& loaded, const char* name,
                               const char* defaultValue, const char* type, const char* valueList,
                               const char* subSystem, const char* appName) {
  static const char* const kTag = "DC::AddSetting";
  bool ok = false;
  DbGuarded(kTag, nullptr, [&] {
    if (!ConnectionOpen(connection, kTag)) return;
    const char* app = ResolveApp(appName, appName_, kTag);
    if (app == nullptr) return;
    const bool insert = FindSetting(loaded, name) == nullptr;
    std::unique_ptr<SqlPrepared> ps = connection->Prepare(
        insert ? "INSERT INTO `Settings` (`SType`, `SValueList`, `SubSystem`, `SName`, `App`, `SValue`) VALUES (?, ?, "
                 "?, ?, ?, ?)"
               : "UPDATE `Settings` SET `SType`=?, `SValueList`=?, `SubSystem`=? WHERE `SName`=? AND `App`=?");
    ps->SetStringOrNull(1, type);
    ps->SetStringOrNull(2, valueList);
    ps->SetStringOrNull(3, subSystem);
    ps->SetString(4, name);
    ps->SetString(5, app);
    if (insert) ps->SetStringOrNull(6, defaultValue);
    ps->ExecuteUpdate();
    if (insert) LogMessage("Added new setting `%s` %s", name, type != nullptr ? type : "");
    ok = true;
  });
  return ok;
}

bool MysqlDbClient::GetDbSetting(SqlConnection* connection, const char* name, char* buffer, size_t size,
                                 const char* appName) {
  static const char* const kTag = "DC::GetDbSetting";
  if (buffer == nullptr || size == 0) return false;
  bool ok = false;
  DbGuarded(kTag, nullptr, [&] {
    if (!ConnectionOpen(connection, kTag)) return;
    const char* app = ResolveApp(appName, appName_, kTag);
    if (app == nullptr) return;
    std::unique_ptr<SqlPrepared> ps =
        connection->Prepare("SELECT `SValue` FROM `Settings` WHERE `App`=? AND UPPER(`SName`)=UPPER(?)");
    ps->SetString(1, app);
    ps->SetString(2, name);
    std::unique_ptr<SqlResult> rs = ps->ExecuteQuery();
    if (!rs->Next()) return;
    const std::string value = rs->GetString(1);
    if (value.size() >= size) return;
    std::memcpy(buffer, value.c_str(), value.size() + 1);
    ok = true;
  });
  return ok;
}

bool MysqlDbClient::SetDbSetting(SqlConnection* connection, const char* name, const char* value, const char* appName) {
  static const char* const kTag = "DC::SetDbSetting";
  bool ok = false;
  DbGuarded(kTag, nullptr, [&] {
    if (!ConnectionOpen(connection, kTag)) return;
    const char* app = ResolveApp(appName, appName_, kTag);
    if (app == nullptr) return;
    std::unique_ptr<SqlPrepared> ps;
    if (value == nullptr) {
      ps = connection->Prepare("DELETE FROM `Settings` WHERE `App`=? AND UPPER(`SName`)=UPPER(?)");
      ps->SetString(1, app);
      ps->SetString(2, name);
    } else {
      std::string storedName;
      bool found;
      {
        std::unique_ptr<SqlPrepared> look =
            connection->Prepare("SELECT `SName` FROM `Settings` WHERE `App`=? AND UPPER(`SName`)=UPPER(?)");
        look->SetString(1, app);
        look->SetString(2, name);
        std::unique_ptr<SqlResult> rs = look->ExecuteQuery();
        found = rs->Next();
        if (found) storedName = rs->GetString(1);
      }
      if (found) {
        ps = connection->Prepare("UPDATE `Settings` SET `SValue`=? WHERE `App`=? AND `SName`=?");
        ps->SetString(3, storedName);
      } else {
        ps = connection->Prepare("INSERT INTO `Settings` (`SValue`, `App`, `SName`) VALUES (?, ?, ?)");
        ps->SetString(3, name);
      }
      ps->SetStringOrNull(1, value[0] == '\0' ? nullptr : value);
      ps->SetString(2, app);
    }
    ps->ExecuteUpdate();
    ok = true;
  });
  return ok;
}

void MysqlDbClient::ShowDbSettings(SqlConnection* connection, const char* appName) {
  static const char* const kTag = "DC::ShowDbSettings";
  DbGuarded(kTag, nullptr, [&] {
    if (!ConnectionOpen(connection, kTag)) return;
    const char* app = ResolveApp(appName, appName_, kTag);
    if (app == nullptr) return;
    std::unique_ptr<SqlPrepared> ps = connection->Prepare("SELECT `SValue`, `SName` FROM `Settings` WHERE `App`=?");
    ps->SetString(1, app);
    std::unique_ptr<SqlResult> rs = ps->ExecuteQuery();
    while (rs->Next()) LogRaw("%s=%s\n", rs->GetString(2).c_str(), rs->GetString(1).c_str());
  });
}

bool MysqlDbClient::ShowDbSetting(SqlConnection* connection, const char* name, const char* appName) {
  static const char* const kTag = "DC::ShowDbSetting";
  bool ok = false;
  DbGuarded(kTag, nullptr, [&] {
    if (!ConnectionOpen(connection, kTag)) return;
    const char* app = ResolveApp(appName, appName_, kTag);
    if (app == nullptr) return;
    std::unique_ptr<SqlPrepared> ps =
        connection->Prepare("SELECT `SValue`, `SName` FROM `Settings` WHERE `App`=? AND UPPER(`SName`)=UPPER(?)");
    ps->SetString(1, app);
    ps->SetString(2, name);
    std::unique_ptr<SqlResult> rs = ps->ExecuteQuery();
    if (!rs->Next()) return;
    LogRaw("%s=%s\n", rs->GetString(2).c_str(), rs->GetString(1).c_str());
    ok = true;
  });
  return ok;
}
