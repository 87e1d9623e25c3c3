#include <gtest/gtest.h>

#include <string>

#include "platform/caller_path.h"

namespace {

using tb::platform::WindowsPathRefusal;

TEST(WindowsPathRefusal, NetworkPathsInEverySpelling) {
  for (const char* path : {"\\\\host\\share\\label.pdf", "//host/share/label.pdf",
                           "\\/host\\share\\x.pdf", "\\\\?\\UNC\\host\\share\\x.pdf",
                           "//?/unc/host/share/x.pdf", "\\\\192.168.1.9\\c$\\x.pdf"}) {
    EXPECT_EQ(WindowsPathRefusal(path), "network path") << path;
  }
}

TEST(WindowsPathRefusal, DeviceAndRawPaths) {
  for (const char* path :
       {"\\\\.\\PhysicalDrive0", "//./COM1", "\\\\.\\pipe\\x", "\\\\.\\C:\\label.pdf",
        "\\\\?\\GLOBALROOT\\Device\\Null", "\\\\?\\Volume{1b3b}\\x.pdf", "\\??\\C:\\x.pdf",
        "/?\?/UNC/host/s/x", "CON", "nul", "C:\\x\\nul.txt", "C:/x/NUL.tar.gz", "x\\Com1",
        "lpt9.pdf", "COM0", "aux ", "prn.", "nul .txt", "C:con", "D:\\a\\conin$",
        "CONOUT$.log", "com\xC2\xB9", "lpt\xC2\xB3.pdf", "COM1:", "c:\\dir\\con:stream"}) {
    EXPECT_EQ(WindowsPathRefusal(path), "device path") << path;
  }
}

TEST(WindowsPathRefusal, OrdinaryFilesAreLeftToTheOpen) {
  for (const char* path :
       {"C:\\labels\\a.pdf", "C:/labels/a.pdf", "\\\\?\\C:\\labels\\a.pdf", "labels\\a.pdf",
        "\\labels\\a.pdf", "C:\\nul\\a.pdf", "C:\\x\\null.txt", "C:\\x\\console.pdf",
        "C:\\x\\com10", "C:\\x\\com", "C:\\x\\lptx.pdf", "C:\\x\\auxiliary", "C:\\x\\mycon",
        "a.pdf:stream", "C:\\dir.with.dots\\file", ""}) {
    EXPECT_EQ(WindowsPathRefusal(path), "") << path;
  }
}

TEST(WindowsPathRefusal, NulCharacterIsRefusedEverywhere) {
  EXPECT_EQ(WindowsPathRefusal(std::string("C:\\a.pdf\0\\\\host\\s", 17)), "NUL character in path");
  EXPECT_EQ(tb::platform::PathTextRefusal(std::string("/tmp/a\0b", 8)), "NUL character in path");
  EXPECT_EQ(tb::platform::PathTextRefusal("/tmp/a"), "");
}

}  // namespace
