// The replay's JSON-lines log: one object per call into the client, per
// owner lookup the client made, per classify and per injection.
#pragma once
#include "host/wfp_classify.h"
#include "tools/client/stand_in_client.h"

#include <cstdint>
#include <mutex>
#include <ostream>
#include <string>
#include <thread>
#include <vector>

namespace replay {

// Where a classify happened in the replay.
struct ClassifyPlace {
  uint64_t packet = 0;  // 1-based index of the capture frame; 0 for none
  int flow = 0;         // 1-based flow number; 0 for none
  int direction = -1;   // FWP_DIRECTION_OUTBOUND, FWP_DIRECTION_INBOUND, or -1
  int protocol = -1;
  uint32_t localAddress = 0, remoteAddress = 0;  // host order
  uint16_t localPort = 0, remotePort = 0;
  uint64_t processId = 0;
};

// A call into the client as one JSON object (no line end). Argument names
// are the stand-in client's; addresses are dotted, byte buffers an object
// of their length and first bytes in hex.
std::string CallJson(const client::Call& call);

class JsonLog {
 public:
  explicit JsonLog(std::ostream* out) : out_(out) {}
  bool enabled() const { return out_ != nullptr; }

  // From here until the classify's own line, lines from other threads (the
  // verdict worker, woken by a pend inside the classify) wait behind it, so
  // that the log reads in the same order on every run.
  void HoldForClassify();

  void Call(const client::Call& call);
  void Lookup(const char* service, uint32_t localAddressNet, uint32_t localPort, uint32_t found, uint64_t processId);
  // At the stream layer `stream` is the layer data the callout saw and
  // wrote; a stream classify that reached no callout has no line.
  void Classify(UINT16 layerId, const host::wfp::ClassifyResult& result, const ClassifyPlace& place,
                bool reauthorization, const FWPS_STREAM_CALLOUT_IO_PACKET0* stream = nullptr);
  void Injection(const std::string& kind, const ClassifyPlace& place, const std::string& data);
  void StreamInjection(const ClassifyPlace& place, UINT32 streamFlags, const std::string& data);

 private:
  void Line(const std::string& json);
  std::ostream* out_;
  std::mutex lock_;  // the verdict worker calls the client from its own thread
  bool holding_ = false;
  std::thread::id holder_;
  std::vector<std::string> held_;
};

}  // namespace replay
