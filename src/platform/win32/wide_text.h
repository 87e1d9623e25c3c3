#pragma once
// UTF-8 <-> UTF-16 at the Win32 boundary, with the core's strict conversions:
// invalid input gives the empty text.
#include <string>
#include <string_view>

#include "platform/utf16.h"

namespace tb::platform {

static_assert(sizeof(wchar_t) == sizeof(char16_t), "Windows wide text is UTF-16");

inline std::string WideToUtf8(std::wstring_view text) {
  return tb::ToUtf8(std::u16string_view(reinterpret_cast<const char16_t*>(text.data()), text.size()));
}

inline std::wstring Utf8ToWide(std::string_view text) {
  std::u16string wide = tb::FromUtf8(text);
  return std::wstring(reinterpret_cast<const wchar_t*>(wide.data()), wide.size());
}

}  // namespace tb::platform
