#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>

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

std::unique_ptr<SecretStore> SecretStore::create(const std::filesystem::path& fallbackFolder) {
  return std::make_unique<FileSecretStore>(fallbackFolder);
}

}  // namespace vlvpn::services
