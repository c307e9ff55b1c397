#include <winsock2.h>
#include <ws2tcpip.h>
#include <mstcpip.h>

#include "common/win32/unique_socket.h"
#include "desktop/tunnel/management_connection.h"

namespace vlvpn::tunnel {
namespace {

// Windows Sockets is started once before the program's entry point; nothing
// here starts or stops it.
class WinsockConnection final : public ManagementConnection {
 public:
  explicit WinsockConnection(UniqueSocket s) : socket_(std::move(s)) {}

  void send(std::string_view bytes) override {
    ::send(socket_.get(), bytes.data(), static_cast<int>(bytes.size()), 0);
  }

  Readiness waitReadable(std::chrono::milliseconds timeout) override {
    fd_set readable;
    FD_ZERO(&readable);
    FD_SET(socket_.get(), &readable);
    timeval limit{static_cast<long>(timeout.count() / 1000), static_cast<long>((timeout.count() % 1000) * 1000)};
    const int ready = ::select(0, &readable, nullptr, nullptr, &limit);
    if (ready > 0) return Readiness::Readable;
    return ready == 0 ? Readiness::TimedOut : Readiness::Failed;
  }

  std::string receive(size_t maxBytes) override {
    std::string bytes(maxBytes, '\0');
    const int n = ::recv(socket_.get(), bytes.data(), static_cast<int>(bytes.size()), 0);
    bytes.resize(n > 0 ? static_cast<size_t>(n) : 0);
    return bytes;
  }

 private:
  const UniqueSocket socket_;
};

class WinsockPort final : public ManagementPort {
 public:
  explicit WinsockPort(uint16_t port) : port_(port) {}

  std::shared_ptr<ManagementConnection> connect() override {
    UniqueSocket s(::socket(AF_INET, SOCK_STREAM, IPPROTO_TCP));
    if (!s) return nullptr;
    // +-------------------------------------------------------------------+
    // | Windows reports a refused loopback connection only after it has   |
    // | retransmitted the SYN for about two seconds. With no SYN          |
    // | retransmissions a connect to a port nobody listens on fails at    |
    // | once, as the connect's 100 ms polls expect. Best effort: where    |
    // | the option is unknown the connect is merely slower.               |
    // +-------------------------------------------------------------------+
    TCP_INITIAL_RTO_PARAMETERS rto{TCP_INITIAL_RTO_UNSPECIFIED_RTT, TCP_INITIAL_RTO_NO_SYN_RETRANSMISSIONS};
    DWORD returned = 0;
    WSAIoctl(s.get(), SIO_TCP_INITIAL_RTO, &rto, sizeof rto, nullptr, 0, &returned, nullptr, nullptr);
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_port = htons(port_);
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    if (::connect(s.get(), reinterpret_cast<const sockaddr*>(&address), sizeof address) != 0) return nullptr;
    return std::make_shared<WinsockConnection>(std::move(s));
  }

 private:
  const uint16_t port_;
};

}  // namespace

std::shared_ptr<ManagementPort> ManagementPort::create(uint16_t port) { return std::make_shared<WinsockPort>(port); }

}  // namespace vlvpn::tunnel
