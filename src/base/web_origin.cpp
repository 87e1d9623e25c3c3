#include "base/web_origin.h"

#include <string>

#include "base/value_bounds.h"

namespace tb {
namespace {

bool IsAlpha(char c) { return (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z'); }
bool IsDigit(char c) { return c >= '0' && c <= '9'; }

std::string Lower(std::string_view text) {
  std::string out(text);
  for (char& c : out) {
    if (c >= 'A' && c <= 'Z') c = static_cast<char>(c - 'A' + 'a');
  }
  return out;
}

// A name of letters, digits, "-" and "." (browsers send international names
// in their xn-- form), or an IPv6 literal in brackets.
bool ValidHost(const std::string& host) {
  if (host.empty()) return false;
  if (host.front() == '[') {
    if (host.size() < 4 || host.back() != ']') return false;
    for (size_t i = 1; i + 1 < host.size(); ++i) {
      const char c = host[i];
      if (!(IsDigit(c) || (c >= 'a' && c <= 'f') || c == ':' || c == '.')) return false;
    }
    return true;
  }
  for (char c : host) {
    if (!(IsAlpha(c) || IsDigit(c) || c == '-' || c == '.')) return false;
  }
  return host.front() != '.' && host.front() != '-';
}

}  // namespace

bool NormalizeOrigin(std::string_view text, std::string& origin, std::string& error) {
  origin.clear();
  const auto fail = [&](std::string why) {
    error = "not an origin (scheme://host[:port]): " + why;
    return false;
  };
  constexpr const char* kSpace = " \t\r\n";
  const size_t first = text.find_first_not_of(kSpace);
  if (first == std::string_view::npos) return fail("empty");
  text = text.substr(first, text.find_last_not_of(kSpace) - first + 1);
  if (text.size() > kMaxNameBytes) return fail("longer than " + std::to_string(kMaxNameBytes) + " bytes");

  const size_t colon = text.find("://");
  if (colon == std::string_view::npos || colon == 0) return fail("no scheme");
  const std::string scheme = Lower(text.substr(0, colon));
  if (!IsAlpha(scheme[0])) return fail("bad scheme");
  for (char c : scheme) {
    if (!(IsAlpha(c) || IsDigit(c) || c == '+' || c == '-' || c == '.')) return fail("bad scheme");
  }

  std::string_view rest = text.substr(colon + 3);
  if (!rest.empty() && rest.back() == '/') rest.remove_suffix(1);  // the root path only
  if (rest.find_first_of("/?#") != std::string_view::npos) {
    return fail("a path, query or fragment is not part of an origin");
  }
  if (rest.find('@') != std::string_view::npos) return fail("a user name is not part of an origin");

  // The port follows the last colon outside an IPv6 literal's brackets.
  std::string_view hostText = rest, portText;
  const size_t bracket = rest.rfind(']');
  const size_t portColon = rest.rfind(':');
  if (portColon != std::string_view::npos &&
      (bracket == std::string_view::npos || portColon > bracket)) {
    hostText = rest.substr(0, portColon);
    portText = rest.substr(portColon + 1);
  }
  const std::string host = Lower(hostText);
  if (!ValidHost(host)) {
    return fail(host.empty() ? "no host" : "the host may hold only ASCII letters, digits, '-' and '.'");
  }

  unsigned long port = 0;
  for (char c : portText) {
    if (!IsDigit(c)) return fail("the port is not a number");
    port = port * 10 + static_cast<unsigned long>(c - '0');
    if (port > 65535) return fail("the port is larger than 65535");
  }
  if (!portText.empty() && port == 0) return fail("port 0");
  const bool defaultPort = portText.empty() || (scheme == "http" && port == 80) ||
                           (scheme == "https" && port == 443);

  origin = scheme + "://" + host;
  if (!defaultPort) origin += ":" + std::to_string(port);
  return true;
}

}  // namespace tb
