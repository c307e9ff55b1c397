#include <fstream>
#include <iterator>

#include "desktop/services/device_info.h"

#ifndef VLVPN_PROJECT_VERSION
#define VLVPN_PROJECT_VERSION "1.0.0"
#endif

namespace vlvpn::services {
namespace {

std::string readSmallFile(const char* path) {
  std::ifstream in(path, std::ios::binary);
  std::string text;
  char c;
  while (text.size() < 1024 && in.get(c)) text += c;
  return text;
}

// VERSION_ID from os-release, without its quotes.
std::string osReleaseVersion() {
  std::ifstream in("/etc/os-release");
  for (std::string line; std::getline(in, line);) {
    if (!line.starts_with("VERSION_ID=")) continue;
    std::string value = line.substr(11);
    if (value.size() >= 2 && (value.front() == '"' || value.front() == '\'') && value.back() == value.front()) {
      value = value.substr(1, value.size() - 2);
    }
    return value;
  }
  return {};
}

}  // namespace

std::string_view genericPcName() { return "Linux PC"; }

DeviceFacts readDeviceFacts() {
  DeviceFacts facts;
  facts.productName = readSmallFile("/sys/class/dmi/id/product_name");
  facts.manufacturer = readSmallFile("/sys/class/dmi/id/sys_vendor");
  facts.displayVersion = osReleaseVersion();
  return facts;
}

std::string programVersion() { return VLVPN_PROJECT_VERSION; }

}  // namespace vlvpn::services
