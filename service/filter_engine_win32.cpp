#include <winsock2.h>
#include <windows.h>
#include <fwpmu.h>
#include <iphlpapi.h>
#include <rpc.h>
#include <sddl.h>

#include <utility>
#include <string>

#include "common/win32/mingw_compat.h"
#include "common/win32/wide.h"
#include "service/filter_engine.h"
#include "service/openvpn_start_policy.h"
#include "service/wfp_filter_records_win32.h"

namespace vlvpn::service {
namespace {

namespace compat = win32compat;

constexpr GUID kKillSwitchSublayer = {0x3b1f9e42, 0x7c8a, 0x4d6e, {0x9f, 0x11, 0xb0, 0x12, 0x34, 0x56, 0x78, 0x9a}};
constexpr GUID kIpv6BlockSublayer = {0x3b1f9e42, 0x7c8a, 0x4d6e, {0x9f, 0x11, 0xb0, 0x12, 0x34, 0x56, 0x78, 0x9b}};

// A dynamic engine session: closing it deletes every sublayer and filter it
// added, and so does the end of the process.
class UniqueWfpEngine {
 public:
  UniqueWfpEngine() = default;
  UniqueWfpEngine(UniqueWfpEngine&& other) noexcept : handle_(std::exchange(other.handle_, nullptr)) {}
  UniqueWfpEngine& operator=(UniqueWfpEngine&& other) noexcept {
    if (this != &other) {
      reset();
      handle_ = std::exchange(other.handle_, nullptr);
    }
    return *this;
  }
  ~UniqueWfpEngine() { reset(); }
  HANDLE get() const { return handle_; }
  HANDLE* put() {
    reset();
    return &handle_;
  }
  explicit operator bool() const { return handle_ != nullptr; }
  void reset() {
    if (handle_) FwpmEngineClose0(handle_);
    handle_ = nullptr;
  }

 private:
  HANDLE handle_ = nullptr;
};

// A descriptor that lets the Network Location Awareness service's account
// through, so Windows can still tell that the network works.
struct NlaDescriptor {
  PSECURITY_DESCRIPTOR descriptor = nullptr;
  FWP_BYTE_BLOB blob{};
  ~NlaDescriptor() {
    if (descriptor) LocalFree(descriptor);
  }
};

std::unique_ptr<NlaDescriptor> nlaSvcUserCondition() {
  BYTE sid[68];
  DWORD sidSize = sizeof sid;
  wchar_t domain[256];
  DWORD domainSize = 256;
  SID_NAME_USE use;
  if (!LookupAccountNameW(nullptr, L"NT SERVICE\\NlaSvc", sid, &sidSize, domain, &domainSize, &use)) return nullptr;
  wchar_t* sidText = nullptr;
  if (!ConvertSidToStringSidW(sid, &sidText)) return nullptr;
  const std::wstring sddl = std::wstring(L"O:LSD:(A;;CC;;;") + sidText + L")";
  LocalFree(sidText);
  auto nla = std::make_unique<NlaDescriptor>();
  ULONG size = 0;
  if (!ConvertStringSecurityDescriptorToSecurityDescriptorW(sddl.c_str(), SDDL_REVISION_1, &nla->descriptor, &size)) {
    return nullptr;
  }
  nla->blob.size = size;
  nla->blob.data = static_cast<UINT8*>(nla->descriptor);
  return nla;
}

struct SetIdentity {
  GUID sublayer;
  const wchar_t* name;
  UINT16 weight;
};

// Adds the sublayer and the plan's filters inside one transaction on a new
// dynamic session. Only the sublayer and the required (block-all) filters
// can fail the set; a missing exception only blocks more.
DWORD installPlan(UniqueWfpEngine& session, const SetIdentity& identity, const FilterPlan& plan,
                  const WfpConditionData& data) {
  FWPM_SESSION0 sessionRecord{};
  sessionRecord.flags = compat::kSessionFlagDynamic;
  UniqueWfpEngine engine;
  const DWORD opened = FwpmEngineOpen0(nullptr, RPC_C_AUTHN_WINNT, nullptr, &sessionRecord, engine.put());
  if (opened != ERROR_SUCCESS) return opened;

  if (const DWORD begun = FwpmTransactionBegin0(engine.get(), 0); begun != ERROR_SUCCESS) return begun;
  FWPM_SUBLAYER0 sublayer{};
  sublayer.subLayerKey = identity.sublayer;
  sublayer.displayData.name = const_cast<wchar_t*>(identity.name);
  sublayer.weight = identity.weight;
  DWORD result = FwpmSubLayerAdd0(engine.get(), &sublayer, nullptr);
  const WfpFilterRecords records(plan, identity.sublayer, data);
  for (size_t i = 0; result == ERROR_SUCCESS && i < records.records().size(); ++i) {
    const DWORD added = FwpmFilterAdd0(engine.get(), &records.records()[i], nullptr, nullptr);
    if (i < plan.required) result = added;
  }
  if (result != ERROR_SUCCESS) {
    FwpmTransactionAbort0(engine.get());
    return result;
  }
  // Nothing is in force before the commit: a failed one is a failed set.
  if (const DWORD committed = FwpmTransactionCommit0(engine.get()); committed != ERROR_SUCCESS) return committed;
  session = std::move(engine);
  return ERROR_SUCCESS;
}

class WfpEngine final : public FilterEngine {
 public:
  uint32_t enableKillSwitch(const KillSwitchRequest& request) override {
    killSwitch_.reset();  // the old set is gone from here on, whatever follows

    FWP_BYTE_BLOB* appId = nullptr;
    // Only a plain local path reaches the lookup: a UNC or device path would
    // have the service open whatever the user named. Without an identifier
    // the set simply has no application exception.
    if (!request.exe.empty() && plainAbsolutePath(request.exe, kWindowsPaths)) {
      if (FwpmGetAppIdFromFileName0(wideFromUtf8(request.exe).c_str(), &appId) != ERROR_SUCCESS) appId = nullptr;
    }
    std::unique_ptr<NlaDescriptor> nla = request.dns ? nlaSvcUserCondition() : nullptr;

    KillSwitchContext context;
    context.tapLuids = findTapAdapters();
    context.haveAppId = appId != nullptr;
    context.haveNlaUser = nla != nullptr;
    const DWORD result = installPlan(killSwitch_, {kKillSwitchSublayer, L"VLVPN Kill Switch", 0xFFFF},
                                     buildKillSwitchPlan(request, context),
                                     {appId, nla ? &nla->blob : nullptr});
    if (appId) FwpmFreeMemory0(reinterpret_cast<void**>(&appId));
    return result;
  }
  void disableKillSwitch() override { killSwitch_.reset(); }

  uint32_t blockIpv6() override {
    ipv6Block_.reset();
    return installPlan(ipv6Block_, {kIpv6BlockSublayer, L"VLVPN IPv6 Block", 0xFFFE},
                       buildIpv6BlockPlan(findTapAdapters()), {});
  }
  void unblockIpv6() override { ipv6Block_.reset(); }

 private:
  UniqueWfpEngine killSwitch_;
  UniqueWfpEngine ipv6Block_;
};

}  // namespace

std::unique_ptr<FilterEngine> FilterEngine::create() { return std::make_unique<WfpEngine>(); }

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
