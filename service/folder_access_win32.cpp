#include "service/folder_access_win32.h"

#include <sddl.h>

#include "common/win32/wide.h"
#include "service/accounts_win32.h"

namespace vlvpn::service {

bool isTrustedAccount(PSID sid) {
  const PSID service = serviceAccount().get();
  return IsWellKnownSid(sid, WinLocalSystemSid) || IsWellKnownSid(sid, WinBuiltinAdministratorsSid) ||
         (service && EqualSid(sid, service));
}

namespace {

// Rights that let a holder put, replace or remove what the folder holds, or
// change who may: on the folder, or inherited by what is made inside.
constexpr ACCESS_MASK kChangingRights = FILE_ADD_FILE | FILE_ADD_SUBDIRECTORY | FILE_DELETE_CHILD | FILE_WRITE_DATA |
                                        FILE_APPEND_DATA | DELETE | WRITE_DAC | WRITE_OWNER | GENERIC_WRITE |
                                        GENERIC_ALL | MAXIMUM_ALLOWED;

// "DOMAIN\name", else the SID's string form.
std::string accountName(PSID sid) {
  if (std::string name = accountNameOf(sid); !name.empty()) return name;
  wchar_t* text = nullptr;
  if (!ConvertSidToStringSidW(sid, &text)) return "an account that cannot be named";
  std::string result = utf8FromWide(text);
  LocalFree(text);
  return result;
}

}  // namespace

std::string whoElseMayChange(const ACL* dacl) {
  if (!dacl) return "anyone";
  for (DWORD i = 0; i < dacl->AceCount; ++i) {
    ACE_HEADER* header = nullptr;
    if (!GetAce(const_cast<ACL*>(dacl), i, reinterpret_cast<void**>(&header))) return "an entry that cannot be read";
    switch (header->AceType) {
      case ACCESS_DENIED_ACE_TYPE:
      case ACCESS_DENIED_OBJECT_ACE_TYPE:
      case ACCESS_DENIED_CALLBACK_ACE_TYPE:
      case ACCESS_DENIED_CALLBACK_OBJECT_ACE_TYPE:
        continue;
      case ACCESS_ALLOWED_ACE_TYPE:
        break;
      default:
        return "an entry of kind " + std::to_string(header->AceType);
    }
    const auto* allowed = reinterpret_cast<const ACCESS_ALLOWED_ACE*>(header);
    if (!(allowed->Mask & kChangingRights)) continue;
    PSID sid = const_cast<DWORD*>(&allowed->SidStart);
    // What the service makes inside is the service's own.
    if (isTrustedAccount(sid) || IsWellKnownSid(sid, WinCreatorOwnerSid)) continue;
    return accountName(sid);
  }
  return {};
}

}  // namespace vlvpn::service
