#include <winsock2.h>
#include <windows.h>
#include <fwpmu.h>

#include <optional>
#include <utility>
#include <vector>

#include "common/win32/wide.h"
#include "service/filter_engine.h"
#include "service/openvpn_start_policy.h"
#include "service/wfp_filter_records_win32.h"
#include "service/wfp_platform_win32.h"

namespace vlvpn::service {
namespace {

// One set while it is on: its dynamic session, holding the sublayer, and
// the identifiers of the filters in force.
struct InstalledSet {
  HANDLE session = nullptr;
  std::vector<UINT64> filterIds;
};

// A set is replaced inside one transaction of the session that holds it:
// the old filters are deleted and the new ones added, and only the commit
// puts the change in force. Any failure aborts the transaction, so the set
// that was on stays on; the machine is never left unprotected between two
// sets, nor for good after a failed one.
class WfpEngine final : public FilterEngine {
 public:
  WfpEngine(std::unique_ptr<WfpPlatform> platform, std::vector<std::filesystem::path> openVpnExecutables)
      : platform_(std::move(platform)), openVpnExecutables_(std::move(openVpnExecutables)) {}
  ~WfpEngine() override {
    remove(killSwitch_);
    remove(ipv6Block_);
  }

  uint32_t enableKillSwitch(const KillSwitchRequest& request) override {
    // Everything the set needs is gathered before its transaction begins.
    std::shared_ptr<FWP_BYTE_BLOB> appId;
    // Only a plain local path reaches the lookup: a UNC or device path would
    // have the service open whatever the user named. Without an identifier
    // the set simply has no application exception.
    if (!request.exe.empty() && plainAbsolutePath(request.exe, kWindowsPaths)) {
      appId = platform_->appId(wideFromUtf8(request.exe));
    }
    std::shared_ptr<FWP_BYTE_BLOB> nlaUser = request.dns ? platform_->nlaServiceUser() : nullptr;
    const OpenVpnValues openVpn = openVpnValues();
    KillSwitchContext context;
    context.tapLuids = platform_->tapAdapters();
    context.haveAppId = appId != nullptr;
    context.haveNlaUser = nlaUser != nullptr;
    context.openVpn = openVpn.identity();
    return install(killSwitch_, FilterSet::KillSwitch, buildKillSwitchPlan(request, context),
                   openVpn.conditionData(appId.get(), nlaUser.get()));
  }
  void disableKillSwitch() override { remove(killSwitch_); }

  uint32_t blockIpv6() override {
    const OpenVpnValues openVpn = openVpnValues();
    return install(ipv6Block_, FilterSet::Ipv6Block, buildIpv6BlockPlan(platform_->tapAdapters(), openVpn.identity()),
                   openVpn.conditionData(nullptr, nullptr));
  }
  void unblockIpv6() override { remove(ipv6Block_); }
  bool killSwitchOn() const override { return killSwitch_.has_value(); }
  bool ipv6BlockOn() const override { return ipv6Block_.has_value(); }

 private:
  // The service's OpenVPN as the platform knows it: the identifier of each
  // executable it may start that exists, and the service's account.
  struct OpenVpnValues {
    std::vector<std::shared_ptr<FWP_BYTE_BLOB>> appIds;
    std::vector<FWP_BYTE_BLOB*> appIdPointers;
    std::shared_ptr<FWP_BYTE_BLOB> serviceUser;

    OpenVpnIdentity identity() const {
      return {.appIds = appIdPointers.size(), .haveServiceUser = serviceUser != nullptr};
    }
    WfpConditionData conditionData(FWP_BYTE_BLOB* appId, FWP_BYTE_BLOB* nlaUser) const {
      return {appId, nlaUser, appIdPointers, serviceUser.get()};
    }
  };
  OpenVpnValues openVpnValues() {
    OpenVpnValues values;
    values.serviceUser = platform_->serviceUser();
    for (const auto& executable : openVpnExecutables_) {
      if (auto id = platform_->appId(executable.wstring())) {
        values.appIdPointers.push_back(id.get());
        values.appIds.push_back(std::move(id));
      }
    }
    return values;
  }

  uint32_t install(std::optional<InstalledSet>& installed, FilterSet set, const FilterPlan& plan,
                   const WfpConditionData& data) {
    const bool replacing = installed.has_value();
    HANDLE session = nullptr;
    if (replacing) {
      session = installed->session;
    } else if (const DWORD opened = platform_->openSession(&session); opened != ERROR_SUCCESS) {
      return opened;
    }
    // A new session holds nothing yet: whatever fails, closing it is all
    // the clean-up there is.
    const auto fail = [&](DWORD code) {
      if (!replacing) platform_->closeSession(session);
      return code;
    };

    if (const DWORD begun = platform_->beginTransaction(session); begun != ERROR_SUCCESS) return fail(begun);
    std::vector<UINT64> ids;
    const DWORD result = addSet(session, replacing ? &installed->filterIds : nullptr, set, plan, data, ids);
    if (result != ERROR_SUCCESS) {
      platform_->abortTransaction(session);
      return fail(result);
    }
    if (const DWORD committed = platform_->commitTransaction(session); committed != ERROR_SUCCESS) {
      return fail(committed);
    }
    installed = InstalledSet{session, std::move(ids)};
    return ERROR_SUCCESS;
  }

  // Inside the transaction: the old filters out (or the sublayer in, for a
  // new session), then the plan's filters. Only the sublayer, the deletions
  // and the required (block-all) filters can fail the set; a missing
  // exception only blocks more.
  DWORD addSet(HANDLE session, const std::vector<UINT64>* oldIds, FilterSet set, const FilterPlan& plan,
               const WfpConditionData& data, std::vector<UINT64>& ids) {
    const WfpSublayerRecord sublayer(set);
    if (oldIds) {
      for (UINT64 id : *oldIds) {
        if (const DWORD deleted = platform_->deleteFilter(session, id); deleted != ERROR_SUCCESS) return deleted;
      }
    } else if (const DWORD added = platform_->addSublayer(session, sublayer.record()); added != ERROR_SUCCESS) {
      return added;
    }
    const WfpFilterRecords records(plan, sublayer.record().subLayerKey, data);
    for (size_t i = 0; i < records.records().size(); ++i) {
      UINT64 id = 0;
      const DWORD added = platform_->addFilter(session, records.records()[i], &id);
      if (added == ERROR_SUCCESS) {
        ids.push_back(id);
      } else if (i < plan.required) {
        return added;
      }
    }
    return ERROR_SUCCESS;
  }

  void remove(std::optional<InstalledSet>& installed) {
    if (!installed) return;
    platform_->closeSession(installed->session);  // the platform deletes the set with its session
    installed.reset();
  }

  std::unique_ptr<WfpPlatform> platform_;
  std::vector<std::filesystem::path> openVpnExecutables_;
  std::optional<InstalledSet> killSwitch_;
  std::optional<InstalledSet> ipv6Block_;
};

}  // namespace

std::unique_ptr<FilterEngine> createWfpEngine(std::unique_ptr<WfpPlatform> platform,
                                              std::vector<std::filesystem::path> openVpnExecutables) {
  return std::make_unique<WfpEngine>(std::move(platform), std::move(openVpnExecutables));
}

std::unique_ptr<FilterEngine> FilterEngine::create(const std::vector<std::filesystem::path>& openVpnExecutables) {
  return createWfpEngine(WfpPlatform::create(), openVpnExecutables);
}

}  // namespace vlvpn::service
