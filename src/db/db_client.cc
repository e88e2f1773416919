// The client object, the thread contexts, connections, statements, the Versions ping and the
// uniform failure report.
#include "db/db_client.h"

#include <cctype>
#include <cstring>

#include "server/database_module.h"

namespace {

std::atomic<int> gDbConnectionCount{0};

// Lock site codes of the database client.
constexpr int32_t kSiteExecute = 11002;
constexpr int32_t kSiteCheckRead = 11003;
constexpr int32_t kSiteEnsureInit = 11010;
constexpr int32_t kSitePrepare = 11101;
constexpr int32_t kSiteCloseStatements = 11102;
constexpr int32_t kSiteCheckWrite = 11103;
constexpr int32_t kSiteInitLock = 11201;

const char* OrEmpty(const char* text) { return text != nullptr ? text : ""; }

// The context lock held in one mode for a scope, or not at all.
class OptionalGuard {
 public:
  OptionalGuard(SpinRWLock& lock, bool take, int32_t site, SpinRWGuard::Mode mode) : lock_(lock) {
    if (!take) return;
    if (mode == SpinRWGuard::Read)
      lock_.LockRead(site, &hold_);
    else
      lock_.LockWrite(site, &hold_);
  }
  ~OptionalGuard() { lock_.Unlock(&hold_); }
  OptionalGuard(const OptionalGuard&) = delete;
  OptionalGuard& operator=(const OptionalGuard&) = delete;

 private:
  SpinRWLock& lock_;
  int32_t hold_ = 0;
};

// Copies one connection setting into its field; an absent setting leaves it empty. A value that
// does not fit is reported by the settings reader, except the password, whose value never goes
// to the log.
void CopyConnectionSetting(const SettingsMap& settings, const char* name, char* field, size_t size) {
  field[0] = '\0';
  if (std::strcmp(name, "MySQLPass") == 0) {
    const SettingValue* value = FindSetting(settings, name);
    if (value == nullptr) return;
    if (value->text.size() >= size || std::memchr(value->text.data(), '\0', value->text.size()) != nullptr) {
      LogError("[%s] Invalid setting value: %s", name, "(hidden)");
      return;
    }
    std::memcpy(field, value->text.c_str(), value->text.size() + 1);
    return;
  }
  if (!GetSetting(settings, name, field, size)) field[0] = '\0';
}

}  // namespace

std::string DbLower(const std::string& text) {
  std::string out(text);
  for (char& c : out) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
  return out;
}

void ReportSqlError(const char* tag, const char* callerTag, const SqlError& e) {
  if (callerTag != nullptr)
    LogError("[%s][%s] SQLException: %s (MySQL error code: %i, SQLState: %s)", tag, callerTag, e.what(),
             e.Code(), e.State().c_str());
  else
    LogError("[%s] SQLException: %s (MySQL error code: %i, SQLState: %s)", tag, e.what(), e.Code(),
             e.State().c_str());
}

bool ConnectionOpen(SqlConnection* connection, const char* tag) {
  if (connection == nullptr || connection->IsClosed()) {
    LogError("[%s] Connection closed", tag);
    return false;
  }
  return true;
}

int DbConnectionCount() { return gDbConnectionCount.load(); }

sql::Driver* GetDriverInstance() {
  if (DatabaseModule::Unavailable()) return nullptr;
  sql::Driver* driver = nullptr;
  RunReported("GetDriverInstance", [&] { driver = GetSqlDriver(); });
  if (driver == nullptr) LogError("Unable to get MySQL driver instance (libmysql.dll does not exist?)");
  return driver;
}

// ---- MysqlDbClient ----

MysqlDbClient::MysqlDbClient() {
  std::strcpy(appName_, "DNSServer");
  mySQLHost_[0] = mySQLDbName_[0] = mySQLUser_[0] = mySQLPass_[0] = '\0';
}

MysqlDbClient::~MysqlDbClient() = default;

