// Page metrics of a Windows printer: DEVMODEs, device capabilities and a
// printer device context, straight from winspool and GDI.
#include <algorithm>
#include <vector>

#include "platform/sized_fetch.h"
#include "platform/win32/wide_text.h"
#include "platform/win32/win_spooler.h"
#include "platform/win32/winspool_api.h"

namespace tb::platform {
namespace {

namespace dm = devmode;

HANDLE Native(PrinterHandle& printer) {
  return static_cast<HANDLE>(static_cast<WinPrinterHandle&>(printer).get());
}

// The printer name as the calls want it: writable and NUL-terminated.
std::vector<wchar_t> WideName(const std::string& name) {
  const std::wstring wide = Utf8ToWide(name);
  std::vector<wchar_t> buffer(wide.begin(), wide.end());
  buffer.push_back(L'\0');
  return buffer;
}

// A DEVMODE the driver may read in full: never shorter than its own
// dmSize + dmDriverExtra say.
DevMode Complete(const DevMode& in) {
  DevMode copy = in;
  const size_t declared = static_cast<size_t>(dm::Size(in)) + dm::DriverExtra(in);
  if (copy.size() < declared) copy.resize(declared, 0);
  return copy;
}

class WinDeviceContext : public DeviceContext {
 public:
  explicit WinDeviceContext(HDC dc) : dc_(dc) {}
  ~WinDeviceContext() override { DeleteDC(dc_); }
  WinDeviceContext(const WinDeviceContext&) = delete;
  WinDeviceContext& operator=(const WinDeviceContext&) = delete;
  int GetDeviceCaps(int index) override { return ::GetDeviceCaps(dc_, index); }

 private:
  HDC dc_;
};

template <typename Item>
int Capability(const std::string& name, WORD capability, std::vector<Item>* out) {
  std::vector<wchar_t> wide = WideName(name);
  auto count = [&] {
    const int n = ::DeviceCapabilitiesW(wide.data(), nullptr, capability, nullptr, nullptr);
    if (n <= 0) WinSpooler::CaptureLastError();
    return n;
  };
  if (!out) return count();
  // The fill is not told the buffer's size: FetchCounted leaves room for
  // forms added after the count.
  std::vector<Item> items;
  const int n = FetchCounted(items, count, [&](Item* data) {
    const int got = ::DeviceCapabilitiesW(wide.data(), nullptr, capability,
                                          reinterpret_cast<LPWSTR>(data), nullptr);
    if (got <= 0) WinSpooler::CaptureLastError();
    return got;
  });
  if (n > 0) *out = std::move(items);
  return n;
}

// Capabilities answered as two LONGs an entry: paper sizes (POINTs) and
// resolutions (x and y dpi, the same layout).
template <typename Pair>
int PairCapability(const std::string& name, WORD capability, std::vector<Pair>* out) {
  std::vector<POINT> points;
  const int n = Capability<POINT>(name, capability, out ? &points : nullptr);
  if (out && n > 0) {
    out->clear();
    for (const POINT& p : points)
      out->push_back({static_cast<int32_t>(p.x), static_cast<int32_t>(p.y)});
  }
  return n;
}

}  // namespace

int WinSpooler::DocumentProperties(PrinterHandle& printer, const std::string& name, DevMode* out,
                                   const DevMode* in, uint32_t mode) {
  std::vector<wchar_t> wide = WideName(name);
  DevMode input;
  if (in) input = Complete(*in);
  DEVMODEW* output = out && !out->empty() ? reinterpret_cast<DEVMODEW*>(out->data()) : nullptr;
  // The caller sized the output from the size query; the driver fills it.
  if ((mode & DM_OUT_BUFFER) && !output) {
    SetLastError(ERROR_INSUFFICIENT_BUFFER);
    return -1;
  }
  const LONG rc = ::DocumentPropertiesW(nullptr, Native(printer), wide.data(), output,
                                        in ? reinterpret_cast<DEVMODEW*>(input.data()) : nullptr,
                                        mode);
  if ((mode == 0 && rc < 1) || (mode != 0 && rc != IDOK)) CaptureLastError();
  return static_cast<int>(rc);
}

bool WinSpooler::GetPrinterDevMode(PrinterHandle& printer, int level, DevMode& out) {
  if (level != 2 && level != 8 && level != 9) {
    SetLastError(ERROR_INVALID_LEVEL);
    return false;
  }
  std::vector<unsigned char> buffer;
  uint32_t error = 0;
  const FetchResult r = FetchGrowing(
      buffer,
      [&](unsigned char* data, uint32_t size, uint32_t& needed, uint32_t& e) {
        DWORD want = 0;
        if (::GetPrinterW(Native(printer), static_cast<DWORD>(level), data, size, &want))
          return true;
        e = static_cast<uint32_t>(::GetLastError());
        needed = want;
        return false;
      },
      error);
  if (r != FetchResult::kOk) {
    SetLastError(r == FetchResult::kEmpty ? ERROR_INVALID_DATA : error);
    return false;
  }
  const DEVMODEW* devmode = nullptr;
  switch (level) {
    case 9:
      devmode = reinterpret_cast<const PRINTER_INFO_9W*>(buffer.data())->pDevMode;
      break;
    case 2:
      devmode = reinterpret_cast<const PRINTER_INFO_2W*>(buffer.data())->pDevMode;
      break;
    default:
      devmode = reinterpret_cast<const PRINTER_INFO_8W*>(buffer.data())->pDevMode;
      break;
  }
  if (!devmode) {
    // The level exists but carries no DEVMODE (a user without own settings).
    SetLastError(ERROR_FILE_NOT_FOUND);
    return false;
  }
  // The copy takes what the DEVMODE declares, but never reads past the bytes
  // the call returned (a driver's dmDriverExtra is not to be trusted).
  const auto* bytes = reinterpret_cast<const unsigned char*>(devmode);
  if (ClampToAnswer(buffer.data(), buffer.size(), bytes, dm::kFields) < dm::kFields) {
    SetLastError(ERROR_INVALID_DATA);
    return false;
  }
  const size_t declared = static_cast<size_t>(devmode->dmSize) + devmode->dmDriverExtra;
  out.assign(bytes, bytes + ClampToAnswer(buffer.data(), buffer.size(), bytes, declared));
  return true;
}

int WinSpooler::PaperIds(const std::string& name, std::vector<int16_t>* out) {
  std::vector<WORD> ids;
  const int n = Capability<WORD>(name, DC_PAPERS, out ? &ids : nullptr);
  if (out && n > 0) out->assign(ids.begin(), ids.end());
  return n;
}

int WinSpooler::PaperSizes(const std::string& name, std::vector<PaperSizeTenthsMm>* out) {
  return PairCapability(name, DC_PAPERSIZE, out);
}

int WinSpooler::Resolutions(const std::string& name, std::vector<Resolution>* out) {
  return PairCapability(name, DC_ENUMRESOLUTIONS, out);
}

std::unique_ptr<DeviceContext> WinSpooler::CreateDC(const std::string& name,
                                                    const DevMode& devmode) {
  const std::wstring wide = Utf8ToWide(name);
  DevMode copy = Complete(devmode);
  HDC dc = ::CreateDCW(L"WINSPOOL", wide.c_str(), nullptr,
                       copy.empty() ? nullptr : reinterpret_cast<DEVMODEW*>(copy.data()));
  if (!dc) {
    CaptureLastError();
    return nullptr;
  }
  return std::make_unique<WinDeviceContext>(dc);
}

}  // namespace tb::platform
