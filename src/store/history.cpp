#include "store/history.h"

#include <sqlite3.h>

#include "http/replies.h"
#include "store/database.h"
#include "store/statement.h"

namespace tb::store {

nlohmann::json ListHistory() {
  nlohmann::json list = nlohmann::json::array();
  Database& db = Database::Shared();
  std::lock_guard<std::mutex> lock(db.Mutex());
  if (db.Handle() == nullptr) return list;
  Statement st(db.Handle(),
               "SELECT id,md5sum,RequestTrackingNumber,filePath,fileSize,printerName,code,"
               "print_start_time,print_end_time FROM print_files ORDER BY id DESC LIMIT 1000;");
  if (!st.Ok()) return list;
  while (st.Step() == SQLITE_ROW) {
    list.push_back({
        {"id", st.ColumnInt64(0)},
        {"md5sum", st.ColumnText(1)},
        {"RequestTrackingNumber", st.ColumnText(2)},
        {"filePath", st.ColumnText(3)},
        {"fileSize", st.ColumnInt64(4)},
        {"printerName", st.ColumnText(5)},
        {"code", st.ColumnInt(6)},
        {"start_time", st.ColumnText(7)},
        {"end_time", st.ColumnText(8)},
    });
  }
  return list;
}

void HandleHistory(const httplib::Request&, httplib::Response& res) {
  SendJson(res, ListHistory(), 200);
}

}  // namespace tb::store
