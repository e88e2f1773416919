// Helpers of the database tests: a fresh database of its own per test on the MariaDB instance
// named by MYSQL_TEST_* (the tests skip without it), SQL helpers over the connector seam, and
// log capture to a file.
#pragma once

#include <gtest/gtest.h>
#include <unistd.h>

#include <atomic>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <memory>
#include <sstream>
#include <string>
#include <vector>

#include "config/settings_file.h"
#include "db/db_client.h"
#include "db/sql_seam.h"
#include "shell/log.h"

namespace db_test {

inline const char* Env(const char* name) {
  const char* v = std::getenv(name);
  return v != nullptr && v[0] != '\0' ? v : nullptr;
}

inline bool DatabaseAvailable() {
  return Env("MYSQL_TEST_HOST") && Env("MYSQL_TEST_PORT") && Env("MYSQL_TEST_USER") && Env("MYSQL_TEST_PASSWORD");
}

// The connector host text for the test instance.
inline std::string TestHost() {
  return std::string("tcp://") + Env("MYSQL_TEST_HOST") + ":" + Env("MYSQL_TEST_PORT");
}

// A database created for one test and dropped at its end.
class TestDatabase {
 public:
  TestDatabase() {
    static std::atomic<int> counter{0};
    name_ = "dnsdb_t" + std::to_string(getpid()) + "_" + std::to_string(counter++);
    admin_ = SqlConnect(GetSqlDriver(), TestHost(), Env("MYSQL_TEST_USER"), Env("MYSQL_TEST_PASSWORD"));
    Exec("DROP DATABASE IF EXISTS `" + name_ + "`");
    Exec("CREATE DATABASE `" + name_ + "`");
    admin_->SetSchema(name_);
  }
  ~TestDatabase() {
    try {
      if (admin_ != nullptr && !admin_->IsClosed()) Exec("DROP DATABASE IF EXISTS `" + name_ + "`");
    } catch (...) {
    }
  }
  TestDatabase(const TestDatabase&) = delete;
  TestDatabase& operator=(const TestDatabase&) = delete;

  const std::string& Name() const { return name_; }
  SqlConnection* Admin() { return admin_.get(); }

  void Exec(const std::string& sql) { admin_->CreateStatement()->Execute(sql); }

  // Every row of a query, columns joined by '|', NULL written as "NULL".
  std::vector<std::string> Rows(const std::string& sql) {
    std::vector<std::string> out;
    std::unique_ptr<SqlResult> rs = admin_->CreateStatement()->ExecuteQuery(sql);
    while (rs->Next()) {
      std::string line;
      for (unsigned c = 1;; ++c) {
        std::string cell;
        try {
          cell = rs->IsNull(c) ? "NULL" : rs->GetString(c);
        } catch (const SqlError&) {
          break;  // past the last column
        }
        if (c > 1) line += "|";
        line += cell;
      }
      out.push_back(line);
    }
    return out;
  }
  std::string One(const std::string& sql) {
    std::vector<std::string> rows = Rows(sql);
    return rows.empty() ? "<none>" : rows[0];
  }

  // The connection settings of the server for this database.
  SettingsMap Settings(const std::string& log = "Yes") {
    SettingsMap s;
    SetSetting(s, "MySQLHost", TestHost());
    SetSetting(s, "MySQLDbName", name_);
    SetSetting(s, "MySQLUser", Env("MYSQL_TEST_USER"));
    SetSetting(s, "MySQLPass", Env("MYSQL_TEST_PASSWORD"));
    SetSetting(s, "Log", log);
    return s;
  }

 private:
  std::string name_;
  std::unique_ptr<SqlConnection> admin_;
};

inline std::string ReadFile(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  std::stringstream text;
  text << in.rdbuf();
  return text.str();
}

// Arms the process log to a fresh file for the lifetime of the object.
class LogCapture {
 public:
  LogCapture() {
    char pattern[] = "/tmp/dblogXXXXXX";
    int fd = mkstemp(pattern);
    if (fd >= 0) close(fd);
    path_ = pattern;
    StartLogAndWinsock(path_.c_str());
  }
  ~LogCapture() {
    StopLogAndWinsock();
    std::remove(path_.c_str());
  }
  LogCapture(const LogCapture&) = delete;
  LogCapture& operator=(const LogCapture&) = delete;
  std::string Text() const { return ReadFile(path_); }
  // Lines that contain needle.
  std::vector<std::string> Lines(const std::string& needle) const {
    std::vector<std::string> out;
    std::istringstream in(Text());
    for (std::string line; std::getline(in, line);)
      if (line.find(needle) != std::string::npos) out.push_back(line);
    return out;
  }

 private:
  std::string path_;
};

#define SKIP_WITHOUT_DATABASE()                                                   \
  do {                                                                            \
    if (!db_test::DatabaseAvailable()) GTEST_SKIP() << "MYSQL_TEST_* not set"; \
  } while (0)

}  // namespace db_test
