#pragma once
// Text helpers shared by every handler; the strict UTF conversions come from
// the platform floor and are re-exported here.
#include <string>
#include <string_view>

#include "platform/utf16.h"

namespace tb {

// URL component encoding: letters, digits and "-._~" stay, every other byte
// becomes "%" and two upper-case hex digits. Pure: any thread.
std::string PercentEncode(std::string_view text);

}  // namespace tb
