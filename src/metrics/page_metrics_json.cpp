#include <cmath>
#include <cstdint>
#include <string>

#include "metrics/page_metrics.h"

namespace tb::metrics {
namespace {

using nlohmann::json;

// A member that must be a JSON number. The library itself would also accept
// a boolean here, which no metric can be.
const json& Number(const json& doc, const char* key) {
  const json& v = doc.at(key);
  if (!v.is_number())
    throw json::type_error::create(302, std::string("type must be number, but is ") + v.type_name(),
                                   &v);
  return v;
}

// A value that does not fit would be wrapped (or, from a float, undefined)
// and could pass the checks below as a plausible size.
int32_t Int32(const json& doc, const char* key) {
  const json& v = Number(doc, key);
  const bool fits =
      v.is_number_unsigned()  ? v.get<uint64_t>() <= static_cast<uint64_t>(INT32_MAX)
      : v.is_number_integer() ? v.get<int64_t>() >= INT32_MIN && v.get<int64_t>() <= INT32_MAX
                              : v.get<double>() > INT32_MIN - 1.0 && v.get<double>() < INT32_MAX + 1.0;
  if (!fits) throw json::out_of_range::create(406, std::string(key) + " is out of range", &v);
  return v.get<int32_t>();
}
double Double(const json& doc, const char* key) { return Number(doc, key).get<double>(); }

// DEVMODE members are 16-bit on the wire of the driver; keep what fits.
int16_t Low16(const json& doc, const char* key) {
  if (!doc.contains(key)) return 0;
  const json& n = Number(doc, key);
  // A float beyond the 64-bit range has no low bits to keep.
  if (n.is_number_float() && !(n.get<double>() > -9.2e18 && n.get<double>() < 9.2e18)) {
    throw json::out_of_range::create(406, std::string(key) + " is out of range", &n);
  }
  const auto v = n.get<int64_t>();
  return static_cast<int16_t>(static_cast<uint16_t>(static_cast<uint64_t>(v) & 0xFFFF));
}

}  // namespace

json PageMetricsToJson(const PageMetrics& m) {
  return json{
      {"ok", true},
      {"dpiX", m.dpiX},
      {"dpiY", m.dpiY},
      {"physicalWidthPx", m.physicalWidthPx},
      {"physicalHeightPx", m.physicalHeightPx},
      {"printableWidthPx", m.printableWidthPx},
      {"printableHeightPx", m.printableHeightPx},
      {"offsetXPx", m.offsetXPx},
      {"offsetYPx", m.offsetYPx},
      {"paperWidthMm", m.paperWidthMm},
      {"paperHeightMm", m.paperHeightMm},
      {"printableWidthMm", m.printableWidthMm},
      {"printableHeightMm", m.printableHeightMm},
      {"leftMarginMm", m.leftMarginMm},
      {"rightMarginMm", m.rightMarginMm},
      {"topMarginMm", m.topMarginMm},
      {"bottomMarginMm", m.bottomMarginMm},
      {"printableRatio", m.printableRatio},
      {"usedUserDevMode", m.usedUserDevMode},
      {"dmOrientation", m.dmOrientation},
      {"dmPaperSize", m.dmPaperSize},
      {"dmPaperWidth", m.dmPaperWidth},
      {"dmPaperLength", m.dmPaperLength},
      {"source", m.source},
  };
}

json PageMetricsFailureJson(const std::string& error) {
  return json{{"ok", false}, {"error", error}};
}

bool PageMetricsFromJson(const json& doc, PageMetrics& out, std::string& error) {
  try {
    if (!doc.is_object()) (void)doc.at("ok");  // throws the library's "not an object" text
    const bool ok = doc.contains("ok") && doc.at("ok").get<bool>();
    if (!ok) {
      error = doc.contains("error") ? doc.at("error").get<std::string>() : std::string();
      // A failure always names itself, also when the helper gave no reason.
      if (error.empty()) error = "printer metrics helper failed";
      return false;
    }
    PageMetrics m;
    m.dpiX = Int32(doc, "dpiX");
    m.dpiY = Int32(doc, "dpiY");
    m.physicalWidthPx = Int32(doc, "physicalWidthPx");
    m.physicalHeightPx = Int32(doc, "physicalHeightPx");
    m.printableWidthPx = Int32(doc, "printableWidthPx");
    m.printableHeightPx = Int32(doc, "printableHeightPx");
    m.offsetXPx = Int32(doc, "offsetXPx");
    m.offsetYPx = Int32(doc, "offsetYPx");
    m.paperWidthMm = Double(doc, "paperWidthMm");
    m.paperHeightMm = Double(doc, "paperHeightMm");
    m.printableWidthMm = Double(doc, "printableWidthMm");
    m.printableHeightMm = Double(doc, "printableHeightMm");
    m.leftMarginMm = Double(doc, "leftMarginMm");
    m.rightMarginMm = Double(doc, "rightMarginMm");
    m.topMarginMm = Double(doc, "topMarginMm");
    m.bottomMarginMm = Double(doc, "bottomMarginMm");
    m.printableRatio = Double(doc, "printableRatio");
    m.usedUserDevMode = doc.contains("usedUserDevMode") && doc.at("usedUserDevMode").get<bool>();
    m.dmOrientation = Low16(doc, "dmOrientation");
    m.dmPaperSize = Low16(doc, "dmPaperSize");
    m.dmPaperWidth = Low16(doc, "dmPaperWidth");
    m.dmPaperLength = Low16(doc, "dmPaperLength");
    if (doc.contains("source")) m.source = doc.at("source").get<std::string>();

    if (m.dpiX <= 0 || m.dpiY <= 0 || m.printableWidthPx <= 0 || m.printableHeightPx <= 0 ||
        !std::isfinite(m.printableRatio) || m.printableRatio <= 0) {
      error = "printer metrics helper returned invalid values";
      return false;
    }
    out = std::move(m);
    return true;
  } catch (const json::exception& e) {
    error = std::string("invalid printer metrics helper response: ") + e.what();
    return false;
  }
}

}  // namespace tb::metrics
