#include <signal.h>
#include <unistd.h>

#include <atomic>

#include "service/service_host.h"

namespace vlvpn::service {
namespace {

std::atomic<StopSignal*> activeStop{nullptr};

void onTerminate(int) {
  if (StopSignal* stop = activeStop.load()) stop->signal();
}

}  // namespace

int runConsole(const ServiceBody& body) {
  StopSignal stop;
  activeStop = &stop;
  struct sigaction action {};
  action.sa_handler = onTerminate;
  sigemptyset(&action.sa_mask);
  sigaction(SIGTERM, &action, nullptr);
  sigaction(SIGINT, &action, nullptr);
  signal(SIGPIPE, SIG_IGN);
  const int code = body(stop);
  activeStop = nullptr;
  return code;
}

int runAsService(const ServiceBody& body) { return runConsole(body); }

int configureInstalledService(const wchar_t*) { return 0; }

}  // namespace vlvpn::service
