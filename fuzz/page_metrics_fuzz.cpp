// PageMetricsFromJson on any JSON document: accepted metrics survive the
// trip through PageMetricsToJson unchanged.
#include <cstddef>
#include <cstdint>
#include <string>

#include <nlohmann/json.hpp>

#include "fuzz_check.h"
#include "metrics/page_metrics.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  nlohmann::json doc = nlohmann::json::parse(data, data + size, nullptr, false);
  if (doc.is_discarded()) return 0;
  tb::metrics::PageMetrics metrics;
  std::string error;
  if (!tb::metrics::PageMetricsFromJson(doc, metrics, error)) {
    FUZZ_CHECK(!error.empty());
    return 0;
  }
  // Whole numbers are taken as they are, never wrapped into another size.
  nlohmann::json again = tb::metrics::PageMetricsToJson(metrics);
  for (const char* key : {"dpiX", "dpiY", "physicalWidthPx", "physicalHeightPx", "printableWidthPx",
                          "printableHeightPx", "offsetXPx", "offsetYPx"}) {
    const nlohmann::json& given = doc.at(key);
    if (given.is_number_integer()) FUZZ_CHECK(given == again.at(key));
  }
  tb::metrics::PageMetrics back;
  FUZZ_CHECK(tb::metrics::PageMetricsFromJson(again, back, error));
  FUZZ_CHECK(tb::metrics::PageMetricsToJson(back) == again);
  // The channel carries the document as text; it must serialise.
  (void)again.dump(-1, ' ', false, nlohmann::json::error_handler_t::strict);
  return 0;
}
