// The interface's secrets, byte for byte, under a two-part key. Windows: one
// generic credential of the Credential Manager per item. Linux: the Secret
// Service when a session bus and a keyring answer, else files only the user
// may read.
#pragma once

#include <filesystem>
#include <memory>
#include <string>
#include <string_view>

#include "common/result.h"

namespace vlvpn::services {

// "service/account": the separator is not escaped, so pairs that join to
// the same text name the same item.
std::string keychainTarget(std::string_view service, std::string_view account);

class SecretStore {
 public:
  virtual ~SecretStore() = default;
  // Replaces the item. Windows fails with "CredWrite failed (<code>)".
  virtual Result<void> write(const std::string& target, const std::string& secret) = 0;
  // The secret; empty when there is none or it cannot be read.
  virtual std::string read(const std::string& target) = 0;
  // Whether or not there was one.
  virtual void remove(const std::string& target) = 0;

  // The platform's store; on Linux `fallbackFolder` holds the files when no
  // Secret Service answers.
  static std::unique_ptr<SecretStore> create(const std::filesystem::path& fallbackFolder);  // per platform
};

// Files in a folder only the user may enter (0700), one 0600 file per item
// named by the target's bytes in hex, each replaced whole (written beside,
// then renamed), so a crash never leaves half a secret.
class FileSecretStore final : public SecretStore {
 public:
  explicit FileSecretStore(std::filesystem::path folder) : folder_(std::move(folder)) {}
  Result<void> write(const std::string& target, const std::string& secret) override;
  std::string read(const std::string& target) override;
  void remove(const std::string& target) override;

 private:
  std::filesystem::path fileFor(const std::string& target) const;
  std::filesystem::path folder_;
};

}  // namespace vlvpn::services
