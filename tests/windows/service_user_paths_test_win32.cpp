// How the Windows service meets what a user may have arranged: paths opened
// one name at a time through no reparse point, opens that a user's file
// cannot stall, a data folder judged by who may change it, and the process
// named that holds its pipe's name.
#include <gtest/gtest.h>

#include <windows.h>
#include <sddl.h>

#include <fstream>

#include "common/win32/wide.h"
#include "service/deadline_call_win32.h"
#include "service/folder_access_win32.h"
#include "service/pipe_holder_win32.h"
#include "service/service_log.h"
#include "service/user_files.h"
#include "service/user_path_win32.h"
#include "tests/fakes/fake_nt_files_win32.h"
#include "tests/support/temp_dir.h"

namespace vlvpn::service {
namespace {

using test::FakeNtFiles;

const UserPathAccess kRead{GENERIC_READ, FILE_SHARE_READ};

// C:\Users\ada\VLVPNDesk\profiles\p1\x.ovpn
struct ProfileTree {
  FakeNtFiles files;
  FakeNtFiles::Node& users = files.folder(files.root(), L"Users");
  FakeNtFiles::Node& ada = files.folder(users, L"ada");
  FakeNtFiles::Node& desk = files.folder(ada, L"VLVPNDesk");
  FakeNtFiles::Node& profiles = files.folder(desk, L"profiles");
  FakeNtFiles::Node& p1 = files.folder(profiles, L"p1");
  FakeNtFiles::Node& config = files.file(p1, L"x.ovpn");
  // Another user's secrets, where a link would lead.
  FakeNtFiles::Node& bob = files.folder(users, L"bob");
  FakeNtFiles::Node& secret = files.file(bob, L"auth.txt");
};

constexpr char kConfig[] = "C:\\Users\\ada\\VLVPNDesk\\profiles\\p1\\x.ovpn";

TEST(UserPathOpen, WalksFromTheDriveOneNameAtATimeHoldingEveryFolder) {
  ProfileTree tree;
  auto opened = openUserPath(tree.files, kConfig, kRead);
  ASSERT_TRUE(opened) << opened.error().api << " " << opened.error().code;

  const auto& opens = tree.files.opens();
  ASSERT_EQ(opens.size(), 7u);
  EXPECT_EQ(opens[0].parent, L"");
  EXPECT_EQ(opens[0].name, L"\\??\\C:\\");
  const std::vector<std::wstring> names{L"Users", L"ada", L"VLVPNDesk", L"profiles", L"p1", L"x.ovpn"};
  const std::vector<std::wstring> parents{L"C:", L"Users", L"ada", L"VLVPNDesk", L"profiles", L"p1"};
  for (size_t i = 1; i < opens.size(); ++i) {
    SCOPED_TRACE(opens[i].name);
    EXPECT_EQ(opens[i].name, names[i - 1]);
    EXPECT_EQ(opens[i].parent, parents[i - 1]);
    EXPECT_TRUE(opens[i].objectAttributes & OBJ_DONT_REPARSE);
    EXPECT_TRUE(opens[i].earlierHandlesOpen);
  }
  for (const auto& open : opens) {
    SCOPED_TRACE(open.name);
    EXPECT_TRUE(open.identificationOnly);
    EXPECT_TRUE(open.options & FILE_OPEN_REPARSE_POINT);
  }
  for (size_t i = 0; i + 1 < opens.size(); ++i) {
    EXPECT_FALSE(opens[i].share & FILE_SHARE_DELETE) << "a held folder could be renamed away";
    EXPECT_TRUE(opens[i].options & FILE_DIRECTORY_FILE);
  }
  EXPECT_TRUE(opens.back().options & FILE_NON_DIRECTORY_FILE);
  EXPECT_EQ(opens.back().share, static_cast<ULONG>(FILE_SHARE_READ));
  EXPECT_TRUE(opens.back().access & GENERIC_READ);
}

TEST(UserPathOpen, AReparsePointAnywhereOnTheWayIsRefusedAndNotFollowed) {
  struct Case {
    const char* what;
    bool honoursDontReparse;
  };
  for (const Case& c : {Case{"system that stops at it", true}, Case{"system that ignores OBJ_DONT_REPARSE", false}}) {
    SCOPED_TRACE(c.what);
    {
      // A junction above the file: ada\VLVPNDesk leads into bob's folder.
      ProfileTree tree;
      tree.files.honoursDontReparse = c.honoursDontReparse;
      tree.ada.children.clear();
      tree.files.reparsePoint(tree.ada, L"VLVPNDesk", tree.bob);
      auto opened = openUserPath(tree.files, "C:\\Users\\ada\\VLVPNDesk\\auth.txt", kRead);
      ASSERT_FALSE(opened);
      EXPECT_EQ(opened.error().code, static_cast<uint32_t>(ERROR_CANT_ACCESS_FILE));
      for (const auto& name : tree.files.reached()) EXPECT_NE(name, L"bob");
      EXPECT_NE(tree.files.opens().back().name, L"auth.txt") << "nothing is opened past the junction";
    }
    {
      // The file itself a link to another user's file.
      ProfileTree tree;
      tree.files.honoursDontReparse = c.honoursDontReparse;
      tree.p1.children.clear();
      tree.files.reparsePoint(tree.p1, L"x.ovpn", tree.secret);
      auto opened = openUserPath(tree.files, kConfig, kRead);
      ASSERT_FALSE(opened);
      EXPECT_EQ(opened.error().code, static_cast<uint32_t>(ERROR_CANT_ACCESS_FILE));
      for (const auto& name : tree.files.reached()) EXPECT_NE(name, L"auth.txt");
    }
  }
}

TEST(UserPathOpen, PathsThatLeaveTheDriveOrReadOtherwiseAreRefusedUnopened) {
  for (const char* path : {
           "\\\\host\\share\\x.ovpn",                      // another host, logged in to as the machine
           "\\\\?\\GLOBALROOT\\RPC Control\\x.ovpn",        // object-manager links
           "\\\\.\\pipe\\VLVPNKillSwitch",                 // a pipe whose server would identify the service
           "\\??\\C:\\Users\\ada\\x.ovpn",                 // an NT name
           "C:x.ovpn",                                      // relative to a drive's current folder
           "Users\\ada\\x.ovpn",                            // relative
           "C:\\Users\\ada\\..\\bob\\auth.txt",            // climbing out
           "C:\\Users\\ada\\VLVPNDesk\\profiles\\p1\\x.ovpn:hidden",  // a stream
           "C:\\Users\\ada.\\x.ovpn",                      // a name Win32 reads without its dot
           "C:\\Users\\ada\\CON",                          // a device name
           "C:\\",                                          // no file at all
       }) {
    SCOPED_TRACE(path);
    ProfileTree tree;
    auto opened = openUserPath(tree.files, path, kRead);
    ASSERT_FALSE(opened);
    EXPECT_EQ(opened.error().code, static_cast<uint32_t>(ERROR_BAD_PATHNAME));
    EXPECT_TRUE(tree.files.opens().empty());
  }
}

TEST(UserPathOpen, AnOpportunisticLockNeverAcknowledgedDoesNotHoldTheOpenUp) {
  ProfileTree tree;
  tree.config.oplocked = true;  // without FILE_COMPLETE_IF_OPLOCKED the fake answers as a stalled open
  auto opened = openUserPath(tree.files, kConfig, kRead);
  EXPECT_TRUE(opened) << opened.error().api << " " << opened.error().code;
}

TEST(UserPathOpen, AFolderWhereTheFileShouldBeIsRefused) {
  ProfileTree tree;
  tree.p1.children.clear();
  tree.files.folder(tree.p1, L"x.ovpn");
  EXPECT_FALSE(openUserPath(tree.files, kConfig, kRead));
}

// The same walk on the system's own calls, on a real file.
TEST(UserPathOpen, ReadsARealFileThroughTheSystemsCalls) {
  test::TempDir dir;
  const auto file = dir.path() / L"x.ovpn";
  std::ofstream(file, std::ios::binary) << "client\n";
  auto opened = openUserPath(systemNtFileCalls(), utf8FromWide(file.wstring()), kRead);
  ASSERT_TRUE(opened) << opened.error().api << " " << opened.error().code;
  char buffer[16] = {};
  DWORD read = 0;
  ASSERT_TRUE(ReadFile(opened.value().get(), buffer, sizeof buffer, &read, nullptr));
  EXPECT_EQ(std::string(buffer, read), "client\n");
  EXPECT_FALSE(openUserPath(systemNtFileCalls(), utf8FromWide((dir.path() / L"absent.ovpn").wstring()), kRead));
}

// The checks before a start go the same way, so a query by path never
// follows a junction above the name it asks about.
TEST(UserPathOpen, TheChecksBeforeAStartWalkTheSameWay) {
  test::TempDir dir;
  const auto file = dir.path() / L"x.ovpn";
  std::ofstream(file, std::ios::binary) << "client\n";
  EXPECT_TRUE(isFreeOfLinks(dir.path()));
  EXPECT_TRUE(isFreeOfLinks(file));
  EXPECT_TRUE(isAbsentOrPlainFile(file));
  EXPECT_TRUE(isAbsentOrPlainFile(dir.path() / L"openvpn.log"));
  EXPECT_TRUE(isAbsentOrPlainFile(dir.path() / L"absent" / L"openvpn.log"));
  EXPECT_FALSE(isAbsentOrPlainFile(dir.path()));
  EXPECT_FALSE(isFreeOfLinks(L"\\\\host\\share\\profiles"));
  EXPECT_FALSE(isAbsentOrPlainFile(L"\\\\host\\share\\openvpn.log"));
  auto content = readPlainFile(file);
  ASSERT_TRUE(content);
  EXPECT_EQ(content.value(), "client\n");

  ProfileTree tree;
  EXPECT_TRUE(openUserPath(tree.files, "C:\\Users\\ada\\VLVPNDesk", {FILE_READ_ATTRIBUTES, FILE_SHARE_READ, false}));
  EXPECT_FALSE(openUserPath(tree.files, "C:\\Users\\ada\\VLVPNDesk", {FILE_READ_ATTRIBUTES, FILE_SHARE_READ}));
}

TEST(DeadlineCall, AReaderStuckInBlockingIoIsGivenUpAtItsDeadline) {
  HANDLE readEnd = nullptr, writeEnd = nullptr;
  ASSERT_TRUE(CreatePipe(&readEnd, &writeEnd, nullptr, 0));
  UniqueHandle writer(writeEnd);
  auto reader = std::make_shared<UniqueHandle>(readEnd);
  // Nothing is ever written: the read blocks until cancelled or the writer goes.
  auto stuck = callWithDeadline<int>(std::chrono::milliseconds(50), [reader] {
    char byte = 0;
    DWORD read = 0;
    return ReadFile(reader->get(), &byte, 1, &read, nullptr) ? 1 : 0;
  });
  ASSERT_FALSE(stuck);
  EXPECT_EQ(stuck.error().code, static_cast<uint32_t>(ERROR_TIMEOUT));
  writer.reset();  // lets the read end should the cancel not have reached it

  auto quick = callWithDeadline<int>(std::chrono::milliseconds(5000), [] { return 42; });
  ASSERT_TRUE(quick);
  EXPECT_EQ(quick.value(), 42);
}

// The access list of `sddl`, as a folder would carry it. (Wine keeps no
// access list given to a folder, so the lists are judged as such.)
struct AccessList {
  explicit AccessList(const wchar_t* sddl) {
    EXPECT_TRUE(ConvertStringSecurityDescriptorToSecurityDescriptorW(sddl, SDDL_REVISION_1, &descriptor, nullptr));
    BOOL present = FALSE, defaulted = FALSE;
    EXPECT_TRUE(GetSecurityDescriptorDacl(descriptor, &present, &dacl, &defaulted));
    if (!present) dacl = nullptr;
  }
  ~AccessList() { LocalFree(descriptor); }
  PSECURITY_DESCRIPTOR descriptor = nullptr;
  PACL dacl = nullptr;
};

TEST(DataFolder, OneThatOthersMayChangeIsNotUsed) {
  struct Case {
    const wchar_t* sddl;
    const char* changedBy;  // "" for no one, "?" for an account however the system names it
  };
  for (const Case& c : {
           Case{L"D:P(A;OICI;FA;;;SY)(A;OICI;FA;;;BA)", ""},
           Case{L"D:P(A;OICI;FA;;;SY)(A;OICI;FA;;;BA)(A;OICI;0x1200a9;;;BU)", ""},  // users may read
           Case{L"D:P(A;OICI;FA;;;SY)(A;OICI;FA;;;BA)(D;OICI;FA;;;WD)", ""},        // a deny entry
           Case{L"D:P(A;OICI;FA;;;SY)(A;OICI;FA;;;BA)(A;OICIIO;FA;;;CO)", ""},      // the creator: the service
           Case{L"D:P(A;OICI;FA;;;SY)(A;OICI;FA;;;BA)(A;CI;0x100116;;;BU)", "?"},   // users may add
           Case{L"D:P(A;OICI;FA;;;SY)(A;OICI;FA;;;BA)(A;OICIIO;FA;;;AU)", "?"},     // what is made inside
           Case{L"D:P(A;OICI;FA;;;SY)(A;OICI;FA;;;BA)(A;;WD;;;WD)", "?"},           // rewriting the list
           Case{L"D:P(A;OICI;FA;;;SY)(A;OICI;FA;;;BA)(A;;DT;;;IU)", "?"},           // deleting inside
           Case{L"D:P(A;OICI;FA;;;SY)(A;OICI;GA;;;BU)", "?"},                       // all, generically
       }) {
    SCOPED_TRACE(utf8FromWide(c.sddl));
    AccessList list(c.sddl);
    ASSERT_TRUE(list.descriptor);
    const std::string who = whoElseMayChange(list.dacl);
    if (std::string(c.changedBy) == "?") {
      EXPECT_FALSE(who.empty());
      EXPECT_NE(who, "anyone");
    } else {
      EXPECT_EQ(who, c.changedBy);
    }
  }
  // No list at all lets everyone do everything.
  EXPECT_EQ(whoElseMayChange(nullptr), "anyone");
}

TEST(DataFolder, TheServicesOwnFolderIsUsed) {
  test::TempDir dir;
  EXPECT_EQ(unsafeDataFolderReason(dir.path()), "");
  EXPECT_EQ(unsafeDataFolderReason(dir.path() / L"absent").rfind("cannot be examined", 0), 0u);
}

TEST(PipeHolder, IsNamedByItsProcess) {
  const std::wstring name = L"\\\\.\\pipe\\VLVPNKillSwitch-holder-" + std::to_wstring(GetCurrentProcessId());
  UniqueFileHandle held(CreateNamedPipeW(name.c_str(), PIPE_ACCESS_DUPLEX | FILE_FLAG_FIRST_PIPE_INSTANCE, PIPE_TYPE_BYTE,
                                         PIPE_UNLIMITED_INSTANCES, 4096, 4096, 0, nullptr));
  ASSERT_TRUE(held);
  wchar_t image[MAX_PATH * 2];
  DWORD length = MAX_PATH * 2;
  ASSERT_TRUE(QueryFullProcessImageNameW(GetCurrentProcess(), 0, image, &length));
  EXPECT_EQ(pipeServerOf(name),
            "pid " + std::to_string(GetCurrentProcessId()) + " (" + utf8FromWide(std::wstring(image, length)) + ")");
  held.reset();
  EXPECT_EQ(pipeServerOf(name).rfind("a process that cannot be named (", 0), 0u);
}

}  // namespace
}  // namespace vlvpn::service
