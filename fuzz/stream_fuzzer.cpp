// libFuzzer target: the stream handler and the HTTP request processing
// together, on one outbound HTTP flow of a loaded driver, with the client's
// answers chosen by the input.
//
// Input: records of [control][length][length bytes]. The low two bits of
// control say what the record is:
//   0  a sent segment of the bytes; bit 2 splits it over two net buffer lists
//   1  a received segment of the bytes
//   2  the client's answers from now on, from the bytes: [0] bits: 0 URL hit,
//      1 primary yes, 2 primary reply object, 3 secondary yes, 4 secondary
//      reply object, 5 the first exempt check of a call says exempt, 6 the
//      second one does, 7 a nonzero secondary value; [1] [2] [3] the lengths
//      of the URL reply, the primary and the secondary replies (objects and
//      defaults alike; 0 is a reply of no bytes)
//   3  the ready flag: bit 2 its value from now on; with bit 3 it falls
//      inside the next primary decision instead
// The first byte of the input picks the remote port (80 or 8080).
//
// After every segment, with the request boundaries taken from the
// byte-at-a-time reference parser fed the same segments:
// - the request queue's count equals its nodes;
// - every reply object handed out came back once (none while the flag was
//   down at the end of the call);
// - with the ready flag clear the segment passes, with no injection;
// - on a flow that can no longer be answered no decision entry is called;
// - on one that can, a yes the client did not exempt drops the segment and
//   injects the client's bytes; from that segment on, no byte of the
//   answered request is let through or re-injected while the client is
//   ready, except in the segment where the parser stops (a stop lets the
//   segment through).
// After the flow's deletion nothing is left.
#include "core/driver/driver_entry.h"
#include "core/driver/driver_state.h"
#include "core/http/flow_context.h"
#include "host/host.h"
#include "host/ndis.h"
#include "host/stack.h"
#include "host/wfp/flows.h"
#include "tests/http/reference_parser.h"
#include "tools/client/stand_in_client.h"

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <vector>

namespace {
using host::wfp::ClassifyResult;
using host::wfp::Injection;

constexpr UINT32 kReplyFlags = FWPS_STREAM_FLAG_RECEIVE | FWPS_STREAM_FLAG_RECEIVE_DISCONNECT;

[[noreturn]] void Fail(const std::string& problem, size_t segment) {
  std::fprintf(stderr, "stream fuzzer: segment %zu: %s\n", segment, problem.c_str());
  std::abort();
}

// What the client answers; the hooks read it and note what they said.
struct Answers {
  UINT8 bits = 0;
  UINT8 urlLength = 0, primaryLength = 0, secondaryLength = 0;
  bool readyFallsInPrimary = false;
};

// What the client said during one classify.
struct Said {
  std::string reply;  // the bytes of the last yes, if any
  bool yes = false;
  unsigned checks = 0;
  unsigned decisions = 0;  // calls of the two decision entries and the exempt check
  unsigned objects = 0;  // reply objects handed out
};

Answers gAnswers;
Said gSaid;
std::string Reply(UINT8 length, char fill) { return std::string(length, fill); }

void InstallHooks() {
  static const std::string kUrl = Reply(255, 'U'), kPrimary = Reply(255, 'P'), kSecondary = Reply(255, 'S');
  client::StandInClient& c = client::StandInClient::Instance();
  client::Answers& a = c.answers();
  a.getUrlReply = [](const char*, NqU32* length) -> const void* {
    if ((gAnswers.bits & 1) == 0) return nullptr;
    *length = gAnswers.urlLength;
    gSaid.yes = true;
    gSaid.reply = kUrl.substr(0, gAnswers.urlLength);
    return kUrl.data();
  };
  a.queryHttpPrimary = [&c](const client::Call&, NqReplyObject** reply) -> NqU32 {
    ++gSaid.decisions;
    if (gAnswers.readyFallsInPrimary) {
      gAnswers.readyFallsInPrimary = false;
      c.SetReady(false);
    }
    if ((gAnswers.bits & 2) == 0) return 0;
    if (gAnswers.bits & 4) {
      *reply = c.NewReplyObject(kPrimary.substr(0, gAnswers.primaryLength));
      ++gSaid.objects;
    }
    gSaid.yes = true;
    gSaid.reply = kPrimary.substr(0, gAnswers.primaryLength);
    return 1;
  };
  a.queryHttpSecondary = [&c](const client::Call&, NqReplyObject** reply, NqU64* value) -> NqU32 {
    ++gSaid.decisions;
    if ((gAnswers.bits & 8) == 0) return 0;
    if (gAnswers.bits & 16) {
      *reply = c.NewReplyObject(kSecondary.substr(0, gAnswers.secondaryLength));
      ++gSaid.objects;
    }
    if (gAnswers.bits & 128) *value = 0x0123456789ABCDEFull;
    gSaid.yes = true;
    gSaid.reply = kSecondary.substr(0, gAnswers.secondaryLength);
    return 1;
  };
  a.checkHttpExempt = [](const void*, NqU32) -> NqU32 {
    ++gSaid.decisions;
    unsigned check = gSaid.checks++;
    bool exempt = (gAnswers.bits & (check == 0 ? 32 : 64)) != 0;
    // An exempted yes is no answer: its reply is not the one to expect.
    if (exempt) gSaid.yes = false;
    return exempt ? 1 : 0;
  };
  a.getPrimaryReply = [](NqU32* length) -> const void* {
    *length = gAnswers.primaryLength;
    return kPrimary.data();
  };
  a.getSecondaryReply = [](NqU32* length) -> const void* {
    *length = gAnswers.secondaryLength;
    return kSecondary.data();
  };
}

bool Boot() {
  host::kernel::SetCurrentIrql(PASSIVE_LEVEL);
  if (host::io::LoadDriver(DriverEntry, u"nqwfpdrv") != STATUS_SUCCESS) return false;
  if (!client::StandInClient::Instance().Attach()) return false;
  InstallHooks();
  return true;
}

// Byte ranges of the flow's sent stream, kept merged.
class Ranges {
 public:
  void Add(uint64_t begin, uint64_t end) {
    if (begin < end) ranges_.emplace_back(begin, end);
  }
  bool Overlaps(uint64_t begin, uint64_t end) const {
    for (const auto& [b, e] : ranges_)
      if (b < end && begin < e) return true;
    return false;
  }

