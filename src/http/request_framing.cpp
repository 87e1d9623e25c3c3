#include "http/request_framing.h"

#include <cstddef>
#include <string_view>
#include <vector>

namespace tb {
namespace {

bool IsBlank(char c) { return c == ' ' || c == '\t'; }

std::string_view Trim(std::string_view s) {
  while (!s.empty() && IsBlank(s.front())) s.remove_prefix(1);
  while (!s.empty() && IsBlank(s.back())) s.remove_suffix(1);
  return s;
}

bool SameWord(std::string_view a, std::string_view b) {
  if (a.size() != b.size()) return false;
  for (size_t i = 0; i < a.size(); ++i) {
    char x = a[i], y = b[i];
    if (x >= 'A' && x <= 'Z') x = static_cast<char>(x - 'A' + 'a');
    if (y >= 'A' && y <= 'Z') y = static_cast<char>(y - 'A' + 'a');
    if (x != y) return false;
  }
  return true;
}

// Every comma-separated element of every field line of `name`; empty
// elements are kept, so that "chunked," is not a lone "chunked".
std::vector<std::string_view> ListElements(const httplib::Request& req, const char* name) {
  std::vector<std::string_view> out;
  auto range = req.headers.equal_range(name);
  for (auto it = range.first; it != range.second; ++it) {
    std::string_view value = it->second;
    for (;;) {
      const size_t comma = value.find(',');
      out.push_back(Trim(value.substr(0, comma)));
      if (comma == std::string_view::npos) break;
      value.remove_prefix(comma + 1);
    }
  }
  return out;
}

bool IsDecimal(std::string_view s) {
  if (s.empty() || s.size() > 19) return false;
  for (char c : s) {
    if (c < '0' || c > '9') return false;
  }
  return true;
}

}  // namespace

FramingVerdict JudgeFraming(const httplib::Request& req) {
  const bool hasCoding = req.has_header("Transfer-Encoding");
  const bool hasLength = req.has_header("Content-Length");
  if (hasCoding) {
    // A length beside a coding is what request smuggling is made of.
    if (hasLength) return {400, "Transfer-Encoding and Content-Length together"};
    if (req.version == "HTTP/1.0") return {400, "Transfer-Encoding in an HTTP/1.0 request"};
    const std::vector<std::string_view> codings = ListElements(req, "Transfer-Encoding");
    if (codings.size() != 1 || !SameWord(codings.front(), "chunked")) {
      return {400, "only a lone chunked transfer coding is accepted"};
    }
  } else if (hasLength) {
    // Repeated lengths are one length only when they all agree.
    const std::vector<std::string_view> lengths = ListElements(req, "Content-Length");
    for (std::string_view length : lengths) {
      if (!IsDecimal(length) || length != lengths.front()) {
        return {400, "Content-Length is not one decimal number"};
      }
    }
  }
  for (std::string_view coding : ListElements(req, "Content-Encoding")) {
    // Decoding would make the body larger than what was sent and counted.
    if (!SameWord(coding, "identity")) return {415, "Content-Encoding is not supported"};
  }
  return {};
}

bool CarriesBody(const httplib::Request& req) {
  if (req.has_header("Transfer-Encoding")) return true;
  if (req.has_header("Content-Length")) {
    return req.get_header_value("Content-Length").find_first_not_of('0') != std::string::npos;
  }
  return req.method == "POST" || req.method == "PUT" || req.method == "PATCH" ||
         req.method == "DELETE" || req.method == "PRI";
}

}  // namespace tb
