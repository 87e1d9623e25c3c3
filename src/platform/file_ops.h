#pragma once
// File operations the portable core cannot express with the standard library.
#include <cstdint>
#include <string>

namespace tb::platform {

// Moves `from` onto `to` (UTF-8 paths), replacing an existing file, and does
// not return before the move is on disk (MoveFileExW with
// MOVEFILE_REPLACE_EXISTING | MOVEFILE_WRITE_THROUGH; rename and a sync of the
// folder on Linux). False with the OS error number.
bool MoveFileReplacing(const std::string& from, const std::string& to, uint32_t& error);

// Sets the file's last-access and last-write times to now (not its creation
// time); every failure is ignored.
void SetFileTimesToNow(const std::string& path);

}  // namespace tb::platform
