#include "desktop/tunnel/profile_store.h"

#include <system_error>

#include "common/file_bytes.h"
#include "common/openvpn_arguments.h"
#include "common/path_component.h"
#include "common/path_bytes.h"
#include "common/text.h"
#include "desktop/tunnel/data_folder.h"

namespace vlvpn::tunnel {
namespace fs = std::filesystem;
namespace {

Result<fs::path> ensureFolder(const fs::path& folder) {
  std::error_code error;
  fs::create_directories(folder, error);
  if (error) return Error{"create_directories failed: " + utf8FromPath(folder)};
  return folder;
}

Result<void> writeWholeFile(const fs::path& path, std::string_view content, std::string_view shownName) {
  if (!writeFileBytes(path, content)) return Error{"Could not write " + std::string(shownName)};
  return {};
}

}  // namespace

bool isValidProfileId(std::string_view id) { return isPortablePathComponent(id); }
bool isValidConfigFileName(std::string_view fileName) {
  // A configuration by the name of a file kept beside it would be
  // overwritten by that file (on Windows in any case of its letters).
  const std::string name = asciiLower(fileName);
  for (std::string_view kept : {"auth.txt", "openvpn.log", "meta.json", kManagementPasswordFile}) {
    if (name == kept) return false;
  }
  return isPortablePathComponent(fileName);
}

std::string formatAuthFile(const Credentials& credentials) {
  return credentials.username + "\n" + credentials.password + "\n";
}

std::string crlfToLf(std::string_view text) {
  std::string out;
  out.reserve(text.size());
  for (size_t i = 0; i < text.size(); ++i) {
    if (text[i] == '\r' && i + 1 < text.size() && text[i + 1] == '\n') continue;
    out += text[i];
  }
  return out;
}

Credentials parseAuthFile(std::string_view text) {
  const std::string lines = crlfToLf(text);
  std::string_view rest = lines;
  const auto nextLine = [&rest] {
    const size_t end = rest.find('\n');
    std::string line(rest.substr(0, end));
    rest = end == std::string_view::npos ? std::string_view{} : rest.substr(end + 1);
    return line;
  };
  Credentials credentials;
  credentials.username = nextLine();
  credentials.password = nextLine();
  return credentials;
}

ProfileStore::ProfileStore(std::function<fs::path()> localDataBase) : localDataBase_(std::move(localDataBase)) {}

Result<fs::path> ProfileStore::profilesFolder() const {
  return ensureFolder(dataFolder(localDataBase_()) / "profiles");
}

Result<fs::path> ProfileStore::profileFolder(std::string_view profileId) const {
  if (!isValidProfileId(profileId)) return Error{kInvalidProfileId};
  auto profiles = profilesFolder();
  if (!profiles) return profiles.error();
  return ensureFolder(profiles.value() / pathFromBytes(profileId));
}

Result<SavedConfig> ProfileStore::saveConfig(std::string_view profileId, std::string_view content,
                                             std::string_view fileName) const {
  if (!isValidProfileId(profileId)) return Error{kInvalidProfileId};
  if (!isValidConfigFileName(fileName)) return Error{kInvalidFileName};
  auto folder = profileFolder(profileId);
  if (!folder) return folder.error();
  const fs::path path = folder.value() / pathFromBytes(fileName);
  if (auto written = writeWholeFile(path, content, fileName); !written) return written.error();
  return SavedConfig{bytesFromPath(path), std::string(fileName)};
}

Result<void> ProfileStore::saveMeta(std::string_view profileId, std::string_view metadata) const {
  auto folder = profileFolder(profileId);
  if (!folder) return folder.error();
  return writeWholeFile(folder.value() / "meta.json", metadata, "meta.json");
}

Result<void> ProfileStore::saveCredentials(std::string_view profileId, const Credentials& credentials) const {
  auto folder = profileFolder(profileId);
  if (!folder) return folder.error();
  return writeWholeFile(folder.value() / "auth.txt", formatAuthFile(credentials), "auth.txt");
}

Result<Credentials> ProfileStore::readCredentials(std::string_view profileId) const {
  auto folder = profileFolder(profileId);
  if (!folder) return folder.error();
  auto text = readFileBytes(folder.value() / "auth.txt");
  if (!text) return Error{kAuthFileNotFound};
  return parseAuthFile(*text);
}

std::vector<std::string> ProfileStore::listMetadata() const {
  std::vector<std::string> found;
  auto profiles = profilesFolder();
  if (!profiles) return found;

  std::error_code error;
  fs::directory_iterator entry(profiles.value(), error);
  for (; !error && entry != fs::directory_iterator(); entry.increment(error)) {
    // Links and junctions are not followed: only real folders are profiles.
    const auto status = entry->symlink_status(error);
    if (error) break;
    if (status.type() != fs::file_type::directory) continue;
    const fs::path meta = entry->path() / "meta.json";
    const bool exists = fs::exists(meta, error);
    if (error) break;
    if (!exists) continue;
    found.push_back(crlfToLf(readFileBytes(meta).value_or("")));
  }
  return found;
}

Result<void> ProfileStore::remove(std::string_view profileId) const {
  auto folder = profileFolder(profileId);
  if (!folder) return folder.error();
  std::error_code error;
  fs::remove_all(folder.value(), error);
  if (error) return Error{"remove_all failed: " + utf8FromPath(folder.value())};
  return {};
}

}  // namespace vlvpn::tunnel
