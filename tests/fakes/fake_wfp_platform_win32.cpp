#include "tests/fakes/fake_wfp_platform_win32.h"

namespace vlvpn::test {
namespace {

std::shared_ptr<FWP_BYTE_BLOB> blobOf(const std::vector<uint8_t>& bytes) {
  if (bytes.empty()) return nullptr;
  auto copy = std::make_shared<std::vector<uint8_t>>(bytes);
  auto* blob = new FWP_BYTE_BLOB{static_cast<UINT32>(copy->size()), copy->data()};
  return std::shared_ptr<FWP_BYTE_BLOB>(blob, [copy](FWP_BYTE_BLOB* owned) { delete owned; });
}

std::vector<uint8_t> bytesOf(const FWP_BYTE_BLOB* blob) {
  if (!blob || !blob->data) return {};
  return std::vector<uint8_t>(blob->data, blob->data + blob->size);
}

}  // namespace

CapturedFilter captureFilter(const FWPM_FILTER0& filter, UINT64 id) {
  CapturedFilter captured;
  captured.id = id;
  captured.layer = filter.layerKey;
  captured.sublayer = filter.subLayerKey;
  captured.weightType = filter.weight.type;
  if (filter.weight.type == FWP_UINT8) captured.weight = filter.weight.uint8;
  if (filter.weight.type == FWP_UINT64 && filter.weight.uint64) captured.weight = *filter.weight.uint64;
  captured.action = filter.action.type;
  captured.flags = filter.flags;
  if (filter.displayData.name) captured.name = filter.displayData.name;
  for (UINT32 i = 0; i < filter.numFilterConditions; ++i) {
    const FWPM_FILTER_CONDITION0& c = filter.filterCondition[i];
    CapturedCondition condition{c.fieldKey, c.matchType, c.conditionValue.type, 0, {}};
    switch (c.conditionValue.type) {
      case FWP_UINT8: condition.number = c.conditionValue.uint8; break;
      case FWP_UINT16: condition.number = c.conditionValue.uint16; break;
      case FWP_UINT32: condition.number = c.conditionValue.uint32; break;
      case FWP_UINT64: condition.number = c.conditionValue.uint64 ? *c.conditionValue.uint64 : 0; break;
      case FWP_BYTE_BLOB_TYPE: condition.bytes = bytesOf(c.conditionValue.byteBlob); break;
      case FWP_SECURITY_DESCRIPTOR_TYPE: condition.bytes = bytesOf(c.conditionValue.sd); break;
      default: break;
    }
    captured.conditions.push_back(std::move(condition));
  }
  return captured;
}

bool FakeWfpPlatform::fails(const char* call) {
  calls.push_back(call);
  if (failCall != call) return false;
  return ++counts_[call] == failAt;
}

FakeWfpPlatform::Session* FakeWfpPlatform::find(HANDLE engine) {
  const auto found = sessions_.find(engine);
  return found == sessions_.end() ? nullptr : &found->second;
}

DWORD FakeWfpPlatform::openSession(HANDLE* engine) {
  if (fails("openSession")) return failCode;
  *engine = reinterpret_cast<HANDLE>(nextHandle_++);
  sessions_[*engine] = Session{};
  return ERROR_SUCCESS;
}

void FakeWfpPlatform::closeSession(HANDLE engine) {
  calls.push_back("closeSession");
  sessions_.erase(engine);  // dynamic: everything it added goes with it
}

DWORD FakeWfpPlatform::beginTransaction(HANDLE engine) {
  if (fails("beginTransaction")) return failCode;
  Session* session = find(engine);
  if (!session || session->inTransaction) return static_cast<DWORD>(FWP_E_TXN_IN_PROGRESS);
  session->pending = session->committed;
  session->inTransaction = true;
  return ERROR_SUCCESS;
}

DWORD FakeWfpPlatform::commitTransaction(HANDLE engine) {
  Session* session = find(engine);
  if (fails("commitTransaction")) {
    if (session) session->inTransaction = false;  // a failed commit leaves what was committed before
    return failCode;
  }
  if (!session || !session->inTransaction) return static_cast<DWORD>(FWP_E_NO_TXN_IN_PROGRESS);
  session->committed = session->pending;
  session->inTransaction = false;
  return ERROR_SUCCESS;
}

DWORD FakeWfpPlatform::abortTransaction(HANDLE engine) {
  calls.push_back("abortTransaction");
  Session* session = find(engine);
  if (!session || !session->inTransaction) return static_cast<DWORD>(FWP_E_NO_TXN_IN_PROGRESS);
  session->inTransaction = false;
  return ERROR_SUCCESS;
}

DWORD FakeWfpPlatform::addSublayer(HANDLE engine, const FWPM_SUBLAYER0& sublayer) {
  if (fails("addSublayer")) return failCode;
  Session* session = find(engine);
  if (!session || !session->inTransaction) return static_cast<DWORD>(FWP_E_NO_TXN_IN_PROGRESS);
  session->pending.sublayers.push_back(
      {sublayer.subLayerKey, sublayer.weight, sublayer.displayData.name ? sublayer.displayData.name : L""});
  return ERROR_SUCCESS;
}

DWORD FakeWfpPlatform::addFilter(HANDLE engine, const FWPM_FILTER0& filter, UINT64* id) {
  if (fails("addFilter")) return failCode;
  Session* session = find(engine);
  if (!session || !session->inTransaction) return static_cast<DWORD>(FWP_E_NO_TXN_IN_PROGRESS);
  *id = nextId_++;
  session->pending.filters[*id] = captureFilter(filter, *id);
  return ERROR_SUCCESS;
}

DWORD FakeWfpPlatform::deleteFilter(HANDLE engine, UINT64 id) {
  if (fails("deleteFilter")) return failCode;
  Session* session = find(engine);
  if (!session || !session->inTransaction) return static_cast<DWORD>(FWP_E_NO_TXN_IN_PROGRESS);
  if (session->pending.filters.erase(id) == 0) return static_cast<DWORD>(FWP_E_FILTER_NOT_FOUND);
  return ERROR_SUCCESS;
}

std::vector<uint64_t> FakeWfpPlatform::tapAdapters() { return taps; }
std::shared_ptr<FWP_BYTE_BLOB> FakeWfpPlatform::appId(const std::wstring& path) {
  calls.push_back("appId");
  const auto named = appIdsByPath.find(path);
  return blobOf(named != appIdsByPath.end() ? named->second : appIdBytes);
}
std::shared_ptr<FWP_BYTE_BLOB> FakeWfpPlatform::nlaServiceUser() { return blobOf(nlaUserBytes); }
std::shared_ptr<FWP_BYTE_BLOB> FakeWfpPlatform::serviceUser() {
  calls.push_back("serviceUser");
  return blobOf(serviceUserBytes);
}

std::vector<CapturedSublayer> FakeWfpPlatform::sublayersInForce() const {
  std::vector<CapturedSublayer> all;
  for (const auto& [handle, session] : sessions_) {
    all.insert(all.end(), session.committed.sublayers.begin(), session.committed.sublayers.end());
  }
  return all;
}

std::vector<CapturedFilter> FakeWfpPlatform::filtersInForce() const {
  std::vector<CapturedFilter> all;
  for (const auto& [handle, session] : sessions_) {
    for (const auto& [id, filter] : session.committed.filters) all.push_back(filter);
  }
  return all;
}

}  // namespace vlvpn::test
