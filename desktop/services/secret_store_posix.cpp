#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <libsecret/secret.h>

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <mutex>

#include "common/posix/unique_fd.h"
#include "desktop/services/secret_store.h"

namespace vlvpn::services {
namespace {

Result<void> failed(const char* what) { return Error{std::string(what) + " failed (" + std::to_string(errno) + ")"}; }

}  // namespace

Result<void> FileSecretStore::write(const std::string& target, const std::string& secret) {
  std::error_code error;
  std::filesystem::create_directories(folder_, error);
  if (::chmod(folder_.c_str(), 0700) != 0) return failed("chmod");
  const auto file = fileFor(target);
  const std::string temporary = file.string() + ".new";
  ::unlink(temporary.c_str());
  {
    UniqueFd out(::open(temporary.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC | O_NOFOLLOW, 0600));
    if (!out) return failed("open");
    size_t done = 0;
    while (done < secret.size()) {
      const ssize_t n = ::write(out.get(), secret.data() + done, secret.size() - done);
      if (n < 0 && errno == EINTR) continue;
      if (n <= 0) return failed("write");
      done += static_cast<size_t>(n);
    }
    if (::fsync(out.get()) != 0) return failed("fsync");
  }
  if (::rename(temporary.c_str(), file.c_str()) != 0) return failed("rename");
  return {};
}

namespace {

const SecretSchema* velmoraSchema() {
  static const SecretSchema schema = {"com.velmora.VLVPNDesk.Secret",
                                      SECRET_SCHEMA_DONT_MATCH_NAME,
                                      {{"target", SECRET_SCHEMA_ATTRIBUTE_STRING}, {nullptr, SECRET_SCHEMA_ATTRIBUTE_STRING}},
                                      0, nullptr, nullptr, nullptr, nullptr, nullptr, nullptr, nullptr};
  return &schema;
}

std::string takeMessage(GError* error) {
  std::string message = error ? error->message : "unknown error";
  if (error) g_error_free(error);
  return message;
}

// The user's keyring through the Secret Service: one item per target,
// found by its "target" attribute, holding the bytes as given.
class SecretServiceStore final : public SecretStore {
 public:
  Result<void> write(const std::string& target, const std::string& secret) override {
    SecretValue* value = secret_value_new(secret.data(), static_cast<gssize>(secret.size()), "application/octet-stream");
    GError* error = nullptr;
    const std::string label = "Velmora VPN: " + target;
    const gboolean stored = secret_password_store_binary_sync(velmoraSchema(), SECRET_COLLECTION_DEFAULT, label.c_str(),
                                                              value, nullptr, &error, "target", target.c_str(), nullptr);
    secret_value_unref(value);
    if (!stored) return Error{"Secret Service refused the item: " + takeMessage(error)};
    return {};
  }

  std::string read(const std::string& target) override {
    GError* error = nullptr;
    SecretValue* value =
        secret_password_lookup_binary_sync(velmoraSchema(), nullptr, &error, "target", target.c_str(), nullptr);
    if (error) g_error_free(error);
    if (!value) return {};
    gsize length = 0;
    const gchar* bytes = secret_value_get(value, &length);
    std::string secret(bytes, length);
    secret_value_unref(value);
    return secret;
  }

  void remove(const std::string& target) override {
    GError* error = nullptr;
    secret_password_clear_sync(velmoraSchema(), nullptr, &error, "target", target.c_str(), nullptr);
    if (error) g_error_free(error);
  }
};

// Asks once, on first use: a session bus and a Secret Service on it, or
// the files.
class FirstAnsweringStore final : public SecretStore {
 public:
  explicit FirstAnsweringStore(std::filesystem::path folder) : folder_(std::move(folder)) {}
  Result<void> write(const std::string& target, const std::string& secret) override { return store().write(target, secret); }
  std::string read(const std::string& target) override { return store().read(target); }
  void remove(const std::string& target) override { store().remove(target); }

 private:
  SecretStore& store() {
    std::call_once(chosen_, [this] {
      if (std::getenv("DBUS_SESSION_BUS_ADDRESS")) {
        GError* error = nullptr;
        if (SecretService* service = secret_service_get_sync(SECRET_SERVICE_NONE, nullptr, &error)) {
          g_object_unref(service);
          store_ = std::make_unique<SecretServiceStore>();
          return;
        }
        if (error) g_error_free(error);
      }
      store_ = std::make_unique<FileSecretStore>(folder_);
    });
    return *store_;
  }

  std::filesystem::path folder_;
  std::once_flag chosen_;
  std::unique_ptr<SecretStore> store_;
};

}  // namespace

std::unique_ptr<SecretStore> SecretStore::create(const std::filesystem::path& fallbackFolder) {
  return std::make_unique<FirstAnsweringStore>(fallbackFolder);
}

}  // namespace vlvpn::services
