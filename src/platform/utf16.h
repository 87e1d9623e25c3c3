#pragma once
// Strict UTF-8 <-> UTF-16 conversions. Inside the daemon all text is UTF-8;
// UTF-16 exists only where the Windows API needs it, which is why these
// live at the platform floor. Pure functions, safe from any thread.
#include <string>
#include <string_view>

namespace tb {

// Strict conversions, reading up to the first NUL. Invalid input (an unpaired
// surrogate, a malformed or overlong UTF-8 sequence) gives the empty text.
std::string ToUtf8(std::u16string_view text);
std::u16string FromUtf8(std::string_view text);

// The text up to its first NUL when that is valid UTF-8, else the empty text:
// what a round trip through FromUtf8 and ToUtf8 gives.
std::string StrictUtf8(std::string_view text);

}  // namespace tb
