// The simulated machine the replay runs on: the host platform booted with
// the BFE running, the driver loaded, the stand-in client attached; and
// the one way classify calls reach the driver.
#pragma once
#include "host/wfp_classify.h"

#include <string>

namespace replay::engine {

// Boots the machine once per process; later calls find it running.
bool Boot(std::string* error);

// Classifies an event at its layer, as the filter engine does.
host::wfp::ClassifyResult Classify(const host::wfp::ClassifyEvent& event);

// A verdict the callout pended: block with the absorb flag.
bool IsPended(const host::wfp::ClassifyResult& result);

// What became of a pended operation once the worker completed it.
struct PendOutcome {
  bool completed = false;       // the operation was completed in time
  bool permitted = false;       // the event goes on (connect and bind through their reauthorization)
  bool reauthorized = false;    // the engine classified it again
  host::wfp::ClassifyResult reauthorization;
};

// Waits until the verdict worker has completed the pended event and the
// engine has reauthorized it, before the replay goes on.
PendOutcome AwaitPended(const host::wfp::ClassifyEvent& event);

// Waits until injections and other work started by the driver are done,
// so that the held packets can be freed.
void Settle();

}  // namespace replay::engine