bool MysqlDbClient::ReadConnectionSettings(const SettingsMap& settings) {
  mySQLHost_[0] = mySQLDbName_[0] = mySQLUser_[0] = mySQLPass_[0] = '\0';
  configured_ = false;
  if (const SettingValue* log = FindSetting(settings, "Log")) {
    if (IsOverwriteValue(log->text)) {
      RequestLogTruncate();
      logDb_ = true;
    } else {
      logDb_ = IsTrueValue(log->text);
    }
  }
  CopyConnectionSetting(settings, "MySQLHost", mySQLHost_, sizeof(mySQLHost_));
  CopyConnectionSetting(settings, "MySQLDbName", mySQLDbName_, sizeof(mySQLDbName_));
  CopyConnectionSetting(settings, "MySQLUser", mySQLUser_, sizeof(mySQLUser_));
  CopyConnectionSetting(settings, "MySQLPass", mySQLPass_, sizeof(mySQLPass_));
  configured_ = mySQLHost_[0] != '\0' && mySQLDbName_[0] != '\0' && mySQLUser_[0] != '\0' && mySQLPass_[0] != '\0';
  return true;
}

std::unique_ptr<SqlConnection> MysqlDbClient::OpenConnection(const char* tag) {
  static const char* const kTag = "DC::OpenConnection";
  std::unique_ptr<SqlConnection> result;
  DbGuarded(kTag, tag, [&] {
    sql::Driver* driver = GetDriverInstance();
    if (driver == nullptr) return;
    std::unique_ptr<SqlConnection> connection = SqlConnect(driver, mySQLHost_, mySQLUser_, mySQLPass_);
    if (connection == nullptr) {
      LogError("[%s][%s] driver->connect failed", kTag, OrEmpty(tag));
      return;
    }
    connection->SetSchema(mySQLDbName_);
    result = std::move(connection);
  });
  if (result != nullptr) {
    int count = ++gDbConnectionCount;
    if (logDb_) {
      if (tag != nullptr)
        LogMessage("[%s] %i DB connections", tag, count);
      else
        LogMessage("%i DB connections", count);
    }
  }
  return result;
}

bool MysqlDbClient::InitDb(SqlConnection* connection) {
  if (!InitMysqlDb(connection, this)) return false;
  initialized_ = true;
  return true;
}

void MysqlDbClient::PrintUsingDb() { LogMessage("Using MySQL Database \"%s\" on \"%s\"", mySQLDbName_, mySQLHost_); }

void MysqlDbClient::PrintDbInitialized() { LogMessage("MySQL Database Initialized"); }

bool MysqlDbClient::PrintDbInfo(SqlConnection* connection, const char* user) {
  static const char* const kTag = "DC::PrintDbInfo";
  bool ok = false;
  DbGuarded(kTag, nullptr, [&] {
    if (!ConnectionOpen(connection, kTag)) return;
    if (user != nullptr && user[0] != '\0')
      LogRaw("MySQL Database \"%s\" on \"%s\", user: \"%s\"\n\n", mySQLDbName_, mySQLHost_, user);
    else
      LogRaw("MySQL Database \"%s\" on \"%s\"\n\n", mySQLDbName_, mySQLHost_);
    SqlDatabaseInfo info = connection->DescribeDatabase();
    auto yes = [](bool b) { return b ? "yes" : "no"; };
    LogRaw("Database Product Name: %s\n", info.productName.c_str());
    LogRaw("Database Product Version: %s\n", info.productVersion.c_str());
    LogRaw("Driver name: %s\n", info.driverName.c_str());
    LogRaw("Driver version: %s\n", info.driverVersion.c_str());
    LogRaw("Database in Read-Only Mode?: %s\n", yes(info.readOnly));
    LogRaw("Supports Transactions?: %s\n", yes(info.transactions));
    LogRaw("Supports DML Transactions only?: %s\n", yes(info.dmlTransactionsOnly));
    LogRaw("Supports Batch Updates?: %s\n", yes(info.batchUpdates));
    LogRaw("Supports Outer Joins?: %s\n", yes(info.outerJoins));
    LogRaw("Supports Multiple Transactions?: %s\n", yes(info.multipleTransactions));
    LogRaw("Supports Named Parameters?: %s\n", yes(info.namedParameters));
    LogRaw("Supports Statement Pooling?: %s\n", yes(info.statementPooling));
    LogRaw("Supports Stored Procedures?: %s\n", yes(info.storedProcedures));
    LogRaw("Supports Union?: %s\n", yes(info.unionSupported));
    LogRaw("Maximum Connections: %i\n", static_cast<int>(info.maxConnections));
    LogRaw("Maximum Columns per Table: %i\n", static_cast<int>(info.maxColumnsInTable));
    LogRaw("Maximum Columns per Index: %i\n", static_cast<int>(info.maxColumnsInIndex));
    LogRaw("Maximum Row Size per Table: %i bytes\n", static_cast<int>(info.maxRowSize));
    LogRaw("Database schemas (%i):\n", static_cast<int>(info.schemas.size()));
    for (size_t i = 0; i < info.schemas.size(); ++i)
      LogRaw("  %i. %s\n", static_cast<int>(i + 1), info.schemas[i].c_str());
    ok = true;
  });
  return ok;
}

