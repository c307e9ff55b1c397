// OPENVPN_START's two fields, "<exe>\t<args>": the service starts nothing
// but OpenVPN from its allowed folders, with exactly the argument string the
// desktop program writes for one profile folder, on either platform's paths.
#include <string>

#include "common/openvpn_arguments.h"
#include "common/text.h"
#include "service/openvpn_start_policy.h"
#include "tests/fuzz/fuzz_property.h"

using namespace vlvpn;
using service::PathStyle;

namespace {

void checkArguments(std::string_view args, const PathStyle& style) {
  const auto accepted = service::checkProfileArguments(args, style);
  if (!accepted) return;
  fuzz::require(formatOpenVpnArguments(*accepted) == args, "only the exact argument string is accepted");
  const auto config = service::plainAbsolutePath(accepted->configPath, style);
  const auto log = service::plainAbsolutePath(accepted->logPath, style);
  fuzz::require(config && log && config->size() == log->size() && config->size() >= 5,
                "the configuration and the log are plain paths in one folder");
  for (size_t i = 0; i + 1 < config->size(); ++i) {
    const bool same = style.caseInsensitive ? asciiLower((*config)[i]) == asciiLower((*log)[i]) : (*config)[i] == (*log)[i];
    fuzz::require(same, "the log lies beside the configuration");
  }
  const std::string logName = style.caseInsensitive ? asciiLower(log->back()) : log->back();
  fuzz::require(logName == "openvpn.log", "the log is the profile's openvpn.log");
  if (accepted->managementPasswordPath) {
    const auto password = service::plainAbsolutePath(*accepted->managementPasswordPath, style);
    fuzz::require(password && password->size() == config->size(), "the password file lies beside the configuration");
    const std::string name = style.caseInsensitive ? asciiLower(password->back()) : password->back();
    fuzz::require(name == "management.txt", "the password file is the profile's management.txt");
  }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  const std::string_view text = fuzz::asText(data, size);
  const size_t tab = text.find('\t');
  const std::string exe(text.substr(0, tab));
  const std::string_view args = tab == std::string_view::npos ? std::string_view{} : text.substr(tab + 1);

  checkArguments(args, service::kWindowsPaths);
  checkArguments(args, service::kPosixPaths);

  const std::vector<std::filesystem::path> folders = {"/usr/sbin", "/usr/local/sbin"};
  if (service::isInAllowedFolder(exe, folders)) {
    fuzz::require(exe == "/usr/sbin/openvpn" || exe == "/usr/local/sbin/openvpn",
                  "only OpenVPN directly in an allowed folder is started");
  }
  return 0;
}
