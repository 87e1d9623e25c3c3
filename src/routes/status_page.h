#pragma once
// The operator's status page ("/") and the hand-made test page ("/test").
#include <set>
#include <string>
#include <string_view>
#include <vector>

#include <httplib.h>
#include <nlohmann/json.hpp>

namespace tb {

// The brand image as base64, generated from assets/brand.png at build time.
extern const char kBrandImageBase64[];
extern const std::size_t kBrandImageBase64Length;

struct StatusPageInputs {
  nlohmann::json printers = nlohmann::json::array();  // entries with the default mark
  std::string printSettings;                          // the scaling mode
  bool autoScalePdf = true;
  std::set<std::string> rawPrinters;                   // switched on for raw printing
  std::string queryTime;                              // "%Y-%m-%d %H:%M:%S", local
  std::vector<std::string> allowedOrigins;            // empty: the list is off
  std::vector<std::string> refusedOrigins;            // newest first
};

// The whole page. Throws nlohmann::json::type_error for an entry whose name
// or status is not text.
std::string BuildStatusPage(const StatusPageInputs& inputs);

// &, <, >, " and ' as entities, so text cannot open markup.
std::string HtmlEscape(std::string_view text);

// GET /: the status page, built anew for every request.
void HandleStatusPage(const httplib::Request& req, httplib::Response& res);
// GET /test: "test.html" from the working directory, CR LF read as LF.
void HandleTestPage(const httplib::Request& req, httplib::Response& res);

}  // namespace tb
