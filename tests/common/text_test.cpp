#include "common/text.h"

#include <gtest/gtest.h>

namespace vlvpn {
namespace {

TEST(ByteMapping, WidensSignedBytesAndNarrowsBack) {
  EXPECT_EQ(widenBytes("ab/"), u"ab/");
  EXPECT_EQ(widenBytes("\xC3"), std::u16string(1, char16_t(0xFFC3)));
  EXPECT_EQ(widenBytes("\x80\xFF"), (std::u16string{char16_t(0xFF80), char16_t(0xFFFF)}));
  EXPECT_EQ(narrowUnits(std::u16string(1, char16_t(0xFFC3))), "\xC3");

  std::string everyByte;
  for (int b = 0; b < 256; ++b) everyByte += static_cast<char>(b);
  EXPECT_EQ(narrowUnits(widenBytes(everyByte)), everyByte);
  // A real non-ASCII character of a system path keeps only its low byte.
  EXPECT_EQ(narrowUnits(u"\u00e9\u4e2d"), "\xE9\x2D");
}

TEST(Utf8Conversion, RoundTripsEveryPlane) {
  const std::string text = "plain \xC3\xA9 \xE4\xB8\xAD \xF0\x9F\x94\x92";  // é, 中, 🔒
  const std::u16string expected = u"plain \u00e9 \u4e2d \U0001F512";
  EXPECT_EQ(utf8ToUtf16(text), expected);
  EXPECT_EQ(utf16ToUtf8(expected), text);
  EXPECT_EQ(utf8ToUtf16(""), u"");
  EXPECT_EQ(utf16ToUtf8(u""), "");
}

TEST(Utf8Conversion, ReplacesMalformedInput) {
  struct Case {
    std::string utf8;
    std::u16string utf16;
  };
  const Case cases[] = {
      {"\xC3", u"\uFFFD"},                  // truncated sequence
      {"a\xFF" "b", u"a\uFFFDb"},           // never a lead byte
      {"\xC0\xAF", u"\uFFFD\uFFFD"},        // overlong encoding of '/'
      {"\xED\xA0\x80", u"\uFFFD\uFFFD\uFFFD"},  // an encoded surrogate
      {"\xE4\xB8" "x", u"\uFFFDx"},         // maximal prefix replaced once
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(testing::PrintToString(c.utf8));
    EXPECT_EQ(utf8ToUtf16(c.utf8), c.utf16);
  }
  EXPECT_EQ(utf16ToUtf8(std::u16string(1, char16_t(0xD800))), "\xEF\xBF\xBD");
  EXPECT_EQ(utf16ToUtf8(std::u16string{char16_t(0xDC00), u'a'}), "\xEF\xBF\xBD" "a");
}

}  // namespace
}  // namespace vlvpn

namespace vlvpn {
namespace {

TEST(AsciiCase, ChangesOnlyAsciiLetters) {
  EXPECT_EQ(asciiLower("TAP-Windows \xC3\x89 Z@[`"), "tap-windows \xC3\x89 z@[`");
  EXPECT_EQ(asciiUpper("openvpn_start \xC3\xA9 a{"), "OPENVPN_START \xC3\xA9 A{");
  EXPECT_TRUE(isTapAdapterDescription("TAP-Windows Adapter V9"));
  EXPECT_TRUE(isTapAdapterDescription("tap-windows0"));
  EXPECT_FALSE(isTapAdapterDescription("TAP adapter"));
}

}  // namespace
}  // namespace vlvpn
