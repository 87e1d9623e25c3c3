#include <gtest/gtest.h>

#include <string>

#include "base/logging.h"

namespace tb {
namespace {

TEST(LogValue, ControlCharactersCannotStartALine) {
  EXPECT_EQ(LogValue("Zebra 4x6"), "Zebra 4x6");
  EXPECT_EQ(LogValue("P\nExit code 0\r\n"), "P\\nExit code 0\\r\\n");
  EXPECT_EQ(LogValue(std::string("a\0b\x1b[2J\x7f\t", 9)), "a\\x00b\\x1B[2J\\x7F\\t");
  // Unicode line breaks that some viewers honour.
  EXPECT_EQ(LogValue("a\xC2\x85" "b\xE2\x80\xA8" "c\xE2\x80\xA9"),
            "a\\u{0085}b\\u{2028}c\\u{2029}");
  // Ordinary non-ASCII text, Windows paths and invalid bytes pass unchanged.
  EXPECT_EQ(LogValue("打印机 D:\\dir\\a.pdf"), "打印机 D:\\dir\\a.pdf");
  EXPECT_EQ(LogValue("\xFF\xC2"), "\xFF\xC2");
}

TEST(LogValue, LongValuesAreCutAtACharacterBoundary) {
  std::string huge(8 * 1024 * 1024, 'x');
  std::string logged = LogValue(huge);
  EXPECT_EQ(logged, std::string(512, 'x') + "...(+8388096 bytes)");
  // 3-byte characters: 512 is not a multiple of 3, so the cut backs up.
  std::string chinese;
  for (int i = 0; i < 200; ++i) chinese += "标";
  std::string cut = LogValue(chinese);
  EXPECT_EQ(cut, chinese.substr(0, 510) + "...(+90 bytes)");
  EXPECT_EQ(LogValue("abcdef", 3), "abc...(+3 bytes)");
  EXPECT_EQ(LogValue("abc", 3), "abc");
}

}  // namespace
}  // namespace tb
