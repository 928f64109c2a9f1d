// The replay's JSON-lines log: one object per call into the client, per
// owner lookup the client made, per classify, per injection and per HTTP
// request the driver processed. Every line starts with its "type" and
// carries the packet and the flow it belongs to (null for none), so that a
// line is tied to its connection without counting lines.
//
// Lines are written into one reused buffer and go out in large writes.
#pragma once
#include "host/wfp_classify.h"
#include "tools/client/stand_in_client.h"

#include <fmt/format.h>

#include <cstdint>
#include <functional>
#include <mutex>
#include <ostream>
#include <string>
#include <thread>

namespace replay {

// Where something happened in the replay.
struct ClassifyPlace {
  uint64_t packet = 0;  // 1-based index of the capture frame; 0 for none
  int flow = 0;         // 1-based flow number; 0 for none
  int direction = -1;   // FWP_DIRECTION_OUTBOUND, FWP_DIRECTION_INBOUND, or -1
  int protocol = -1;
  uint32_t localAddress = 0, remoteAddress = 0;  // host order
  uint16_t localPort = 0, remotePort = 0;
  uint64_t processId = 0;
};

// One HTTP request the driver processed, and what became of it.
struct HttpRecord {
  uint64_t packet = 0;
  int flow = 0;
  uint64_t processId = 0;
  std::string host, method, url;
  uint64_t size = 0;
  const char* outcome = "";      // url-reply, primary, secondary, exempt, reported, not-reported
  bool hostFromRequest = false;  // read in the request's bytes: no client call carried it
};

// The name the policy gives a process id; nullptr when it names none.
using ProcessNames = std::function<const char*(uint64_t processId)>;

// Appends `text` as a JSON string: quotes, backslashes and control bytes
// escaped, every byte outside printable ASCII as \u00XX.
void AppendJsonString(fmt::memory_buffer& out, const std::string& text);

class JsonLog {
 public:
  explicit JsonLog(std::ostream* out, ProcessNames names = {}) : out_(out), names_(std::move(names)) {}
  ~JsonLog() { Flush(); }
  bool enabled() const { return out_ != nullptr; }

  // From here until the classify's own line, lines from other threads (the
  // verdict worker, woken by a pend inside the classify) wait behind it, so
  // that the log reads in the same order on every run.
  void HoldForClassify();

  void Call(const client::Call& call, uint64_t packet, int flow);
  void Lookup(const char* service, uint32_t localAddressNet, uint32_t localPort, uint32_t found, uint64_t processId,
              uint64_t packet, int flow);
  // At the stream layer `stream` is the layer data the callout saw and
  // wrote; a stream classify that reached no callout has no line.
  void Classify(UINT16 layerId, const host::wfp::ClassifyResult& result, const ClassifyPlace& place,
                bool reauthorization, const FWPS_STREAM_CALLOUT_IO_PACKET0* stream = nullptr);
  void Injection(const char* kind, const ClassifyPlace& place, const std::string& data);
  void StreamInjection(const ClassifyPlace& place, UINT32 streamFlags, const std::string& data);
  void Http(const HttpRecord& record);

  // Hands what the buffer holds to the stream.
  void Flush();

 private:
  using Buffer = fmt::memory_buffer;
  // The buffer a line from this thread goes to: held lines wait behind the
  // classify under way. Called with lock_ held.
  Buffer& Target();
  void EndLine(Buffer& line);  // with lock_ held
  void WriteIfFull();          // with lock_ held
  void ProcessName(Buffer& b, uint64_t processId) const;   // ,"process":"NAME" when the policy has one
  void ProcessField(Buffer& b, uint64_t processId) const;  // ,"processId":N and its name
  void PlaceFields(Buffer& b, const ClassifyPlace& place) const;

  std::ostream* out_;
  ProcessNames names_;
  std::mutex lock_;  // the verdict worker calls the client from its own thread
  Buffer buffer_;
  Buffer held_;
  bool holding_ = false;
  std::thread::id holder_;
};

}  // namespace replay
