#include "base/local_timestamp.h"

#include <cstdio>
#include <ctime>

namespace tb {

std::string LocalTimestamp() { return LocalTimestamp(std::chrono::system_clock::now()); }

std::string LocalTimestamp(std::chrono::system_clock::time_point when) {
  using namespace std::chrono;
  auto sinceEpoch = when.time_since_epoch();
  auto whole = floor<seconds>(sinceEpoch);
  long long millis = duration_cast<milliseconds>(sinceEpoch - whole).count();
  std::time_t t = static_cast<std::time_t>(whole.count());
  std::tm local{};
#ifdef _WIN32
  localtime_s(&local, &t);
#else
  localtime_r(&t, &local);
#endif
  char buf[40];
  std::snprintf(buf, sizeof buf, "%04d-%02d-%02d %02d:%02d:%02d.%03d", local.tm_year + 1900,
                local.tm_mon + 1, local.tm_mday, local.tm_hour, local.tm_min, local.tm_sec,
                static_cast<int>(millis));
  return buf;
}

}  // namespace tb
