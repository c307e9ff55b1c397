#include "service/wfp_platform_win32.h"

#include <iphlpapi.h>
#include <rpc.h>
#include <sddl.h>

#include "common/text.h"
#include "common/win32/mingw_compat.h"
#include "common/win32/unique_handle.h"
#include "common/win32/wide.h"
#include "service/accounts_win32.h"

namespace vlvpn::service {
namespace {

class SystemWfpPlatform final : public WfpPlatform {
 public:
  DWORD openSession(HANDLE* engine) override {
    FWPM_SESSION0 session{};
    session.flags = win32compat::kSessionFlagDynamic;
    return FwpmEngineOpen0(nullptr, RPC_C_AUTHN_WINNT, nullptr, &session, engine);
  }
  void closeSession(HANDLE engine) override { FwpmEngineClose0(engine); }
  DWORD beginTransaction(HANDLE engine) override { return FwpmTransactionBegin0(engine, 0); }
  DWORD commitTransaction(HANDLE engine) override { return FwpmTransactionCommit0(engine); }
  DWORD abortTransaction(HANDLE engine) override { return FwpmTransactionAbort0(engine); }
  DWORD addSublayer(HANDLE engine, const FWPM_SUBLAYER0& sublayer) override {
    return FwpmSubLayerAdd0(engine, &sublayer, nullptr);
  }
  DWORD addFilter(HANDLE engine, const FWPM_FILTER0& filter, UINT64* id) override {
    return FwpmFilterAdd0(engine, &filter, nullptr, id);
  }
  DWORD deleteFilter(HANDLE engine, UINT64 id) override { return FwpmFilterDeleteById0(engine, id); }

  std::vector<uint64_t> tapAdapters() override { return findTapAdapters(); }

  std::shared_ptr<FWP_BYTE_BLOB> appId(const std::wstring& path) override {
    FWP_BYTE_BLOB* blob = nullptr;
    if (FwpmGetAppIdFromFileName0(path.c_str(), &blob) != ERROR_SUCCESS || !blob) return nullptr;
    return std::shared_ptr<FWP_BYTE_BLOB>(blob, [](FWP_BYTE_BLOB* owned) {
      FwpmFreeMemory0(reinterpret_cast<void**>(&owned));
    });
  }

  // A descriptor that lets the Network Location Awareness service's account
  // through, so Windows can still tell that the network works.
  std::shared_ptr<FWP_BYTE_BLOB> nlaServiceUser() override {
    BYTE sid[68];
    DWORD sidSize = sizeof sid;
    wchar_t domain[256];
    DWORD domainSize = 256;
    SID_NAME_USE use;
    if (!LookupAccountNameW(nullptr, L"NT SERVICE\\NlaSvc", sid, &sidSize, domain, &domainSize, &use)) return nullptr;
    return userDescriptor(sid);
  }

  std::shared_ptr<FWP_BYTE_BLOB> serviceUser() override {
    const PSID sid = serviceAccount().get();
    return sid ? userDescriptor(sid) : nullptr;
  }

 private:
  // A descriptor whose one entry lets `sid` match (owner LocalSystem).
  static std::shared_ptr<FWP_BYTE_BLOB> userDescriptor(PSID sid) {
    wchar_t* sidText = nullptr;
    if (!ConvertSidToStringSidW(sid, &sidText)) return nullptr;
    const std::wstring sddl = std::wstring(L"O:LSD:(A;;CC;;;") + sidText + L")";
    LocalFree(sidText);
    PSECURITY_DESCRIPTOR descriptor = nullptr;
    ULONG size = 0;
    if (!ConvertStringSecurityDescriptorToSecurityDescriptorW(sddl.c_str(), SDDL_REVISION_1, &descriptor, &size)) {
      return nullptr;
    }
    auto* blob = new FWP_BYTE_BLOB{size, static_cast<UINT8*>(descriptor)};
    return std::shared_ptr<FWP_BYTE_BLOB>(blob, [](FWP_BYTE_BLOB* owned) {
      LocalFree(owned->data);
      delete owned;
    });
  }
};

}  // namespace

std::unique_ptr<WfpPlatform> WfpPlatform::create() { return std::make_unique<SystemWfpPlatform>(); }

std::vector<uint64_t> findTapAdapters() {
  std::vector<uint64_t> luids;
  const ULONG flags = GAA_FLAG_SKIP_UNICAST | GAA_FLAG_SKIP_ANYCAST | GAA_FLAG_SKIP_MULTICAST |
                      GAA_FLAG_SKIP_DNS_SERVER | GAA_FLAG_INCLUDE_ALL_INTERFACES;
  ULONG size = 16384;
  std::vector<unsigned char> buffer(size);
  ULONG result = GetAdaptersAddresses(AF_UNSPEC, flags, nullptr,
                                      reinterpret_cast<IP_ADAPTER_ADDRESSES*>(buffer.data()), &size);
  if (result == ERROR_BUFFER_OVERFLOW) {
    buffer.resize(size);
    result = GetAdaptersAddresses(AF_UNSPEC, flags, nullptr, reinterpret_cast<IP_ADAPTER_ADDRESSES*>(buffer.data()),
                                  &size);
  }
  if (result != ERROR_SUCCESS) return luids;
  for (auto* adapter = reinterpret_cast<IP_ADAPTER_ADDRESSES*>(buffer.data()); adapter; adapter = adapter->Next) {
    if (adapter->Description && isTapAdapterDescription(utf8FromWide(adapter->Description))) {
      luids.push_back(adapter->Luid.Value);
    }
  }
  return luids;
}

}  // namespace vlvpn::service
