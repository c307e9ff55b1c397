// Checks on an opened file that tie the handle to the path a user named.
#pragma once

#include <windows.h>

#include <filesystem>

namespace vlvpn::service {

// True when `handle` is the object at `path`, reached through no junction
// or link: its final path is the path (short names expanded, case ignored).
bool isReachedByPath(HANDLE handle, const std::filesystem::path& path);

// True for a regular file with one name: not a folder, device or reparse
// point, and no hard link elsewhere.
bool isPlainFile(HANDLE handle);

}  // namespace vlvpn::service
