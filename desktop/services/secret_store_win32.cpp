#include <windows.h>
#include <wincred.h>

#include "common/win32/wide.h"
#include "desktop/services/secret_store.h"

namespace vlvpn::services {
namespace {

class CredentialManagerStore final : public SecretStore {
 public:
  Result<void> write(const std::string& target, const std::string& secret) override {
    std::wstring name = wideFromUtf8(target);
    CREDENTIALW credential{};
    credential.Type = CRED_TYPE_GENERIC;
    credential.TargetName = name.data();
    credential.CredentialBlobSize = static_cast<DWORD>(secret.size());
    credential.CredentialBlob = reinterpret_cast<BYTE*>(const_cast<char*>(secret.data()));
    credential.Persist = CRED_PERSIST_LOCAL_MACHINE;
    if (CredWriteW(&credential, 0)) return {};
    return Error{"CredWrite failed (" + std::to_string(GetLastError()) + ")"};
  }

  std::string read(const std::string& target) override {
    PCREDENTIALW credential = nullptr;
    if (!CredReadW(wideFromUtf8(target).c_str(), CRED_TYPE_GENERIC, 0, &credential) || !credential) return {};
    std::string secret(reinterpret_cast<const char*>(credential->CredentialBlob), credential->CredentialBlobSize);
    CredFree(credential);
    return secret;
  }

  void remove(const std::string& target) override { CredDeleteW(wideFromUtf8(target).c_str(), CRED_TYPE_GENERIC, 0); }
};

}  // namespace

// Windows keeps secrets in the Credential Manager; the file store is never
// used there.
Result<void> FileSecretStore::write(const std::string&, const std::string&) {
  return Error{"the file store is not used on Windows"};
}

std::unique_ptr<SecretStore> SecretStore::create(const std::filesystem::path&) {
  return std::make_unique<CredentialManagerStore>();
}

}  // namespace vlvpn::services
