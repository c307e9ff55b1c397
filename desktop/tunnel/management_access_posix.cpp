#include <sys/stat.h>
#include <unistd.h>

#include <cstdio>
#include <filesystem>
#include <fstream>
#include <optional>
#include <sstream>
#include <string>

#include "desktop/tunnel/management_access.h"

namespace vlvpn::tunnel {
namespace {

struct Listener {
  uint32_t uid = 0;
  std::string inode;
};

// The socket listening on 127.0.0.1:`port`, from the kernel's table of this
// network namespace.
std::optional<Listener> loopbackListener(uint16_t port) {
  // This thread's network namespace, the one it connects in.
  std::ifstream table("/proc/thread-self/net/tcp");
  char local[16];
  std::snprintf(local, sizeof local, "0100007F:%04X", port);
  std::string line;
  std::getline(table, line);  // the header
  while (std::getline(table, line)) {
    std::istringstream fields(line);
    std::string slot, localAddress, remoteAddress, state, queues, timer, retransmits, timeout;
    Listener listener;
    fields >> slot >> localAddress >> remoteAddress >> state >> queues >> timer >> retransmits >> listener.uid >> timeout >>
        listener.inode;
    if (fields && localAddress == local && state == "0A") return listener;
  }
  return std::nullopt;
}

}  // namespace

bool managementListenerBelongsTo(uint32_t pid, uint16_t port) {
  const auto listener = loopbackListener(port);
  if (!listener) return false;
  const std::filesystem::path process = "/proc/" + std::to_string(pid);
  std::error_code error;
  std::filesystem::directory_iterator descriptors(process / "fd", error);
  if (!error) {
    const std::string socket = "socket:[" + listener->inode + "]";
    for (const auto& entry : descriptors) {
      std::error_code unreadable;
      if (std::filesystem::read_symlink(entry.path(), unreadable).string() == socket) return true;
    }
    return false;
  }
  // Another user's process, the service's OpenVPN: root's listener is root's.
  struct stat owner {};
  return ::stat(process.c_str(), &owner) == 0 && owner.st_uid == 0 && listener->uid == 0;
}

}  // namespace vlvpn::tunnel
