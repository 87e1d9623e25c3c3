#pragma once
#include <string>

namespace tb::platform {

// Reads the folder's owner and access list and judges them
// (JudgeServiceFolder); a folder that cannot be read is refused too.
std::string ServiceFolderProblemWin32(const std::string& folder);

}  // namespace tb::platform