 private:
  std::vector<std::pair<uint64_t, uint64_t>> ranges_;
};

// The flow's requests as the reference parser frames them: each occupies
// the stream bytes from where the one before it ended.
struct Model {
  nqtest::ReferenceParser parser;
  uint64_t offset = 0;      // sent bytes indicated so far
  uint64_t nextStart = 0;   // where the next request begins
  std::vector<std::pair<uint64_t, uint64_t>> requests;
  // Answered requests: the stream bytes from the answering segment's start
  // to the request's end.
  std::vector<std::pair<uint64_t, uint64_t>> answered;
  Ranges delivered;  // let through or re-injected while the client was ready, the parser running

  // Feeds a segment; returns how many requests it completed.
  uint32_t Feed(const std::string& bytes) {
    if (parser.state == 1 || parser.state == 5) return 0;
    uint32_t completed = parser.Parse(reinterpret_cast<const uint8_t*>(bytes.data()),
                                      static_cast<uint32_t>(bytes.size()));
    while (!parser.queue.empty()) {
      uint64_t size = parser.queue.front().size;
      requests.emplace_back(nextStart, nextStart + size);
      nextStart += size;
      parser.queue.pop_front();
    }
    return completed;
  }
};

class FlowRun {
 public:
  explicit FlowRun(UINT64 flowHandle, UINT16 remotePort) {
    socket_.protocol = IPPROTO_TCP;
    socket_.localAddress = host::wfp::Ipv4("10.0.0.2");
    socket_.localPort = static_cast<UINT16>(1024 + flowHandle % 60000);
    socket_.remoteAddress = host::wfp::Ipv4("192.0.2.10");
    socket_.remotePort = remotePort;
    socket_.processId = 3100;
    socket_.threadId = 3104;
    socket_.endpointHandle = 0xE0000000ull + flowHandle;
    flow_ = flowHandle;
    host::wfp::Classify(host::stack::FlowEstablishedEvent(socket_, FWP_DIRECTION_OUTBOUND, flow_));
  }

