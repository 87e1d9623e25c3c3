// A user's lpoptions is the user's file, read by the root daemon: whatever it
// is, reading it neither blocks nor reads without end, and no value in it
// reaches a conversion it does not fit.
#include "platform/posix/lpoptions.h"

#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <string>

#include "support/daemon_harness.h"

namespace {

using tb::platform::kMaxLpoptionsBytes;
using tb::platform::MediaNameFitsLookup;
using tb::platform::ParseOrientation;
using tb::platform::ParsePointSize;
using tb::platform::ParseResolution;
using tb::platform::QueueOptions;
using tb::platform::ReadLpoptionsFile;
using tb::platform::Resolution;

TEST(LpoptionsFile, OnlyARegularFileIsReadAndOnlyItsStart) {
  tbtest::TempFolder folder;
  std::string text = "stale";
  EXPECT_FALSE(ReadLpoptionsFile(folder / "missing", text));
  EXPECT_EQ(text, "");

  tbtest::WriteFile(folder / "plain", "Dest tb-label PageSize=w288h216\n");
  ASSERT_TRUE(ReadLpoptionsFile(folder / "plain", text));
  EXPECT_EQ(text, "Dest tb-label PageSize=w288h216\n");

  // Nobody writes to the FIFO: a blocking open would wait for ever.
  ASSERT_EQ(::mkfifo((folder / "fifo").c_str(), 0600), 0);
  EXPECT_FALSE(ReadLpoptionsFile(folder / "fifo", text));

  // A link is not followed, so /dev/zero is never read without end.
  ASSERT_EQ(::symlink("/dev/zero", (folder / "zero").c_str()), 0);
  EXPECT_FALSE(ReadLpoptionsFile(folder / "zero", text));
  EXPECT_EQ(errno, ELOOP);
  ASSERT_EQ(::symlink((folder / "plain").c_str(), (folder / "link").c_str()), 0);
  EXPECT_FALSE(ReadLpoptionsFile(folder / "link", text));

  EXPECT_FALSE(ReadLpoptionsFile(folder.path(), text));  // a folder

  tbtest::WriteFile(folder / "huge", std::string(kMaxLpoptionsBytes + 4096, '#'));
  ASSERT_TRUE(ReadLpoptionsFile(folder / "huge", text));
  EXPECT_EQ(text.size(), kMaxLpoptionsBytes);
}

TEST(LpoptionsFile, OptionsOfTheNamedQueueOnly) {
  const std::string text =
      "Dest other PageSize=A4\n"
      "dest TB-Label PageSize=w288h216 Resolution=203dpi\n"
      "Dest tb-label/copy PageSize=Letter\n"
      "Default tb-label orientation-requested=4\n"
      "Dest\n"
      "garbage line\n";
  std::map<std::string, std::string> options;
  ASSERT_TRUE(QueueOptions(text, "tb-label", options));
  EXPECT_EQ(options, (std::map<std::string, std::string>{{"PageSize", "w288h216"},
                                                          {"Resolution", "203dpi"},
                                                          {"orientation-requested", "4"}}));
  options.clear();
  EXPECT_FALSE(QueueOptions(text, "tb-label2", options));
  EXPECT_FALSE(QueueOptions("", "tb-label", options));
  EXPECT_TRUE(options.empty());
}

TEST(LpoptionsValues, ResolutionsWithinWhatADevmodeCarries) {
  Resolution r;
  ASSERT_TRUE(ParseResolution("300dpi", r));
  EXPECT_EQ(r.x, 300);
  EXPECT_EQ(r.y, 300);
  ASSERT_TRUE(ParseResolution("600x300dpi", r));
  EXPECT_EQ(r.x, 600);
  EXPECT_EQ(r.y, 300);
  ASSERT_TRUE(ParseResolution("118dpcm", r));  // 299.7 dpi
  EXPECT_EQ(r.x, 300);
  ASSERT_TRUE(ParseResolution("32767dpi", r));

  r = {1, 2};
  for (const char* bad :
       {"3000000000dpcm", "99999999999999999999dpi", "32768dpi", "12901dpcm", "0dpi", "-300dpi",
        "+300dpi", " 300dpi", "300 dpi", "300", "dpi", "x300dpi", "300xdpi", "300x0dpi",
        "300dpix", "1e3dpi", "300DPI"}) {
    EXPECT_FALSE(ParseResolution(bad, r)) << bad;
  }
  EXPECT_EQ(r.x, 1);  // left alone on refusal
  EXPECT_EQ(r.y, 2);
}

TEST(LpoptionsValues, PointSizesAndMediaNames) {
  double w = 0, l = 0;
  ASSERT_TRUE(ParsePointSize("w288h432", w, l));
  EXPECT_EQ(w, 288);
  EXPECT_EQ(l, 432);
  ASSERT_TRUE(ParsePointSize("w288.5h216", w, l));
  EXPECT_EQ(w, 288.5);
  ASSERT_TRUE(ParsePointSize("w9288h9288", w, l));
  for (const char* bad : {"w1e300h1e300", "w1e300h432", "winfhinf", "wnanh1", "w0h432", "w-5h432",
                          "w9289h432", "w288", "w288h", "wh432", "w288h432x", "x288h432",
                          "w288 h432", "w+288h432"}) {
    EXPECT_FALSE(ParsePointSize(bad, w, l)) << bad;
  }

  for (const char* fits : {"iso_a0_841x1189mm", "na_letter_8.5x11in", "Custom.4x6in",
                           "w288h432", "Letter", "Custom.100x150mm.FullBleed"}) {
    EXPECT_TRUE(MediaNameFitsLookup(fits)) << fits;
  }
  for (const char* overflows : {"Custom.99999x1in", "custom_x_1x123456mm", "Custom.4x6m",
                                "Custom.4x6M.FullBleed", "Custom.4x6ft", "Custom.1.99999x1in"}) {
    EXPECT_FALSE(MediaNameFitsLookup(overflows)) << overflows;
  }
  EXPECT_FALSE(MediaNameFitsLookup(std::string(129, 'a')));
}

TEST(LpoptionsValues, Orientation) {
  int o = 0;
  ASSERT_TRUE(ParseOrientation("4", o));
  EXPECT_EQ(o, 4);
  for (const char* bad : {"7", "2", "", "4x", "99999999999999999999", "-4"}) {
    EXPECT_FALSE(ParseOrientation(bad, o)) << bad;
  }
}

}  // namespace
