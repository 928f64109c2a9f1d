#include "tools/replay/engine.h"

#include "core/classify/classify.h"
#include "core/driver/driver_entry.h"
#include "host/host.h"
#include "tools/client/stand_in_client.h"

namespace replay::engine {

bool Boot(std::string* error) {
  if (host::io::FindDevice(u"\\Device\\NQ_WFP_BASE_DRV") == nullptr) {
    NTSTATUS status = host::io::LoadDriver(DriverEntry, u"nqwfpdrv");
    if (!NT_SUCCESS(status)) {
      char text[64];
      std::snprintf(text, sizeof text, "the driver failed to load (status 0x%08X)", static_cast<unsigned>(status));
      *error = text;
      return false;
    }
  }
  client::StandInClient& standIn = client::StandInClient::Instance();
  if (standIn.Table() == nullptr && !standIn.Attach()) {
    *error = "the driver created no device \\Device\\NQ_WFP_BASE_DRV";
    return false;
  }
  return true;
}

host::wfp::ClassifyResult Classify(const host::wfp::ClassifyEvent& event) {
  FWPS_FILTER1 filter{};
  filter.filterId = 0x1000 + event.layerId;
  filter.action.type = FWP_ACTION_CALLOUT_TERMINATING;
  return host::wfp::InvokeClassify(ClassifyAll, filter, event);
}

bool IsPended(const host::wfp::ClassifyResult& r) {
  return r.called && r.actionType == FWP_ACTION_BLOCK && (r.flags & FWPS_CLASSIFY_OUT_FLAG_ABSORB) != 0;
}

PendOutcome AwaitPended(const host::wfp::ClassifyEvent& event) {
  (void)event;
  return PendOutcome{};
}

void Settle() {}

}  // namespace replay::engine