  void Sent(const std::string& bytes, bool split) {
    ++segments_;
    std::vector<std::string> pieces{bytes};
    if (split && bytes.size() > 1) pieces = {bytes.substr(0, bytes.size() / 2), bytes.substr(bytes.size() / 2)};
    host::stack::StreamIndication ind(socket_, flow_, FWPS_STREAM_FLAG_SEND, pieces);
    uint64_t injectionsBefore = host::wfp::InjectionsMade();
    gSaid = Said{};
    Segment s;
    s.readyBefore = Ready();
    s.canReplaceBefore = Context()->canReplace != 0;
    s.r = host::wfp::Classify(ind.Event());
    if (!s.r.called) Fail("the stream callout was not called for a flow with its context", segments_);
    s.readyAfter = Ready();
    if (!s.readyAfter) unreleased_ += gSaid.objects;

    s.begin = model_.offset;
    s.end = s.begin + bytes.size();
    model_.offset = s.end;
    size_t requestsBefore = model_.requests.size();
    bool parsing = model_.parser.state != 1 && model_.parser.state != 5;
    uint32_t completed = model_.Feed(bytes);
    s.parserStopped = parsing && model_.parser.state == 1;
    s.newRequest = completed == 1 && model_.requests.size() == requestsBefore + 1;
    CheckVerdict(s, bytes, injectionsBefore);
    CheckQueue();
    CheckReplyObjects();
  }

  void Received(const std::string& bytes) {
    ++segments_;
    host::stack::StreamIndication ind(socket_, flow_, FWPS_STREAM_FLAG_RECEIVE, {bytes});
    ClassifyResult r = host::wfp::Classify(ind.Event());
    if (r.actionType != FWP_ACTION_PERMIT) Fail("received data was not permitted", segments_);
  }

  void End() {
    host::wfp::DeleteFlow(flow_);
    host::wfp::Classify(host::stack::ReleaseEvent(socket_));
    host::wfp::WaitInjectionsCompleted();
  }

  unsigned Unreleased() const { return unreleased_; }

 private:
  // One sent segment as the driver and the model saw it.
  struct Segment {
    ClassifyResult r;
    uint64_t begin = 0, end = 0;
    bool readyBefore = false, readyAfter = false;
    bool canReplaceBefore = false;
    bool parserStopped = false;  // the reference parser stopped in this segment
    bool newRequest = false;     // it completed exactly one request
  };

  static bool Ready() { return client::StandInClient::Instance().Table()->ClientReady != 0; }

  void CheckVerdict(const Segment& s, const std::string& bytes, uint64_t injectionsBefore) {
    std::vector<Injection> injections = host::wfp::InjectionsSince(&injectionsBefore);
    bool delivered = false;
    if (s.r.actionType == FWP_ACTION_PERMIT) {
      if (!injections.empty()) Fail("an injection with the segment permitted", segments_);
      if (s.r.countBytesEnforced != 0 && s.r.countBytesEnforced != bytes.size())
        Fail("a verdict for part of the segment", segments_);
      delivered = true;
    } else if (s.r.actionType == FWP_ACTION_BLOCK) {
      if (s.r.countBytesEnforced != bytes.size()) Fail("a block that does not cover the segment", segments_);
      if (injections.size() != 1) Fail("a block without exactly one injection", segments_);
      const Injection& i = injections[0];
      if (i.flowId != flow_ || i.kind != Injection::Stream) Fail("an injection into another flow", segments_);
      if (i.streamFlags == kReplyFlags) {
        CheckReply(s, i);
      } else if (i.streamFlags == FWPS_STREAM_FLAG_SEND && i.data == bytes) {
        delivered = true;  // re-injected as it was
      } else {
        Fail("an injection that is neither a reply nor the segment", segments_);
      }
    } else {
      Fail("a stream verdict other than permit or block", segments_);
    }
    if (!s.readyBefore && !s.readyAfter && (s.r.actionType != FWP_ACTION_PERMIT || !injections.empty()))
      Fail("a segment not let through with the ready flag clear", segments_);
    if (!s.canReplaceBefore && gSaid.decisions != 0)
      Fail("a decision entry called on a flow that can no longer be answered", segments_);
    // A yes the client did not exempt answers its request.
    if (s.canReplaceBefore && gSaid.yes && (s.r.actionType != FWP_ACTION_BLOCK || injections.at(0).streamFlags != kReplyFlags))
      Fail("a request the client answered was let through", segments_);
    if (delivered && s.readyBefore && s.readyAfter && !s.parserStopped) model_.delivered.Add(s.begin, s.end);
    for (const auto& [first, last] : model_.answered)
      if (model_.delivered.Overlaps(first, last))
        Fail("a byte of an answered request was let through or re-injected", segments_);
  }