bool DNSDbClient::InitDb(SqlConnection* connection) {
  if (!InitMysqlDb(connection, this)) return false;
  // The client counts as initialised only when both table groups are ready; EnsureDbReady sets
  // the flag after this answers true.
  return InitDNSDb(connection, this);
}

// ---- MysqlDbContext ----

MysqlDbContext::MysqlDbContext(MysqlDbClient* client, int32_t tag) : ThreadContext(tag), client_(client) {}

MysqlDbContext::~MysqlDbContext() {
  RunReported("DC::CloseDb", [&] {
    statement_.reset();
    ReleaseConnection();
  });
}

void MysqlDbContext::ReleaseConnection() {
  if (connection_ == nullptr) return;
  int count = --gDbConnectionCount;
  if (client_ != nullptr && client_->LogDb()) LogMessage("%i DB connections", count);
  connection_.reset();
}

bool MysqlDbContext::Begin(const char* tag) {
  if (client_ != nullptr && client_->Configured()) return EnsureDbReady(client_, this, tag, false);
  return true;
}

void MysqlDbContext::End(const char* tag) { CloseDb(this, tag, true); }

bool MysqlDbContext::PrepareStatements(bool takeLock) {
  static const char* const kTag = "DC::PrepareStatements";
  OptionalGuard guard(lock_, takeLock, kSitePrepare, SpinRWGuard::Write);
  bool ok = false;
  DbGuarded(kTag, nullptr, [&] {
    if (!ConnectionOpen(connection_.get(), kTag)) return;
    statement_.reset();
    statement_ = connection_->CreateStatement();
    ok = true;
  });
  return ok;
}

void MysqlDbContext::CloseStatements(bool takeLock) {
  OptionalGuard guard(lock_, takeLock, kSiteCloseStatements, SpinRWGuard::Write);
  DbGuarded("DC::CloseStatements", nullptr, [&] { statement_.reset(); });
}

bool MysqlDbContext::Reconnect(bool takeLock, const char* tag) {
  CloseDb(this, tag, takeLock);
  if (connection_ != nullptr) return true;
  std::unique_ptr<SqlConnection> connection = client_->OpenConnection(tag);
  if (connection == nullptr) return false;
  {
    OptionalGuard guard(lock_, takeLock, kSiteCheckWrite, SpinRWGuard::Write);
    connection_ = std::move(connection);
  }
  if (!PrepareStatements(takeLock)) {
    CloseDb(this, tag, takeLock);
    return false;
  }
  return true;
}

// ---- Free operations ----

void CloseDb(MysqlDbContext* context, const char* tag, bool takeLock) {
  if (context == nullptr) return;
  context->CloseStatements(takeLock);
  OptionalGuard guard(context->lock_, takeLock, kSiteCloseStatements, SpinRWGuard::Write);
  DbGuarded("DC::CloseDb", tag, [&] { context->ReleaseConnection(); });
}

