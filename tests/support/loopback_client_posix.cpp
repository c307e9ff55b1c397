#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>

#include "common/posix/unique_fd.h"
#include "tests/support/loopback_client.h"

namespace vlvpn::test {

std::string requestFromLoopback(uint16_t port, const std::string& request) {
  UniqueFd socket(::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0));
  sockaddr_in address{};
  address.sin_family = AF_INET;
  address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  address.sin_port = htons(port);
  if (!socket || ::connect(socket.get(), reinterpret_cast<sockaddr*>(&address), sizeof address) != 0) {
    return "no connection";
  }
  (void)::send(socket.get(), request.data(), request.size(), MSG_NOSIGNAL);
  std::string reply;
  char buffer[4096];
  for (ssize_t n; (n = ::recv(socket.get(), buffer, sizeof buffer, 0)) > 0;) reply.append(buffer, static_cast<size_t>(n));
  return reply;
}

}  // namespace vlvpn::test
