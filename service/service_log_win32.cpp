#include <windows.h>
#include <aclapi.h>
#include <sddl.h>

#include <cstdio>
#include <mutex>

#include "common/win32/unique_handle.h"
#include "common/win32/wide.h"
#include "service/folder_access_win32.h"
#include "service/service_log.h"

namespace vlvpn::service {

LocalTime localTimeNow() {
  SYSTEMTIME now{};
  GetLocalTime(&now);
  return {now.wYear, now.wMonth, now.wDay, now.wHour, now.wMinute, now.wSecond, now.wMilliseconds};
}

namespace {

// Only LocalSystem and administrators, inherited by what is made inside.
constexpr wchar_t kFolderSddl[] = L"D:P(A;OICI;FA;;;SY)(A;OICI;FA;;;BA)";

}  // namespace

std::string unsafeDataFolderReason(const std::filesystem::path& folder) {
  const DWORD attributes = GetFileAttributesW(folder.c_str());
  if (attributes == INVALID_FILE_ATTRIBUTES) return "cannot be examined (" + std::to_string(GetLastError()) + ")";
  if (attributes & FILE_ATTRIBUTE_REPARSE_POINT) return "is a link or junction";
  if (!(attributes & FILE_ATTRIBUTE_DIRECTORY)) return "is not a folder";
  PSID owner = nullptr;
  PACL dacl = nullptr;
  PSECURITY_DESCRIPTOR descriptor = nullptr;
  if (GetNamedSecurityInfoW(folder.c_str(), SE_FILE_OBJECT, OWNER_SECURITY_INFORMATION | DACL_SECURITY_INFORMATION,
                            &owner, nullptr, &dacl, nullptr, &descriptor) != ERROR_SUCCESS) {
    return "has an owner or access list that cannot be read";
  }
  const bool trusted = isTrustedAccount(owner);
  const std::string others = whoElseMayChange(dacl);
  LocalFree(descriptor);
  if (!trusted) return "belongs to another user";
  if (!others.empty()) return "may be changed by " + others;
  return {};
}

std::filesystem::path serviceDataPath(std::string_view fileName) {
  wchar_t programData[MAX_PATH] = {};
  const DWORD length = GetEnvironmentVariableW(L"ProgramData", programData, MAX_PATH);
  if (length == 0 || length >= MAX_PATH) return {};
  const std::wstring folder = std::wstring(programData) + L"\\VelmoraVPN";
  PSECURITY_DESCRIPTOR descriptor = nullptr;
  if (ConvertStringSecurityDescriptorToSecurityDescriptorW(kFolderSddl, SDDL_REVISION_1, &descriptor, nullptr)) {
    SECURITY_ATTRIBUTES security{sizeof security, descriptor, FALSE};
    CreateDirectoryW(folder.c_str(), &security);  // normally there already
    LocalFree(descriptor);
  }
  if (const std::string reason = unsafeDataFolderReason(folder); !reason.empty()) {
    static std::once_flag reported;
    std::call_once(reported, [&] {
      std::fprintf(stderr, "VLVPNKillSwitch: not using %s: it %s\n", utf8FromWide(folder).c_str(), reason.c_str());
    });
    return {};
  }
  return std::filesystem::path(folder + L"\\" + wideFromUtf8(fileName));
}

namespace {

class Win32LogFile final : public LogFile {
 public:
  Win32LogFile(UniqueFileHandle file, uintmax_t size) : file_(std::move(file)), size_(size) {}

  bool append(std::string_view line) override {
    DWORD written = 0;
    const bool whole = WriteFile(file_.get(), line.data(), static_cast<DWORD>(line.size()), &written, nullptr) &&
                       written == line.size();
    size_ += written;
    return whole;
  }
  uintmax_t size() const override { return size_; }

 private:
  UniqueFileHandle file_;
  uintmax_t size_;
};

}  // namespace

std::unique_ptr<LogFile> LogFile::open(const std::filesystem::path& path) {
  // No security attributes: the handle is not inheritable, so an OpenVPN
  // started meanwhile never holds the log.
  UniqueFileHandle file(CreateFileW(path.c_str(), FILE_APPEND_DATA | FILE_READ_ATTRIBUTES, FILE_SHARE_READ, nullptr, OPEN_ALWAYS,
                                    FILE_ATTRIBUTE_NORMAL, nullptr));
  LARGE_INTEGER size{};
  if (!file || !GetFileSizeEx(file.get(), &size)) return nullptr;
  return std::make_unique<Win32LogFile>(std::move(file), static_cast<uintmax_t>(size.QuadPart));
}

}  // namespace vlvpn::service
