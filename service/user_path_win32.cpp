#include "service/user_path_win32.h"

#include <string>
#include <vector>

#include "common/path_component.h"
#include "common/win32/wide.h"
#include "service/openvpn_start_policy.h"

namespace vlvpn::service {
namespace {

class SystemNtFileCalls final : public NtFileCalls {
 public:
  NTSTATUS createFile(HANDLE* handle, ACCESS_MASK access, OBJECT_ATTRIBUTES* object, IO_STATUS_BLOCK* status, ULONG share,
                      ULONG disposition, ULONG options) override {
    return NtCreateFile(handle, access, object, status, nullptr, 0, share, disposition, options, nullptr, 0);
  }

  NTSTATUS queryAttributes(HANDLE handle, ULONG* attributes) override {
    FILE_BASIC_INFORMATION basic{};
    IO_STATUS_BLOCK status{};
    const NTSTATUS result = NtQueryInformationFile(handle, &status, &basic, sizeof basic, FileBasicInformation);
    if (NT_SUCCESS(result)) *attributes = basic.FileAttributes;
    return result;
  }
};

// Folders on the way: enough to open the next name inside, and shared
// without delete so that none can be renamed away while it is held.
constexpr ACCESS_MASK kFolderAccess = FILE_TRAVERSE | FILE_READ_ATTRIBUTES | SYNCHRONIZE;
constexpr ULONG kFolderSharing = FILE_SHARE_READ | FILE_SHARE_WRITE;

OsError failed(NTSTATUS status) { return OsError{"NtCreateFile", RtlNtStatusToDosError(status)}; }

// One open, with the name `name` relative to `parent` (or absolute, with no
// parent: a drive's root); below a root it fails on any reparse point,
// whether the open stopped at it or found the object to be one.
Result<UniqueFileHandle, OsError> openOne(NtFileCalls& calls, HANDLE parent, std::wstring name, ACCESS_MASK access,
                                          ULONG share, ULONG options) {
  UNICODE_STRING unicodeName{};
  unicodeName.Buffer = name.data();
  unicodeName.Length = static_cast<USHORT>(name.size() * sizeof(wchar_t));
  unicodeName.MaximumLength = unicodeName.Length;
  SECURITY_QUALITY_OF_SERVICE quality{sizeof quality, SecurityIdentification, SECURITY_STATIC_TRACKING, TRUE};
  OBJECT_ATTRIBUTES object{};
  object.Length = sizeof object;
  object.RootDirectory = parent;
  object.ObjectName = &unicodeName;
  // The drive's own name ("\??\C:") is a link the object manager must
  // follow; every name below it is opened without following any.
  object.Attributes = OBJ_CASE_INSENSITIVE | (parent ? OBJ_DONT_REPARSE : 0);
  object.SecurityQualityOfService = &quality;

  HANDLE opened = INVALID_HANDLE_VALUE;
  IO_STATUS_BLOCK io{};
  const NTSTATUS status =
      calls.createFile(&opened, access, &object, &io, share, FILE_OPEN,
                       options | FILE_OPEN_REPARSE_POINT | FILE_SYNCHRONOUS_IO_NONALERT);
  if (status == static_cast<NTSTATUS>(0xC000050BL) /* STATUS_REPARSE_POINT_ENCOUNTERED */) {
    return OsError{"NtCreateFile", ERROR_CANT_ACCESS_FILE};
  }
  if (!NT_SUCCESS(status)) return failed(status);
  UniqueFileHandle handle(opened);
  // A drive's root is what its letter names. (Wine marks the root of a
  // drive mapped to a Unix folder as a reparse point.)
  if (!parent) return handle;
  ULONG attributes = 0;
  const NTSTATUS queried = calls.queryAttributes(handle.get(), &attributes);
  if (!NT_SUCCESS(queried)) return OsError{"NtQueryInformationFile", RtlNtStatusToDosError(queried)};
  if (attributes & FILE_ATTRIBUTE_REPARSE_POINT) return OsError{"NtCreateFile", ERROR_CANT_ACCESS_FILE};
  return handle;
}

}  // namespace

NtFileCalls& systemNtFileCalls() {
  static SystemNtFileCalls calls;
  return calls;
}

Result<UniqueFileHandle, OsError> openUserPath(NtFileCalls& calls, std::string_view path, const UserPathAccess& wanted) {
  const auto components = plainAbsolutePath(path, kWindowsPaths);
  if (!components || components->size() < 2) return OsError{"open", ERROR_BAD_PATHNAME};
  for (size_t i = 1; i < components->size(); ++i) {
    // Names Windows would read otherwise than the file system does (a
    // trailing dot dropped, a device name) never reach an open.
    if (!isPortablePathComponent((*components)[i])) return OsError{"open", ERROR_BAD_PATHNAME};
  }

  auto folder = openOne(calls, nullptr, L"\\??\\" + wideFromUtf8(components->front()) + L"\\", kFolderAccess,
                        kFolderSharing, FILE_DIRECTORY_FILE);
  if (!folder) return folder.error();
  // Every folder stays held until the file is open.
  std::vector<UniqueFileHandle> held;
  held.push_back(std::move(folder).value());
  for (size_t i = 1; i + 1 < components->size(); ++i) {
    auto next = openOne(calls, held.back().get(), wideFromUtf8((*components)[i]), kFolderAccess, kFolderSharing,
                        FILE_DIRECTORY_FILE);
    if (!next) return next.error();
    held.push_back(std::move(next).value());
  }
  return openOne(calls, held.back().get(), wideFromUtf8(components->back()), wanted.access | SYNCHRONIZE, wanted.share,
                 (wanted.fileOnly ? FILE_NON_DIRECTORY_FILE : 0) | FILE_COMPLETE_IF_OPLOCKED);
}

}  // namespace vlvpn::service
