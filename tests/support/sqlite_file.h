#pragma once
// A test's own connection to a database file, beside the daemon's.
#include <gtest/gtest.h>
#include <sqlite3.h>

#include <string>
#include <vector>

namespace tbtest {

class SqliteFile {
 public:
  explicit SqliteFile(const std::string& path) {
    if (sqlite3_open(path.c_str(), &db_) != SQLITE_OK) ADD_FAILURE() << sqlite3_errmsg(db_);
  }
  ~SqliteFile() { sqlite3_close(db_); }
  SqliteFile(const SqliteFile&) = delete;
  SqliteFile& operator=(const SqliteFile&) = delete;

  // True when the statements ran; a failure is also reported to the test.
  bool Exec(const std::string& sql) {
    char* error = nullptr;
    const bool ok = sqlite3_exec(db_, sql.c_str(), nullptr, nullptr, &error) == SQLITE_OK;
    if (!ok) ADD_FAILURE() << sql << ": " << (error ? error : "");
    sqlite3_free(error);
    return ok;
  }

  // Every row, columns joined with '|', NULL shown as "<null>".
  std::vector<std::string> Query(const std::string& sql) {
    std::vector<std::string> rows;
    sqlite3_stmt* st = nullptr;
    if (sqlite3_prepare_v2(db_, sql.c_str(), -1, &st, nullptr) != SQLITE_OK) {
      ADD_FAILURE() << sql << ": " << sqlite3_errmsg(db_);
      return rows;
    }
    while (sqlite3_step(st) == SQLITE_ROW) {
      std::string row;
      for (int c = 0; c < sqlite3_column_count(st); ++c) {
        const unsigned char* text = sqlite3_column_text(st, c);
        if (c) row += "|";
        row += text ? reinterpret_cast<const char*>(text) : "<null>";
      }
      rows.push_back(row);
    }
    sqlite3_finalize(st);
    return rows;
  }

 private:
  sqlite3* db_ = nullptr;
};

}  // namespace tbtest
