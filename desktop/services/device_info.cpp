#include "desktop/services/device_info.h"

#include <array>

#include "common/text.h"

namespace vlvpn::services {
namespace {

constexpr std::string_view kNotFilled = "To be filled by O.E.M.";
constexpr std::array<std::string_view, 4> kProductPlaceholders = {"System Product Name", kNotFilled, "Default string",
                                                                  "Product Name"};

bool isWhiteSpace(char c) { return c == ' ' || (c >= '\t' && c <= '\r'); }

std::string trimmed(std::string_view text) {
  while (!text.empty() && isWhiteSpace(text.front())) text.remove_prefix(1);
  while (!text.empty() && isWhiteSpace(text.back())) text.remove_suffix(1);
  return std::string(text);
}

bool equalsIgnoringCase(std::string_view a, std::string_view b) { return asciiLower(a) == asciiLower(b); }

}  // namespace

std::string cleanModelText(std::string_view text, std::string_view genericPc) {
  std::string model;
  for (const char c : text) {
    if (c == '\r') continue;
    model += c == '\n' ? ' ' : c;
  }
  const size_t first = model.find_first_not_of(" \t");
  if (first == std::string::npos) return std::string(genericPc);
  const size_t last = model.find_last_not_of(" \t");
  return model.substr(first, last - first + 1);
}

std::string deviceModelFrom(const DeviceFacts& facts, std::string_view genericPc) {
  const std::string product = trimmed(facts.productName);
  bool placeholder = false;
  for (const auto candidate : kProductPlaceholders) placeholder = placeholder || equalsIgnoringCase(product, candidate);
  if (!placeholder && !product.empty()) return cleanModelText(product, genericPc);
  const std::string manufacturer = trimmed(facts.manufacturer);
  if (!manufacturer.empty() && !equalsIgnoringCase(manufacturer, kNotFilled)) {
    return cleanModelText(manufacturer + " PC", genericPc);
  }
  return std::string(genericPc);
}

std::string osVersionFrom(const DeviceFacts& facts) {
  const std::string display = trimmed(facts.displayVersion);
  if (!display.empty()) return display;
  const std::string major = trimmed(facts.majorVersion), minor = trimmed(facts.minorVersion);
  const std::string build = trimmed(facts.buildNumber);
  if (major.empty() || minor.empty()) return "10";
  std::string version = major;
  version.append(".").append(minor);
  if (!build.empty()) version.append(".").append(build);
  return version;
}

std::string versionFromProductVersion(uint32_t mostSignificant, uint32_t leastSignificant) {
  return std::to_string(mostSignificant >> 16) + "." + std::to_string(mostSignificant & 0xFFFF) + "." +
         std::to_string(leastSignificant >> 16);
}

}  // namespace vlvpn::services
