// Stream data in the simulated stack: every TCP segment of an established
// flow that carries payload, or a FIN, becomes one indication at the stream
// layer, in sequence order, and the stack does with it what the callout's
// verdict and its stream injections say.
#include "tools/replay/stack_parts.h"

#include <algorithm>

namespace replay {

using host::wfp::ClassifyResult;

namespace {
// How far a sequence number lies past another, modulo 2^32.
int64_t Ahead(uint32_t sequence, uint32_t next) { return static_cast<int32_t>(sequence - next); }

// Enough of a connection's latest sent bytes for a whole request header
// (the driver's parser takes up to 4096 bytes) and the segment after it.
constexpr size_t kSentTailBytes = 8192;

void KeepSentTail(Flow* f, const std::string& bytes) {
  f->sentTail += bytes;
  if (f->sentTail.size() > kSentTailBytes) f->sentTail.erase(0, f->sentTail.size() - kSentTailBytes);
}
}  // namespace

bool Stack::Stream(Flow* f, const Packet& p, bool inbound) {
  StreamSide& side = inbound ? f->received : f->sent;
  const bool fin = (p.tcpFlags & kTcpFin) != 0, urgent = (p.tcpFlags & kTcpUrg) != 0;
  const uint8_t* data = p.Payload();
  size_t length = p.PayloadLength();
  // Data on a SYN starts after the sequence number the SYN takes.
  uint32_t sequence = p.tcpSequence + ((p.tcpFlags & kTcpSyn) != 0 ? 1 : 0);
  uint32_t end = sequence + static_cast<uint32_t>(length);
  if (!side.known) {
    side.known = true;
    side.next = sequence;
  }
  int64_t ahead = Ahead(sequence, side.next);
  if (ahead < 0) {
    // Bytes the stream was shown before are not shown again.
    size_t old = std::min(length, static_cast<size_t>(-ahead));
    if (old != 0) {
      ++summary_.stream.retransmitted;
      summary_.stream.retransmittedBytes += old;
    }
    data += old;
    length -= old;
    sequence += static_cast<uint32_t>(old);
  } else if (ahead > 0) {
    // The capture lacks these bytes; the stream goes on after them.
    ++summary_.stream.gaps;
    summary_.stream.gapBytes += static_cast<uint64_t>(ahead);
  }
  if (Ahead(end, side.next) > 0) side.next = end;
  bool disconnect = fin && !side.finIndicated;
  if (length == 0 && !disconnect) return true;

  UINT32 flags = inbound ? FWPS_STREAM_FLAG_RECEIVE : FWPS_STREAM_FLAG_SEND;
  if (urgent) flags |= inbound ? FWPS_STREAM_FLAG_RECEIVE_EXPEDITED : FWPS_STREAM_FLAG_SEND_EXPEDITED;
  if (disconnect) {
    flags |= inbound ? FWPS_STREAM_FLAG_RECEIVE_DISCONNECT : FWPS_STREAM_FLAG_SEND_DISCONNECT;
    side.finIndicated = true;
  }
  std::string bytes(reinterpret_cast<const char*>(data), length);
  if (!inbound && HttpInspected(f)) KeepSentTail(f, bytes);
  // The verdict covers the leading countBytesEnforced bytes; the engine
  // indicates the rest again.
  for (size_t offset = 0;;) {
    size_t enforced = 0;
    streamSequence_ = sequence + static_cast<uint32_t>(offset);
    streamInbound_ = inbound;
    if (!Indicate(f, bytes.substr(offset), flags, inbound, &enforced)) return false;
    if (enforced == 0 || offset + enforced >= bytes.size()) return true;
    offset += enforced;
    ++summary_.stream.indicatedAgain;
  }
}

bool Stack::Indicate(Flow* f, const std::string& bytes, UINT32 flags, bool inbound, size_t* enforced) {
  std::vector<size_t> cuts;
  if (options_.mdlSplit != 0 && bytes.size() > options_.mdlSplit) cuts.push_back(options_.mdlSplit);
  host::stack::StreamIndication indication(Describe(f->socket, f), f->flowHandle, flags, bytes, cuts);
  MarkLoopback(indication.Event(), f, FWPS_FIELD_STREAM_V4_FLAGS);
  ++summary_.stream.indications;
  {
    std::lock_guard<std::mutex> guard(reportLock_);
    httpAnswer_.clear();
  }
  indicating_ = f;
  ClassifyResult r = Run(indication.Event(), At(f, inbound));
  indicating_ = nullptr;
  std::string answer;
  {
    std::lock_guard<std::mutex> guard(reportLock_);
    answer = httpAnswer_;
  }
  // Without the flow's context the callout is not called and the data goes on.
  if (r.called) {
    ++summary_.stream.classified;
    *enforced = indication.IoPacket().countBytesEnforced;
  }
  Verdict verdict = r.called && r.actionType == FWP_ACTION_BLOCK ? BlockedSegment(f) : Verdict::kPassed;
  summary_.StreamSegmentDone(verdict == Verdict::kDropped || verdict == Verdict::kAnswered);
  http_.SegmentDone(verdict == Verdict::kAnswered);
  switch (verdict) {
    case Verdict::kPassed:
      return true;
    case Verdict::kDropped:
      ++summary_.stream.dropped;
      Undelivered("dropped by nqwfpdrv at the stream layer");
      return true;
    case Verdict::kReplaced:
      // The injected bytes take the place of the indicated ones.
      ++summary_.stream.replaced;
      Undelivered(answer == "exempted" ? "held by nqwfpdrv and re-injected: exempted HTTP request"
                                       : "replaced by the bytes nqwfpdrv injected");
      return true;
    case Verdict::kAnswered:
      break;
  }
  Undelivered("dropped: HTTP request answered by the client (" + (answer.empty() ? std::string("reply") : answer) +
              ")");
  Answered(f);
  return false;
}

// What became of a blocked segment, by the stream injections of its classify.
Stack::Verdict Stack::BlockedSegment(const Flow* f) const {
  bool injected = false, closes = false;
  for (const host::wfp::Injection& i : lastInjections_) {
    if (i.kind != host::wfp::Injection::Stream || i.flowId != f->flowHandle) continue;
    injected = true;
    closes = closes || (i.streamFlags & FWPS_STREAM_FLAG_RECEIVE_DISCONNECT) != 0;
  }
  if (!injected) return Verdict::kDropped;
  return closes ? Verdict::kAnswered : Verdict::kReplaced;
}

// The application has the client's answer and the end of the connection:
// the connection is over, as after a reset.
void Stack::Answered(Flow* f) {
  f->answered = true;
  ++summary_.stream.answeredFlows;
  End(f);
}

}  // namespace replay
