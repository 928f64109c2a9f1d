// The policy language, for `nqwfp help replay` and `nqwfp help sweep`. Every
// example line is a rule Policy::Parse accepts (tests/replay/policy_test.cpp
// parses them all).
#include "tools/client/policy.h"

namespace client {

const char* PolicyLanguage() {
  return R"(The stand-in client's policy (--policy FILE): one rule a line, '#' starts a
comment. The first matching rule of each kind wins; without one, every event
is permitted, every packet passes and every endpoint belongs to the process
"app".

  process NAME [pid N] MATCH...      local endpoints first seen with these facts
                                     belong to the simulated process NAME (pid: a
                                     multiple of 4; without it, derived from NAME)
      process curl pid 2412 proto tcp remote-port 80-8081
  default-process NAME [pid N]       the owner of every other endpoint
      default-process app
  EVENTS ANSWER MATCH...             EVENTS: bind, listen, accept, connect or any,
                                     several joined by commas; ANSWER: permit,
                                     block, pend permit or pend block
      connect pend permit proto tcp remote-port 8080
      accept,connect block remote 192.0.2.0/24
  drop MATCH...                      inbound packets InspectInboundPacket refuses
      drop proto udp local-port 5302
  lookup                             ask the driver who owns the local endpoint of
                                     every report (LookupTcpEndpointOwner, ...)
      lookup
  url URL reply FILE                 GetUrlReply answers a request for exactly URL
                                     with FILE's bytes
      url /moved reply moved.http
  http-primary block [reply FILE] HTTPMATCH...
                                     QueryHttpPrimary answers 1, with a reply
                                     object holding FILE's bytes when given
      http-primary block reply blocked.http url-prefix /ads/
  http-secondary block [reply FILE] [value N] HTTPMATCH...
                                     the same for QueryHttpSecondary, which also
                                     gives the 64-bit N (default 0)
      http-secondary block reply secondary.http value 77 url /track.js
  primary-reply FILE                 what GetPrimaryReply returns
      primary-reply blocked.http
  secondary-reply FILE               what GetSecondaryReply returns
      secondary-reply secondary.http
  exempt contains TEXT               CheckHttpExempt answers 1 for data holding TEXT
      exempt contains X-Allow

MATCH, each key at most once in a rule:
  proto tcp|udp, local ADDR[/BITS], remote ADDR[/BITS], local-port P[-Q],
  remote-port P[-Q], process NAME (verdict and HTTP rules only)
HTTPMATCH: host H, method M, url U, url-prefix P, and the MATCH keys
      http-primary block host ads.example.test method POST
What each event can match: bind proto and process; listen proto tcp, local,
local-port and process; accept and connect every key; any what bind and
listen both can (proto tcp, process). A key an event is not known by is an
error, as is a key given twice.
A FILE is read relative to the policy file's folder: a regular file of at
most 1 MiB.
)";
}

}  // namespace client
