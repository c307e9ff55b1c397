// Text conversions at operating-system boundaries.
//
// Inside both programs text is UTF-8; the operating system on Windows wants
// UTF-16. Two kinds of conversion exist and are not interchangeable:
//  - utf8ToUtf16 / utf16ToUtf8 decode and encode for real. Malformed input
//    never fails: each ill-formed sequence (or lone surrogate) becomes U+FFFD,
//    as the Windows converters do without their strict flags.
//  - widenBytes / narrowUnits map one byte to one UTF-16 unit and back, with no
//    decoding at all. Profile identifiers and configuration file names travel
//    this way so that any byte string round-trips through a path unchanged.
#pragma once

#include <string>
#include <string_view>

namespace vlvpn {

std::u16string utf8ToUtf16(std::string_view utf8);
std::string utf16ToUtf8(std::u16string_view utf16);

// Each byte, taken as a signed 8-bit value, becomes one unit: 0x00-0x7F stay,
// 0x80-0xFF become 0xFF80-0xFFFF.
std::u16string widenBytes(std::string_view bytes);
// Each unit becomes its low 8 bits; the exact inverse of widenBytes.
std::string narrowUnits(std::u16string_view units);

// Only A-Z and a-z change; every other byte, UTF-8 included, stays.
std::string asciiLower(std::string_view text);
std::string asciiUpper(std::string_view text);

// `text` without the trailing bytes that are among `bytes` ("\r\n",
// "\r\n ", ...).
std::string_view trimTrailing(std::string_view text, std::string_view bytes);

// The TAP adapter rule both programs share: a description that, lower-cased,
// contains "tap-windows".
bool isTapAdapterDescription(std::string_view description);

}  // namespace vlvpn
