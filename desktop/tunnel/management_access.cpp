#include "desktop/tunnel/management_access.h"

#include <cstdio>
#include <random>

namespace vlvpn::tunnel {
namespace {

constexpr std::string_view kPasswordPrompt = "ENTER PASSWORD:";
constexpr std::string_view kPasswordTaken = "SUCCESS: password is correct";
constexpr std::string_view kPasswordRefused = "ERROR: bad password";
constexpr size_t kLoginReceiveBytes = 512;

// Gathers bytes until `done` says the text is complete, or `wait` passes
// without a byte, or the connection ends. False on the last two.
bool gather(ManagementConnection& connection, std::string& text, std::chrono::milliseconds wait,
            const std::function<bool(const std::string&)>& done) {
  while (!done(text)) {
    if (connection.waitReadable(wait) != Readiness::Readable) return false;
    const std::string bytes = connection.receive(kLoginReceiveBytes);
    if (bytes.empty()) return false;
    text += bytes;
    if (text.size() > 8192) return false;
  }
  return true;
}

}  // namespace

ManagementLogin logInToManagement(ManagementConnection& connection, std::string_view password,
                                  std::chrono::milliseconds wait) {
  std::string greeting;
  const bool spoke = gather(connection, greeting, wait, [](const std::string& text) {
    return text.find(kPasswordPrompt) != std::string::npos || text.find('\n') != std::string::npos;
  });
  if (!spoke) return greeting.empty() ? ManagementLogin::Silent : ManagementLogin::Open;
  if (greeting.find(kPasswordPrompt) == std::string::npos) return ManagementLogin::Open;
  connection.send(std::string(password) + "\r\n");
  std::string verdict;
  gather(connection, verdict, wait, [](const std::string& text) {
    return text.find(kPasswordTaken) != std::string::npos || text.find(kPasswordRefused) != std::string::npos ||
           text.find(kPasswordPrompt) != std::string::npos;
  });
  return verdict.find(kPasswordTaken) != std::string::npos ? ManagementLogin::LoggedIn : ManagementLogin::Refused;
}

std::shared_ptr<ManagementConnection> LoggingInManagementPort::connect() {
  auto connection = port_->connect();
  if (!connection) return nullptr;
  // A silent interface (OpenVPN busy, or serving another client) would take
  // the first command sent as the password: such a connection is no use.
  const ManagementLogin login = logInToManagement(*connection, password_(), wait_);
  if (login == ManagementLogin::Refused || login == ManagementLogin::Silent) return nullptr;
  return connection;
}

std::string newManagementPassword() {
  std::random_device entropy;
  std::string password;
  for (int i = 0; i < 4; ++i) {
    char word[9];
    std::snprintf(word, sizeof word, "%08x", static_cast<unsigned>(entropy()));
    password += word;
  }
  return password;
}

std::string managementPasswordOf(std::string_view fileText) {
  const size_t end = fileText.find_first_of("\r\n");
  return std::string(fileText.substr(0, end));
}

}  // namespace vlvpn::tunnel
