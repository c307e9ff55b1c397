#include "desktop/tunnel/session_controller.h"

#include <charconv>
#include <sstream>
#include <system_error>

#include "common/file_bytes.h"
#include "common/path_bytes.h"
#include "common/text.h"
#include "common/openvpn_arguments.h"
#include "desktop/tunnel/failure_classifier.h"
#include "desktop/tunnel/management_access.h"
#include "desktop/tunnel/management_protocol.h"
#include "desktop/tunnel/openvpn_launcher.h"
#include "desktop/tunnel/probes.h"
#include "desktop/tunnel/tap_adapter.h"

namespace vlvpn::tunnel {
namespace fs = std::filesystem;
namespace {

using nlohmann::json;

constexpr const char* kActiveFile = "active.txt";

json connecting() { return {{"state", kStateConnecting}}; }
json superseded() { return {{"state", kStateConnecting}, {"superseded", true}}; }

// connectWorkersActive counts this worker on every way out.
class ActiveConnectWorker {
 public:
  explicit ActiveConnectWorker(TunnelState& tunnel) : tunnel_(tunnel) { ++tunnel_.connectWorkersActive; }
  ~ActiveConnectWorker() { --tunnel_.connectWorkersActive; }
  ActiveConnectWorker(const ActiveConnectWorker&) = delete;
  ActiveConnectWorker& operator=(const ActiveConnectWorker&) = delete;

