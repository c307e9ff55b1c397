#include <poll.h>
#include <sys/socket.h>


#include "common/posix/unique_fd.h"
#include "tests/support/killswitch_service.h"
#include "tests/support/unix_socket_client.h"

namespace vlvpn::test {

std::string serviceEndpointFor(const std::filesystem::path& scratch) { return (scratch / "killswitch.sock").string(); }

std::string serviceRequest(const std::string& endpoint, std::string_view bytes) {
  UniqueFd fd = connectUnixSocket(endpoint);
  if (!fd || bytes.empty()) return "";
  while (!bytes.empty()) {
    const ssize_t n = ::send(fd.get(), bytes.data(), bytes.size(), MSG_NOSIGNAL);
    if (n <= 0) return "";
    bytes.remove_prefix(static_cast<size_t>(n));
  }
  std::string reply;
  char buffer[256];
  pollfd entry{fd.get(), POLLIN, 0};
  while (reply.find('\n') == std::string::npos && ::poll(&entry, 1, 15000) > 0) {
    const ssize_t n = ::recv(fd.get(), buffer, sizeof buffer, 0);
    if (n <= 0) break;
    reply.append(buffer, static_cast<size_t>(n));
  }
  return reply.substr(0, reply.find('\n'));
}

}  // namespace vlvpn::test
