// The file operations on paths that callers and other local accounts can
// influence: what a named path may be, how temporary files are created, and
// how a cached document is replaced under a reader's eyes.
#include <fcntl.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <filesystem>
#include <memory>
#include <string>
#include <thread>

#include "platform/file_ops.h"
#include "platform/md5.h"
#include "support/daemon_harness.h"

namespace {

namespace fs = std::filesystem;
using tb::platform::CreateNewFile;
using tb::platform::MoveDurability;
using tb::platform::MoveFileReplacing;
using tb::platform::OpenRegularFile;

// A bound Unix socket lying in the folder for as long as the object lives.
class SocketFile {
 public:
  explicit SocketFile(const std::string& path) : fd_(::socket(AF_UNIX, SOCK_STREAM, 0)) {
    sockaddr_un addr{};
    addr.sun_family = AF_UNIX;
    path.copy(addr.sun_path, sizeof addr.sun_path - 1);
    bound_ = ::bind(fd_, reinterpret_cast<sockaddr*>(&addr), sizeof addr) == 0;
  }
  ~SocketFile() { ::close(fd_); }
  bool bound() const { return bound_; }

 private:
  int fd_;
  bool bound_ = false;
};

TEST(OpenRegularFile, AnythingButARegularFileIsRefusedAtOnce) {
  tbtest::TempFolder folder;
  ASSERT_EQ(::mkfifo((folder / "fifo").c_str(), 0600), 0);
  fs::create_symlink("/dev/zero", folder / "zero-link");
  fs::create_directory(folder / "dir");
  SocketFile socket(folder / "sock");
  ASSERT_TRUE(socket.bound());

  for (std::string path : {folder / "fifo", std::string("/dev/zero"), folder / "zero-link",
                           folder / "dir", folder / "sock", std::string("/dev/tty")}) {
    const auto start = std::chrono::steady_clock::now();
    std::string refusal;
    EXPECT_EQ(OpenRegularFile(path, refusal), nullptr) << path;
    EXPECT_EQ(refusal, "not a regular file") << path;
    int64_t size = -1;
    EXPECT_EQ(tb::platform::Md5HexOfFile(path, size, &refusal), "Error: Cannot open file: " + path);
    EXPECT_EQ(refusal, "not a regular file") << path;
    EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::seconds(2)) << path;
  }
  // Nothing kept the FIFO open: a writer finds no reader.
  const int writer = ::open((folder / "fifo").c_str(), O_WRONLY | O_NONBLOCK);
  EXPECT_EQ(writer, -1);
  EXPECT_EQ(errno, ENXIO);
  if (writer >= 0) ::close(writer);
}

TEST(OpenRegularFile, OrdinaryFilesAndFailures) {
  tbtest::TempFolder folder;
  tbtest::WriteFile(folder / "doc.pdf", "%PDF-1.4 x");
  fs::create_symlink(folder / "doc.pdf", folder / "link.pdf");  // links to files are fine
  for (const std::string& path : {folder / "doc.pdf", folder / "link.pdf"}) {
    std::string refusal = "stale";
    std::unique_ptr<tb::platform::RegularFileReader> file = OpenRegularFile(path, refusal);
    ASSERT_NE(file, nullptr) << path;
    EXPECT_EQ(refusal, "");
    EXPECT_EQ(file->Size(), 10);
    char buffer[64];
    EXPECT_EQ(file->Read(buffer, sizeof buffer), 10);
    EXPECT_EQ(std::string(buffer, 10), "%PDF-1.4 x");
    EXPECT_EQ(file->Read(buffer, sizeof buffer), 0);
  }
  // A missing file is an ordinary failure, not a refusal.
  std::string refusal = "stale";
  EXPECT_EQ(OpenRegularFile(folder / "missing.pdf", refusal), nullptr);
  EXPECT_EQ(refusal, "");
  EXPECT_EQ(OpenRegularFile(std::string("/etc/hostname\0/dev/zero", 23), refusal), nullptr);
  EXPECT_EQ(refusal, "NUL character in path");
}

TEST(CreateNewFile, NeverReusesAnExistingNameOrFollowsALink) {
  tbtest::TempFolder folder;
  tbtest::WriteFile(folder / "victim", "keep");
  fs::create_symlink(folder / "victim", folder / "link.tmp");
  fs::create_symlink(folder / "nowhere", folder / "dangling.tmp");
  tbtest::WriteFile(folder / "existing.tmp", "old");
  uint32_t error = 0;
  EXPECT_EQ(CreateNewFile(folder / "link.tmp", error), nullptr);
  EXPECT_EQ(error, static_cast<uint32_t>(EEXIST));
  EXPECT_EQ(CreateNewFile(folder / "dangling.tmp", error), nullptr);
  EXPECT_FALSE(fs::exists(folder / "nowhere"));
  EXPECT_EQ(CreateNewFile(folder / "existing.tmp", error), nullptr);
  EXPECT_EQ(tbtest::ReadFile(folder / "victim"), "keep");
  EXPECT_EQ(tbtest::ReadFile(folder / "existing.tmp"), "old");
}

TEST(CreateNewFile, ReadableByOtherAccountsWhateverTheMask) {
  tbtest::TempFolder folder;
  const mode_t previous = ::umask(077);
  uint32_t error = 0;
  std::unique_ptr<tb::platform::NewFile> file = CreateNewFile(folder / "doc.pdf", error);
  ::umask(previous);
  ASSERT_NE(file, nullptr) << error;
  EXPECT_TRUE(file->Write("abc", 3));
  EXPECT_TRUE(file->Sync());
  EXPECT_TRUE(file->Close());
  struct stat st;
  ASSERT_EQ(::stat((folder / "doc.pdf").c_str(), &st), 0);
  EXPECT_EQ(st.st_mode & 0777, 0644u);
  EXPECT_EQ(tbtest::ReadFile(folder / "doc.pdf"), "abc");
}

// A reader that opens the cached name while it is replaced again and again
// must always find a whole file: the old one or the new one.
TEST(MoveFileReplacing, ReplacedNameIsNeverMissingForAReader) {
  tbtest::TempFolder folder;
  const std::string target = folder / "doc.pdf", partial = folder / "intake.pdf.partial";
  const std::string content(64 * 1024, 'x');
  tbtest::WriteFile(target, content);
  for (MoveDurability durability : {MoveDurability::kNoWait, MoveDurability::kWriteThrough}) {
    std::atomic<bool> stop{false};
    std::atomic<int> misses{0}, opens{0}, wrong{0};
    std::thread reader([&] {
      while (!stop) {
        const int fd = ::open(target.c_str(), O_RDONLY);
        if (fd < 0) {
          ++misses;
          continue;
        }
        struct stat st;
        if (::fstat(fd, &st) != 0 || st.st_size != static_cast<off_t>(content.size())) ++wrong;
        ::close(fd);
        ++opens;
      }
    });
    const int rounds = durability == MoveDurability::kNoWait ? 2000 : 100;
    for (int i = 0; i < rounds; ++i) {
      tbtest::WriteFile(partial, content);
      uint32_t error = 0;
      ASSERT_TRUE(MoveFileReplacing(partial, target, error, durability)) << error;
    }
    stop = true;
    reader.join();
    EXPECT_EQ(misses, 0);
    EXPECT_EQ(wrong, 0);
    EXPECT_GT(opens, 0);
    EXPECT_FALSE(fs::exists(partial));  // the old file went with the swap
    EXPECT_EQ(tbtest::ReadFile(target), content);
  }
}

}  // namespace
