// What the interface is told about the computer and the program: the model,
// the system's version and the program's version. The rules that turn what
// the system stores into a text are pure; reading it is per platform.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>

namespace vlvpn::services {

// What the platform stores, as read (UTF-8, untrimmed; empty when absent or
// not stored as text).
struct DeviceFacts {
  std::string productName;
  std::string manufacturer;
  std::string displayVersion;   // Windows "DisplayVersion"; Linux os-release VERSION_ID
  std::string majorVersion, minorVersion, buildNumber;  // Windows only
};

// "Windows PC" on Windows, "Linux PC" on Linux.
std::string_view genericPcName();  // per platform

// Line breaks become spaces and the ends are trimmed; nothing left gives
// the generic PC name.
std::string cleanModelText(std::string_view text, std::string_view genericPc);

// The product name unless it is a placeholder ("System Product Name", "To be
// filled by O.E.M.", "Default string", "Product Name", in any case), else
// the manufacturer + " PC" unless it is "To be filled by O.E.M.", else the
// generic PC name.
std::string deviceModelFrom(const DeviceFacts& facts, std::string_view genericPc);

// DisplayVersion, else major.minor[.build], else "10".
std::string osVersionFrom(const DeviceFacts& facts);

// "a.b.c" from a fixed-file-info product version (the fourth part dropped).
std::string versionFromProductVersion(uint32_t mostSignificant, uint32_t leastSignificant);

// Read from the system now.
DeviceFacts readDeviceFacts();  // per platform
// The program's own version: its version resource (Windows) or the
// project's version (Linux); "1.0.0" when there is none.
std::string programVersion();  // per platform

}  // namespace vlvpn::services
