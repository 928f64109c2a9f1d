#include "tools/replay/engine.h"

#include "core/driver/driver_entry.h"
#include "host/host.h"
#include "host/wfp.h"
#include "tools/client/loaded_client.h"

#include <cstdio>

namespace replay::engine {
namespace {
constexpr unsigned kPendTimeoutMs = 10000;
uint64_t nextInjection = 0;  // the first injection the replay has not read
}  // namespace

bool Boot(std::string* error, const std::string& clientPath, const std::string& clientArgument,
          std::string* warning) {
  if (host::io::FindDevice(u"\\Device\\NQ_WFP_BASE_DRV") == nullptr) {
    if (host::wfp::BfeState() != FWPM_SERVICE_RUNNING) host::wfp::SetBfeState(FWPM_SERVICE_RUNNING);
    NTSTATUS status = host::io::LoadDriver(DriverEntry, u"nqwfpdrv");
    if (!NT_SUCCESS(status)) {
      char text[64];
      std::snprintf(text, sizeof text, "the driver failed to load (status 0x%08X)", static_cast<unsigned>(status));
      *error = text;
      return false;
    }
  }
  client::StandInClient& standIn = client::StandInClient::Instance();
  if (!clientPath.empty()) {
    client::LoadOutcome outcome = client::LoadClientDriver(clientPath, clientArgument, error);
    if (outcome == client::LoadOutcome::kFailed) return false;
    if (outcome == client::LoadOutcome::kNotReady && warning != nullptr)
      *warning = "the client '" + clientPath + "' never raised ClientReady: no call goes into it";
  } else if (standIn.Table() == nullptr && !standIn.Attach()) {
    *error = "the driver created no device \\Device\\NQ_WFP_BASE_DRV";
    return false;
  }
  host::wfp::KeepCompletedInjections(kInjectionHistory);
  nextInjection = host::wfp::InjectionsMade();
  return true;
}

host::wfp::ClassifyResult Classify(const host::wfp::ClassifyEvent& event) { return host::wfp::Classify(event); }

PendOutcome AwaitPended(const host::wfp::ClassifyEvent& event, const host::wfp::ClassifyResult& pended) {
  PendOutcome outcome;
  host::wfp::Reauthorization re;
  // The worker decides, completes (the engine reauthorizes inside the
  // completion) and goes on to send what it held: one wait, until it blocks
  // again, sees all of that. Only a decision that comes later than the
  // worker's turn (from a timer, or another thread) is waited for itself.
  host::kernel::WaitDriverThreadsIdle();
  if (!host::wfp::WaitReauthorized(pended.completionHandle, &re, kPendTimeoutMs)) return outcome;
  outcome.completed = true;
  outcome.reauthorization = re.result;
  outcome.permitted = re.result.actionType != FWP_ACTION_BLOCK;
  // An accept's reauthorization always permits: a blocked accept shows in
  // the worker completing it without the held packet, so the connection
  // never gets its first packet.
  if (event.layerId == FWPS_LAYER_ALE_AUTH_RECV_ACCEPT_V4 && event.layerData != nullptr)
    outcome.permitted = outcome.permitted && re.completedWith != nullptr;
  // The worker goes on after the completion: it sends a permitted connect's
  // held packet, reports an accept, frees what it held. Let it finish.
  host::kernel::WaitDriverThreadsIdle();
  return outcome;
}

std::vector<host::wfp::Injection> NewInjections(uint64_t* missed) {
  return host::wfp::InjectionsSince(&nextInjection, missed);
}

void Settle() {
  host::kernel::WaitDriverThreadsIdle();
  host::wfp::WaitInjectionsCompleted();
}

}  // namespace replay::engine
