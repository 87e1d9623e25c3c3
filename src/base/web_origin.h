#pragma once
// Web origins as the allow-list keeps them: scheme://host[:port], the scheme
// and host in lower case, the scheme's default port left out, no path.
#include <string>
#include <string_view>

namespace tb {

// The origin in its one stored form, or false with a message that says what
// is wrong with `text` (surrounding spaces and a single trailing "/" are
// accepted; a path, query, fragment, user name or non-ASCII host are not).
bool NormalizeOrigin(std::string_view text, std::string& origin, std::string& error);

}  // namespace tb
