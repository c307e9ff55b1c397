#include <winsock2.h>
#include <ws2tcpip.h>
#include <windows.h>
#include <iphlpapi.h>
#include <netioapi.h>

#include <vector>

#include "common/win32/wide.h"
#include "desktop/tunnel/adapter_query.h"

namespace vlvpn::tunnel {
namespace {

class IpHelperAdapterQuery final : public AdapterQuery {
 public:
  std::optional<std::vector<AdapterInfo>> adapters() override {
    return list(AF_UNSPEC, GAA_FLAG_SKIP_ANYCAST | GAA_FLAG_SKIP_MULTICAST | GAA_FLAG_SKIP_DNS_SERVER |
                               GAA_FLAG_INCLUDE_ALL_INTERFACES);
  }

  // Without the hidden interfaces (filter and miniport instances of an
  // adapter, some of them Ethernet and up), which would make any machine
  // look connected.
  std::optional<std::vector<AdapterInfo>> ipv4Adapters() override {
    return list(AF_INET, GAA_FLAG_SKIP_UNICAST | GAA_FLAG_SKIP_ANYCAST | GAA_FLAG_SKIP_MULTICAST |
                             GAA_FLAG_SKIP_DNS_SERVER);
  }

  std::optional<InterfaceCounters> counters(uint64_t luid) override {
    MIB_IF_ROW2 row{};
    row.InterfaceLuid.Value = luid;
    if (GetIfEntry2(&row) != NO_ERROR) return std::nullopt;
    return InterfaceCounters{row.InOctets, row.OutOctets};
  }


 private:
  static std::optional<std::vector<AdapterInfo>> list(ULONG family, ULONG flags) {
    ULONG size = 16384;
    std::vector<unsigned char> buffer(size);
    auto* first = reinterpret_cast<IP_ADAPTER_ADDRESSES*>(buffer.data());
    ULONG result = GetAdaptersAddresses(family, flags, nullptr, first, &size);
    if (result == ERROR_BUFFER_OVERFLOW) {
      buffer.assign(size, 0);
      first = reinterpret_cast<IP_ADAPTER_ADDRESSES*>(buffer.data());
      result = GetAdaptersAddresses(family, flags, nullptr, first, &size);
    }
    if (result != ERROR_SUCCESS) return std::nullopt;

    std::vector<AdapterInfo> found;
    for (const IP_ADAPTER_ADDRESSES* adapter = first; adapter; adapter = adapter->Next) {
      AdapterInfo info;
      if (adapter->Description) info.description = utf8FromWide(adapter->Description);
      info.up = adapter->OperStatus == IfOperStatusUp;
      info.ifType = adapter->IfType;
      info.luid = adapter->Luid.Value;
      for (auto* unicast = adapter->FirstUnicastAddress; unicast; unicast = unicast->Next) {
        const sockaddr* address = unicast->Address.lpSockaddr;
        if (address && address->sa_family == AF_INET) {
          info.ipv4.push_back(ntohl(reinterpret_cast<const sockaddr_in*>(address)->sin_addr.s_addr));
        }
      }
      found.push_back(std::move(info));
    }
    return found;
  }
};

}  // namespace

std::unique_ptr<AdapterQuery> AdapterQuery::create() { return std::make_unique<IpHelperAdapterQuery>(); }

}  // namespace vlvpn::tunnel
