// A filter plan as the filtering platform's filter records: layers,
// conditions with their match and value types, weights, sublayer and
// action. Pure: the engine only adds what this gives it.
#pragma once

#include <winsock2.h>
#include <windows.h>
#include <fwpmu.h>

#include <deque>
#include <vector>

#include "service/filter_plan.h"

namespace vlvpn::service {

// The platform values a plan's conditions refer to; they must outlive the records.
struct WfpConditionData {
  FWP_BYTE_BLOB* appId = nullptr;
  FWP_BYTE_BLOB* nlaUser = nullptr;
  std::vector<FWP_BYTE_BLOB*> openVpnAppIds = {};  // by OpenVpnAppId's value
  FWP_BYTE_BLOB* serviceUser = nullptr;
};

extern const wchar_t kWfpFilterName[];

class WfpFilterRecords {
 public:
  WfpFilterRecords(const FilterPlan& plan, const GUID& sublayer, const WfpConditionData& data);
  WfpFilterRecords(const WfpFilterRecords&) = delete;  // the records point into this object
  WfpFilterRecords& operator=(const WfpFilterRecords&) = delete;

  // One record per filter of the plan, in its order.
  const std::vector<FWPM_FILTER0>& records() const { return records_; }

 private:
  std::vector<std::vector<FWPM_FILTER_CONDITION0>> conditions_;
  std::deque<UINT64> luids_;  // UINT64 values are passed by pointer
  std::vector<FWPM_FILTER0> records_;
};

const GUID& wfpLayerKey(Layer layer);

// The sublayer a set's filters live in: the kill switch's weighs 0xFFFF,
// the IPv6 block's 0xFFFE.
class WfpSublayerRecord {
 public:
  explicit WfpSublayerRecord(FilterSet set);
  const FWPM_SUBLAYER0& record() const { return record_; }

 private:
  FWPM_SUBLAYER0 record_{};
};

}  // namespace vlvpn::service
