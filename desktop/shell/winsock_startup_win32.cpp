// Windows Sockets 2.2 is started once, before the program's entry point, for
// everything in the program that uses sockets (the management connection,
// the probes, the sign-in listener). It stays started until the process ends.
#include <winsock2.h>

namespace vlvpn::shell {
namespace {

struct WinsockStartup {
  WinsockStartup() {
    WSADATA data;
    WSAStartup(MAKEWORD(2, 2), &data);
  }
};

const WinsockStartup winsockStartup;

}  // namespace
}  // namespace vlvpn::shell
