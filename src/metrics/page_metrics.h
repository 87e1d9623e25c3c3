#pragma once
// A printer's page geometry as the user's printer preferences define it.
#include <cstdint>
#include <string>

#include <nlohmann/json.hpp>

namespace tb::metrics {

struct PageMetrics {
  int32_t dpiX = 0;
  int32_t dpiY = 0;
  int32_t physicalWidthPx = 0;
  int32_t physicalHeightPx = 0;
  int32_t printableWidthPx = 0;
  int32_t printableHeightPx = 0;
  int32_t offsetXPx = 0;
  int32_t offsetYPx = 0;
  double paperWidthMm = 0;
  double paperHeightMm = 0;
  double printableWidthMm = 0;
  double printableHeightMm = 0;
  double leftMarginMm = 0;
  double rightMarginMm = 0;
  double topMarginMm = 0;
  double bottomMarginMm = 0;
  double printableRatio = 0;
  bool usedUserDevMode = false;
  int16_t dmOrientation = 0;
  int16_t dmPaperSize = 0;
  int16_t dmPaperWidth = 0;
  int16_t dmPaperLength = 0;
  std::string source;
};

// The success document: {"ok": true} plus every field under its own name.
nlohmann::json PageMetricsToJson(const PageMetrics& metrics);

// The failure document: {"ok": false, "error": text}.
nlohmann::json PageMetricsFailureJson(const std::string& error);

// Decodes a success or failure document. False with the error text for a
// failure document, a malformed one, or values no printer can have.
bool PageMetricsFromJson(const nlohmann::json& document, PageMetrics& out, std::string& error);

// Derives the metrics of `printerName` in the calling thread's security
// context, trying the four variants in order. `sourcePrefix` heads `source`.
// False with every variant's reason joined by "; ".
bool DerivePageMetrics(const std::string& printerName, const std::string& sourcePrefix,
                       PageMetrics& out, std::string& error);

}  // namespace tb::metrics