bool CheckConnection(MysqlDbContext* context, const char* tag) {
  bool answer = true;
  DbGuarded("DC::CheckConnection", tag, [&] {
    // isClosed() alone never notices a connection the server dropped: the check also asks the
    // server (IsValid), and a call that met error 2006 or 2013 has marked the connection closed.
    auto alive = [&] {
      SqlConnection* c = context->connection_.get();
      return c != nullptr && !c->IsClosed() && c->IsValid();
    };
    {
      SpinRWGuard read(context->lock_, kSiteCheckRead, SpinRWGuard::Read);
      if (alive()) return;
    }
    SpinRWGuard write(context->lock_, kSiteCheckWrite, SpinRWGuard::Write);
    if (alive()) return;  // another thread reconnected meanwhile
    answer = context->Reconnect(false, tag);
  });
  return answer;
}

int ExecuteParamStatementV(MysqlDbContext* context, const char* sql, bool checkFirst, const char* types,
                           va_list args) {
  static const char* const kTag = "DC::ExecuteParamStatement";
  if (context == nullptr) return 0;
  if (checkFirst && !CheckConnection(context, kTag)) return 0;
  SpinRWGuard read(context->Lock(), kSiteExecute, SpinRWGuard::Read);
  int result = 0;
  DbGuarded(kTag, nullptr, [&] {
    SqlConnection* connection = context->Connection();
    if (!ConnectionOpen(connection, kTag)) return;
    std::unique_ptr<SqlPrepared> ps = connection->Prepare(sql);
    unsigned index = 1;
    for (const char* t = types; t != nullptr && *t != '\0'; ++t, ++index) {
      switch (*t) {
        case 'b':
          ps->SetBoolean(index, va_arg(args, int) != 0);
          break;
        case 'i':
          ps->SetInt(index, va_arg(args, int32_t));
          break;
        case 'l':
          ps->SetInt64(index, va_arg(args, int64_t));
          break;
        case 's':
          ps->SetStringOrNull(index, va_arg(args, const char*));
          break;
        default:
          LogError("[%s] Parse parameterized statement failed", kTag);
          return;
      }
    }
    result = ps->ExecuteUpdate();
  });
  return result;
}

int ExecuteParamStatement(MysqlDbContext* context, const char* sql, bool checkFirst, const char* types, ...) {
  va_list args;
  va_start(args, types);
  int result = ExecuteParamStatementV(context, sql, checkFirst, types, args);
  va_end(args);
  return result;
}

bool EnsureDbReady(MysqlDbClient* client, MysqlDbContext* context, const char* tag, bool announce) {
  if (context == nullptr || client == nullptr) return false;
  if (context->connection_ == nullptr) {
    std::unique_ptr<SqlConnection> connection = client->OpenConnection(tag);
    if (connection == nullptr) return false;
    {
      SpinRWGuard write(context->lock_, kSiteCheckWrite, SpinRWGuard::Write);
      context->connection_ = std::move(connection);
    }
    if (!context->PrepareStatements(true)) {
      CloseDb(context, tag);
      return false;
    }
  }
  if (announce) client->PrintUsingDb();
  bool ok = true;
  {
    CriticalLockGuard init(client->InitLock(), kSiteInitLock);
    if (!client->Initialized()) {
      {
        SpinRWGuard read(context->lock_, kSiteEnsureInit, SpinRWGuard::Read);
        ok = client->InitDb(context->connection_.get());
      }
      if (ok) {
        client->SetInitialized();
        if (announce) client->PrintDbInitialized();
      }
    }
  }
  if (!ok) CloseDb(context, tag);
  return ok;
}

void PingVersions(MysqlDbContext* context) {
  if (context == nullptr || context->Client() == nullptr) return;
  ExecuteParamStatement(context, "UPDATE `Versions` SET `PingTime`=UNIX_TIMESTAMP() WHERE `Id`=?", true, "i",
                        context->Client()->AppRowId());
}
