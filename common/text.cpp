#include "common/text.h"

#include <cstdint>

namespace vlvpn {
namespace {

constexpr char32_t kReplacement = 0xFFFD;

bool isContinuation(unsigned char byte) { return (byte & 0xC0) == 0x80; }

// Decodes one code point at `pos` and advances past it. An ill-formed
// sequence yields U+FFFD and consumes its maximal valid prefix (at least one
// byte), the substitution rule Unicode recommends.
char32_t decodeUtf8(std::string_view in, size_t& pos) {
  const auto lead = static_cast<unsigned char>(in[pos++]);
  if (lead < 0x80) return lead;

  int extra = 0;
  char32_t cp = 0;
  unsigned char low = 0x80, high = 0xBF;  // allowed range of the second byte
  if (lead >= 0xC2 && lead <= 0xDF) {
    extra = 1, cp = lead & 0x1F;
  } else if (lead >= 0xE0 && lead <= 0xEF) {
    extra = 2, cp = lead & 0x0F;
    if (lead == 0xE0) low = 0xA0;
    if (lead == 0xED) high = 0x9F;  // no encoded surrogates
  } else if (lead >= 0xF0 && lead <= 0xF4) {
    extra = 3, cp = lead & 0x07;
    if (lead == 0xF0) low = 0x90;
    if (lead == 0xF4) high = 0x8F;
  } else {
    return kReplacement;
  }

  for (int i = 0; i < extra; ++i) {
    if (pos >= in.size()) return kReplacement;
    const auto byte = static_cast<unsigned char>(in[pos]);
    const bool inRange = i == 0 ? (byte >= low && byte <= high) : isContinuation(byte);
    if (!inRange) return kReplacement;
    cp = (cp << 6) | (byte & 0x3F);
    ++pos;
  }
  return cp;
}

void appendUtf8(std::string& out, char32_t cp) {
  if (cp < 0x80) {
    out += static_cast<char>(cp);
  } else if (cp < 0x800) {
    out += static_cast<char>(0xC0 | (cp >> 6));
    out += static_cast<char>(0x80 | (cp & 0x3F));
  } else if (cp < 0x10000) {
    out += static_cast<char>(0xE0 | (cp >> 12));
    out += static_cast<char>(0x80 | ((cp >> 6) & 0x3F));
    out += static_cast<char>(0x80 | (cp & 0x3F));
  } else {
    out += static_cast<char>(0xF0 | (cp >> 18));
    out += static_cast<char>(0x80 | ((cp >> 12) & 0x3F));
    out += static_cast<char>(0x80 | ((cp >> 6) & 0x3F));
    out += static_cast<char>(0x80 | (cp & 0x3F));
  }
}

bool isHighSurrogate(char16_t unit) { return unit >= 0xD800 && unit <= 0xDBFF; }
bool isLowSurrogate(char16_t unit) { return unit >= 0xDC00 && unit <= 0xDFFF; }

}  // namespace

std::u16string utf8ToUtf16(std::string_view utf8) {
  std::u16string out;
  out.reserve(utf8.size());
  size_t pos = 0;
  while (pos < utf8.size()) {
    const char32_t cp = decodeUtf8(utf8, pos);
    if (cp >= 0x10000) {
      const char32_t v = cp - 0x10000;
      out += static_cast<char16_t>(0xD800 + (v >> 10));
      out += static_cast<char16_t>(0xDC00 + (v & 0x3FF));
    } else {
      out += static_cast<char16_t>(cp);
    }
  }
  return out;
}

std::string utf16ToUtf8(std::u16string_view utf16) {
  std::string out;
  out.reserve(utf16.size());
  for (size_t i = 0; i < utf16.size(); ++i) {
    const char16_t unit = utf16[i];
    if (isHighSurrogate(unit) && i + 1 < utf16.size() && isLowSurrogate(utf16[i + 1])) {
      appendUtf8(out, 0x10000 + ((char32_t(unit) - 0xD800) << 10) + (char32_t(utf16[i + 1]) - 0xDC00));
      ++i;
    } else if (isHighSurrogate(unit) || isLowSurrogate(unit)) {
      appendUtf8(out, kReplacement);
    } else {
      appendUtf8(out, unit);
    }
  }
  return out;
}

std::u16string widenBytes(std::string_view bytes) {
  std::u16string out;
  out.reserve(bytes.size());
  for (char byte : bytes) {
    out += static_cast<char16_t>(static_cast<int16_t>(static_cast<signed char>(byte)));
  }
  return out;
}

std::string asciiLower(std::string_view text) {
  std::string out(text);
  for (char& c : out) {
    if (c >= 'A' && c <= 'Z') c = static_cast<char>(c - 'A' + 'a');
  }
  return out;
}

std::string asciiUpper(std::string_view text) {
  std::string out(text);
  for (char& c : out) {
    if (c >= 'a' && c <= 'z') c = static_cast<char>(c - 'a' + 'A');
  }
  return out;
}

bool isTapAdapterDescription(std::string_view description) {
  return asciiLower(description).find("tap-windows") != std::string::npos;
}

std::string narrowUnits(std::u16string_view units) {
  std::string out;
  out.reserve(units.size());
  for (char16_t unit : units) out += static_cast<char>(unit & 0xFF);
  return out;
}

std::string_view trimTrailing(std::string_view text, std::string_view bytes) {
  const size_t keep = text.find_last_not_of(bytes);
  return keep == std::string_view::npos ? std::string_view{} : text.substr(0, keep + 1);
}

}  // namespace vlvpn
