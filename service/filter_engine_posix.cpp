#include <net/if.h>
#include <nftables/libnftables.h>

#include <cerrno>
#include <filesystem>
#include <mutex>

#include "common/text.h"
#include "service/filter_engine.h"
#include "service/nftables_rules.h"

namespace vlvpn::service {
namespace {

// One nftables context for the life of the service. Its netlink socket owns
// both tables ("flags owner"), so the kernel removes them when the service
// ends, however it ends, as the filtering platform does with dynamic sessions.
class NftablesEngine final : public FilterEngine {
 public:
  NftablesEngine() : context_(nft_ctx_new(NFT_CTX_DEFAULT)) {
    if (context_) {
      nft_ctx_buffer_output(context_);
      nft_ctx_buffer_error(context_);
    }
  }
  ~NftablesEngine() override {
    if (context_) nft_ctx_free(context_);
  }

  uint32_t enableKillSwitch(const KillSwitchRequest& request) override {
    KillSwitchContext context;
    context.tapLuids = findTapAdapters();
    return install(buildKillSwitchPlan(request, context));
  }
  void disableKillSwitch() override { run(renderNftablesRemoval(FilterSet::KillSwitch)); }
  uint32_t blockIpv6() override { return install(buildIpv6BlockPlan(findTapAdapters())); }
  void unblockIpv6() override { run(renderNftablesRemoval(FilterSet::Ipv6Block)); }

 private:
  uint32_t install(const FilterPlan& plan) {
    const uint32_t result = run(renderNftablesScript(plan, interfaceName));
    // A failed replace leaves the set off, whatever was there before.
    if (result != 0) run(renderNftablesRemoval(plan.set));
    return result;
  }

  static std::optional<std::string> interfaceName(uint64_t luid) {
    char name[IF_NAMESIZE] = {};
    if (!if_indextoname(static_cast<unsigned>(luid), name)) return std::nullopt;
    return std::string(name);
  }

  // 0, or an errno-style code (EPERM when nftables gave none).
  uint32_t run(const std::string& script) {
    if (!context_) return ENOMEM;
    errno = 0;
    const int rc = nft_run_cmd_from_buffer(context_, script.c_str());
    const int error = errno;
    if (rc == 0) return 0;
    return error != 0 ? static_cast<uint32_t>(error) : EPERM;
  }

  nft_ctx* context_;
};

}  // namespace

std::unique_ptr<FilterEngine> FilterEngine::create() { return std::make_unique<NftablesEngine>(); }

std::vector<uint64_t> findTapAdapters() {
  std::vector<uint64_t> luids;
  struct if_nameindex* interfaces = if_nameindex();
  if (!interfaces) return luids;
  for (const struct if_nameindex* entry = interfaces; entry->if_index != 0; ++entry) {
    if (isTapAdapterDescription(entry->if_name)) luids.push_back(entry->if_index);
  }
  if_freenameindex(interfaces);
  return luids;
}

}  // namespace vlvpn::service
