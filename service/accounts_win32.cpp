#include "service/accounts_win32.h"

#include "common/win32/unique_handle.h"
#include "common/win32/wide.h"

namespace vlvpn::service {

TokenUserSid::TokenUserSid(HANDLE token) {
  DWORD size = 0;
  read_ = GetTokenInformation(token, TokenUser, buffer_, sizeof buffer_, &size);
}

PSID TokenUserSid::get() const { return read_ ? reinterpret_cast<const TOKEN_USER*>(buffer_)->User.Sid : nullptr; }

const TokenUserSid& serviceAccount() {
  static const TokenUserSid account = [] {
    UniqueHandle token;
    OpenProcessToken(GetCurrentProcess(), TOKEN_QUERY, token.put());  // a null token reads as no account
    return TokenUserSid(token.get());
  }();
  return account;
}

std::string accountNameOf(PSID sid) {
  wchar_t name[256], domain[256];
  DWORD nameLength = 256, domainLength = 256;
  SID_NAME_USE use;
  if (!sid || !LookupAccountSidW(nullptr, sid, name, &nameLength, domain, &domainLength, &use)) return {};
  return utf8FromWide(domainLength ? std::wstring(domain) + L"\\" + name : std::wstring(name));
}

}  // namespace vlvpn::service
