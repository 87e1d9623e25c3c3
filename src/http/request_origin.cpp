#include "http/request_origin.h"

#include <cstddef>

namespace tb {
namespace {

char Lower(char c) { return c >= 'A' && c <= 'Z' ? static_cast<char>(c - 'A' + 'a') : c; }

// Four decimal parts of at most three digits, each at most 255.
bool IsIpv4Literal(std::string_view s, unsigned& first) {
  int parts = 0;
  size_t i = 0;
  while (parts < 4) {
    size_t digits = 0;
    unsigned value = 0;
    while (i < s.size() && s[i] >= '0' && s[i] <= '9' && digits < 4) {
      value = value * 10 + static_cast<unsigned>(s[i] - '0');
      ++i;
      ++digits;
    }
    if (digits == 0 || digits > 3 || value > 255) return false;
    if (parts == 0) first = value;
    ++parts;
    if (parts < 4) {
      if (i >= s.size() || s[i] != '.') return false;
      ++i;
    }
  }
  return i == s.size();
}

bool IsHostChar(char c) {
  return (c >= 'a' && c <= 'z') || (c >= '0' && c <= '9') || c == '-' || c == '.' || c == '_';
}

}  // namespace

std::string HostOfHeader(std::string_view value) {
  std::string host;
  if (!value.empty() && value.front() == '[') {
    const size_t close = value.find(']');
    if (close == std::string_view::npos) return {};
    for (char c : value.substr(0, close + 1)) host += Lower(c);
    value.remove_prefix(close + 1);
  } else {
    const size_t colon = value.find(':');
    for (char c : value.substr(0, colon)) {
      c = Lower(c);
      if (!IsHostChar(c)) return {};
      host += c;
    }
    value.remove_prefix(colon == std::string_view::npos ? value.size() : colon);
  }
  // What may follow the host: a port.
  if (!value.empty()) {
    if (value.front() != ':') return {};
    for (char c : value.substr(1)) {
      if (c < '0' || c > '9') return {};
    }
  }
  if (host.size() > 1 && host.back() == '.') host.pop_back();
  return host;
}

bool HostAllowed(const httplib::Request& req, const KnownHost& known) {
  const size_t count = req.get_header_value_count("Host");
  if (count == 0) return true;
  if (count > 1) return false;
  const std::string host = HostOfHeader(req.get_header_value("Host"));
  if (host.empty()) return false;
  unsigned first = 0;
  if (host == "localhost" || host == "[::1]" || (IsIpv4Literal(host, first) && first == 127)) {
    return true;
  }
  // The address the caller reached this machine on is one of its own.
  if (!req.local_addr.empty()) {
    const std::string local =
        req.local_addr.find(':') != std::string::npos ? "[" + req.local_addr + "]" : req.local_addr;
    if (host == local) return true;
  }
  return known && known(host);
}

bool FromCrossSitePage(const httplib::Request& req) {
  for (size_t i = 0, n = req.get_header_value_count("Sec-Fetch-Site"); i < n; ++i) {
    std::string value = req.get_header_value("Sec-Fetch-Site", i);
    for (char& c : value) c = Lower(c);
    if (value == "cross-site") return true;
  }
  return false;
}

}  // namespace tb
