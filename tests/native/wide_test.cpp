#include "platform/linux/base/wide.h"
#include "platform/linux/base/win32_types.h"
#include "platform/path.h"

#include <gtest/gtest.h>

#include <string>

using quorvel::platform::Utf8ToWide;
using quorvel::platform::WideToUtf8;

TEST(WideConversion, ValidUtf8RoundTripsThroughEveryLength) {
  const std::string text = "a\xC3\xA4\xE2\x82\xAC\xF0\x9F\x98\x80z";  // a ä € 😀 z
  const std::wstring wide = Utf8ToWide(text);
  EXPECT_EQ(wide, std::wstring(L"a\u00E4\u20AC\U0001F600z"));
  EXPECT_EQ(WideToUtf8(wide), text);
}

TEST(WideConversion, InvalidBytesBecomeLoneSurrogatesAndComeBack) {
  // A stray continuation byte, a truncated sequence, an overlong form, an encoded surrogate and a byte past F4.
  const std::string cases[] = {"x\x80y", "ab\xE2\x82", "\xC0\xAF", "\xED\xA0\x80", "\xF5\x80\x80\x80", "\xFF"};
  for (const auto& bytes : cases) {
    const std::wstring wide = Utf8ToWide(bytes);
    for (wchar_t c : wide) {
      const bool ascii = c < 0x80;
      const bool escape = c >= 0xDC80 && c <= 0xDCFF;
      EXPECT_TRUE(ascii || escape) << "unexpected code point " << static_cast<unsigned>(c);
    }
    EXPECT_EQ(WideToUtf8(wide), bytes);
  }
  EXPECT_EQ(Utf8ToWide("\xE2\x82"), std::wstring(L"\xDCE2\xDC82"));
}

TEST(WideConversion, OnlyTheFirstBadByteIsEscapedSoAValidSequenceAfterItSurvives) {
  EXPECT_EQ(Utf8ToWide("\xE2\xC3\xA4"), std::wstring(L"\xDCE2\u00E4"));
}

TEST(WideConversion, CodePointsUtf8CannotCarryBecomeReplacementCharacters) {
  EXPECT_EQ(WideToUtf8(std::wstring(1, static_cast<wchar_t>(0xD800))), "\xEF\xBF\xBD");
  EXPECT_EQ(WideToUtf8(std::wstring(1, static_cast<wchar_t>(0x110000))), "\xEF\xBF\xBD");
  EXPECT_EQ(WideToUtf8(L""), "");
}

TEST(WindowsTypes, HaveWindowsSizesAndSignedness) {
  EXPECT_EQ(sizeof(LONG), 4u);
  EXPECT_EQ(sizeof(DWORD), 4u);
  EXPECT_EQ(sizeof(HRESULT), 4u);
  const HRESULT hr = static_cast<HRESULT>(0x887A0027u);  // DXGI_ERROR_WAIT_TIMEOUT
  EXPECT_EQ(std::to_string(hr), "-2005270489");
  EXPECT_EQ(quorvel::platform::kPathSeparator, L'/');
}