  // A reply for the one request this segment completed, when the client
  // said yes to it; otherwise a disconnect for bytes of one answered before.
  void CheckReply(const Segment& s, const Injection& i) {
    if (gSaid.yes && s.canReplaceBefore && s.newRequest) {
      if (i.data != gSaid.reply) Fail("the injected reply is not the client's bytes", segments_);
      model_.answered.emplace_back(s.begin, model_.requests.back().second);
      return;
    }
    if (!i.data.empty()) Fail("reply bytes injected without a yes for the request", segments_);
  }

  const FlowContext* Context() const {
    UINT64 value = 0;
    if (!host::wfp::detail::FlowContextFor(flow_, FWPS_LAYER_STREAM_V4, gDriverState->calloutIds[CalloutSlotStream],
                                           &value))
      Fail("the flow lost its context", segments_);
    return FlowContextFromValue(value);
  }

  void CheckQueue() {
    const FlowContext* context = Context();
    UINT32 nodes = 0;
    for (const RequestNode* n = context->parser.queueHead; n != nullptr && nodes <= context->parser.queueCount;
         n = n->next)
      ++nodes;
    if (nodes != context->parser.queueCount) Fail("the request queue's count differs from its nodes", segments_);
  }

  void CheckReplyObjects() {
    if (client::StandInClient::Instance().LiveReplyObjects() != unreleased_)
      Fail("a reply object handed out in a call was not released in it", segments_);
    auto violations = host::verifier::Violations();
    if (!violations.empty()) Fail("verifier: " + violations.front(), segments_);
  }

  host::stack::Socket socket_;
  UINT64 flow_;
  Model model_;
  size_t segments_ = 0;
  unsigned unreleased_ = 0;
};

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  static bool booted = Boot();
  static UINT64 nextFlow = 0x1000;
  if (!booted) Fail("the driver did not load", 0);
  if (size == 0) return 0;
  client::StandInClient& client = client::StandInClient::Instance();
  client.ClearCalls();
  client.SetReady(true);
  gAnswers = Answers{};
  host::kernel::SetCurrentIds(3100, 3104);
  host::kernel::SetCurrentIrql(PASSIVE_LEVEL);
  const uint64_t poolMark = host::pool::AllocationCount();
  unsigned unreleased = 0;
  {
    FlowRun run(nextFlow++, (data[0] & 1) != 0 ? 8080 : 80);
    for (size_t at = 1; at + 2 <= size;) {
      uint8_t control = data[at];
      size_t length = std::min<size_t>(data[at + 1], size - at - 2);
      std::string bytes(reinterpret_cast<const char*>(data + at + 2), length);
      at += 2 + length;
      switch (control & 3) {
        case 0:
          if (!bytes.empty()) run.Sent(bytes, (control & 4) != 0);
          break;
        case 1:
          if (!bytes.empty()) run.Received(bytes);
          break;
        case 2:
          gAnswers.bits = bytes.size() > 0 ? static_cast<UINT8>(bytes[0]) : 0;
          gAnswers.urlLength = bytes.size() > 1 ? static_cast<UINT8>(bytes[1]) : 0;
          gAnswers.primaryLength = bytes.size() > 2 ? static_cast<UINT8>(bytes[2]) : 0;
          gAnswers.secondaryLength = bytes.size() > 3 ? static_cast<UINT8>(bytes[3]) : 0;
          break;
        default:
          if (control & 8)
            gAnswers.readyFallsInPrimary = true;
          else
            client.SetReady((control & 4) != 0);
          break;
      }
    }
    run.End();
    unreleased = run.Unreleased();
  }
  auto violations = host::verifier::Violations();
  if (!violations.empty()) Fail("verifier: " + violations.front(), 0);
  if (client.CheckReplyObjects() != unreleased) Fail("reply objects left unreleased", 0);
  if (unreleased != 0) host::verifier::Clear();  // those owed by design: the flag was down
  if (!host::pool::OutstandingSince(poolMark).empty())
    Fail("pool blocks left after the flow's deletion: " + host::pool::LeakReport(host::pool::OutstandingSince(poolMark)),
         0);
  if (host::kernel::MdlCount() != 0) Fail("MDLs left after the flow's deletion", 0);
  if (host::ndis::LiveNetBufferLists() != 0) Fail("net buffer lists left after the flow's deletion", 0);
  if (host::wfp::FlowContextCount() != 0) Fail("a flow context left after the flow's deletion", 0);
  if (host::kernel::HeldSpinLockCount() != 0) Fail("a spin lock is still held", 0);
  return 0;
}
