#include <net/if.h>
#include <nftables/libnftables.h>

#include <cerrno>

#include "common/text.h"
#include "service/filter_engine.h"
#include "service/nftables_rules.h"
#include "service/nftables_runner_posix.h"

namespace vlvpn::service {
namespace {

class LibNftablesRunner final : public NftablesRunner {
 public:
  LibNftablesRunner() : context_(nft_ctx_new(NFT_CTX_DEFAULT)) {
    if (context_) {
      nft_ctx_buffer_output(context_);
      nft_ctx_buffer_error(context_);
    }
  }
  ~LibNftablesRunner() override {
    if (context_) nft_ctx_free(context_);
  }
  LibNftablesRunner(const LibNftablesRunner&) = delete;
  LibNftablesRunner& operator=(const LibNftablesRunner&) = delete;

  uint32_t run(const std::string& script) override {
    if (!context_) return ENOMEM;
    errno = 0;
    const int rc = nft_run_cmd_from_buffer(context_, script.c_str());
    const int error = errno;
    if (rc == 0) return 0;
    return error != 0 ? static_cast<uint32_t>(error) : EPERM;
  }

 private:
  nft_ctx* context_;
};

// Each set is one table, replaced by one batch that deletes and remakes it:
// a batch that fails leaves the table that was there, so a failed update
// never lifts the set in force.
class NftablesEngine final : public FilterEngine {
 public:
  explicit NftablesEngine(std::unique_ptr<NftablesRunner> runner) : runner_(std::move(runner)) {}

  uint32_t enableKillSwitch(const KillSwitchRequest& request) override {
    KillSwitchContext context;
    context.tapLuids = findTapAdapters();
    return runner_->run(renderNftablesScript(buildKillSwitchPlan(request, context), interfaceName));
  }
  void disableKillSwitch() override { runner_->run(renderNftablesRemoval(FilterSet::KillSwitch)); }
  uint32_t blockIpv6() override {
    return runner_->run(renderNftablesScript(buildIpv6BlockPlan(findTapAdapters()), interfaceName));
  }
  void unblockIpv6() override { runner_->run(renderNftablesRemoval(FilterSet::Ipv6Block)); }

 private:
  static std::optional<std::string> interfaceName(uint64_t luid) {
    char name[IF_NAMESIZE] = {};
    if (!if_indextoname(static_cast<unsigned>(luid), name)) return std::nullopt;
    return std::string(name);
  }

  std::unique_ptr<NftablesRunner> runner_;
};

}  // namespace

std::unique_ptr<NftablesRunner> NftablesRunner::create() { return std::make_unique<LibNftablesRunner>(); }

std::unique_ptr<FilterEngine> createNftablesEngine(std::unique_ptr<NftablesRunner> runner) {
  return std::make_unique<NftablesEngine>(std::move(runner));
}

std::unique_ptr<FilterEngine> FilterEngine::create() { return createNftablesEngine(NftablesRunner::create()); }

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
