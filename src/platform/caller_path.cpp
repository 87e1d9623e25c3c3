#include "platform/caller_path.h"

#include <array>

namespace tb::platform {
namespace {

char Lower(char c) { return c >= 'A' && c <= 'Z' ? static_cast<char>(c - 'A' + 'a') : c; }

bool StartsWithNoCase(std::string_view text, std::string_view prefix) {
  if (text.size() < prefix.size()) return false;
  for (size_t i = 0; i < prefix.size(); ++i) {
    if (Lower(text[i]) != Lower(prefix[i])) return false;
  }
  return true;
}

bool EqualsNoCase(std::string_view a, std::string_view b) {
  return a.size() == b.size() && StartsWithNoCase(a, b);
}

bool IsDriveLetter(char c) { return (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z'); }

// Windows takes the last component for a device when what comes before its
// first dot or colon, trailing blanks dropped, is a device name.
bool NamesDevice(std::string_view component) {
  component = component.substr(0, component.find_first_of(".:"));
  while (!component.empty() && component.back() == ' ') component.remove_suffix(1);
  static constexpr std::array<std::string_view, 6> kNames = {"con",    "prn",    "aux",
                                                             "nul",    "conin$", "conout$"};
  for (std::string_view name : kNames) {
    if (EqualsNoCase(component, name)) return true;
  }
  if (component.size() < 4 || !(StartsWithNoCase(component, "com") ||
                                 StartsWithNoCase(component, "lpt"))) {
    return false;
  }
  std::string_view number = component.substr(3);
  if (number.size() == 1) return number[0] >= '0' && number[0] <= '9';
  // Superscript one, two and three count as digits here.
  return number == "\xC2\xB9" || number == "\xC2\xB2" || number == "\xC2\xB3";
}

}  // namespace

std::string PathTextRefusal(std::string_view path) {
  if (path.find('\0') != std::string_view::npos) return "NUL character in path";
  return {};
}

std::string WindowsPathRefusal(std::string_view path) {
  if (std::string refusal = PathTextRefusal(path); !refusal.empty()) return refusal;
  // Windows reads forward slashes as backslashes in all but the literal
  // \\?\ prefix, and a mixed prefix means the same as the plain one.
  std::string p(path);
  for (char& c : p) {
    if (c == '/') c = '\\';
  }
  if (StartsWithNoCase(p, "\\??\\")) return "device path";
  if (StartsWithNoCase(p, "\\\\")) {
    if (StartsWithNoCase(p, "\\\\.\\")) return "device path";
    if (StartsWithNoCase(p, "\\\\?\\")) {
      if (StartsWithNoCase(p, "\\\\?\\UNC\\")) return "network path";
      const bool drivePath =
          p.size() >= 7 && IsDriveLetter(p[4]) && p[5] == ':' && p[6] == '\\';
      if (!drivePath) return "device path";
    } else {
      return "network path";
    }
  }
  std::string_view last(p);
  if (size_t cut = last.find_last_of('\\'); cut != std::string_view::npos) {
    last.remove_prefix(cut + 1);
  } else if (last.size() >= 2 && IsDriveLetter(last[0]) && last[1] == ':') {
    last.remove_prefix(2);  // drive-relative: C:nul
  }
  if (NamesDevice(last)) return "device path";
  return {};
}

}  // namespace tb::platform
