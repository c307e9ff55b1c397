// Network namespaces a test makes for itself (Linux, root only), so its
// traffic and firewall tables never touch the machine's own network.
#pragma once

#include <cstdint>
#include <functional>
#include <optional>
#include <string>
#include <vector>

#include "common/posix/unique_fd.h"

namespace vlvpn::test {

bool canMakeNetworkNamespaces();  // root, and `ip netns` works

class NetworkNamespace {
 public:
  explicit NetworkNamespace(const std::string& stem);  // a unique name, loopback up
  ~NetworkNamespace();
  NetworkNamespace(const NetworkNamespace&) = delete;
  NetworkNamespace& operator=(const NetworkNamespace&) = delete;

  const std::string& name() const { return name_; }
  // Runs a command inside; its standard output, or nullopt when it failed.
  std::optional<std::string> run(const std::vector<std::string>& command) const;
  // The argument prefix that runs a program inside ("ip netns exec <name>").
  std::vector<std::string> wrapper() const { return {"/usr/sbin/ip", "netns", "exec", name_}; }
  // A socket that belongs to this namespace, wherever it is used afterwards.
  UniqueFd socket(int domain, int type, int protocol = 0) const;
  // Runs `body` on a thread that joined this namespace, and waits for it:
  // every socket it makes (a netlink one too) belongs here. False when the
  // namespace could not be joined (and `body` did not run).
  bool runInside(const std::function<void()>& body) const;

 private:
  std::string name_;
};

// Runs a command in the test's own namespace; true when it succeeded.
bool runCapturingOutputOk(const std::vector<std::string>& command);

// Joins `a` and `b` with a veth pair and gives each end its addresses (CIDR;
// IPv6 ones are usable at once, without duplicate address detection).
bool connectNamespaces(const NetworkNamespace& a, const std::vector<std::string>& aAddresses,
                       const NetworkNamespace& b, const std::vector<std::string>& bAddresses);

// A TCP connection attempt from `from` with a time-out: true when it connected.
bool tcpConnects(const NetworkNamespace& from, const std::string& address, uint16_t port, int timeoutMs);

}  // namespace vlvpn::test
