// The accounts behind tokens and SIDs, as the service names them.
#pragma once

#include <windows.h>

#include <string>

namespace vlvpn::service {

// The user SID a token carries, copied out of it.
class TokenUserSid {
 public:
  explicit TokenUserSid(HANDLE token);
  // Null when the token could not be read.
  PSID get() const;

 private:
  alignas(TOKEN_USER) BYTE buffer_[sizeof(TOKEN_USER) + SECURITY_MAX_SID_SIZE];
  bool read_ = false;
};

// The service's own account (under Wine: the Unix user); null when its
// token cannot be read.
const TokenUserSid& serviceAccount();

// "DOMAIN\name" of `sid` (the bare name for an account of no domain, such as
// Everyone); "" when the system cannot name it.
std::string accountNameOf(PSID sid);

}  // namespace vlvpn::service
