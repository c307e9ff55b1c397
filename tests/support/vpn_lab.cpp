#include "tests/support/vpn_lab.h"

#include <unistd.h>

#include <fstream>
#include <iterator>
#include <thread>

#include "common/posix/subprocess.h"

namespace vlvpn::test {
namespace {

const std::string kLab = std::string(VLVPN_SOURCE_DIR) + "/scripts/vpn-lab";

std::string fileText(const std::filesystem::path& path) {
  std::ifstream in(path, std::ios::binary);
  return std::string(std::istreambuf_iterator<char>(in), {});
}

}  // namespace

bool canRunVpnLab() {
  return canMakeNetworkNamespaces() && std::filesystem::exists("/dev/net/tun") &&
         std::filesystem::exists("/usr/sbin/openvpn") && ::access(kLab.c_str(), X_OK) == 0;
}

VpnLab::VpnLab(const std::filesystem::path& scratch, const std::string& proto) : pki_(scratch / "pki"), proto_(proto) {
  ready_ = connectNamespaces(server, {std::string(kLabServerAddress) + "/24"}, client, {"10.231.0.2/24"}) &&
           runCapturingOutputOk({"ip", "-n", client.name(), "tuntap", "add", "dev", "tap-windows0", "mode", "tun"}) &&
           runCapturingOutputOk({kLab, "pki", pki_.string()}) &&
           runCapturingOutputOk({kLab, "server", pki_.string(), proto, kLabServerAddress});
  if (!ready_) return;
  auto profile = runCapturingOutput({kLab, "profile", pki_.string(), proto, kLabServerAddress});
  ready_ = profile && profile.value().exitCode == 0;
  if (ready_) profile_ = profile.value().standardOutput;
}

VpnLab::~VpnLab() { killServer(); }

bool VpnLab::startServer() {
  const auto log = pki_ / "server.log";
  std::filesystem::remove(log);
  std::vector<std::string> args = {"netns", "exec", server.name(), "/usr/sbin/openvpn", "--config",
                                   (pki_ / "server.conf").string(), "--log", log.string()};
  serverProcess_ = ChildProcess::start("/usr/sbin/ip", args);
  if (!serverProcess_) return false;
  for (int attempt = 0; attempt < 200; ++attempt) {
    if (fileText(log).find("Initialization Sequence Completed") != std::string::npos) return true;
    if (serverProcess_->waitForExit(std::chrono::milliseconds(0))) return false;
    std::this_thread::sleep_for(std::chrono::milliseconds(25));
  }
  return false;
}

void VpnLab::killServer() {
  if (!serverProcess_) return;
  // `ip netns exec` has become the server itself, so its pid is the server's.
  serverProcess_->kill();
  serverProcess_->waitForExit(std::chrono::seconds(10));
  serverProcess_.reset();
}

}  // namespace vlvpn::test
