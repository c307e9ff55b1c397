#include "service/request_text.h"

#include <cstdio>

namespace vlvpn::service {

std::string_view trimSpace(std::string_view text) {
  constexpr std::string_view kSpace = " \t\r\n";
  const size_t first = text.find_first_not_of(kSpace);
  if (first == std::string_view::npos) return {};
  const size_t last = text.find_last_not_of(kSpace);
  return text.substr(first, last - first + 1);
}

std::string escapeControlBytes(std::string_view text) {
  std::string out;
  out.reserve(text.size());
  for (char c : text) {
    const auto byte = static_cast<unsigned char>(c);
    if (byte < 0x20 || byte == 0x7F) {
      char escaped[5];
      std::snprintf(escaped, sizeof escaped, "\\x%02X", byte);
      out += escaped;
    } else {
      out += c;
    }
  }
  return out;
}

std::string requestForLog(std::string_view request) {
  const std::string_view trimmed = trimSpace(request);
  std::string text(trimmed.substr(0, kLoggedRequestBytes));
  for (char& c : text) {
    if (c == '\t') c = ' ';
  }
  std::string logged = escapeControlBytes(text);
  if (trimmed.size() > kLoggedRequestBytes) logged += " [cut: " + std::to_string(trimmed.size()) + " bytes]";
  return logged;
}

}  // namespace vlvpn::service
