#pragma once
// POST /print, first half: the shutdown check, the request's members, the
// document cache for base64 documents, the document's MD5 and the choice of
// printer. The result is a PrintRequest that ExecutePrint carries out within
// the same call.
#include <cstdint>
#include <mutex>
#include <string>
#include <string_view>

#include <nlohmann/json.hpp>

#include "base/thread_annotations.h"
#include "printing/document_cache.h"
#include "printing/print_services.h"

namespace tb::printing {

struct PrintRequest {
  std::string documentPath;  // the file printed: always one in the document cache
  std::string callerPath;    // "filePath" as given; empty for base64 documents
  bool fromBase64 = false;   // the document lives in the document cache
  std::string extension;     // normalised: 1 to 16 of a-z and 0-9
  std::string md5;           // of the document's bytes as received
  int64_t fileSize = 0;      // measured with the MD5
  std::string trackingNumber;
  std::string printerName;   // never empty
  bool autoScale = false;
  std::string startTime;     // LocalTimestamp when the handler started
  // CacheMutex, held only for base64 documents. A std::unique_lock, not a
  // MutexLock: it travels from the intake into ExecutePrint, and the analysis
  // follows no lock across a move or from one function into another.
  std::unique_lock<Mutex> cacheLock;
};

// What a print request comes to: the HTTP status and the JSON body that
// the route answers with.
struct PrintOutcome {
  int httpStatus = 200;
  nlohmann::json body;
};

// Everything after the body has arrived: the intake, then ExecutePrint.
// Never throws: a failure is an error outcome.
PrintOutcome HandlePrintRequest(std::string_view body, const PrintServices& services);

// Bodies from this size on are held in one block from the system, and their
// base64 text is digested on a second thread.
inline constexpr size_t kLargeBody = size_t{1} << 20;

// Drops every leading "." and lowercases A-Z (other characters stay, and then
// fail the validity check).
std::string NormalizeExtension(std::string_view text);
// 1 to 16 characters, each a-z or 0-9.
bool IsValidExtension(std::string_view extension);

// Standard base64; blanks (space, tab, CR, LF) are skipped, nothing may
// follow padding, leftover bits are dropped. Empty on any failure.
std::string Base64Decode(std::string_view text);

// Writes the decoded document into the cache as "<MD5 of text>.<extension>"
// and returns its absolute path; empty when the text does not decode to at
// least one byte (nothing is written then). Call it with CacheMutex held.
// Every call writes the file anew, into a temporary file first that then
// replaces the cached name in one step, so a reader of an earlier copy never
// sees it shrink and a crash never leaves a partial document under that name.
// Throws std::runtime_error "Cannot calculate cache MD5", "Cannot create file
// in sumatrapdfcache" or "Failed to write decoded file into sumatrapdfcache".
// When `md5` is given it receives the MD5 of the stored bytes (empty when it
// could not be computed) and `size` their count: the same as reading the file
// back, without doing so.
std::string StoreBase64Document(std::string_view base64Text, const std::string& extension,
                                std::string* md5 = nullptr, int64_t* size = nullptr)
    REQUIRES(CacheMutex());

// "PrinterName"; else the value of the first config row named by "key"; else
// the default-printer rule. Empty when nothing could be chosen.
std::string ResolvePrinterName(const nlohmann::json& body, const PrintServices& services);

// "RequestTrackingNumber": an integer as signed 64-bit decimal, a string as
// it is, anything else "".
std::string ReadTrackingNumber(const nlohmann::json& body);


}  // namespace tb::printing
