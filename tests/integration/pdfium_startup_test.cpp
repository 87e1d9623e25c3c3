// The daemon loads the PDF library beside its executable at start-up, before
// the server starts, and serves without it when it is missing.
#include <gtest/gtest.h>
#include <httplib.h>

#include <filesystem>

#include "support/daemon_harness.h"

namespace {

namespace fs = std::filesystem;
using tbtest::DaemonProcess;
using tbtest::TempFolder;

TEST(PdfiumStartup, LoadsTheLibraryBesideTheExecutable) {
  TempFolder folder;
  fs::copy_file(fs::path(tbtest::BuiltDaemonPath()).parent_path() / "libpdfium.so",
                folder / "libpdfium.so");
  DaemonProcess daemon(folder);
  const std::string out = daemon.Stdout();
  const size_t loaded = out.find("[PDFium] DLL loaded once for process lifetime.\n");
  ASSERT_NE(loaded, std::string::npos) << out;
  EXPECT_LT(out.find("[Startup] version="), loaded);
  EXPECT_GT(out.find("Server: http://127.0.0.1:3806/"), loaded);
  EXPECT_EQ(daemon.Stderr().find("[PDFium]"), std::string::npos) << daemon.Stderr();
}

TEST(PdfiumStartup, WithoutTheLibraryWarnsAndStillServes) {
  TempFolder folder;
  DaemonProcess daemon(folder);
  EXPECT_NE(daemon.Stderr().find("[PDFium] load warning: Cannot load pdfium.dll. Put pdfium.dll "
                                 "beside Tillerbrook.exe. Win32 error="),
            std::string::npos)
      << daemon.Stderr();
  EXPECT_EQ(daemon.Stdout().find("[PDFium]"), std::string::npos);
  httplib::Client client("127.0.0.1", 3806);
  auto r = client.Get("/version");
  ASSERT_TRUE(r);
  EXPECT_EQ(r->status, 200);
}

}  // namespace
