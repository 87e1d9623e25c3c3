#include "base/text.h"

#include <gtest/gtest.h>

namespace tb {
namespace {

TEST(PercentEncode, KeepsUnreservedAndEncodesEverythingElseUpperCase) {
  EXPECT_EQ(PercentEncode("Az09-._~"), "Az09-._~");
  EXPECT_EQ(PercentEncode(" "), "%20");
  EXPECT_EQ(PercentEncode("\xE4"), "%E4");
  EXPECT_EQ(PercentEncode("标签 1"), "%E6%A0%87%E7%AD%BE%201");
  EXPECT_EQ(PercentEncode("a/b?c=d&e"), "a%2Fb%3Fc%3Dd%26e");
}

TEST(Utf8Conversions, RoundTripAndStrictness) {
  EXPECT_EQ(ToUtf8(FromUtf8("打印机 Zebra ✓ 😀")), "打印机 Zebra ✓ 😀");
  EXPECT_EQ(FromUtf8("😀"), std::u16string(u"\xD83D\xDE00"));
  // Invalid input gives the empty text, never a partial result.
  EXPECT_EQ(FromUtf8("ok\xFF"), u"");
  EXPECT_EQ(FromUtf8("\xC0\xAF"), u"");          // overlong
  EXPECT_EQ(FromUtf8("\xED\xA0\x80"), u"");      // encoded surrogate
  EXPECT_EQ(FromUtf8("\xE6\xA0"), u"");          // truncated
  EXPECT_EQ(ToUtf8(std::u16string(u"a\xD800")), "");  // unpaired surrogate
  EXPECT_EQ(ToUtf8(std::u16string(u"\xDC00")), "");
  // Reading stops at the first NUL.
  EXPECT_EQ(ToUtf8(std::u16string(u"ab\0cd", 5)), "ab");
  EXPECT_EQ(StrictUtf8(std::string("ab\0\xFF", 4)), "ab");
  EXPECT_EQ(StrictUtf8("caf\xC3\xA9"), "caf\xC3\xA9");
  EXPECT_EQ(StrictUtf8("caf\xC3"), "");
}

}  // namespace
}  // namespace tb
