#include <net/if.h>
#include <nftables/libnftables.h>

#include <cerrno>

#include "common/text.h"
#include "service/filter_engine.h"
#include "service/nftables_rules.h"
#include "service/nftables_runner_posix.h"
#include "service/openvpn_start_policy.h"

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
    context.openVpn = openVpn();
    return install(killSwitchOn_, renderNftablesScript(buildKillSwitchPlan(request, context), interfaceName));
  }
  void disableKillSwitch() override { remove(killSwitchOn_, FilterSet::KillSwitch); }
  uint32_t blockIpv6() override {
    return install(ipv6BlockOn_, renderNftablesScript(buildIpv6BlockPlan(findTapAdapters(), openVpn()), interfaceName));
  }
  void unblockIpv6() override { remove(ipv6BlockOn_, FilterSet::Ipv6Block); }
  bool killSwitchOn() const override { return killSwitchOn_; }
  bool ipv6BlockOn() const override { return ipv6BlockOn_; }

 private:
  static OpenVpnIdentity openVpn() { return {.mark = kServiceOpenVpnMark}; }

  uint32_t install(bool& on, const std::string& script) {
    const uint32_t result = runner_->run(script);
    if (result == 0) on = true;  // a failed batch left the set as it was
    return result;
  }
  void remove(bool& on, FilterSet set) {
    if (runner_->run(renderNftablesRemoval(set)) == 0) on = false;
  }

  static std::optional<std::string> interfaceName(uint64_t luid) {
    char name[IF_NAMESIZE] = {};
    if (!if_indextoname(static_cast<unsigned>(luid), name)) return std::nullopt;
    return std::string(name);
  }

  std::unique_ptr<NftablesRunner> runner_;
  bool killSwitchOn_ = false;
  bool ipv6BlockOn_ = false;
};

}  // namespace

std::unique_ptr<NftablesRunner> NftablesRunner::create() { return std::make_unique<LibNftablesRunner>(); }

std::unique_ptr<FilterEngine> createNftablesEngine(std::unique_ptr<NftablesRunner> runner) {
  return std::make_unique<NftablesEngine>(std::move(runner));
}

std::unique_ptr<FilterEngine> FilterEngine::create(const std::vector<std::filesystem::path>&) {
  return createNftablesEngine(NftablesRunner::create());
}

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
