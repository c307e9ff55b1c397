// The kill-switch service, measured against floors on the same machine in
// the same run: a PING round trip beside a bare echo server on the same kind
// of socket; PING while OPENVPN_START holds the command lock and while 300
// clients sit silent; ENABLE until the table is live beside libnftables run
// in-process; the service's resident memory over 200,000 requests. As root
// it runs in a network namespace of its own. Run by scripts/bench, which
// writes what it prints into docs/benchmarks.md.
#include <nftables/libnftables.h>
#include <sched.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

#include <atomic>
#include <cstdlib>
#include <cstdio>
#include <cstring>
#include <fstream>
#include <thread>

#include "common/openvpn_arguments.h"
#include "common/posix/unique_fd.h"
#include "service/dispatcher.h"
#include "service/filter_plan.h"
#include "service/nftables_rules.h"
#include "tests/bench/bench_stats.h"
#include "tests/support/killswitch_service.h"
#include "tests/support/temp_dir.h"
#include "tests/support/unix_socket_client.h"

namespace vlvpn::bench {
namespace {

using test::KillSwitchService;
using test::serviceRequest;

constexpr int kPingRounds = 20000;

UniqueFd listenAt(const std::string& path) {
  UniqueFd fd(::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0));
  sockaddr_un address{};
  address.sun_family = AF_UNIX;
  std::strncpy(address.sun_path, path.c_str(), sizeof address.sun_path - 1);
  ::unlink(path.c_str());
  if (::bind(fd.get(), reinterpret_cast<sockaddr*>(&address), sizeof address) != 0 || ::listen(fd.get(), SOMAXCONN) != 0) {
    return {};
  }
  return fd;
}

// The floor: a program of its own, as the service is, whose one thread
// accepts, reads a line, answers PONG and closes, and does nothing else.
int runEchoServer(const std::string& path) {
  UniqueFd listener = listenAt(path);
  if (!listener) return 1;
  for (;;) {
    UniqueFd client(::accept4(listener.get(), nullptr, nullptr, SOCK_CLOEXEC));
    if (!client) continue;
    char buffer[512];
    size_t received = 0;
    while (received < sizeof buffer) {
      const ssize_t n = ::recv(client.get(), buffer + received, sizeof buffer - received, 0);
      if (n <= 0) break;
      received += static_cast<size_t>(n);
      if (std::memchr(buffer, '\n', received)) break;
    }
    if (received > 0) ::send(client.get(), "PONG\n", 5, MSG_NOSIGNAL);
  }
}

class EchoServer {
 public:
  explicit EchoServer(const std::string& path)
      : child_(test::ChildProcess::start("/proc/self/exe", {"--echo", path})) {
    for (int attempt = 0; attempt < 200 && serviceRequest(path, "PING\n") != "PONG"; ++attempt) {
      std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
  }
  int pid() const { return static_cast<int>(child_->pid()); }

 private:
  std::unique_ptr<test::ChildProcess> child_;
};

double pingMicroseconds(const std::string& endpoint) {
  const auto start = Clock::now();
  const std::string reply = serviceRequest(endpoint, "PING\n");
  const double elapsed = microsecondsSince(start);
  return reply == "PONG" ? elapsed : -1;
}

std::vector<double> pings(const std::string& endpoint, int rounds) {
  std::vector<double> samples;
  for (int i = 0; i < rounds; ++i) samples.push_back(pingMicroseconds(endpoint));
  return samples;
}

bool anyFailed(const std::vector<double>& samples) { return std::count(samples.begin(), samples.end(), -1) > 0; }

void row(const char* what, const std::string& ours, const std::string& floor, const std::string& ratio,
         const char* target) {
  std::printf("| %s | %s | %s | %s | %s |\n", what, ours.c_str(), floor.c_str(), ratio.c_str(), target);
}

std::string us(double value) {
  char text[32];
  std::snprintf(text, sizeof text, "%.1f µs", value);
  return text;
}
std::string ms(double value) {
  char text[32];
  std::snprintf(text, sizeof text, "%.2f ms", value);
  return text;
}
std::string times(double value) {
  char text[32];
  std::snprintf(text, sizeof text, "%.2f×", value);
  return text;
}

// Every thread of `pid` (and of this process, for pid 0) allowed on `cpu`
// only, or on every processor when cpu is -1.
void pin(int pid, int cpu) {
  cpu_set_t set;
  CPU_ZERO(&set);
  for (int i = 0; i < CPU_SETSIZE; ++i) {
    if (cpu < 0 || i == cpu) CPU_SET(i, &set);
  }
  if (pid == 0) {
    ::sched_setaffinity(0, sizeof set, &set);
    return;
  }
  for (const auto& task : std::filesystem::directory_iterator("/proc/" + std::to_string(pid) + "/task")) {
    ::sched_setaffinity(std::stoi(task.path().filename().string()), sizeof set, &set);
  }
}

struct PingFigures {
  std::vector<double> ours, floor;
};

// In alternating blocks, each long enough to reach its own steady state:
// one PING to each in turn would have each server woken while the other
// one's processor is still awake, which favours whichever goes second.
PingFigures pingBoth(const std::string& service, const std::string& echo) {
  PingFigures figures;
  constexpr int kBlock = 1000;
  for (int block = 0; block < kPingRounds / kBlock; ++block) {
    for (int i = 0; i < kBlock; ++i) figures.ours.push_back(pingMicroseconds(service));
    for (int i = 0; i < kBlock; ++i) figures.floor.push_back(pingMicroseconds(echo));
  }
  return figures;
}

int pingAgainstEcho(KillSwitchService& service, const std::filesystem::path& scratch) {
  const std::string echoPath = (scratch / "echo.sock").string();
  EchoServer echo(echoPath);
  pings(echoPath, 1000);
  pings(service.endpoint, 1000);

  // A round trip this short is mostly the wake-up of the other side, and
  // that depends on where the scheduler runs it: on the client's processor,
  // or on another that has to be woken first. So both placements are
  // measured as well as the scheduler's own choice.
  struct Placement {
    const char* name;
    int client, server;
  };
  const int cpus = static_cast<int>(std::thread::hardware_concurrency());
  std::vector<Placement> placements = {{"as the scheduler places them", -1, -1}, {"client and server on one processor", 0, 0}};
  if (cpus > 1) placements.push_back({"client and server on two processors", 0, 1});
  for (const auto& placement : placements) {
    pin(0, placement.client);
    pin(static_cast<int>(service.pid()), placement.server);
    pin(echo.pid(), placement.server);
    const PingFigures figures = pingBoth(service.endpoint, echoPath);
    if (anyFailed(figures.ours) || anyFailed(figures.floor)) return std::fprintf(stderr, "bench: a PING went unanswered\n"), 1;
    const std::string what = std::string("PING round trip, ") + placement.name + " (median)";
    row(what.c_str(), us(median(figures.ours)), us(median(figures.floor)),
        times(median(figures.ours) / median(figures.floor)), "≤ 1.5×");
    const std::string tail = std::string("PING round trip, ") + placement.name + " (p99)";
    row(tail.c_str(), us(percentile(figures.ours, 0.99)), us(percentile(figures.floor, 0.99)),
        times(percentile(figures.ours, 0.99) / percentile(figures.floor, 0.99)), "");
  }
  pin(0, -1);
  pin(static_cast<int>(service.pid()), -1);
  return 0;
}

int pingWithSilentClients(KillSwitchService& service) {
  std::vector<UniqueFd> silent;
  for (int i = 0; i < 300; ++i) {
    UniqueFd fd = test::connectUnixSocket(service.endpoint);
    if (!fd) return std::fprintf(stderr, "bench: silent client %d could not connect\n", i), 1;
    silent.push_back(std::move(fd));
  }
  const auto samples = pings(service.endpoint, 2000);
  if (anyFailed(samples)) return std::fprintf(stderr, "bench: a PING went unanswered beside silent clients\n"), 1;
  row("PING p99 with 300 silent clients connected", ms(percentile(samples, 0.99) / 1000), "", "", "< 50 ms");
  return 0;
}

// A profile the service accepts, whose OpenVPN ends at once (no keys): each
// OPENVPN_START then runs every check and starts a process, under the lock.
std::string startRequest(const std::filesystem::path& scratch) {
  const auto folder = scratch / "home" / "VLVPNDesk" / "profiles" / "bench";
  std::filesystem::create_directories(folder);
  std::ofstream(folder / "bench.ovpn") << "client\ndev tun\nproto udp\nremote 127.0.0.1 1194\nnobind\nverb 3\n";
  std::ofstream(folder / "auth.txt") << "user\npassword\n";
  const std::string args = formatOpenVpnArguments(
      {(folder / "bench.ovpn").string(), (folder / "auth.txt").string(), (folder / "openvpn.log").string()});
  return "OPENVPN_START\t/usr/sbin/openvpn\t" + args + "\n";
}

int pingUnderTheCommandLock(KillSwitchService& service, const std::filesystem::path& scratch) {
  if (!std::filesystem::exists("/usr/sbin/openvpn")) return std::fprintf(stderr, "bench: no /usr/sbin/openvpn\n"), 1;
  const std::string start = startRequest(scratch);
  const std::string first = serviceRequest(service.endpoint, start);
  if (first.rfind("OK ", 0) != 0) return std::fprintf(stderr, "bench: OPENVPN_START answered %s\n", first.c_str()), 1;
  std::atomic<bool> done{false};
  std::atomic<int> starts{0};
  std::thread holder([&] {
    while (!done) {
      serviceRequest(service.endpoint, start);
      serviceRequest(service.endpoint, "OPENVPN_STOP\n");
      ++starts;
    }
  });
  const auto samples = pings(service.endpoint, 5000);
  done = true;
  holder.join();
  if (anyFailed(samples)) return std::fprintf(stderr, "bench: a PING went unanswered under the lock\n"), 1;
  const auto idle = pings(service.endpoint, 5000);
  char note[64];
  std::snprintf(note, sizeof note, "(%d starts meanwhile)", starts.load());
  row("PING median while OPENVPN_START and OPENVPN_STOP hold the command lock", us(median(samples)),
      us(median(idle)) + " idle", times(median(samples) / median(idle)), note);
  row("PING p99 while the command lock is held", us(percentile(samples, 0.99)), us(percentile(idle, 0.99)) + " idle",
      times(percentile(samples, 0.99) / percentile(idle, 0.99)), "");
  return 0;
}

bool tableIsLive(nft_ctx* context) {
  return nft_run_cmd_from_buffer(context, "list table inet VLVPNKillSwitch") == 0;
}

int killSwitchApply(KillSwitchService& service) {
  const std::string arguments = "udp 1194 1 198.18.0.2,198.18.0.3 /usr/bin/VLVPNDesk";
  const service::FilterPlan plan =
      service::buildKillSwitchPlan(service::parseEnableArguments(arguments), service::KillSwitchContext{});
  const std::string script = service::renderNftablesScript(plan, [](uint64_t) { return std::nullopt; });
  constexpr int kRounds = 200;

  // The floor first: its tables belong to this process's socket until it lets go.
  std::vector<double> floor;
  {
    nft_ctx* context = nft_ctx_new(NFT_CTX_DEFAULT);
    nft_ctx_buffer_output(context);
    nft_ctx_buffer_error(context);
    for (int i = 0; i < kRounds; ++i) {
      const auto start = Clock::now();
      const int rc = nft_run_cmd_from_buffer(context, script.c_str());
      floor.push_back(microsecondsSince(start));
      if (rc != 0) {
        std::fprintf(stderr, "bench: libnftables refused the kill switch: %s\n", nft_ctx_get_error_buffer(context));
        nft_ctx_free(context);
        return 1;
      }
    }
    nft_run_cmd_from_buffer(context, service::renderNftablesRemoval(service::FilterSet::KillSwitch).c_str());
    nft_ctx_free(context);
  }

  nft_ctx* observer = nft_ctx_new(NFT_CTX_DEFAULT);
  nft_ctx_buffer_output(observer);
  nft_ctx_buffer_error(observer);
  std::vector<double> ours;
  bool live = true;
  for (int i = 0; i < kRounds; ++i) {
    const auto start = Clock::now();
    const std::string reply = serviceRequest(service.endpoint, "ENABLE " + arguments + "\n");
    ours.push_back(microsecondsSince(start));
    live = live && reply == "OK" && tableIsLive(observer);  // the reply comes once the table is in place
  }
  serviceRequest(service.endpoint, "DISABLE\n");
  nft_ctx_free(observer);
  if (!live) return std::fprintf(stderr, "bench: an ENABLE did not leave the table live\n"), 1;
  row("kill switch apply: ENABLE until the table is live (median)", us(median(ours)), us(median(floor)) + " in-process",
      times(median(ours) / median(floor)), "≤ 2×");
  return 0;
}

int memoryOverRequests(KillSwitchService& service) {
  const char* requests[] = {"PING\n", "OPENVPN_STATUS\n", "NO_SUCH_COMMAND\n", "OPENVPN_START\tx\n"};
  const long idle = residentKib(static_cast<int>(service.pid()));
  long after[2] = {};
  for (int block = 0; block < 2; ++block) {
    for (int i = 0; i < 100000; ++i) serviceRequest(service.endpoint, requests[i % 4]);
    after[block] = residentKib(static_cast<int>(service.pid()));
  }
  char text[160];
  std::snprintf(text, sizeof text, "%ld KiB idle, %ld KiB after 100,000, %ld KiB after 200,000", idle, after[0], after[1]);
  char growth[64];
  std::snprintf(growth, sizeof growth, "%+ld KiB over the second 100,000", after[1] - after[0]);
  row("service resident memory", text, "", growth, "flat");
  return 0;
}

int run() {
  const bool root = ::geteuid() == 0;
  // Its own network, so the kill switch fences nothing of the machine's.
  if (root && ::unshare(CLONE_NEWNET) != 0) return std::fprintf(stderr, "bench: no network namespace\n"), 1;
  test::TempDir scratch;
  KillSwitchService service(scratch.path());
  if (!service.waitUntilAnswering()) return std::fprintf(stderr, "bench: the service did not answer\n"), 1;

  std::printf("| measure | ours | floor | ratio | target |\n|---|---|---|---|---|\n");
  int failures = pingAgainstEcho(service, scratch.path());
  failures += pingWithSilentClients(service);
  if (root) {
    failures += pingUnderTheCommandLock(service, scratch.path());
    failures += killSwitchApply(service);
  } else {
    std::fprintf(stderr, "bench: not root: the command-lock and kill-switch figures need a namespace of their own\n");
  }
  failures += memoryOverRequests(service);
  return failures == 0 ? 0 : 1;
}

}  // namespace
}  // namespace vlvpn::bench

int main(int argc, char** argv) {
  if (argc == 3 && std::string(argv[1]) == "--echo") return vlvpn::bench::runEchoServer(argv[2]);
  return vlvpn::bench::run();
}
