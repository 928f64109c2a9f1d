// What a replay did, counted, and printed for people at the end.
#pragma once
#include "tools/replay/decode.h"

#include <cstdint>
#include <cstdio>
#include <map>
#include <string>

namespace replay {

struct Summary {
  uint64_t read = 0;
  uint64_t replayed = 0;       // went through the simulated stack
  uint64_t skipped[static_cast<int>(Skip::kCount)] = {};
  uint64_t blockedFlowPackets = 0;  // of flows whose bind, listen, connect or accept was blocked
  uint64_t droppedByClient = 0;     // inbound packets the client dropped
  uint64_t classifies = 0;

  struct FlowCounts {
    uint64_t connects = 0, accepts = 0, permitted = 0, blocked = 0, pended = 0, midStream = 0;
  };
  FlowCounts tcp, udp;

  uint64_t pended = 0, pendedPermitted = 0, pendedBlocked = 0;

  struct Bytes {
    uint64_t sent = 0, received = 0;
  };
  // By process ("name (pid N)") and remote endpoint ("a.b.c.d:port").
  std::map<std::pair<std::string, std::string>, Bytes> bytes;

  double seconds = 0;  // wall time of the replay

  uint64_t Skipped() const;
  void FlowOpened(int protocol, bool outbound, bool blocked, bool pended, bool midStream);
  void Print(FILE* out) const;
};

}  // namespace replay
