#include <winsock2.h>
#include <ws2tcpip.h>
#include <iphlpapi.h>

#include <vector>

#include "desktop/tunnel/management_access.h"

namespace vlvpn::tunnel {

bool managementListenerBelongsTo(uint32_t pid, uint16_t port) {
  ULONG size = 0;
  GetExtendedTcpTable(nullptr, &size, FALSE, AF_INET, TCP_TABLE_OWNER_PID_LISTENER, 0);
  for (int attempt = 0; attempt < 3; ++attempt) {
    std::vector<unsigned char> buffer(size + 1024);
    size = static_cast<ULONG>(buffer.size());
    const DWORD result = GetExtendedTcpTable(buffer.data(), &size, FALSE, AF_INET, TCP_TABLE_OWNER_PID_LISTENER, 0);
    if (result == ERROR_INSUFFICIENT_BUFFER) continue;
    if (result != NO_ERROR) return false;
    const auto* table = reinterpret_cast<const MIB_TCPTABLE_OWNER_PID*>(buffer.data());
    for (DWORD i = 0; i < table->dwNumEntries; ++i) {
      const MIB_TCPROW_OWNER_PID& row = table->table[i];
      if (ntohl(row.dwLocalAddr) == INADDR_LOOPBACK && ntohs(static_cast<u_short>(row.dwLocalPort)) == port) {
        // Process 0 owns no socket on Windows: a table that names it cannot
        // tell the owner (Wine's), and the listener is taken as before.
        return row.dwOwningPid == pid || row.dwOwningPid == 0;
      }
    }
    return false;
  }
  return false;
}

}  // namespace vlvpn::tunnel
