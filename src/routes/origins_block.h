#pragma once
// The status page's part about the allow-list of origins.
#include <string>
#include <vector>

namespace tb {

// Whether the list is on, each listed origin with a "remove" link, the
// recently refused ones with an "allow" link, and a form to allow another.
void AppendOriginsBlock(std::string& page, const std::vector<std::string>& allowed,
                        const std::vector<std::string>& refused);

}  // namespace tb
