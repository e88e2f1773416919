#include "db/sql_seam.h"

#include <cppconn/connection.h>
#include <cppconn/datatype.h>
#include <cppconn/driver.h>
#include <cppconn/exception.h>
#include <cppconn/metadata.h>
#include <cppconn/prepared_statement.h>
#include <cppconn/resultset.h>
#include <cppconn/statement.h>
#include <mysql_driver.h>

#include <mutex>

namespace {

// Runs one connector call; a connector exception leaves as SqlError, and a lost connection is
// marked on the way.
template <class Call>
auto Translate(const SqlLostFlag& lost, Call&& call) -> decltype(call()) {
  try {
    return call();
  } catch (const sql::SQLException& e) {
    SqlError error(e.what(), e.getErrorCode(), e.getSQLState());
    if (error.LostConnection() && lost) lost->store(true);
    throw error;
  }
}

}  // namespace

SqlResult::SqlResult(sql::ResultSet* rs, SqlLostFlag lost) : rs_(rs), lost_(std::move(lost)) {}
SqlResult::~SqlResult() = default;

bool SqlResult::Next() {
  return Translate(lost_, [&] { return rs_ != nullptr && rs_->next(); });
}
bool SqlResult::IsNull(unsigned column) const {
  return Translate(lost_, [&] { return rs_->isNull(column); });
}
int32_t SqlResult::GetInt(unsigned column) const {
  return Translate(lost_, [&] { return rs_->getInt(column); });
}
int64_t SqlResult::GetInt64(unsigned column) const {
  return Translate(lost_, [&] { return rs_->getInt64(column); });
}
std::string SqlResult::GetString(unsigned column) const {
  return Translate(lost_, [&] { return std::string(rs_->getString(column).asStdString()); });
}
std::string SqlResult::GetString(const char* label) const {
  return Translate(lost_, [&] { return std::string(rs_->getString(label).asStdString()); });
}
size_t SqlResult::RowsCount() const {
  return Translate(lost_, [&] { return rs_ == nullptr ? size_t{0} : rs_->rowsCount(); });
}

SqlPrepared::SqlPrepared(sql::PreparedStatement* ps, SqlLostFlag lost) : ps_(ps), lost_(std::move(lost)) {}
SqlPrepared::~SqlPrepared() = default;

void SqlPrepared::SetBoolean(unsigned index, bool value) {
  Translate(lost_, [&] { ps_->setBoolean(index, value); });
}
void SqlPrepared::SetInt(unsigned index, int32_t value) {
  Translate(lost_, [&] { ps_->setInt(index, value); });
}
void SqlPrepared::SetInt64(unsigned index, int64_t value) {
  Translate(lost_, [&] { ps_->setInt64(index, value); });
}
void SqlPrepared::SetString(unsigned index, const std::string& value) {
  Translate(lost_, [&] { ps_->setString(index, sql::SQLString(value)); });
}
void SqlPrepared::SetNull(unsigned index) {
  Translate(lost_, [&] { ps_->setNull(index, sql::DataType::VARCHAR); });
}
void SqlPrepared::SetStringOrNull(unsigned index, const char* value) {
  if (value == nullptr)
    SetNull(index);
  else
    SetString(index, value);
}
int SqlPrepared::ExecuteUpdate() {
  return Translate(lost_, [&] { return ps_->executeUpdate(); });
}
std::unique_ptr<SqlResult> SqlPrepared::ExecuteQuery() {
  return Translate(lost_, [&] { return std::make_unique<SqlResult>(ps_->executeQuery(), lost_); });
}

SqlStatement::SqlStatement(sql::Statement* st, SqlLostFlag lost) : st_(st), lost_(std::move(lost)) {}
SqlStatement::~SqlStatement() = default;

bool SqlStatement::Execute(const std::string& text) {
  return Translate(lost_, [&] { return st_->execute(sql::SQLString(text)); });
}
int SqlStatement::ExecuteUpdate(const std::string& text) {
  return Translate(lost_, [&] { return st_->executeUpdate(sql::SQLString(text)); });
}
std::unique_ptr<SqlResult> SqlStatement::ExecuteQuery(const std::string& text) {
  return Translate(lost_, [&] {
    return std::make_unique<SqlResult>(st_->executeQuery(sql::SQLString(text)), lost_);
  });
}

