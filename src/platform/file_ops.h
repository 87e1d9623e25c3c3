#pragma once
// File operations the portable core cannot express with the standard library.
#include <cstdint>
#include <memory>
#include <string>

namespace tb::platform {

// How long a move waits: until it is on disk, or only until it is done.
enum class MoveDurability { kWriteThrough, kNoWait };

// Moves `from` onto `to` (UTF-8 paths), replacing an existing file in one
// step: a reader opening `to` meanwhile finds the old file or the new one,
// never none. With kWriteThrough it does not return before the move is on
// disk (MoveFileExW with MOVEFILE_REPLACE_EXISTING | MOVEFILE_WRITE_THROUGH;
// rename and a sync of the folder on Linux); kNoWait leaves that to the
// system and, where the file system allows, does not make it write the new
// file's data out early either. False with the OS error number.
bool MoveFileReplacing(const std::string& from, const std::string& to, uint32_t& error,
                       MoveDurability durability = MoveDurability::kWriteThrough);

// Sets the file's last-access and last-write times to now (not its creation
// time); every failure is ignored.
void SetFileTimesToNow(const std::string& path);

// A file opened for reading and known, from its open handle, to be a regular
// file. The open never waits on the file (a FIFO, a device or a terminal
// cannot hold the caller), and neither do the reads.
// One owner; closed when destroyed.
class RegularFileReader {
 public:
  virtual ~RegularFileReader() = default;
  // The size measured at the open.
  virtual int64_t Size() const = 0;
  // Up to `size` bytes; 0 at the end of the file, -1 on a read error.
  virtual int64_t Read(char* data, size_t size) = 0;
};

// Opens a path that a caller named. Null when the path cannot be opened as a
// regular file; `refusal` then says why when the path was refused for what it
// names ("not a regular file", "device path", "network path", ...) and stays
// empty for an ordinary failure (missing file, no rights).
std::unique_ptr<RegularFileReader> OpenRegularFile(const std::string& pathUtf8,
                                                   std::string& refusal);

// A file that this call alone created: it fails when the name exists, also
// as a link, and never follows a link. The file is readable by every local
// account (the print program may run as another user than the daemon) and
// writable by the owner only.
class NewFile {
 public:
  virtual ~NewFile() = default;  // closes the file if still open
  virtual bool Write(const void* data, size_t size) = 0;
  // Forces the file's data to disk.
  virtual bool Sync() = 0;
  // False when a late write error shows at the close.
  virtual bool Close() = 0;
};

// Null with the OS error number when the file cannot be created; the caller
// owns the file, and removing it after a failed write is the caller's part.
std::unique_ptr<NewFile> CreateNewFile(const std::string& pathUtf8, uint32_t& error);

// New files of the daemon (database, logs) are kept from other local
// accounts; files meant for the print program get their modes explicitly.
// Process-wide (the umask on Linux): start-up, before other threads create files.
void RestrictNewFileModes();

// Lets every local account list and read a folder the daemon owns (the
// document cache, read by the print program running as the session user or
// the service account). Failures are ignored.
void ShareFolderForReading(const std::string& pathUtf8);

}  // namespace tb::platform
