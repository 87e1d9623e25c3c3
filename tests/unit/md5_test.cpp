#include <gtest/gtest.h>

#include <string>

#include "platform/md5.h"
#include "support/daemon_harness.h"

namespace {

using tb::platform::Md5HexOfFile;
using tb::platform::Md5HexOfText;

TEST(Md5, KnownDigestsOfTexts) {
  EXPECT_EQ(Md5HexOfText(""), "d41d8cd98f00b204e9800998ecf8427e");
  EXPECT_EQ(Md5HexOfText("abc"), "900150983cd24fb0d6963f7d28e17f72");
  EXPECT_EQ(Md5HexOfText("message digest"), "f96b697d7cb7938d525a2f31aaf161d0");
  EXPECT_EQ(Md5HexOfText(std::string("a\0b", 3)), "70350f6027bce3713f6b76473084309b");
}

TEST(Md5, FileIsReadInBlocksAndSized) {
  tbtest::TempFolder folder;
  // Sizes around the 8192-byte block: the digest must cover every byte once.
  for (size_t size : {0u, 1u, 8191u, 8192u, 8193u, 3 * 8192u + 5}) {
    std::string bytes(size, '\0');
    for (size_t i = 0; i < size; ++i) bytes[i] = static_cast<char>(i * 31 + 7);
    tbtest::WriteFile(folder / "f.bin", bytes);
    int64_t measured = -1;
    EXPECT_EQ(Md5HexOfFile(folder / "f.bin", measured), Md5HexOfText(bytes)) << size;
    EXPECT_EQ(measured, static_cast<int64_t>(size));
  }
}

TEST(Md5, FileFailuresAreErrorTexts) {
  tbtest::TempFolder folder;
  int64_t size = 99;
  EXPECT_EQ(Md5HexOfFile(folder / "missing.pdf", size), "Error: Cannot open file: " + (folder / "missing.pdf"));
  EXPECT_EQ(size, 0);
  // A folder opens but cannot be read: never the digest of "nothing".
  std::string result = Md5HexOfFile(folder.path(), size);
  EXPECT_EQ(result.rfind("Error: Cannot ", 0), 0u) << result;
}

}  // namespace
