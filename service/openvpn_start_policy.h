// What the service agrees to start on a user's behalf.
//
// Any local user may ask the service, which runs with the machine's highest
// rights, to start OpenVPN. So it starts only OpenVPN itself, from a folder
// unprivileged users cannot write, with exactly the argument string the
// desktop program builds for one of its profiles, and with a configuration
// that neither loads code, nor writes files, nor sends a file's content away.
#pragma once

#include <cstdint>
#include <filesystem>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "common/openvpn_arguments.h"
#include "common/result.h"
#include "service/user_files.h"

namespace vlvpn::service {

struct PathStyle {
  std::string_view separators;  // "\\/" on Windows, "/" on Linux
  bool driveLetters;            // absolute paths begin "X:\"
  bool caseInsensitive;
};

inline constexpr PathStyle kWindowsPaths{"\\/", true, true};
inline constexpr PathStyle kPosixPaths{"/", false, false};

// The components of an absolute path without "." or ".." components, empty
// components, alternate data streams, or device and UNC prefixes ("\\server",
// "\\?\", "\\.\"); nullopt otherwise. The first component is the drive ("C:")
// on Windows and "" on Linux.
std::optional<std::vector<std::string>> plainAbsolutePath(std::string_view path, const PathStyle& style);

// The argument string when it has the exact shape the desktop program builds
// and its paths lie in one folder ...\VLVPNDesk\profiles\<id>\, the log
// named "openvpn.log", the credentials "auth.txt" and the management
// interface's password "management.txt".
std::optional<OpenVpnArguments> checkProfileArguments(std::string_view args, const PathStyle& style);

// Where OpenVPN may be started from: the service's folder and its "openvpn"
// sub-folder, the parent and its "openvpn" sub-folder, then the system's
// install folders (Windows: %ProgramFiles%\OpenVPN\bin and
// %ProgramFiles(x86)%\OpenVPN\bin; Linux: /usr/sbin, /usr/local/sbin).
std::vector<std::filesystem::path> allowedOpenVpnFolders(const std::filesystem::path& serviceFolder);

// "openvpn.exe" on Windows (any case), "openvpn" on Linux.
bool isOpenVpnFileName(std::string_view fileName);

// The platform's path rules.
const PathStyle& nativePathStyle();

// The mark the service's OpenVPN puts on its link socket on Linux, which the
// filter sets let through ("VLVP"). Setting a mark needs CAP_NET_ADMIN, so
// no unprivileged program can send with it.
inline constexpr uint32_t kServiceOpenVpnMark = 0x564c5650;

// What the service appends after a profile's arguments; a later option wins
// in OpenVPN. `--script-security 1` keeps a configuration's scripts from ever
// running with the service's rights; on Linux `--mark` is how the filter sets
// know the service's OpenVPN.
std::vector<std::string> serviceOpenVpnArguments();  // per platform

// The OpenVPN executables the service may start: one per allowed folder.
std::vector<std::filesystem::path> openVpnExecutables(const std::vector<std::filesystem::path>& allowedFolders);

// True when neither the file nor any folder above it can be changed by
// unprivileged users. Linux: no component is a link, each is owned by root
// (or the service's own user), and none is writable by group or others but
// a sticky folder such as /tmp. Windows: the folders allowed are install folders whose
// permissions the installer sets, so nothing more is checked.
bool isProtectedFromUsers(const std::filesystem::path& file);

// Without touching the file system: `exe` is a plain absolute path naming an
// OpenVPN executable directly inside one of `allowedFolders`, as written.
// Paths anywhere else are refused before anything is looked up, so the reply
// never tells a user whether some other path exists.
bool isInAllowedFolder(const std::string& exe, const std::vector<std::filesystem::path>& allowedFolders);

// Accepts `exe` when no component of it is a link or junction (so the file
// checked is the file started) and it is an OpenVPN executable directly
// inside one of `allowedFolders` (resolved, as they may be given through
// links) that unprivileged users cannot change.
bool isAllowedOpenVpn(const std::string& exe, const std::vector<std::filesystem::path>& allowedFolders);

// The executable opened without following a link, held from before its
// checks until its process is created, so what starts is what was checked.
// Windows: held without write or delete sharing, so it can be neither
// changed nor renamed nor replaced meanwhile. Linux: started from the
// descriptor. Fails when the path is not a plain file.
Result<OpenedFile, OsError> holdExecutable(const std::string& exe);  // per platform

// True when `exe` still names the held file (Linux: the same device and
// inode; Windows: reached by that path through no junction or link).
bool isHeldFileAt(const OpenedFile& held, const std::string& exe);  // per platform

}  // namespace vlvpn::service
