// The service's half of reading a user's files on Linux: a child that runs
// as the user opens them and sends their contents and the log's descriptor
// over a socket.
#pragma once

#include <chrono>

#include "service/user_files.h"

namespace vlvpn::service {

// What the child sends for `arguments` (the configuration, the credentials
// and the management password when named, then the log), received by
// `deadline`: a child that stops sending costs no more than the wait, and
// fails with kUserFilesTimedOut.
Result<UserProfileFiles, OsError> receiveUserProfileFiles(int socket, const OpenVpnArguments& arguments,
                                                         std::chrono::steady_clock::time_point deadline);

}  // namespace vlvpn::service
