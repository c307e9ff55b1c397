#include "service/user_files.h"

#include "common/path_bytes.h"

namespace vlvpn::service {

Result<UserProfileFiles, OsError> readProfileFilesAsService(const OpenVpnArguments& arguments) {
  return readProfileTexts(arguments, [](const std::string& path) { return readPlainFile(pathFromUtf8(path)); });
}

}  // namespace vlvpn::service
