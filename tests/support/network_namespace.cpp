#include "tests/support/network_namespace.h"

#include <arpa/inet.h>
#include <fcntl.h>
#include <poll.h>
#include <sched.h>
#include <sys/socket.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <thread>

#include "common/posix/subprocess.h"

namespace vlvpn::test {
namespace {

bool runCommand(const std::vector<std::string>& command) {
  auto done = runCapturingOutput(command);
  return done && done.value().exitCode == 0;
}

}  // namespace

bool runCapturingOutputOk(const std::vector<std::string>& command) { return runCommand(command); }

bool canMakeNetworkNamespaces() {
  if (geteuid() != 0) return false;
  NetworkNamespace probe("probe");
  return probe.run({"true"}).has_value();
}

NetworkNamespace::NetworkNamespace(const std::string& stem) {
  static std::atomic<int> counter{0};
  name_ = "vlvpn-" + stem + "-" + std::to_string(getpid()) + "-" + std::to_string(counter++);
  runCommand({"ip", "netns", "add", name_});
  runCommand({"ip", "-n", name_, "link", "set", "lo", "up"});
}

NetworkNamespace::~NetworkNamespace() { runCommand({"ip", "netns", "delete", name_}); }

std::optional<std::string> NetworkNamespace::run(const std::vector<std::string>& command) const {
  std::vector<std::string> full = wrapper();
  full.insert(full.end(), command.begin(), command.end());
  auto done = runCapturingOutput(full);
  if (!done || done.value().exitCode != 0) return std::nullopt;
  return done.value().standardOutput;
}

UniqueFd NetworkNamespace::socket(int domain, int type, int protocol) const {
  int fd = -1;
  runInside([&] { fd = ::socket(domain, type | SOCK_CLOEXEC, protocol); });
  return UniqueFd(fd);
}

bool NetworkNamespace::runInside(const std::function<void()>& body) const {
  // setns affects only the calling thread, and a socket keeps the namespace
  // it was made in.
  bool joined = false;
  std::thread([&] {
    UniqueFd space(::open(("/run/netns/" + name_).c_str(), O_RDONLY | O_CLOEXEC));
    joined = space && setns(space.get(), CLONE_NEWNET) == 0;
    if (joined) body();
  }).join();
  return joined;
}

bool connectNamespaces(const NetworkNamespace& a, const std::vector<std::string>& aAddresses,
                       const NetworkNamespace& b, const std::vector<std::string>& bAddresses) {
  static std::atomic<int> counter{0};
  const std::string suffix = std::to_string(getpid() % 100000) + "x" + std::to_string(counter++);
  const std::string endA = "va" + suffix, endB = "vb" + suffix;
  bool ok = runCommand({"ip", "link", "add", endA, "netns", a.name(), "type", "veth", "peer", "name", endB, "netns", b.name()});
  const auto addAddress = [](const NetworkNamespace& space, const std::string& address, const std::string& device) {
    std::vector<std::string> command = {"ip", "-n", space.name(), "addr", "add", address, "dev", device};
    if (address.find(':') != std::string::npos) command.push_back("nodad");
    return runCommand(command);
  };
  for (const auto& address : aAddresses) ok = ok && addAddress(a, address, endA);
  for (const auto& address : bAddresses) ok = ok && addAddress(b, address, endB);
  ok = ok && runCommand({"ip", "-n", a.name(), "link", "set", endA, "up"});
  return ok && runCommand({"ip", "-n", b.name(), "link", "set", endB, "up"});
}

bool tcpConnects(const NetworkNamespace& from, const std::string& address, uint16_t port, int timeoutMs) {
  UniqueFd fd = from.socket(AF_INET, SOCK_STREAM | SOCK_NONBLOCK);
  sockaddr_in target{};
  target.sin_family = AF_INET;
  target.sin_port = htons(port);
  inet_pton(AF_INET, address.c_str(), &target.sin_addr);
  if (::connect(fd.get(), reinterpret_cast<sockaddr*>(&target), sizeof target) == 0) return true;
  if (errno != EINPROGRESS) return false;
  pollfd entry{fd.get(), POLLOUT, 0};
  if (::poll(&entry, 1, timeoutMs) <= 0) return false;
  int error = 0;
  socklen_t length = sizeof error;
  getsockopt(fd.get(), SOL_SOCKET, SO_ERROR, &error, &length);
  return error == 0;
}

}  // namespace vlvpn::test