SqlConnection::SqlConnection(sql::Connection* connection)
    : connection_(connection), lost_(std::make_shared<std::atomic<bool>>(false)) {}

SqlConnection::~SqlConnection() {
  // Deleting the connector's connection closes it; a failure while closing a dead connection
  // must not escape a destructor.
  try {
    connection_.reset();
  } catch (...) {
  }
}

bool SqlConnection::IsClosed() {
  if (connection_ == nullptr || lost_->load()) return true;
  return Translate(lost_, [&] { return connection_->isClosed(); });
}

bool SqlConnection::IsValid() {
  if (connection_ == nullptr || lost_->load()) return false;
  bool valid = Translate(lost_, [&] { return connection_->isValid(); });
  if (!valid) lost_->store(true);
  return valid;
}

void SqlConnection::SetSchema(const std::string& name) {
  Translate(lost_, [&] { connection_->setSchema(sql::SQLString(name)); });
}
bool SqlConnection::GetAutoCommit() {
  return Translate(lost_, [&] { return connection_->getAutoCommit(); });
}
void SqlConnection::SetAutoCommit(bool on) {
  Translate(lost_, [&] { connection_->setAutoCommit(on); });
}
std::unique_ptr<SqlStatement> SqlConnection::CreateStatement() {
  return Translate(lost_, [&] { return std::make_unique<SqlStatement>(connection_->createStatement(), lost_); });
}
std::unique_ptr<SqlPrepared> SqlConnection::Prepare(const std::string& text) {
  return Translate(lost_, [&] {
    return std::make_unique<SqlPrepared>(connection_->prepareStatement(sql::SQLString(text)), lost_);
  });
}

SqlDatabaseInfo SqlConnection::DescribeDatabase() {
  return Translate(lost_, [&] {
    SqlDatabaseInfo info;
    sql::DatabaseMetaData* meta = connection_->getMetaData();  // owned by the connection
    info.productName = meta->getDatabaseProductName().asStdString();
    info.productVersion = meta->getDatabaseProductVersion().asStdString();
    info.driverName = meta->getDriverName().asStdString();
    info.driverVersion = meta->getDriverVersion().asStdString();
    info.readOnly = meta->isReadOnly();
    info.transactions = meta->supportsTransactions();
    info.dmlTransactionsOnly = meta->supportsDataManipulationTransactionsOnly();
    info.batchUpdates = meta->supportsBatchUpdates();
    info.outerJoins = meta->supportsOuterJoins();
    info.multipleTransactions = meta->supportsMultipleTransactions();
    info.namedParameters = meta->supportsNamedParameters();
    info.statementPooling = meta->supportsStatementPooling();
    info.storedProcedures = meta->supportsStoredProcedures();
    info.unionSupported = meta->supportsUnion();
    info.maxConnections = meta->getMaxConnections();
    info.maxColumnsInTable = meta->getMaxColumnsInTable();
    info.maxColumnsInIndex = meta->getMaxColumnsInIndex();
    info.maxRowSize = meta->getMaxRowSize();
    std::unique_ptr<sql::ResultSet> schemas(meta->getSchemas());
    while (schemas != nullptr && schemas->next())
      info.schemas.push_back(schemas->getString("TABLE_SCHEM").asStdString());
    return info;
  });
}

sql::Driver* GetSqlDriver() {
  static std::mutex mutex;
  std::lock_guard<std::mutex> guard(mutex);
  return Translate(nullptr, [] { return static_cast<sql::Driver*>(sql::mysql::get_driver_instance()); });
}

std::unique_ptr<SqlConnection> SqlConnect(sql::Driver* driver, const std::string& host,
                                          const std::string& user, const std::string& password) {
  sql::Connection* c = Translate(nullptr, [&] {
    return driver->connect(sql::SQLString(host), sql::SQLString(user), sql::SQLString(password));
  });
  if (c == nullptr) return nullptr;
  return std::make_unique<SqlConnection>(c);
}
