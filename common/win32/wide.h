// wchar_t is a UTF-16 unit on Windows; these move text between the portable
// char16_t strings of common/text.h and the strings Win32 calls take.
#pragma once

#include <string>
#include <string_view>

#include "common/text.h"

namespace vlvpn {

static_assert(sizeof(wchar_t) == sizeof(char16_t), "Windows only: wchar_t is a UTF-16 unit");

inline std::wstring toWide(std::u16string_view units) { return std::wstring(units.begin(), units.end()); }
inline std::u16string fromWide(std::wstring_view units) { return std::u16string(units.begin(), units.end()); }

inline std::wstring wideFromUtf8(std::string_view utf8) { return toWide(utf8ToUtf16(utf8)); }
inline std::string utf8FromWide(std::wstring_view wide) { return utf16ToUtf8(fromWide(wide)); }

}  // namespace vlvpn
