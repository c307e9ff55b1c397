// Who is at the other end of a Unix socket, as the kernel vouches for it.
#pragma once

#include "service/dispatcher.h"

namespace vlvpn::service {

// The peer's uid and gid, named "uid N" for the log. When the kernel cannot
// tell, `unknownIdentity` says why: such a client gets no file read and
// nothing started for it.
Requester socketPeer(int fd);

}  // namespace vlvpn::service
