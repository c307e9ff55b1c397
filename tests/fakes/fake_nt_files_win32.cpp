#include "tests/fakes/fake_nt_files_win32.h"

#include <cwctype>

namespace vlvpn::test {
namespace {

constexpr NTSTATUS kNotFound = static_cast<NTSTATUS>(0xC0000034L);            // STATUS_OBJECT_NAME_NOT_FOUND
constexpr NTSTATUS kNotADirectory = static_cast<NTSTATUS>(0xC0000103L);       // STATUS_NOT_A_DIRECTORY
constexpr NTSTATUS kIsADirectory = static_cast<NTSTATUS>(0xC00000BAL);        // STATUS_FILE_IS_A_DIRECTORY
constexpr NTSTATUS kReparseEncountered = static_cast<NTSTATUS>(0xC000050BL);  // STATUS_REPARSE_POINT_ENCOUNTERED
constexpr NTSTATUS kInvalidHandle = static_cast<NTSTATUS>(0xC0000008L);       // STATUS_INVALID_HANDLE
constexpr NTSTATUS kStalled = static_cast<NTSTATUS>(0xC00000B5L);             // STATUS_IO_TIMEOUT: a real open would still wait
constexpr NTSTATUS kOplockBreakInProgress = 0x00000108L;                      // STATUS_OPLOCK_BREAK_IN_PROGRESS

std::wstring lower(std::wstring text) {
  for (auto& c : text) c = static_cast<wchar_t>(std::towlower(c));
  return text;
}

}  // namespace

FakeNtFiles::FakeNtFiles() { root_.name = L"C:"; }

FakeNtFiles::Node& FakeNtFiles::folder(Node& parent, const std::wstring& name) {
  auto& node = parent.children[lower(name)];
  node = std::make_unique<Node>();
  node->name = name;
  return *node;
}

FakeNtFiles::Node& FakeNtFiles::file(Node& parent, const std::wstring& name) {
  Node& node = folder(parent, name);
  node.attributes = FILE_ATTRIBUTE_NORMAL;
  return node;
}

FakeNtFiles::Node& FakeNtFiles::reparsePoint(Node& parent, const std::wstring& name, Node& target) {
  Node& node = folder(parent, name);
  node.attributes = (target.attributes & FILE_ATTRIBUTE_DIRECTORY) | FILE_ATTRIBUTE_REPARSE_POINT;
  node.target = &target;
  return node;
}

std::vector<std::wstring> FakeNtFiles::reached() const { return reached_; }

NTSTATUS FakeNtFiles::createFile(HANDLE* handle, ACCESS_MASK access, OBJECT_ATTRIBUTES* object, IO_STATUS_BLOCK*, ULONG share,
                                 ULONG, ULONG options) {
  const std::wstring name(object->ObjectName->Buffer, object->ObjectName->Length / sizeof(wchar_t));
  Open open{};
  open.name = name;
  open.access = access;
  open.share = share;
  open.options = options;
  open.objectAttributes = object->Attributes;
  const auto* quality = static_cast<const SECURITY_QUALITY_OF_SERVICE*>(object->SecurityQualityOfService);
  open.identificationOnly = quality && quality->ImpersonationLevel <= SecurityIdentification;
  open.earlierHandlesOpen = true;
  for (const auto& [earlier, node] : handles_) {
    DWORD flags = 0;
    if (!GetHandleInformation(earlier, &flags)) open.earlierHandlesOpen = false;
  }

  Node* node = nullptr;
  if (!object->RootDirectory) {
    opens_.push_back(open);
    if (lower(name) != L"\\??\\c:\\") return kNotFound;
    node = &root_;
  } else {
    const auto parent = handles_.find(object->RootDirectory);
    if (parent == handles_.end()) return kInvalidHandle;
    open.parent = parent->second->name;
    opens_.push_back(open);
    // A real relative open would walk a longer name; the walk never needs one.
    if (name.find_first_of(L"\\/") != std::wstring::npos) return kNotFound;
    const auto child = parent->second->children.find(lower(name));
    if (child == parent->second->children.end()) return kNotFound;
    node = child->second.get();
  }
  while (node->target && !(options & FILE_OPEN_REPARSE_POINT)) {
    if (honoursDontReparse && (object->Attributes & OBJ_DONT_REPARSE)) return kReparseEncountered;
    node = node->target;  // followed, as the system would
  }
  if ((options & FILE_DIRECTORY_FILE) && !(node->attributes & FILE_ATTRIBUTE_DIRECTORY)) return kNotADirectory;
  if ((options & FILE_NON_DIRECTORY_FILE) && (node->attributes & FILE_ATTRIBUTE_DIRECTORY)) return kIsADirectory;
  if (node->oplocked && !(options & FILE_COMPLETE_IF_OPLOCKED)) return kStalled;
  reached_.push_back(node->name);

  *handle = CreateEventW(nullptr, TRUE, FALSE, nullptr);
  handles_[*handle] = node;
  return node->oplocked ? kOplockBreakInProgress : 0;
}

NTSTATUS FakeNtFiles::queryAttributes(HANDLE handle, ULONG* attributes) {
  const auto found = handles_.find(handle);
  if (found == handles_.end()) return kInvalidHandle;
  *attributes = found->second->attributes;
  return 0;
}

}  // namespace vlvpn::test
