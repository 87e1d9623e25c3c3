#pragma once
// The print_files table: one row per started print, written once, read by
// /history, aged out by maintenance. Every call takes DbMutex itself.
#include <cstdint>
#include <optional>
#include <string>

#include <nlohmann/json.hpp>

namespace tb::store {

// One row of print_files.
struct PrintRecord {
  std::string md5sum;
  std::string requestTrackingNumber;
  std::string filePath;
  int64_t fileSize = 0;
  std::string printerName;
  int code = 0;
  std::string printStartTime;
  std::string printEndTime;
};

// Inserts the record; failures are logged (outside DbMutex), never thrown.
void RecordPrint(const PrintRecord& record);

// At most 1000 records, highest id first, each with the nine members
// of a print record; an empty array without a database.
nlohmann::json ListHistory();

// Deletes print records started more than three days ago. The number
// deleted (0 when the step failed); nullopt when no database is open or the
// statement cannot be prepared.
std::optional<int> DeleteOldPrintRecords();

}  // namespace tb::store
