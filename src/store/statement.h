#pragma once
// One prepared SQLite statement, finalised when it goes out of scope, so no
// statement survives the locked call that made it, whatever path it leaves by.
//
// Use only while Database::Shared().Mutex() is held, e.g.
//   MutexLock lock(db.Mutex());
//   if (!db.Handle()) return ...;
//   Statement st(db.Handle(), "INSERT INTO t(a,b) VALUES(?,?);");
//   if (!st.Ok()) return ... sqlite3_errmsg(db.Handle()) ...;
//   st.BindText(1, a); st.BindInt64(2, b);
//   bool done = st.Step() == SQLITE_DONE;
#include <sqlite3.h>

#include <cstdint>
#include <string>

namespace tb::store {

class Statement {
 public:
  // Prepares the whole text (length -1). Ok() tells whether it worked; a
  // null connection simply gives a statement that is not Ok().
  Statement(sqlite3* db, const char* sql) {
    if (db == nullptr || sqlite3_prepare_v2(db, sql, -1, &stmt_, nullptr) != SQLITE_OK) {
      sqlite3_finalize(stmt_);  // harmless on null
      stmt_ = nullptr;
    }
  }
  Statement(sqlite3* db, const std::string& sql) : Statement(db, sql.c_str()) {}
  ~Statement() { Finalize(); }

  Statement(const Statement&) = delete;
  Statement& operator=(const Statement&) = delete;
  Statement(Statement&& other) noexcept : stmt_(other.stmt_) { other.stmt_ = nullptr; }
  Statement& operator=(Statement&& other) noexcept {
    if (this != &other) {
      Finalize();
      stmt_ = other.stmt_;
      other.stmt_ = nullptr;
    }
    return *this;
  }

  bool Ok() const { return stmt_ != nullptr; }
  sqlite3_stmt* Get() const { return stmt_; }

  // Parameters count from 1. Text is copied by SQLite.
  int BindText(int index, const std::string& text) {
    return sqlite3_bind_text(stmt_, index, text.c_str(), -1, SQLITE_TRANSIENT);
  }
  int BindInt(int index, int value) { return sqlite3_bind_int(stmt_, index, value); }
  int BindInt64(int index, std::int64_t value) {
    return sqlite3_bind_int64(stmt_, index, static_cast<sqlite3_int64>(value));
  }

  // SQLITE_ROW per result row, SQLITE_DONE at the end, anything else is a failure.
  int Step() { return stmt_ ? sqlite3_step(stmt_) : SQLITE_MISUSE; }

  // Makes the statement ready for another run with fresh bindings.
  void Reset() {
    sqlite3_reset(stmt_);
    sqlite3_clear_bindings(stmt_);
  }

  // Columns count from 0; a NULL text column reads as empty text.
  std::string ColumnText(int column) const {
    const unsigned char* text = sqlite3_column_text(stmt_, column);
    if (text == nullptr) return {};
    return std::string(reinterpret_cast<const char*>(text),
                       static_cast<size_t>(sqlite3_column_bytes(stmt_, column)));
  }
  bool ColumnIsNull(int column) const {
    return sqlite3_column_type(stmt_, column) == SQLITE_NULL;
  }
  int ColumnInt(int column) const { return sqlite3_column_int(stmt_, column); }
  std::int64_t ColumnInt64(int column) const { return sqlite3_column_int64(stmt_, column); }

  // Early release, e.g. before reading the connection's error text.
  void Finalize() {
    if (stmt_) {
      sqlite3_finalize(stmt_);
      stmt_ = nullptr;
    }
  }

 private:
  sqlite3_stmt* stmt_ = nullptr;
};

}  // namespace tb::store
