// The simulated machine the replay runs on: the host platform booted with
// the BFE running, the driver loaded, the stand-in client attached; and
// the one way classify calls reach the driver.
#pragma once
#include "host/wfp_classify.h"

#include <cstddef>
#include <string>
#include <vector>

namespace replay::engine {

// The host's history of injections keeps this many completed ones: the
// replay reads the new ones after every classify and needs no older.
constexpr size_t kInjectionHistory = 1024;

// Boots the machine once per process; later calls find it running. With a
// client path, that shared object is loaded as the client driver instead of
// attaching the stand-in alone (tools/client/loaded_client.h); *warning says
// when it never raised ClientReady.
bool Boot(std::string* error, const std::string& clientPath = "", const std::string& clientArgument = "",
          std::string* warning = nullptr);

// Classifies an event at its layer through the filter engine.
host::wfp::ClassifyResult Classify(const host::wfp::ClassifyEvent& event);

// What became of a pended operation once the verdict worker completed it.
struct PendOutcome {
  bool completed = false;     // completed and reauthorized in time
  bool permitted = false;     // the event goes on
  host::wfp::ClassifyResult reauthorization;
};

// Waits until the verdict worker has completed the operation that the
// classify pended and the engine has reauthorized it.
PendOutcome AwaitPended(const host::wfp::ClassifyEvent& event, const host::wfp::ClassifyResult& pended);

// Injections the driver made since the last call; *missed counts those the
// host's history no longer held.
std::vector<host::wfp::Injection> NewInjections(uint64_t* missed);

// Waits until every injection the driver made has completed and every
// clone it took is freed, so that the packets they came from can be freed.
void Settle();

}  // namespace replay::engine
