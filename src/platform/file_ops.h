#pragma once
// File operations the portable core cannot express with the standard library.
#include <cstdint>
#include <string>

namespace tb::platform {

// How long a move waits: until it is on disk, or only until it is done.
enum class MoveDurability { kWriteThrough, kNoWait };

// Moves `from` onto `to` (UTF-8 paths), replacing an existing file. With
// kWriteThrough it does not return before the move is on disk (MoveFileExW
// with MOVEFILE_REPLACE_EXISTING | MOVEFILE_WRITE_THROUGH; rename and a sync
// of the folder on Linux); kNoWait leaves that to the system, and on Linux
// removes `to` first, so for a moment there is no file under that name (the
// callers hold the lock that every user of the name takes). Either way the
// file appears under `to` whole or not at all. False with the OS error number.
bool MoveFileReplacing(const std::string& from, const std::string& to, uint32_t& error,
                       MoveDurability durability = MoveDurability::kWriteThrough);

// Sets the file's last-access and last-write times to now (not its creation
// time); every failure is ignored.
void SetFileTimesToNow(const std::string& path);

}  // namespace tb::platform
