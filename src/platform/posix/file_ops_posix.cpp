#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>

#include "platform/caller_path.h"
#include "platform/file_ops.h"
#include "platform/posix/unique_fd.h"

namespace tb::platform {
namespace {

// Owner writes; everyone reads, so the print program can read the document
// whichever account it runs as.
constexpr mode_t kSharedFileMode = 0644;
constexpr mode_t kSharedFolderMode = 0755;

bool IsRegularFile(const std::string& path) {
  struct stat st;
  return ::lstat(path.c_str(), &st) == 0 && S_ISREG(st.st_mode);
}

class PosixRegularFileReader : public RegularFileReader {
 public:
  PosixRegularFileReader(int fd, int64_t size) : fd_(fd), size_(size) {}
  int64_t Size() const override { return size_; }
  int64_t Read(char* data, size_t size) override {
    for (;;) {
      ssize_t got = ::read(fd_.get(), data, size);
      if (got >= 0) return got;
      if (errno != EINTR) return -1;
    }
  }

 private:
  Fd fd_;
  int64_t size_;
};

class PosixNewFile : public NewFile {
 public:
  explicit PosixNewFile(int fd) : fd_(fd) {}
  bool Write(const void* data, size_t size) override {
    const char* p = static_cast<const char*>(data);
    while (size > 0) {
      ssize_t done = ::write(fd_.get(), p, size);
      if (done < 0) {
        if (errno == EINTR) continue;
        return false;
      }
      p += done;
      size -= static_cast<size_t>(done);
    }
    return true;
  }
  bool Sync() override { return ::fsync(fd_.get()) == 0; }
  bool Close() override {
    const int fd = fd_.Release();
    return fd < 0 || ::close(fd) == 0;
  }

 private:
  Fd fd_;
};

}  // namespace

bool MoveFileReplacing(const std::string& from, const std::string& to, uint32_t& error,
                       MoveDurability durability) {
  if (durability == MoveDurability::kNoWait && IsRegularFile(to)) {
    // Renaming over an existing file makes ext4 write the new file's data out
    // at once (tens of milliseconds for a large document, and the next sync
    // anywhere waits for it). Swapping the two names is just as atomic for a
    // reader of `to` and is exempt from that; the old file, now under `from`,
    // is then removed. A reader that has it open keeps reading it.
    if (::renameat2(AT_FDCWD, from.c_str(), AT_FDCWD, to.c_str(), RENAME_EXCHANGE) == 0) {
      ::unlink(from.c_str());
      error = 0;
      return true;
    }
    // A file system without the swap takes the plain rename below.
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

std::unique_ptr<RegularFileReader> OpenRegularFile(const std::string& path,
                                                   std::string& refusal) {
  refusal = PathTextRefusal(path);
  if (!refusal.empty()) return nullptr;
  // Judged before the open as well, because opening a device can act on it
  // (a serial line, a tape); the check on the open descriptor below is the
  // one that counts.
  struct stat st;
  if (::stat(path.c_str(), &st) == 0 && !S_ISREG(st.st_mode)) {
    refusal = "not a regular file";
    return nullptr;
  }
  // Non-blocking: a FIFO swapped in meanwhile opens at once instead of
  // waiting for a writer, and stays non-blocking for the reads.
  Fd fd(::open(path.c_str(), O_RDONLY | O_NONBLOCK | O_NOCTTY | O_CLOEXEC));
  if (fd.get() < 0) {
    if (errno == ENXIO) refusal = "not a regular file";  // a socket
    return nullptr;
  }
  if (::fstat(fd.get(), &st) != 0) return nullptr;
  if (!S_ISREG(st.st_mode)) {
    refusal = "not a regular file";
    return nullptr;
  }
  return std::make_unique<PosixRegularFileReader>(fd.Release(), static_cast<int64_t>(st.st_size));
}

std::unique_ptr<NewFile> CreateNewFile(const std::string& path, uint32_t& error) {
  Fd fd(::open(path.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC,
               kSharedFileMode));
  if (fd.get() < 0 || ::fchmod(fd.get(), kSharedFileMode) != 0) {  // past the umask
    error = static_cast<uint32_t>(errno);
    if (fd.get() >= 0) ::unlink(path.c_str());
    return nullptr;
  }
  error = 0;
  return std::make_unique<PosixNewFile>(fd.Release());
}

void RestrictNewFileModes() {
  // Owner and group only: the database and the log carry printer names,
  // paths and client keys.
  ::umask(027);
}

void ShareFolderForReading(const std::string& path) {
  ::chmod(path.c_str(), kSharedFolderMode);
}

}  // namespace tb::platform
