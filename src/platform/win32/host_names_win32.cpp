#include "platform/host_names.h"

#include <windows.h>

#include "platform/win32/wide_text.h"

namespace tb::platform {
namespace {

std::string ComputerName(COMPUTER_NAME_FORMAT format) {
  wchar_t buffer[256] = {};
  DWORD size = 256;
  if (!GetComputerNameExW(format, buffer, &size)) return {};
  return WideToUtf8(std::wstring_view(buffer, size));
}

}  // namespace

std::vector<std::string> MachineHostNames() {
  std::vector<std::string> names;
  for (COMPUTER_NAME_FORMAT format :
       {ComputerNameDnsHostname, ComputerNameDnsFullyQualified, ComputerNameNetBIOS}) {
    std::string name = ComputerName(format);
    if (!name.empty()) names.push_back(std::move(name));
  }
  return names;
}

}  // namespace tb::platform
