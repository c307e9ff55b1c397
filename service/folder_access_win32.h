// Who may change a folder of the service's: the judgement of its owner and
// its access list.
#pragma once

#include <windows.h>

#include <string>

namespace vlvpn::service {

// LocalSystem, the administrators, or the service's own account (under
// Wine: the Unix user).
bool isTrustedAccount(PSID sid);

// Whom besides trusted accounts `dacl` lets add, delete or rewrite what the
// folder holds, or change who may, on the folder or on what is made inside
// ("DOMAIN\name", or the SID); "" for no one, "anyone" for no list at all.
// Deny entries only take away, so they are passed over; an allowing entry
// of a kind not judged here counts against the folder, and CREATOR OWNER's
// rights go to the service, which makes what is inside.
std::string whoElseMayChange(const ACL* dacl);

}  // namespace vlvpn::service
