// Page metrics of a Windows printer: DEVMODEs, device capabilities and a
// printer device context, straight from winspool and GDI.
#include <algorithm>
#include <vector>

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
  const int count = ::DeviceCapabilitiesW(wide.data(), nullptr, capability, nullptr, nullptr);
  if (count <= 0) {
    WinSpooler::CaptureLastError();
    return count;
  }
  if (!out) return count;
  std::vector<Item> items(static_cast<size_t>(count));
  const int again = ::DeviceCapabilitiesW(wide.data(), nullptr, capability,
                                          reinterpret_cast<LPWSTR>(items.data()), nullptr);
  if (again <= 0) {
    WinSpooler::CaptureLastError();
    return again;
  }
  items.resize(std::min(items.size(), static_cast<size_t>(again)));
  *out = std::move(items);
  return again;
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
  DWORD needed = 0;
  ::GetPrinterW(Native(printer), static_cast<DWORD>(level), nullptr, 0, &needed);
  if (needed == 0) {
    CaptureLastError();
    return false;
  }
  // 8-byte aligned: the structures hold pointers.
  std::vector<unsigned long long> buffer((needed + 7) / 8);
  if (!::GetPrinterW(Native(printer), static_cast<DWORD>(level),
                     reinterpret_cast<BYTE*>(buffer.data()), needed, &needed)) {
    CaptureLastError();
    return false;
  }
  const DEVMODEW* devmode = nullptr;
  switch (level) {
    case 9:
      devmode = reinterpret_cast<PRINTER_INFO_9W*>(buffer.data())->pDevMode;
      break;
    case 2:
      devmode = reinterpret_cast<PRINTER_INFO_2W*>(buffer.data())->pDevMode;
      break;
    default:
      devmode = reinterpret_cast<PRINTER_INFO_8W*>(buffer.data())->pDevMode;
      break;
  }
  if (!devmode) {
    // The level exists but carries no DEVMODE (a user without own settings).
    SetLastError(ERROR_FILE_NOT_FOUND);
    return false;
  }
  const auto* bytes = reinterpret_cast<const uint8_t*>(devmode);
  out.assign(bytes, bytes + devmode->dmSize + devmode->dmDriverExtra);
  return true;
}

int WinSpooler::PaperIds(const std::string& name, std::vector<int16_t>* out) {
  std::vector<WORD> ids;
  const int n = Capability<WORD>(name, DC_PAPERS, out ? &ids : nullptr);
  if (out && n > 0) out->assign(ids.begin(), ids.end());
  return n;
}

int WinSpooler::PaperSizes(const std::string& name, std::vector<PaperSizeTenthsMm>* out) {
  std::vector<POINT> points;
  const int n = Capability<POINT>(name, DC_PAPERSIZE, out ? &points : nullptr);
  if (out && n > 0) {
    out->clear();
    for (const POINT& p : points) out->push_back({static_cast<int32_t>(p.x), static_cast<int32_t>(p.y)});
  }
  return n;
}

int WinSpooler::Resolutions(const std::string& name, std::vector<Resolution>* out) {
  struct Pair {
    LONG x, y;
  };
  std::vector<Pair> pairs;
  const int n = Capability<Pair>(name, DC_ENUMRESOLUTIONS, out ? &pairs : nullptr);
  if (out && n > 0) {
    out->clear();
    for (const Pair& p : pairs) out->push_back({static_cast<int32_t>(p.x), static_cast<int32_t>(p.y)});
  }
  return n;
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
