// A client's end of the Linux service's Unix socket.
#pragma once

#include <sys/socket.h>
#include <sys/un.h>

#include <cstring>
#include <string>

#include "common/posix/unique_fd.h"

namespace vlvpn::test {

// Connected to the socket at `path`, or empty when nothing accepts there.
inline UniqueFd connectUnixSocket(const std::string& path) {
  UniqueFd fd(::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0));
  sockaddr_un address{};
  address.sun_family = AF_UNIX;
  std::strncpy(address.sun_path, path.c_str(), sizeof address.sun_path - 1);
  if (!fd || ::connect(fd.get(), reinterpret_cast<sockaddr*>(&address), sizeof address) != 0) return UniqueFd();
  return fd;
}

}  // namespace vlvpn::test
