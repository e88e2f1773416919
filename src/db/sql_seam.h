// The narrow seam between the database code and MySQL Connector/C++: a connection, plain and
// prepared statements, and result rows, with the connector's objects and exceptions behind it.
// Everything above this header speaks in these types only; every connector exception is turned
// into SqlError (code and SQL state kept) at the seam.
//
// Owns: the connector objects it wraps (each wrapper deletes its object), the process-wide driver
// instance, and the lost-connection mark of a connection (set when a call meets MySQL error 2006
// or 2013, since the connector's isClosed() stays false after the server dropped a connection).
// Does not own: locking. A connection and the statements made from it belong to one thread at a
// time (the database context orders their use with its lock); GetSqlDriver may be called from
// any thread.
#pragma once

#include <atomic>
#include <cstddef>
#include <cstdint>
#include <memory>
#include <stdexcept>
#include <string>
#include <vector>

namespace sql {
class Connection;
class Driver;
class PreparedStatement;
class ResultSet;
class Statement;
}  // namespace sql

// Shared by a connection and everything made from it: set once a call met a lost connection.
using SqlLostFlag = std::shared_ptr<std::atomic<bool>>;

// A failure reported by the database or the connector.
class SqlError : public std::runtime_error {
 public:
  SqlError(const std::string& what, int code, std::string state)
      : std::runtime_error(what), code_(code), state_(std::move(state)) {}
  int Code() const { return code_; }
  const std::string& State() const { return state_; }
  // Client errors that mean the server has gone or the connection was dropped.
  bool LostConnection() const { return code_ == 2006 || code_ == 2013; }

 private:
  int code_;
  std::string state_;
};

// One result set, read row by row. Columns are numbered from 1.
class SqlResult {
 public:
  explicit SqlResult(sql::ResultSet* rs, SqlLostFlag lost);
  ~SqlResult();
  bool Next();
  bool IsNull(unsigned column) const;
  // The connector's integer readers: a NULL reads as 0. GetInt truncates values outside 32 bits;
  // row readers that take outside input use GetInt64 and check the range themselves.
  int32_t GetInt(unsigned column) const;
  int64_t GetInt64(unsigned column) const;
  // NULL reads as an empty text. The text may hold NUL bytes.
  std::string GetString(unsigned column) const;
  std::string GetString(const char* label) const;
  size_t RowsCount() const;

 private:
  std::unique_ptr<sql::ResultSet> rs_;
  SqlLostFlag lost_;
};

// A prepared statement; parameters are numbered from 1.
class SqlPrepared {
 public:
  SqlPrepared(sql::PreparedStatement* ps, SqlLostFlag lost);
  ~SqlPrepared();
  void SetBoolean(unsigned index, bool value);
  void SetInt(unsigned index, int32_t value);
  void SetInt64(unsigned index, int64_t value);
  void SetString(unsigned index, const std::string& value);
  void SetNull(unsigned index);  // SQL NULL of type VARCHAR
  // SetString, or SetNull for a null pointer.
  void SetStringOrNull(unsigned index, const char* value);
  int ExecuteUpdate();
  std::unique_ptr<SqlResult> ExecuteQuery();

 private:
  std::unique_ptr<sql::PreparedStatement> ps_;
  SqlLostFlag lost_;
};

// A plain statement that runs SQL texts.
class SqlStatement {
 public:
  SqlStatement(sql::Statement* st, SqlLostFlag lost);
  ~SqlStatement();
  bool Execute(const std::string& text);
  int ExecuteUpdate(const std::string& text);
  std::unique_ptr<SqlResult> ExecuteQuery(const std::string& text);

 private:
  std::unique_ptr<sql::Statement> st_;
  SqlLostFlag lost_;
};

// What the connection's metadata says about the database (for PrintDbInfo).
struct SqlDatabaseInfo {
  std::string productName, productVersion, driverName, driverVersion;
  bool readOnly = false, transactions = false, dmlTransactionsOnly = false, batchUpdates = false,
       outerJoins = false, multipleTransactions = false, namedParameters = false,
       statementPooling = false, storedProcedures = false, unionSupported = false;
  unsigned maxConnections = 0, maxColumnsInTable = 0, maxColumnsInIndex = 0, maxRowSize = 0;
  std::vector<std::string> schemas;
};

// One open connection. Deleting it closes it.
class SqlConnection {
 public:
  explicit SqlConnection(sql::Connection* connection);
  ~SqlConnection();
  // Closed by the connector, or marked lost by an earlier call that met error 2006 or 2013.
  bool IsClosed();
  // Asks the server (a ping); false when it no longer answers on this connection.
  bool IsValid();
  void SetSchema(const std::string& name);
  bool GetAutoCommit();
  void SetAutoCommit(bool on);
  std::unique_ptr<SqlStatement> CreateStatement();
  std::unique_ptr<SqlPrepared> Prepare(const std::string& text);
  SqlDatabaseInfo DescribeDatabase();

 private:
  std::unique_ptr<sql::Connection> connection_;
  SqlLostFlag lost_;
};

// The process-wide connector driver. Null without a driver; an exception other than SqlError
// escapes to the caller. The connector's own accessor is not safe to call from two threads at
// once; this one is.
sql::Driver* GetSqlDriver();
// Connects through driver; host is the connector's host text ("tcp://host:port",
// "host:port", "unix:///path/to/socket" or a plain host name). Null when the connector
// returns none.
std::unique_ptr<SqlConnection> SqlConnect(sql::Driver* driver, const std::string& host,
                                          const std::string& user, const std::string& password);
