#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>

#include "platform/file_ops.h"
#include "platform/posix/unique_fd.h"

namespace tb::platform {

bool MoveFileReplacing(const std::string& from, const std::string& to, uint32_t& error,
                       MoveDurability durability) {
  if (durability == MoveDurability::kNoWait) {
    // Renaming over an existing file makes ext4 flush the new file's data
    // right away (and the next sync anywhere waits for it): tens of
    // milliseconds for a large document. Without the old name in the way the
    // data is written back in its own time. A reader that still has the old
    // file open keeps reading it.
    ::unlink(to.c_str());
  }
  if (::rename(from.c_str(), to.c_str()) != 0) {
    error = static_cast<uint32_t>(errno);
    return false;
  }
  error = 0;
  if (durability == MoveDurability::kNoWait) return true;
  // The rename is atomic; syncing the folder makes it durable, as the
  // write-through move does on Windows. A failed sync does not undo the move.
  std::string::size_type cut = to.find_last_of('/');
  std::string folder = cut == std::string::npos ? "." : (cut == 0 ? "/" : to.substr(0, cut));
  Fd dir(::open(folder.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC));
  if (dir.get() >= 0) ::fsync(dir.get());
  return true;
}

void SetFileTimesToNow(const std::string& path) { ::utimensat(AT_FDCWD, path.c_str(), nullptr, 0); }

}  // namespace tb::platform
