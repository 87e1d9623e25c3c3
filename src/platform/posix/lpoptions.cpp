#include "platform/posix/lpoptions.h"

#include <cups/cups.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cctype>
#include <cerrno>
#include <charconv>
#include <cmath>

#include "platform/posix/unique_fd.h"

namespace tb::platform {
namespace {

bool EqualsNoCase(std::string_view a, std::string_view b) {
  return a.size() == b.size() &&
         std::equal(a.begin(), a.end(), b.begin(), [](char x, char y) {
           return std::tolower(static_cast<unsigned char>(x)) ==
                  std::tolower(static_cast<unsigned char>(y));
         });
}

// A whole decimal number without sign or spaces; false when it does not fit.
bool ParseCount(std::string_view text, int& value) {
  if (text.empty() || !std::isdigit(static_cast<unsigned char>(text[0]))) return false;
  const auto [end, ec] = std::from_chars(text.data(), text.data() + text.size(), value);
  return ec == std::errc() && end == text.data() + text.size();
}

bool ParseLength(std::string_view text, double& value) {
  if (text.empty() || !(std::isdigit(static_cast<unsigned char>(text[0])) || text[0] == '.'))
    return false;
  const auto [end, ec] = std::from_chars(text.data(), text.data() + text.size(), value);
  return ec == std::errc() && end == text.data() + text.size() && std::isfinite(value) &&
         value > 0 && value <= kMaxSheetPt;
}

}  // namespace

bool ReadLpoptionsFile(const std::string& path, std::string& text) {
  text.clear();
  Fd fd(::open(path.c_str(), O_RDONLY | O_NONBLOCK | O_NOFOLLOW | O_NOCTTY | O_CLOEXEC));
  if (fd.get() < 0) return false;
  struct stat st {};
  if (::fstat(fd.get(), &st) != 0) return false;
  if (!S_ISREG(st.st_mode)) {
    errno = EINVAL;
    return false;
  }
  text.resize(kMaxLpoptionsBytes);
  size_t used = 0;
  while (used < text.size()) {
    const ssize_t n = ::read(fd.get(), text.data() + used, text.size() - used);
    if (n < 0 && errno == EINTR) continue;
    if (n < 0) {
      text.clear();
      return false;
    }
    if (n == 0) break;
    used += static_cast<size_t>(n);
  }
  text.resize(used);
  return true;
}

bool QueueOptions(const std::string& text, const std::string& queue,
                  std::map<std::string, std::string>& options) {
  bool found = false;
  size_t start = 0;
  while (start < text.size()) {
    size_t end = text.find('\n', start);
    if (end == std::string::npos) end = text.size();
    const std::string line = text.substr(start, end - start);
    start = end + 1;
    const size_t sp = line.find_first_of(" \t");
    if (sp == std::string::npos) continue;
    const std::string_view keyword(line.data(), sp);
    if (!EqualsNoCase(keyword, "Dest") && !EqualsNoCase(keyword, "Default")) continue;
    const size_t nameStart = line.find_first_not_of(" \t", sp);
    if (nameStart == std::string::npos) continue;
    size_t nameEnd = line.find_first_of(" \t", nameStart);
    if (nameEnd == std::string::npos) nameEnd = line.size();
    if (!EqualsNoCase(std::string_view(line).substr(nameStart, nameEnd - nameStart), queue))
      continue;
    found = true;
    cups_option_t* parsed = nullptr;
    const int n = cupsParseOptions(line.c_str() + nameEnd, 0, &parsed);
    for (int i = 0; i < n; ++i) options[parsed[i].name] = parsed[i].value ? parsed[i].value : "";
    cupsFreeOptions(n, parsed);
  }
  return found;
}

bool ParseResolution(std::string_view text, Resolution& r) {
  bool perCm = false;
  if (text.size() > 4 && text.substr(text.size() - 4) == "dpcm") {
    perCm = true;
    text.remove_suffix(4);
  } else if (text.size() > 3 && text.substr(text.size() - 3) == "dpi") {
    text.remove_suffix(3);
  } else {
    return false;
  }
  int x = 0, y = 0;
  const size_t cross = text.find('x');
  if (cross == std::string_view::npos) {
    if (!ParseCount(text, x)) return false;
    y = x;
  } else if (!ParseCount(text.substr(0, cross), x) || !ParseCount(text.substr(cross + 1), y)) {
    return false;
  }
  double dx = x, dy = y;
  if (perCm) {
    dx = std::floor(dx * 2.54 + 0.5);
    dy = std::floor(dy * 2.54 + 0.5);
  }
  if (dx < 1 || dy < 1 || dx > kMaxDpi || dy > kMaxDpi) return false;
  r = {static_cast<int32_t>(dx), static_cast<int32_t>(dy)};
  return true;
}

bool ParsePointSize(std::string_view text, double& widthPt, double& lengthPt) {
  if (text.size() < 4 || text[0] != 'w') return false;
  const size_t h = text.find('h', 1);
  if (h == std::string_view::npos) return false;
  double w = 0, l = 0;
  if (!ParseLength(text.substr(1, h - 1), w) || !ParseLength(text.substr(h + 1), l)) return false;
  widthPt = w;
  lengthPt = l;
  return true;
}

bool MediaNameFitsLookup(std::string_view name) {
  if (name.size() > 128) return false;
  size_t run = 0;
  for (size_t i = 0; i < name.size(); ++i) {
    const unsigned char c = static_cast<unsigned char>(name[i]);
    run = std::isdigit(c) ? run + 1 : 0;
    if (run > 4) return false;
    // A unit right after a number: "m" (metres) or "ft", at the end or
    // before ".FullBleed".
    if (i > 0 && std::isdigit(static_cast<unsigned char>(name[i - 1]))) {
      std::string_view rest = name.substr(i);
      const size_t dot = rest.find('.');
      std::string unit(rest.substr(0, dot));
      std::transform(unit.begin(), unit.end(), unit.begin(),
                     [](unsigned char u) { return static_cast<char>(std::tolower(u)); });
      if (unit == "m" || unit == "ft") return false;
    }
  }
  return true;
}

bool ParseOrientation(std::string_view text, int& orientation) {
  int value = 0;
  if (!ParseCount(text, value) || value < 3 || value > 6) return false;
  orientation = value;
  return true;
}

}  // namespace tb::platform
