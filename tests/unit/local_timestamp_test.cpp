#include <gtest/gtest.h>

#include <cstdlib>
#include <ctime>

#include "base/local_timestamp.h"

namespace {

TEST(LocalTimestamp, FixedWidthLocalTimeWithMilliseconds) {
  const char* previous = std::getenv("TZ");
  std::string saved = previous ? previous : "";
  ::setenv("TZ", "UTC", 1);
  ::tzset();
  using namespace std::chrono;
  // 2024-03-05 14:07:09.042 UTC
  system_clock::time_point t = system_clock::time_point(seconds(1709647629)) + milliseconds(42);
  EXPECT_EQ(tb::LocalTimestamp(t), "2024-03-05 14:07:09.042");
  EXPECT_EQ(tb::LocalTimestamp(t + milliseconds(958)), "2024-03-05 14:07:10.000");
  ::setenv("TZ", "CET-1", 1);  // an hour east: local time, not UTC
  ::tzset();
  EXPECT_EQ(tb::LocalTimestamp(t), "2024-03-05 15:07:09.042");
  if (previous) ::setenv("TZ", saved.c_str(), 1); else ::unsetenv("TZ");
  ::tzset();
}

}  // namespace
