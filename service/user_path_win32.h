// Opening a path a user named, one name at a time, so that nothing the user
// can make inside the path (a junction, a symbolic link, a mount point)
// leads the service's account anywhere else.
#pragma once

#include <windows.h>
#include <winternl.h>

#include <string_view>

#include "common/result.h"
#include "common/win32/unique_handle.h"

namespace vlvpn::service {

// The two system calls a user path is opened with: ntdll's in the service,
// a file tree of the test's own in tests.
class NtFileCalls {
 public:
  virtual ~NtFileCalls() = default;
  // NtCreateFile, without allocation size, attributes or extended attributes.
  virtual NTSTATUS createFile(HANDLE* handle, ACCESS_MASK access, OBJECT_ATTRIBUTES* object, IO_STATUS_BLOCK* status,
                              ULONG share, ULONG disposition, ULONG options) = 0;
  // The FILE_ATTRIBUTE_* flags of what `handle` is open on.
  virtual NTSTATUS queryAttributes(HANDLE handle, ULONG* attributes) = 0;
};

NtFileCalls& systemNtFileCalls();

// What a user path's own name is opened for.
struct UserPathAccess {
  ACCESS_MASK access;
  ULONG share;
  bool fileOnly = true;  // false: a folder may end the path too
};

// `path` (UTF-8), a plain absolute path on a drive ("C:\..."), opened for
// `wanted`: the drive's root first, then each name relative to the folder
// opened before it, which stays open, shared without delete, so it can be
// neither renamed nor replaced meanwhile. No open follows a reparse point,
// and one found anywhere on the way fails the open (ERROR_CANT_ACCESS_FILE).
// Every open lets what it reaches identify the service but never act as it
// (a named pipe's server), and the last one completes at once even when
// another program holds an opportunistic lock on the file. UNC, device and
// relative paths, "." and "..", and streams are refused unopened
// (ERROR_BAD_PATHNAME); the last name must be a file unless `wanted` says
// otherwise.
Result<UniqueFileHandle, OsError> openUserPath(NtFileCalls& calls, std::string_view path, const UserPathAccess& wanted);

}  // namespace vlvpn::service
