#include "metrics/page_derivation.h"

#include <algorithm>
#include <cmath>
#include <string>
#include <vector>

#include "platform/platform.h"

namespace tb::metrics {
namespace {

namespace dm = platform::devmode;
using platform::DevMode;
using platform::Spooler;

constexpr uint16_t kMinDevmodeSize = 76;  // through dmOrientation's neighbourhood

std::string Num(uint32_t v) { return std::to_string(v); }

bool Usable(const DevMode& d) { return !d.empty() && dm::Size(d) >= kMinDevmodeSize; }

bool HasPageSize(const DevMode& d) {
  if (!Usable(d)) return false;
  const uint32_t f = dm::Fields(d);
  const bool explicitSize = (f & (dm::DM_PAPERWIDTH | dm::DM_PAPERLENGTH)) ==
                                (dm::DM_PAPERWIDTH | dm::DM_PAPERLENGTH) &&
                            dm::PaperWidth(d) > 0 && dm::PaperLength(d) > 0;
  const bool namedSize = (f & dm::DM_PAPERSIZE) && dm::PaperSize(d) > 0;
  return explicitSize || namedSize;
}

bool Passes(const DevMode& d, bool requirePageSize) {
  return requirePageSize ? HasPageSize(d) : Usable(d);
}

std::string Join(const std::vector<std::string>& parts, const char* sep) {
  std::string out;
  for (size_t i = 0; i < parts.size(); ++i) {
    if (i) out += sep;
    out += parts[i];
  }
  return out;
}

// The four DEVMODE members the record carries, each only when its field bit says
// the DEVMODE holds it.
void CopyDevmodeMembers(const DevMode& d, PageMetrics& record) {
  const uint32_t f = dm::Fields(d);
  record.dmOrientation = (f & dm::DM_ORIENTATION) ? dm::Orientation(d) : 0;
  record.dmPaperSize = (f & dm::DM_PAPERSIZE) ? dm::PaperSize(d) : 0;
  record.dmPaperWidth = (f & dm::DM_PAPERWIDTH) ? dm::PaperWidth(d) : 0;
  record.dmPaperLength = (f & dm::DM_PAPERLENGTH) ? dm::PaperLength(d) : 0;
}

int32_t RoundPx(int32_t dpi, double mm) {
  return static_cast<int32_t>(static_cast<double>(dpi) * mm / 25.4 + 0.5);
}

struct Variant {
  const char* label;
  bool fromDc;
  bool preferUser;
};

constexpr Variant kVariants[] = {
    {"dc+user-devmode", true, true},
    {"dc+driver-devmode", true, false},
    {"devmode-only+user", false, true},
    {"devmode-only+driver", false, false},
};

// The printer, open for the rest of the derivation, and its devmode with the
// members copied into `record`. Null with the reason in `error`.
std::unique_ptr<platform::PrinterHandle> PrinterWithDevmode(Spooler& spooler,
                                                            const std::string& name,
                                                            bool preferUser, bool requirePageSize,
                                                            DevMode& devmode, PageMetrics& record,
                                                            std::string& error) {
  auto printer = OpenPrinterForMetrics(spooler, name, error);
  if (!printer) return nullptr;
  bool usedUser = false;
  if (!AcquireDevmode(spooler, *printer, name, preferUser, requirePageSize, devmode, usedUser,
                      error))
    return nullptr;
  record.usedUserDevMode = usedUser;
  CopyDevmodeMembers(devmode, record);
  return printer;
}

bool DevmodeOnlyVariant(Spooler& spooler, const std::string& name, bool preferUser,
                        PageMetrics& record, std::string& error) {
  DevMode devmode;
  auto printer = PrinterWithDevmode(spooler, name, preferUser, true, devmode, record, error);
  return printer && DeriveFromDevmode(spooler, name, devmode, record, error);
}

}  // namespace

std::unique_ptr<platform::PrinterHandle> OpenPrinterForMetrics(Spooler& spooler,
                                                               const std::string& name,
                                                               std::string& error) {
  auto handle = spooler.OpenPrinter(name, platform::PrinterAccess::kNoDefaults);
  if (handle) return handle;
  const uint32_t first = spooler.LastError();
  handle = spooler.OpenPrinter(name, platform::PrinterAccess::kUse);
  if (handle) return handle;
  const uint32_t second = spooler.LastError();
  error = "OpenPrinterW failed: " + Num(first) + " / " + Num(second);
  return nullptr;
}

bool AcquireDevmode(Spooler& spooler, platform::PrinterHandle& printer, const std::string& name,
                    bool preferUser, bool requirePageSize, DevMode& out, bool& usedUser,
                    std::string& error) {
  std::vector<std::string> failures;
  usedUser = false;

  const int size = spooler.DocumentProperties(printer, name, nullptr, nullptr, 0);
  if (size < 1) {
    failures.push_back("DocumentProperties(size) failed: " + Num(spooler.LastError()));
  } else {
    DevMode buffer(static_cast<size_t>(size), 0);
    if (preferUser) {
      DevMode user;
      if (spooler.GetPrinterDevMode(printer, 9, user) && Usable(user)) {
        const int rc = spooler.DocumentProperties(printer, name, &buffer, &user,
                                                  platform::DM_IN_BUFFER | platform::DM_OUT_BUFFER);
        if (rc == 1 && Passes(buffer, requirePageSize)) {
          out = std::move(buffer);
          usedUser = true;
          return true;
        }
        failures.push_back("DocumentProperties(user DEVMODE) rc=" + std::to_string(rc));
      }
    }
    // A fresh buffer, so nothing a failed merge left behind can pass for the
    // driver's answer.
    std::fill(buffer.begin(), buffer.end(), 0);
    const int rc =
        spooler.DocumentProperties(printer, name, &buffer, nullptr, platform::DM_OUT_BUFFER);
    if (rc == 1 && Passes(buffer, requirePageSize)) {
      out = std::move(buffer);
      return true;
    }
    failures.push_back("DocumentProperties(driver default) rc=" + std::to_string(rc));
  }

  for (int level : {9, 2, 8}) {
    if (level == 9 && !preferUser) continue;
    DevMode raw;
    if (!spooler.GetPrinterDevMode(printer, level, raw) || raw.empty()) {
      failures.push_back("GetPrinter(level " + std::to_string(level) + ") failed");
      continue;
    }
    if (!Passes(raw, requirePageSize)) {
      failures.push_back("GetPrinter(level " + std::to_string(level) +
                         ") DEVMODE has no usable page size");
      continue;
    }
    const size_t want = static_cast<size_t>(dm::Size(raw)) + dm::DriverExtra(raw);
    out.assign(raw.begin(), raw.begin() + static_cast<std::ptrdiff_t>(std::min(want, raw.size())));
    out.resize(want, 0);
    usedUser = level == 9;
    return true;
  }

  error = "no usable DEVMODE (" + Join(failures, "; ") + ")";
  return false;
}

bool PaperSizeById(Spooler& spooler, const std::string& name, int paperId, double& widthMm,
                   double& heightMm) {
  if (paperId <= 0) return false;
  const int idCount = spooler.PaperIds(name, nullptr);
  const int sizeCount = spooler.PaperSizes(name, nullptr);
  if (idCount <= 0 || sizeCount <= 0 || idCount != sizeCount) return false;
  std::vector<int16_t> ids(static_cast<size_t>(idCount));
  std::vector<platform::PaperSizeTenthsMm> sizes(static_cast<size_t>(sizeCount));
  if (spooler.PaperIds(name, &ids) != idCount || spooler.PaperSizes(name, &sizes) != sizeCount)
    return false;
  const size_t n = std::min({ids.size(), sizes.size(), static_cast<size_t>(idCount)});
  for (size_t i = 0; i < n; ++i) {
    if (ids[i] != paperId) continue;
    widthMm = sizes[i].x / 10.0;
    heightMm = sizes[i].y / 10.0;
    return widthMm > 0 && heightMm > 0;
  }
  return false;
}

void PickResolution(Spooler& spooler, const std::string& name, const DevMode& devmode,
                    int32_t& dpiX, int32_t& dpiY) {
  dpiX = 0;
  dpiY = 0;
  bool taken = false;
  const int count = spooler.Resolutions(name, nullptr);
  if (count > 0) {
    std::vector<platform::Resolution> list(static_cast<size_t>(count));
    if (spooler.Resolutions(name, &list) == count) {
      const size_t n = std::min(list.size(), static_cast<size_t>(count));
      for (size_t i = 0; i < n; ++i) {
        const auto& r = list[i];
        if (r.x <= 0 || r.y <= 0) continue;
        if (!taken || r.x > dpiX) {
          dpiX = r.x;
          dpiY = r.y;
          taken = true;
        }
      }
    }
  }
  if (!taken && Usable(devmode)) {
    const uint32_t f = dm::Fields(devmode);
    if ((f & dm::DM_PRINTQUALITY) && dm::PrintQuality(devmode) > 0)
      dpiX = dm::PrintQuality(devmode);
    if ((f & dm::DM_YRESOLUTION) && dm::YResolution(devmode) > 0)
      dpiY = dm::YResolution(devmode);
  }
  if (dpiX <= 0) dpiX = 300;
  if (dpiY <= 0) dpiY = dpiX;
}

bool DeriveFromDevmode(Spooler& spooler, const std::string& name, const DevMode& devmode,
                       PageMetrics& record, std::string& error) {
  if (!Usable(devmode)) {
    error = "DEVMODE unusable for page derivation";
    return false;
  }
  const uint32_t f = dm::Fields(devmode);
  double widthMm = 0;
  double heightMm = 0;
  if ((f & dm::DM_PAPERWIDTH) && (f & dm::DM_PAPERLENGTH) && dm::PaperWidth(devmode) > 0 &&
      dm::PaperLength(devmode) > 0) {
    widthMm = dm::PaperWidth(devmode) / 10.0;
    heightMm = dm::PaperLength(devmode) / 10.0;
  } else if (!((f & dm::DM_PAPERSIZE) &&
               PaperSizeById(spooler, name, dm::PaperSize(devmode), widthMm, heightMm))) {
    error = "DEVMODE carries no resolvable paper size";
    return false;
  }
  if ((f & dm::DM_ORIENTATION) && dm::Orientation(devmode) == 2) std::swap(widthMm, heightMm);

  PickResolution(spooler, name, devmode, record.dpiX, record.dpiY);
  const int32_t widthPx = RoundPx(record.dpiX, widthMm);
  const int32_t heightPx = RoundPx(record.dpiY, heightMm);
  record.physicalWidthPx = record.printableWidthPx = widthPx;
  record.physicalHeightPx = record.printableHeightPx = heightPx;
  record.offsetXPx = record.offsetYPx = 0;
  record.paperWidthMm = record.printableWidthMm = widthMm;
  record.paperHeightMm = record.printableHeightMm = heightMm;
  record.leftMarginMm = record.rightMarginMm = record.topMarginMm = record.bottomMarginMm = 0;
  if (widthPx <= 0 || heightPx <= 0) {
    error = "derived printable size is empty";
    return false;
  }
  record.printableRatio = widthMm / heightMm;
  if (!std::isfinite(record.printableRatio) || record.printableRatio <= 0) {
    error = "derived printable ratio is invalid";
    return false;
  }
  return true;
}

bool DeriveFromDc(Spooler& spooler, const std::string& name, PageMetrics& record, bool preferUser,
                  std::string& error) {
  DevMode devmode;
  auto printer = PrinterWithDevmode(spooler, name, preferUser, false, devmode, record, error);
  if (!printer) return false;

  auto dc = spooler.CreateDC(name, devmode);
  if (!dc) {
    error = "CreateDCW(WINSPOOL) failed: " + Num(spooler.LastError());
    return false;
  }
  record.dpiX = dc->GetDeviceCaps(platform::kLogPixelsX);
  record.dpiY = dc->GetDeviceCaps(platform::kLogPixelsY);
  record.physicalWidthPx = dc->GetDeviceCaps(platform::kPhysicalWidth);
  record.physicalHeightPx = dc->GetDeviceCaps(platform::kPhysicalHeight);
  record.printableWidthPx = dc->GetDeviceCaps(platform::kHorzRes);
  record.printableHeightPx = dc->GetDeviceCaps(platform::kVertRes);
  record.offsetXPx = dc->GetDeviceCaps(platform::kPhysicalOffsetX);
  record.offsetYPx = dc->GetDeviceCaps(platform::kPhysicalOffsetY);

  if (record.dpiX <= 0 || record.dpiY <= 0 || record.printableWidthPx <= 0 ||
      record.printableHeightPx <= 0) {
    error = "printer driver returned invalid printable-area metrics (dpi=" +
            std::to_string(record.dpiX) + "x" + std::to_string(record.dpiY) +
            ", printablePx=" + std::to_string(record.printableWidthPx) + "x" +
            std::to_string(record.printableHeightPx) + ")";
    return false;
  }
  if (record.physicalWidthPx <= 0 || record.physicalHeightPx <= 0) {
    record.physicalWidthPx = record.printableWidthPx;
    record.physicalHeightPx = record.printableHeightPx;
    record.offsetXPx = record.offsetYPx = 0;
  }

  // px * 25.4 / dpi in this order: 812 px at 203 dpi is exactly 101.6 mm.
  const auto mmX = [&](int32_t px) { return px * 25.4 / record.dpiX; };
  const auto mmY = [&](int32_t px) { return px * 25.4 / record.dpiY; };
  record.paperWidthMm = mmX(record.physicalWidthPx);
  record.printableWidthMm = mmX(record.printableWidthPx);
  record.leftMarginMm = mmX(record.offsetXPx);
  record.paperHeightMm = mmY(record.physicalHeightPx);
  record.printableHeightMm = mmY(record.printableHeightPx);
  record.topMarginMm = mmY(record.offsetYPx);
  record.rightMarginMm =
      std::max(0.0, record.paperWidthMm - record.leftMarginMm - record.printableWidthMm);
  record.bottomMarginMm =
      std::max(0.0, record.paperHeightMm - record.topMarginMm - record.printableHeightMm);

  record.printableRatio = record.printableWidthMm / record.printableHeightMm;
  if (!std::isfinite(record.printableRatio) || record.printableRatio <= 0) {
    error.clear();
    return false;
  }
  return true;
}

bool DerivePageMetricsWith(Spooler& spooler, const std::string& printerName,
                           const std::string& sourcePrefix, PageMetrics& out, std::string& error) {
  std::vector<std::string> failures;
  for (const Variant& v : kVariants) {
    PageMetrics record;
    std::string text;
    const bool ok = v.fromDc ? DeriveFromDc(spooler, printerName, record, v.preferUser, text)
                             : DevmodeOnlyVariant(spooler, printerName, v.preferUser, record, text);
    if (ok) {
      record.source = sourcePrefix + v.label;
      out = std::move(record);
      return true;
    }
    failures.push_back(std::string(v.label) + "=> " + (text.empty() ? "failed" : text));
  }
  error = Join(failures, "; ");
  return false;
}

bool DerivePageMetrics(const std::string& printerName, const std::string& sourcePrefix,
                       PageMetrics& out, std::string& error) {
  platform::Spooler* spooler = platform::Current().spooler;
  if (!spooler) {
    error = "no print spooler on this system";
    return false;
  }
  return DerivePageMetricsWith(*spooler, printerName, sourcePrefix, out, error);
}

}  // namespace tb::metrics
