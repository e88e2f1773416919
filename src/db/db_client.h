// The database client: the server's only road to MySQL. MysqlDbClient holds the connection
// settings, opens connections, creates and upgrades the schema (db_schema.cc), reads and writes
// the Settings table (db_settings.cc) and reports every database failure in one uniform way.
// DNSDbClient adds the DNS tables. MysqlDbContext is a thread's context with its own connection.
//
// Owns: the connection settings, the schema-ready flags, the Versions row id, the initialisation
// lock; a context owns its connection and statement. Does not own: what the zones mean
// (mysql_dns_server.h), the connector (sql_seam.h).
//
// Threads: one client per process, shared by every thread's context. It is read-only after
// ReadConnectionSettings apart from the schema flags and `initialized` (written under the
// initialisation lock), logDb and the Versions row id. A context belongs to one thread; its lock
// still orders every use of its connection (read) against replacing or closing it (write). Lock
// order: the initialisation lock before a context lock.
#pragma once

#include <atomic>
#include <cstdarg>
#include <cstddef>
#include <cstdint>
#include <map>
#include <memory>
#include <set>
#include <string>

#include "config/settings_file.h"
#include "db/sql_seam.h"
#include "server/thread_context.h"
#include "shell/exceptions.h"
#include "shell/locks.h"
#include "shell/log.h"

namespace sql {
class Driver;
}

// Lower-case "table.column" -> lower-case column type as the server reports it.
using DbColumnMap = std::map<std::string, std::string>;
// Lower-case table names, or "table.index" / "table.column" entries.
using DbNameSet = std::set<std::string>;

class MysqlDbClient {
 public:
  MysqlDbClient();
  MysqlDbClient(const MysqlDbClient&) = delete;
  MysqlDbClient& operator=(const MysqlDbClient&) = delete;

  // Virtual operations in their slot order.
  virtual ~MysqlDbClient();
  virtual bool PrintDbInfo(SqlConnection* connection, const char* user);
  virtual bool ReadConnectionSettings(const SettingsMap& settings);
  virtual std::unique_ptr<SqlConnection> OpenConnection(const char* tag);
  virtual bool InitDb(SqlConnection* connection);
  virtual void PrintUsingDb();
  virtual void PrintDbInitialized();
  virtual bool GetTables(SqlConnection* connection, DbNameSet& tableSet);
  virtual bool GetTableColumns(SqlConnection* connection, DbColumnMap& columnMap, const char* table);
  virtual bool GetTableIndexes(SqlConnection* connection, DbNameSet& indexSet, const char* table);
  virtual bool GetTableConstraints(SqlConnection* connection, DbNameSet& constraintSet, const char* table);
  virtual bool AddTableColumn(SqlConnection* connection, DbColumnMap& columnMap, const char* table,
                              const char* column, const char* type);
  virtual bool AddTableIndex(SqlConnection* connection, DbNameSet& indexSet, const char* table,
                             const char* index, const char* columns);
  virtual bool AddTableConstraint(SqlConnection* connection, DbNameSet& constraintSet, const char* table,
                                  const char* column, const char* reference);
  virtual bool SplitTableDefinition(SqlConnection* connection, DbColumnMap& columnMap, DbNameSet& indexSet,
                                    DbNameSet& constraintSet, const char* table, const char* definition);
  virtual bool CreateTable(SqlConnection* connection, DbNameSet& tableSet, const char* table,
                           const char* definition, const char* extraSql);
  virtual bool LoadSettingsFromDb(SqlConnection* connection, SettingsMap& settings, const char* appName);
  virtual bool AddSetting(SqlConnection* connection, const SettingsMap& loaded, const char* name,
                          const char* defaultValue, const char* type, const char* valueList,
                          const char* subSystem, const char* appName);
  virtual bool GetDbSetting(SqlConnection* connection, const char* name, char* buffer, size_t size,
                            const char* appName);
  virtual bool SetDbSetting(SqlConnection* connection, const char* name, const char* value, const char* appName);
  virtual void ShowDbSettings(SqlConnection* connection, const char* appName);
  virtual bool ShowDbSetting(SqlConnection* connection, const char* name, const char* appName);
  virtual bool CheckDbVersion(SqlConnection* connection, const char* dbName, int requiredVersion, int* version);
  virtual bool UpdateDbVersion(SqlConnection* connection, const char* dbName, int version);

