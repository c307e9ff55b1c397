// A profile identifier and configuration file name as the interface hands
// them over: every pair the profile store accepts names one folder and one
// file inside the profiles folder, and the service accepts the OpenVPN
// arguments the desktop program builds for them, on either platform.
#include <filesystem>
#include <string>

#include "common/openvpn_arguments.h"
#include "desktop/tunnel/profile_store.h"
#include "service/openvpn_start_policy.h"
#include "tests/fuzz/fuzz_property.h"

using namespace vlvpn;

namespace {

void requireServiceAccepts(const std::string& root, char separator, std::string_view id, std::string_view fileName,
                           const service::PathStyle& style) {
  std::string folder = root;
  folder.append("VLVPNDesk").push_back(separator);
  folder.append("profiles").push_back(separator);
  folder.append(id).push_back(separator);
  const OpenVpnArguments arguments{folder + std::string(fileName), folder + "auth.txt", folder + "openvpn.log"};
  fuzz::require(service::checkProfileArguments(formatOpenVpnArguments(arguments), style) == arguments,
                "the service starts what the desktop program asks for an accepted profile");
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  const std::string_view text = fuzz::asText(data, size);
  const size_t newline = text.find('\n');
  const std::string_view id = text.substr(0, newline);
  const std::string_view fileName = newline == std::string_view::npos ? "home.ovpn" : text.substr(newline + 1);

  if (!tunnel::isValidProfileId(id)) return 0;
  const std::filesystem::path asPath{std::string(id)};
  fuzz::require(!asPath.has_parent_path() && asPath.filename() == asPath && id != "." && id != "..",
                "an accepted identifier is one folder's name");
  if (!tunnel::isValidConfigFileName(fileName)) return 0;
  requireServiceAccepts("/home/user/.local/share/", '/', id, fileName, service::kPosixPaths);
  requireServiceAccepts("C:\\Users\\user\\AppData\\Roaming\\", '\\', id, fileName, service::kWindowsPaths);
  return 0;
}
