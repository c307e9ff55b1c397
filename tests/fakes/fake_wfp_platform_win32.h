// The filtering platform as far as the kill-switch engine uses it: sessions,
// transactions and the sublayers and filters in force, each record copied
// whole as the engine handed it over. Any call can be made to fail.
#pragma once

#include <winsock2.h>
#include <windows.h>
#include <fwpmu.h>

#include <map>
#include <string>
#include <vector>

#include "service/wfp_platform_win32.h"

namespace vlvpn::test {

struct CapturedCondition {
  GUID field{};
  FWP_MATCH_TYPE match{};
  FWP_DATA_TYPE type{};
  uint64_t number = 0;         // FWP_UINT8 to FWP_UINT64
  std::vector<uint8_t> bytes;  // byte blob or security descriptor
};

struct CapturedFilter {
  UINT64 id = 0;
  GUID layer{};
  GUID sublayer{};
  FWP_DATA_TYPE weightType{};
  uint64_t weight = 0;
  FWP_ACTION_TYPE action{};
  UINT32 flags = 0;
  std::wstring name;
  std::vector<CapturedCondition> conditions;
};

struct CapturedSublayer {
  GUID key{};
  UINT16 weight = 0;
  std::wstring name;
};

CapturedFilter captureFilter(const FWPM_FILTER0& filter, UINT64 id);

class FakeWfpPlatform : public service::WfpPlatform {
 public:
  // Every call by name, in order ("openSession", "addFilter", ...).
  std::vector<std::string> calls;
  // The call to fail and with what: the `failAt`-th call of that name from now
  // (1 = the next one).
  std::string failCall;
  int failAt = 0;
  DWORD failCode = ERROR_ACCESS_DENIED;

  std::vector<uint64_t> taps;
  std::vector<uint8_t> appIdBytes;    // empty: no application identifier
  std::vector<uint8_t> nlaUserBytes;  // empty: no descriptor
  std::map<std::wstring, std::vector<uint8_t>> appIdsByPath;  // before appIdBytes; empty bytes: none
  std::vector<uint8_t> serviceUserBytes;                      // empty: no descriptor

  // What is in force: committed and not since deleted, by session.
  std::vector<CapturedSublayer> sublayersInForce() const;
  std::vector<CapturedFilter> filtersInForce() const;
  int openSessions() const { return static_cast<int>(sessions_.size()); }

  DWORD openSession(HANDLE* engine) override;
  void closeSession(HANDLE engine) override;
  DWORD beginTransaction(HANDLE engine) override;
  DWORD commitTransaction(HANDLE engine) override;
  DWORD abortTransaction(HANDLE engine) override;
  DWORD addSublayer(HANDLE engine, const FWPM_SUBLAYER0& sublayer) override;
  DWORD addFilter(HANDLE engine, const FWPM_FILTER0& filter, UINT64* id) override;
  DWORD deleteFilter(HANDLE engine, UINT64 id) override;
  std::vector<uint64_t> tapAdapters() override;
  std::shared_ptr<FWP_BYTE_BLOB> appId(const std::wstring& path) override;
  std::shared_ptr<FWP_BYTE_BLOB> nlaServiceUser() override;
  std::shared_ptr<FWP_BYTE_BLOB> serviceUser() override;

 private:
  struct State {
    std::vector<CapturedSublayer> sublayers;
    std::map<UINT64, CapturedFilter> filters;
  };
  struct Session {
    State committed;
    State pending;  // the transaction's view
    bool inTransaction = false;
  };
  bool fails(const char* call);
  Session* find(HANDLE engine);

  std::map<HANDLE, Session> sessions_;
  std::map<std::string, int> counts_;
  uintptr_t nextHandle_ = 0x100;
  UINT64 nextId_ = 1;
};

}  // namespace vlvpn::test