  const char* AppName() const { return appName_; }
  const char* Host() const { return mySQLHost_; }
  const char* DbName() const { return mySQLDbName_; }
  const char* User() const { return mySQLUser_; }
  bool Configured() const { return configured_; }
  bool LogDb() const { return logDb_.load(); }
  void SetLogDb(bool on) { logDb_ = on; }
  bool Initialized() const { return initialized_.load(); }
  void SetInitialized() { initialized_ = true; }
  CriticalLock& InitLock() { return initLock_; }
  // The Id of this program's Versions row; 0 while it is not registered.
  int32_t AppRowId() const { return appRowId_.load(); }
  void SetAppRowId(int32_t id) { appRowId_ = id; }
  // Set once the "System" and the "DNS" table groups were initialised in this process.
  std::atomic<bool> systemDbReady{false};
  std::atomic<bool> dnsDbReady{false};

 protected:
  char appName_[32];
  char mySQLHost_[256];
  char mySQLDbName_[32];
  char mySQLUser_[32];
  char mySQLPass_[32];
  bool configured_ = false;
  CriticalLock initLock_;
  std::atomic<bool> initialized_{false};
  std::atomic<bool> logDb_{false};
  std::atomic<int32_t> appRowId_{0};
};

// The DNS client: the base schema, then the DNS tables and the default settings rows.
class DNSDbClient : public MysqlDbClient {
 public:
  bool InitDb(SqlConnection* connection) override;
};

// A thread's database context: its own connection to the shared client's database.
class MysqlDbContext : public ThreadContext {
 public:
  MysqlDbContext(MysqlDbClient* client, int32_t tag);
  ~MysqlDbContext() override;
  bool Begin(const char* tag) override;
  void End(const char* tag) override;
  virtual bool PrepareStatements(bool takeLock);
  virtual void CloseStatements(bool takeLock);
  virtual bool Reconnect(bool takeLock, const char* tag);

  MysqlDbClient* Client() const { return client_; }
  // The connection, or null. Use it while holding Lock() for reading.
  SqlConnection* Connection() const { return connection_.get(); }
  SpinRWLock& Lock() { return lock_; }

 private:
  friend void CloseDb(MysqlDbContext* context, const char* tag, bool takeLock);
  friend bool CheckConnection(MysqlDbContext* context, const char* tag);
  friend bool EnsureDbReady(MysqlDbClient* client, MysqlDbContext* context, const char* tag, bool announce);
  void ReleaseConnection();

  MysqlDbClient* client_;
  std::unique_ptr<SqlConnection> connection_;
  std::unique_ptr<SqlStatement> statement_;
  SpinRWLock lock_{65535, 1000, 5};
};

// Closes the context's statement and connection.
void CloseDb(MysqlDbContext* context, const char* tag, bool takeLock = true);
// True when the context holds a live connection, after reconnecting under the write lock when it
// had none or the server dropped it. An exception is reported and answers true.
bool CheckConnection(MysqlDbContext* context, const char* tag);
// Runs one parameterised update; types has one letter per argument: 'b' bool (passed as int),
// 'i' int32_t, 'l' int64_t, 's' const char* (null binds SQL NULL). Returns the affected rows,
// 0 on any failure.
int ExecuteParamStatement(MysqlDbContext* context, const char* sql, bool checkFirst, const char* types, ...);
int ExecuteParamStatementV(MysqlDbContext* context, const char* sql, bool checkFirst, const char* types,
                           va_list args);
// Opens the context's connection when it has none and initialises the schema once per process.
bool EnsureDbReady(MysqlDbClient* client, MysqlDbContext* context, const char* tag, bool announce);
// Refreshes PingTime of this program's Versions row.
void PingVersions(MysqlDbContext* context);
// The driver, or null (silently when the database module probe failed).
sql::Driver* GetDriverInstance();
// Open connections of all contexts.
int DbConnectionCount();

// The schema groups (db_schema.cc).
bool InitMysqlDb(SqlConnection* connection, MysqlDbClient* client);
bool InitDNSDb(SqlConnection* connection, MysqlDbClient* client);

// ---- The uniform failure report ----

// Reports a database failure with LogError. callerTag selects the double-tag SQLException form
// "[%s][%s] SQLException: ..." (operation tag first); null gives the single form.
void ReportSqlError(const char* tag, const char* callerTag, const SqlError& e);

// Runs body inside the one handler every database operation uses: VCSE, SqlError, std::exception
// and anything else are reported with tag in their formats. False after a report.
template <class Body>
bool DbGuarded(const char* tag, const char* callerTag, Body&& body) {
  try {
    body();
    return true;
  } catch (const VCSE& e) {
    ReportVcse(tag, e);
  } catch (const SqlError& e) {
    ReportSqlError(tag, callerTag, e);
  } catch (const std::exception& e) {
    ReportStdException(tag, e);
  } catch (...) {
    ReportUnknownException(tag);
  }
  return false;
}

// The entry check of the operations that take a connection: false after "[%s] Connection closed"
// when it is null or closed.
bool ConnectionOpen(SqlConnection* connection, const char* tag);

// Lower-case ASCII copy.
std::string DbLower(const std::string& text);
