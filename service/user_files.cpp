#include "service/user_files.h"

#include "common/path_bytes.h"

namespace vlvpn::service {

Result<UserProfileFiles, OsError> readProfileFilesAsService(const OpenVpnArguments& arguments) {
  UserProfileFiles files;
  auto config = readPlainFile(pathFromUtf8(arguments.configPath));
  if (!config) return config.error();
  files.config = std::move(config).value();
  if (arguments.credentialsPath) {
    auto credentials = readPlainFile(pathFromUtf8(*arguments.credentialsPath));
    if (!credentials) return credentials.error();
    files.credentials = std::move(credentials).value();
  }
  if (arguments.managementPasswordPath) {
    auto password = readPlainFile(pathFromUtf8(*arguments.managementPasswordPath));
    if (!password) return password.error();
    files.managementPassword = std::move(password).value();
  }
  return files;
}

}  // namespace vlvpn::service
