#include <winsock2.h>
#include <ws2tcpip.h>

#include "tests/support/loopback_client.h"

namespace vlvpn::test {

std::string requestFromLoopback(uint16_t port, const std::string& request) {
  const SOCKET socket = ::socket(AF_INET, SOCK_STREAM, IPPROTO_TCP);
  if (socket == INVALID_SOCKET) return "no connection";
  sockaddr_in address{};
  address.sin_family = AF_INET;
  address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  address.sin_port = htons(port);
  std::string reply = "no connection";
  if (::connect(socket, reinterpret_cast<sockaddr*>(&address), sizeof address) == 0) {
    ::send(socket, request.data(), static_cast<int>(request.size()), 0);
    reply.clear();
    char buffer[4096];
    for (int n; (n = ::recv(socket, buffer, sizeof buffer, 0)) > 0;) reply.append(buffer, static_cast<size_t>(n));
  }
  closesocket(socket);
  return reply;
}

}  // namespace vlvpn::test
