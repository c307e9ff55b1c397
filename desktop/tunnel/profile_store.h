// The user's OpenVPN profiles on disk: one folder per profile under
// <data folder>/profiles, holding the configuration file, "meta.json" and
// "auth.txt". Contents are stored and handed back exactly as given; the store
// never interprets them. It keeps no state and takes no locks.
#pragma once

#include <filesystem>
#include <functional>
#include <string>
#include <string_view>
#include <vector>

#include "common/result.h"

namespace vlvpn::tunnel {

inline constexpr const char* kInvalidProfileId = "Invalid profile identifier";
inline constexpr const char* kInvalidFileName = "Invalid file name";
inline constexpr const char* kAuthFileNotFound = "Auth file not found";

// A profile identifier names exactly one folder under the profiles folder,
// on every platform (isPortablePathComponent).
bool isValidProfileId(std::string_view id);
// A configuration file name names exactly one file inside the profile folder,
// under the same rules, and none of the files kept beside it ("auth.txt",
// "openvpn.log", "meta.json", "management.txt", in any case).
bool isValidConfigFileName(std::string_view fileName);

struct Credentials {
  std::string username;
  std::string password;
  friend bool operator==(const Credentials&, const Credentials&) = default;
};

// "auth.txt" as OpenVPN's --auth-user-pass reads it: user, LF, password, LF.
std::string formatAuthFile(const Credentials& credentials);
// The first line is the user, the second the password; CR LF reads as LF and
// a missing line reads as "".
Credentials parseAuthFile(std::string_view text);
// What reading a file in text mode gives: every CR LF pair becomes LF.
std::string crlfToLf(std::string_view text);

struct SavedConfig {
  std::string configPath;  // full path of the written file, as bytes
  std::string fileName;
};

class ProfileStore {
 public:
  // `localDataBase` is asked afresh on every call.
  explicit ProfileStore(std::function<std::filesystem::path()> localDataBase);

  // Each creates the folder with all missing parents; the failure names the
  // operation and the path: "create_directories failed: <path>".
  Result<std::filesystem::path> profilesFolder() const;
  // Also fails with kInvalidProfileId, touching nothing.
  Result<std::filesystem::path> profileFolder(std::string_view profileId) const;

  // Writers replace the file; a file that cannot be written gives
  // "Could not write <file name>".
  Result<SavedConfig> saveConfig(std::string_view profileId, std::string_view content, std::string_view fileName) const;
  Result<void> saveMeta(std::string_view profileId, std::string_view metadata) const;
  Result<void> saveCredentials(std::string_view profileId, const Credentials& credentials) const;

  // Fails with kAuthFileNotFound when "auth.txt" cannot be opened.
  Result<Credentials> readCredentials(std::string_view profileId) const;

  // The text of every profile folder's "meta.json" (CR LF read as LF), in the
  // order the file system lists the folders. Never fails: an error stops the
  // walk and what was gathered so far is returned.
  std::vector<std::string> listMetadata() const;

  // Removes the profile folder and everything in it; "remove_all failed: <path>".
  Result<void> remove(std::string_view profileId) const;

 private:
  std::function<std::filesystem::path()> localDataBase_;
};

}  // namespace vlvpn::tunnel