 private:
  TunnelState& tunnel_;
};

bool isSuperseded(const TunnelPorts& ports, const ConnectRequest& request) {
  return ports.tunnel->connectGeneration != request.generation;
}

bool isRegularFile(const fs::path& path) {
  std::error_code error;
  return fs::is_regular_file(path, error);
}

// Ends whatever OpenVPN ran before: one on the port that this program does
// not hold, then the recorded one, whose process gets up to 2 s.
void stopPreviousOpenVpn(const TunnelPorts& ports) {
  std::shared_ptr<ManagementConnection> held;
  {
    std::lock_guard lock(ports.tunnel->sessionMutex);
    held = ports.tunnel->session.managementSocket;
  }
  if (!held) {
    if (auto stray = ports.management->connect()) {
      sendManagementCommand(stray.get(), "signal SIGTERM");
      stray.reset();
      for (int poll = 0; poll < kStrayOpenVpnPolls; ++poll) {
        ports.sleep(kShortPoll);
        if (!ports.management->connect()) break;
      }
    }
  }
  {
    std::lock_guard lock(ports.tunnel->sessionMutex);
    sendManagementCommand(ports.tunnel->session.managementSocket.get(), "signal SIGTERM");
  }
  ports.monitor->stopMonitor();
  std::lock_guard lock(ports.tunnel->sessionMutex);
  auto& session = ports.tunnel->session;
  session.managementSocket.reset();
  if (session.processHandle) {
    session.processHandle->waitForExit(kPreviousExitWait);
    session.processHandle.reset();
  }
}

// Resolves the server's host for the kill switch, retrying while the network
// may still be settling; records and persists what it found.
void recordServerAddresses(const TunnelPorts& ports, const std::string& addresses) {
  ServerEndpoint endpoint;
  {
    std::lock_guard lock(ports.tunnel->sessionMutex);
    ports.tunnel->session.endpoint.addresses = addresses;
    endpoint = ports.tunnel->session.endpoint;
  }
  ports.killSwitch->saveServerEndpoint(endpoint);
}

// The kill switch stays up throughout: the set in force is replaced by one
// that also lets DNS out, the server is resolved through it, and the set is
// replaced again with what was found. Nothing else gets out meanwhile.
void fenceServer(const TunnelPorts& ports, const std::string& host) {
  ports.killSwitch->applyKillSwitch(true);
  // An IPv6 address written out has no IPv4 address to wait for; the
  // service's OpenVPN reaches it by its identity.
  if (host.find(':') != std::string::npos) return;
  std::string addresses;
  for (int attempt = 0; attempt < kResolveAttempts && addresses.empty(); ++attempt) {
    if (attempt > 0) ports.sleep(kResolveRetry);
    addresses = resolveIpv4List(*ports.network, host);
  }
  if (addresses.empty()) return;  // the addresses held from before still count
  recordServerAddresses(ports, addresses);
  ports.killSwitch->applyKillSwitch(true);
}

// With the kill switch off the addresses are only remembered, for a kill
// switch turned on later; the connect does not wait for them.
void resolveInBackground(const TunnelPorts& ports, const std::string& host) {
  try {
    ports.startThread([ports, host] {
      const std::string addresses = resolveIpv4List(*ports.network, host);
      if (!addresses.empty()) recordServerAddresses(ports, addresses);
    });
  } catch (const std::system_error&) {
    // The addresses stay unknown; the next connect tries again.
  }
}

bool launchedProcessEnded(const TunnelPorts& ports, const std::shared_ptr<TunnelProcess>& process, bool viaService) {
  if (process) return process->hasEnded();
  if (!viaService) return false;
  const std::string status = ports.service->transact("OPENVPN_STATUS");
  return killswitch::serviceStatusSays(status, "STOPPED");
}

// OpenVPN ended, or never answered: the session is over before it began.
Result<json> failStartedConnect(const TunnelPorts& ports, const ConnectRequest& request, const fs::path& log,
                                const char* fallback) {
  // A newer connect ended this one's OpenVPN in its first steps; the session
  // is the newer connect's now.
  if (isSuperseded(ports, request)) return superseded();
  if (ports.tunnel->launchedViaService) ports.service->transact("OPENVPN_STOP");
  ports.tunnel->launchedViaService = false;
  std::lock_guard lock(ports.tunnel->sessionMutex);
  auto& session = ports.tunnel->session;
  session.state = kStateDisconnected;
  const std::string classified = classifyFailure(log);
  session.message = classified.empty() ? fallback : classified;
  return Error{session.message};
}

Result<json> handOver(const TunnelPorts& ports, const ConnectRequest& request,
                      std::shared_ptr<ManagementConnection> connection) {
  if (isSuperseded(ports, request)) return superseded();  // the newer connect stops this OpenVPN
  {
    std::lock_guard lock(ports.tunnel->sessionMutex);
    ports.tunnel->session.managementSocket = connection;
  }
  if (ports.monitor->startMonitor(connection)) return connecting();

  // Unwatched, the tunnel would say "connecting" for ever: end it instead.
  sendManagementCommand(connection.get(), "signal SIGTERM");
  std::lock_guard lock(ports.tunnel->sessionMutex);
  auto& session = ports.tunnel->session;
  if (session.managementSocket == connection) session.managementSocket.reset();
  session.state = kStateDisconnected;
  session.message = kCouldNotWatch;
  return Error{kCouldNotWatch};
}

}  // namespace

namespace {

// OpenVPN's spellings of its two transports ("udp6", "tcp4-client", ...) as
// the kill switch names them; anything else as it stands.
std::string transportFamily(const std::string& proto) {
  for (const char* family : {"udp", "tcp"}) {
    for (const char* spelling : {"", "4", "6", "-client", "4-client", "6-client"}) {
      if (proto == std::string(family) + spelling) return family;
    }
  }
  return proto;
}

int32_t portNumber(const std::string& word) {
  int32_t port = 0;
  const auto [rest, error] = std::from_chars(word.data(), word.data() + word.size(), port);
  return error == std::errc() && !word.empty() && rest == word.data() + word.size() ? port : 0;
}

}  // namespace

RemoteConfig parseRemoteConfig(std::string_view text) {
  // The last remote line, with its own port and transport where it gives
  // them, as OpenVPN reads it; else the profile's "port"/"rport" and "proto".
  std::string host, remotePort, remoteProto, defaultPort, defaultProto;
  size_t start = 0;
  while (start < text.size()) {
    size_t end = text.find('\n', start);
    if (end == std::string_view::npos) end = text.size();
    std::istringstream words{std::string(text.substr(start, end - start))};
    std::string directive, first, second, third;
    words >> directive >> first >> second >> third;
    if (directive == "remote") {
      host = first;
      remotePort = second;
      remoteProto = third;
    } else if (directive == "proto") {
      defaultProto = first;
    } else if (directive == "port" || directive == "rport") {
      defaultPort = first;
    }
    start = end + 1;
  }
  RemoteConfig remote;
  remote.host = host;
  remote.port = portNumber(remotePort.empty() ? defaultPort : remotePort);
  remote.proto = transportFamily(remoteProto.empty() ? defaultProto : remoteProto);
  return remote;
}

RemoteConfig readRemoteFromConfig(const fs::path& config) {
  const auto text = readFileBytes(config);
  return text ? parseRemoteConfig(*text) : RemoteConfig{};
}

std::optional<fs::path> findConfig(const fs::path& profileFolder, std::string_view fileName) {
  if (isValidConfigFileName(fileName)) {
    const fs::path named = profileFolder / pathFromBytes(fileName);
    if (isRegularFile(named)) return named;
  }
  std::error_code error;
  for (fs::directory_iterator entry(profileFolder, error); !error && entry != fs::directory_iterator();
       entry.increment(error)) {
    if (entry->path().extension() == ".ovpn" && isRegularFile(entry->path())) return entry->path();
  }
  return std::nullopt;
}

Result<json> runConnect(const TunnelPorts& ports, const ConnectRequest& request) {
  ActiveConnectWorker counted(*ports.tunnel);

  const fs::path exe = ports.locateOpenVpn();
  if (exe.empty()) return Error{std::string(kOpenVpnNotFound) + kOpenVpnDownloads};
  if (!ensureTapAdapter({*ports.adapters, *ports.elevated, ports.sleep}, exe)) return Error{kNoTapAdapter};

  stopPreviousOpenVpn(ports);

  auto folder = ports.profiles->profileFolder(request.profileId);
  if (!folder) return folder.error();
  const fs::path credentials = folder.value() / "auth.txt";
  if (!request.username.empty()) {
    // Never start OpenVPN with the old credentials when the new ones could not be written.
    if (!ports.profiles->saveCredentials(request.profileId, {request.username, request.password})) {
      return Error{kCouldNotWriteAuth};
    }
  }
  const auto config = findConfig(folder.value(), request.configFileName);
  if (!config) return Error{kConfigNotFound + request.profileId};

  const fs::path log = folder.value() / "openvpn.log";
  rotateLog(folder.value());
  // Made here, as the user: the service opens a user's log but never makes
  // one on the user's behalf.
  writeFileBytes(log, "");

  const bool killSwitchOn = ports.killSwitch->killSwitchEnabled;
  if (!killSwitchOn) ports.killSwitch->liftKillSwitch();
  const RemoteConfig remote = readRemoteFromConfig(*config);
  {
    std::lock_guard lock(ports.tunnel->sessionMutex);
    ports.tunnel->session.endpoint.proto = remote.proto;
    ports.tunnel->session.endpoint.port = remote.port;
    ports.tunnel->session.carriesDns = false;
  }
  if (killSwitchOn) {
    fenceServer(ports, remote.host);
  } else {
    resolveInBackground(ports, remote.host);
  }

  // A fresh password each connect: the management port answers any local
  // user, who would otherwise read the session's log and signal OpenVPN.
  const fs::path password = folder.value() / kManagementPasswordFile;
  if (!writeOwnerOnlyFile(password, newManagementPassword() + "\n")) return Error{kCouldNotWritePassword};
  const std::string args = buildCommandLine(*config, credentials, isRegularFile(credentials), log, password);
  ports.killSwitch->setIpv6Block(ports.killSwitch->blockIpv6Enabled);

  if (isSuperseded(ports, request)) return superseded();
  LaunchResult launched = launchOpenVpn({*ports.service, *ports.elevated, ports.sleep, ports.openProcess}, exe, args);
  if (!launched.ok) return Error{launched.error.empty() ? kLaunchFailed : launched.error};

  {
    std::lock_guard lock(ports.tunnel->sessionMutex);
    auto& session = ports.tunnel->session;
    session.processHandle = launched.process;
    session.state = kStateConnecting;
    session.profileId = request.profileId;
    session.logPath = log;
  }
  ports.tunnel->launchedViaService = launched.launchedViaService;
  writeActiveProfile(ports, request.profileId);
  ports.tunnel->sessionOwned = true;

  // About 15 s for OpenVPN's management port to answer.
  std::shared_ptr<ManagementConnection> connection;
  for (int pass = 0; pass < kPortPolls && !connection; ++pass) {
    ports.sleep(kPortPollInterval);
    connection = ports.management->connect();
    // Whatever else answers on the port (another user's program holding it)
    // is not this tunnel.
    if (connection && launched.process && !ports.managementListenerIs(launched.process->pid())) connection.reset();
    if (launchedProcessEnded(ports, launched.process, launched.launchedViaService)) {
      return failStartedConnect(ports, request, log, kExitedBeforeConnecting);
    }
  }
  if (!connection) return failStartedConnect(ports, request, log, kNoManagementConnection);
  return handOver(ports, request, std::move(connection));
}

json runDisconnect(const TunnelPorts& ports) {
  ports.tunnel->sessionOwned = false;
  const bool viaService = ports.tunnel->launchedViaService;
  std::shared_ptr<TunnelProcess> process;
  {
    std::lock_guard lock(ports.tunnel->sessionMutex);
    sendManagementCommand(ports.tunnel->session.managementSocket.get(), "signal SIGTERM");
    process = ports.tunnel->session.processHandle;
  }
  if (process) {
    process->waitForExit(kDisconnectExitWait);
  } else {
    for (int poll = 0; poll < kDisconnectPolls; ++poll) {
      ports.sleep(kShortPoll);
      if (!ports.management->connect()) break;
    }
  }
  if (viaService) ports.service->transact("OPENVPN_STOP");
  ports.tunnel->launchedViaService = false;
  ports.monitor->stopMonitor();
  {
    std::lock_guard lock(ports.tunnel->sessionMutex);
    auto& session = ports.tunnel->session;
    session.managementSocket.reset();
    session.processHandle.reset();
    session.state = kStateDisconnected;
    session.message.clear();
    session.profileId.clear();
    session.logPath.clear();
    session.carriesDns = false;
  }
  removeActiveProfile(ports);
  ports.killSwitch->removeServerEndpoint();
  ports.killSwitch->setIpv6Block(false);
  if (ports.killSwitch->killSwitchEnabled) {
    ports.killSwitch->applyKillSwitch(false);
  } else {
    ports.killSwitch->liftKillSwitch();
  }
  return {{"state", kStateDisconnected}};
}

void writeActiveProfile(const TunnelPorts& ports, std::string_view profileId) {
  writeFileBytes(ports.dataFolder() / kActiveFile, profileId);
}

std::string readActiveProfile(const TunnelPorts& ports) { return readActiveProfileIn(ports.dataFolder()); }

std::string readActiveProfileIn(const fs::path& dataFolder) {
  return std::string(trimTrailing(readFileBytes(dataFolder / kActiveFile).value_or(""), "\r\n "));
}

void removeActiveProfile(const TunnelPorts& ports) {
  std::error_code ignored;
  fs::remove(ports.dataFolder() / kActiveFile, ignored);
}

}  // namespace vlvpn::tunnel
