#include "desktop/services/secret_store.h"

#include <system_error>

#include "common/file_bytes.h"

namespace vlvpn::services {

std::string keychainTarget(std::string_view service, std::string_view account) {
  std::string target(service);
  target.append("/").append(account);
  return target;
}

std::filesystem::path FileSecretStore::fileFor(const std::string& target) const {
  static constexpr char kHex[] = "0123456789abcdef";
  std::string name;
  for (const unsigned char c : target) {
    name += kHex[c >> 4];
    name += kHex[c & 15];
  }
  return folder_ / (name.empty() ? std::string("empty") : name);
}

std::string FileSecretStore::read(const std::string& target) {
  return readFileBytes(fileFor(target)).value_or(std::string());
}

void FileSecretStore::remove(const std::string& target) {
  std::error_code ignored;
  std::filesystem::remove(fileFor(target), ignored);
}

}  // namespace vlvpn::services
