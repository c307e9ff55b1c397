// Every filtering-platform and system call the Windows kill-switch engine
// makes, behind one port, so that tests can fail any of them and keep every
// record the engine hands over.
#pragma once

#include <winsock2.h>
#include <windows.h>
#include <fwpmu.h>

#include <cstdint>
#include <filesystem>
#include <memory>
#include <string>
#include <vector>

#include "service/filter_engine.h"

namespace vlvpn::service {

class WfpPlatform {
 public:
  virtual ~WfpPlatform() = default;

  // A dynamic session (FWPM_SESSION_FLAG_DYNAMIC): closing it, or the end of
  // the process, deletes every sublayer and filter added through it.
  // ERROR_SUCCESS and the handle, or the failing call's code.
  virtual DWORD openSession(HANDLE* engine) = 0;
  virtual void closeSession(HANDLE engine) = 0;
  virtual DWORD beginTransaction(HANDLE engine) = 0;
  virtual DWORD commitTransaction(HANDLE engine) = 0;
  virtual DWORD abortTransaction(HANDLE engine) = 0;
  virtual DWORD addSublayer(HANDLE engine, const FWPM_SUBLAYER0& sublayer) = 0;
  // The identifier the engine gave the filter goes to `id`.
  virtual DWORD addFilter(HANDLE engine, const FWPM_FILTER0& filter, UINT64* id) = 0;
  virtual DWORD deleteFilter(HANDLE engine, UINT64 id) = 0;

  // What a set is built from, gathered before its transaction; each is
  // absent (empty) when the system cannot give it.
  virtual std::vector<uint64_t> tapAdapters() = 0;
  virtual std::shared_ptr<FWP_BYTE_BLOB> appId(const std::wstring& path) = 0;
  virtual std::shared_ptr<FWP_BYTE_BLOB> nlaServiceUser() = 0;
  // A descriptor that matches the service's own account, the one the
  // OpenVPN it starts runs as.
  virtual std::shared_ptr<FWP_BYTE_BLOB> serviceUser() = 0;

  static std::unique_ptr<WfpPlatform> create();
};

// The filter engine over `platform`.
std::unique_ptr<FilterEngine> createWfpEngine(std::unique_ptr<WfpPlatform> platform,
                                              std::vector<std::filesystem::path> openVpnExecutables = {});

}  // namespace vlvpn::service
