#include "tests/support/vpn_lab.h"

#include <unistd.h>

#include <algorithm>
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

std::string withServerLines(const std::string& profile, const std::string& connectionLines) {
  std::string result;
  bool placed = false;
  size_t start = 0;
  while (start < profile.size()) {
    const size_t end = std::min(profile.find('\n', start), profile.size());
    const std::string line = profile.substr(start, end - start);
    if (line.starts_with("proto ") || line.starts_with("remote ")) {
      if (!placed) result += connectionLines;
      placed = true;
    } else {
      result += line + "\n";
    }
    start = end + 1;
  }
  return result;
}

VpnLab::VpnLab(const std::filesystem::path& scratch, const std::string& proto, LabServerOptions options)
    : pki_(scratch / "pki"), proto_(proto) {
  std::vector<std::string> serverLink{std::string(kLabServerAddress) + "/24"}, clientLink{std::string(kLabClientAddress) + "/24"};
  if (options.ipv6) {
    serverLink.push_back(std::string(kLabServerAddress6) + "/64");
    clientLink.push_back("fd00:231::2/64");
  }
  const std::string serverProto = options.ipv6 ? proto + "6" : proto;
  ready_ = connectNamespaces(server, serverLink, client, clientLink) &&
           runCapturingOutputOk({"ip", "-n", client.name(), "tuntap", "add", "dev", "tap-windows0", "mode", "tun"}) &&
           runCapturingOutputOk({kLab, "pki", pki_.string()}) &&
           runCapturingOutputOk({kLab, "server", pki_.string(), serverProto,
                                 options.ipv6 ? kLabServerAddress6 : kLabServerAddress});
  if (!ready_) return;
  if (!options.extraLines.empty()) {
    std::ofstream conf(pki_ / "server.conf", std::ios::app);
    for (const auto& line : options.extraLines) conf << line << "\n";
  }
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
