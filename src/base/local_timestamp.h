#pragma once
#include <chrono>
#include <string>

namespace tb {

// Local wall-clock time as "YYYY-MM-DD hh:mm:ss.mmm", the time format of the
// print records: fixed width, so text order is time order. Any thread: no
// shared C time buffer is used.
std::string LocalTimestamp();
std::string LocalTimestamp(std::chrono::system_clock::time_point when);

}  // namespace tb
