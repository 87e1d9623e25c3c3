#pragma once
// A printer's page geometry as the user's printer preferences define it.
#include <cstdint>
#include <string>

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

}  // namespace tb::metrics
