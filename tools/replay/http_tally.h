// Follows the client's HTTP calls, one request at a time, into one `http`
// log record per request the driver processed and the summary's count of
// requests by host.
//
// A request the driver puts to the client alone starts with its URL lookup
// and ends with its report, or, when the lookup found a reply or the client
// exempted it, with the stream indication that carried it; requests
// completed together are only reported. A URL lookup carries no host: the
// host of such a request is read in the request bytes the replay indicated.
#pragma once
#include "tools/client/stand_in_client.h"
#include "tools/replay/log.h"
#include "tools/replay/summary.h"

#include <string>

namespace replay {

// What the replay read of a request in the bytes it sent on a connection.
struct RequestBytes {
  std::string host, method;
  uint64_t size = 0;  // header and Content-Length body
};

// Finds the last request for `url` whose header is complete in `sent` (the
// latest bytes of a connection's sent stream): its method, its last
// `Host:` line (leading spaces dropped, cut at the first ':') and its size.
bool ReadRequest(const std::string& sent, const std::string& url, RequestBytes* request);

class HttpTally {
 public:
  HttpTally(Summary* summary, JsonLog* log) : summary_(summary), log_(log) {}

  // `place`: packet and flow of the call. `sent`: the latest bytes the
  // connection sent, and `remote` its dotted remote address, the host of a
  // request whose Host line the replay cannot read.
  void OnCall(const client::Call& call, const ClassifyPlace& place, const std::string& sent, const std::string& remote);
  // The stream indication that carried the request under way is over; the
  // client's answer reached the application when `answered`.
  void SegmentDone(bool answered);

 private:
  void Open(const ClassifyPlace& place);
  void TakeTexts(const client::Call& call);
  void Close(const char* outcome);
  const char* Outcome(bool answered) const;

  Summary* summary_;
  JsonLog* log_;
  bool open_ = false;
  HttpRecord record_;
  bool urlFound_ = false, secondary_ = false, exempt_ = false;  // what the calls so far said
  bool awaitingExempt_ = false;  // a yes of a decision, until CheckHttpExempt answers
};

}  // namespace replay
