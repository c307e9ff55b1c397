// A file tree in memory behind the NT calls a user path is opened with. It
// behaves as Windows does where it matters to the service: a reparse point
// is followed unless the open says otherwise, a file under an unbroken
// opportunistic lock holds the open up, and each open is recorded with what
// it asked for.
#pragma once

#include <windows.h>

#include <map>
#include <memory>
#include <string>
#include <vector>

#include "service/user_path_win32.h"

namespace vlvpn::test {

class FakeNtFiles final : public service::NtFileCalls {
 public:
  struct Node {
    ULONG attributes = FILE_ATTRIBUTE_DIRECTORY;
    std::map<std::wstring, std::unique_ptr<Node>> children;  // lower-case names
    Node* target = nullptr;  // where a reparse point leads
    bool oplocked = false;   // a lock whose break is never acknowledged
    std::wstring name;
  };

  struct Open {
    std::wstring parent;  // the name of the folder it was relative to; "" for an absolute open
    std::wstring name;
    ACCESS_MASK access;
    ULONG share, options, objectAttributes;
    bool identificationOnly;
    bool earlierHandlesOpen;  // every handle handed out before was still open
  };

  // Old systems ignore OBJ_DONT_REPARSE: such an open stops at a reparse
  // point only because of FILE_OPEN_REPARSE_POINT.
  bool honoursDontReparse = true;

  FakeNtFiles();

  Node& root() { return root_; }
  Node& folder(Node& parent, const std::wstring& name);
  Node& file(Node& parent, const std::wstring& name);
  Node& reparsePoint(Node& parent, const std::wstring& name, Node& target);

  const std::vector<Open>& opens() const { return opens_; }
  // The names of every node opened, whichever way it was reached.
  std::vector<std::wstring> reached() const;

  NTSTATUS createFile(HANDLE* handle, ACCESS_MASK access, OBJECT_ATTRIBUTES* object, IO_STATUS_BLOCK* status, ULONG share,
                      ULONG disposition, ULONG options) override;
  NTSTATUS queryAttributes(HANDLE handle, ULONG* attributes) override;

 private:
  Node root_;
  std::map<HANDLE, Node*> handles_;
  std::vector<Open> opens_;
  std::vector<std::wstring> reached_;
};

}  // namespace vlvpn::test
