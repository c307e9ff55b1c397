#include <winsock2.h>
#include <windows.h>
#include <fwpmu.h>

#include <functional>
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
    return install(killSwitch_, FilterSet::KillSwitch, [&] {
      SetMaterials materials;
      // Only a plain local path reaches the lookup: a UNC or device path
      // would have the service open whatever the user named. Without an
      // identifier the set simply has no application exception.
      std::shared_ptr<FWP_BYTE_BLOB> appId;
      if (!request.exe.empty() && plainAbsolutePath(request.exe, kWindowsPaths)) {
        appId = platform_->appId(wideFromUtf8(request.exe));
      }
      std::shared_ptr<FWP_BYTE_BLOB> nlaUser = request.dns ? platform_->nlaServiceUser() : nullptr;
      KillSwitchContext context;
      context.tapLuids = platform_->tapAdapters();
      context.haveAppId = appId != nullptr;
      context.haveNlaUser = nlaUser != nullptr;
      context.openVpn = gatherOpenVpn(materials);
      materials.plan = buildKillSwitchPlan(request, context);
      materials.data.appId = appId.get();
      materials.data.nlaUser = nlaUser.get();
      materials.owned.push_back(std::move(appId));
      materials.owned.push_back(std::move(nlaUser));
      return materials;
    });
  }
  void disableKillSwitch() override { remove(killSwitch_); }

  uint32_t blockIpv6() override {
    return install(ipv6Block_, FilterSet::Ipv6Block, [&] {
      SetMaterials materials;
      const OpenVpnIdentity openVpn = gatherOpenVpn(materials);
      materials.plan = buildIpv6BlockPlan(platform_->tapAdapters(), openVpn);
      return materials;
    });
  }
  void unblockIpv6() override { remove(ipv6Block_); }
  bool killSwitchOn() const override { return killSwitch_.has_value(); }
  bool ipv6BlockOn() const override { return ipv6Block_.has_value(); }

 private:
  // A set's plan and the platform values its conditions point to, owned
  // here until the transaction is over.
  struct SetMaterials {
    FilterPlan plan;
    WfpConditionData data;
    std::vector<std::shared_ptr<FWP_BYTE_BLOB>> owned;
  };

  // The service's OpenVPN as the platform knows it: the identifier of each
  // executable it may start that exists, and the service's account.
  OpenVpnIdentity gatherOpenVpn(SetMaterials& materials) {
    auto serviceUser = platform_->serviceUser();
    materials.data.serviceUser = serviceUser.get();
    materials.owned.push_back(std::move(serviceUser));
    for (const auto& executable : openVpnExecutables_) {
      if (auto id = platform_->appId(executable.wstring())) {
        materials.data.openVpnAppIds.push_back(id.get());
        materials.owned.push_back(std::move(id));
      }
    }
    return {.appIds = materials.data.openVpnAppIds.size(), .haveServiceUser = materials.data.serviceUser != nullptr};
  }

  // Everything a set needs is gathered once its session is open (the
  // lookups have no use without an engine) and before its transaction.
  uint32_t install(std::optional<InstalledSet>& installed, FilterSet set, const std::function<SetMaterials()>& gather) {
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

    const SetMaterials materials = gather();
    if (const DWORD begun = platform_->beginTransaction(session); begun != ERROR_SUCCESS) return fail(begun);
    std::vector<UINT64> ids;
    const DWORD result =
        addSet(session, replacing ? &installed->filterIds : nullptr, set, materials.plan, materials.data, ids);
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
