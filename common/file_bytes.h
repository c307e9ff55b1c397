// Whole files as bytes: no text-mode translation on any platform.
#pragma once

#include <filesystem>
#include <optional>
#include <string>
#include <string_view>

namespace vlvpn {

// The file's bytes; nullopt when it cannot be opened.
std::optional<std::string> readFileBytes(const std::filesystem::path& path);

// Replaces the file's content (creating it); false when it cannot be opened
// or written.
bool writeFileBytes(const std::filesystem::path& path, std::string_view content);

}  // namespace vlvpn
