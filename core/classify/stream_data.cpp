// TCP stream data of flows that carry a flow context: received data is
// counted, sent data is reported with a sample, or on flows under HTTP
// inspection goes through the request processing, which may have the
// segment dropped and a reply delivered, or the segment re-sent.
#include "core/classify/layer_handlers.h"
#include "core/classify/stream_inject.h"
#include "core/http/request_processing.h"

namespace {
constexpr SIZE_T kSampleSize = 250;
constexpr UINT32 kReplyStreamFlags = FWPS_STREAM_FLAG_RECEIVE | FWPS_STREAM_FLAG_RECEIVE_DISCONNECT;

struct Segment {
  const ClassifyArgs& args;
  FWPS_STREAM_CALLOUT_IO_PACKET0* ioPacket;
  FWPS_STREAM_DATA0* streamData;
  const FlowContext* flow;
  NqU32 length;
};

void ReportSent(ClientTable* client, const Segment& s, const void* data) {
  const FlowContext* f = s.flow;
  NqU32 processId = static_cast<NqU32>(f->processId);
  client->ReportPayload(1, processId, ReportedThreadId(f->processId), f->remoteAddress, f->remotePort, data,
                        s.length, 0);
  client->ReportStreamSent(processId, f->remoteAddress, f->remotePort, s.length);
}

void ReportReceived(const Segment& s) {
  if (ClientTable* client = ReadyClient())
    client->ReportStreamReceived(static_cast<NqU32>(s.flow->processId), s.flow->localAddress, s.flow->localPort,
                                 s.length);
}

// Flows without HTTP inspection: the first bytes of the segment, copied
// into this frame, with the segment's full length.
void ReportSample(const Segment& s) {
  ClientTable* client = ReadyClient();
  if (client == nullptr) return;
  UCHAR sample[kSampleSize];
  SIZE_T wanted = s.streamData->dataLength < kSampleSize ? s.streamData->dataLength : kSampleSize;
  SIZE_T copied = 0;
  FwpsCopyStreamDataToBuffer0(s.streamData, sample, wanted, &copied);
  if (copied != wanted) return;
  ReportSent(client, s, sample);
}

// The client's reply goes to the local application, followed by a
// disconnect, and the segment is dropped. Without reply bytes the segment is
// dropped behind a disconnect alone. Whatever the platform refuses lets the
// segment pass.
void DeliverReply(const Segment& s, UINT8* reply, UINT32 replyLength) {
  bool injected = reply != nullptr ? InjectStreamData(s.args, reply, replyLength, kReplyStreamFlags)
                                   : InjectReceiveDisconnect(s.args);
  if (injected) {
    BlockIndicatedSegment(s.args, s.ioPacket);
  } else if (reply != nullptr) {
    FreeNonPaged(reply);
  }
}

// Flows under HTTP inspection: a full copy of the segment goes to the
// request processing.
void InspectHttpSegment(const Segment& s, FlowContext* flow) {
  auto* copy = static_cast<UINT8*>(AllocateNonPaged(s.length));
  if (copy == nullptr) return;
  SIZE_T copied = 0;
  FwpsCopyStreamDataToBuffer0(s.streamData, copy, s.length, &copied);
  if (copied != s.length) {
    FreeNonPaged(copy);
    return;
  }
  UINT8* reply = nullptr;
  UINT32 replyLength = 0;
  UINT32 reinject = 0;
  UINT32 reportAsData = 1;
  UINT32 result = ProcessHttpData(flow, copy, s.length, &reply, &replyLength, &reinject, &reportAsData);
  bool copyInjected = false;
  if (result != 0) {
    DeliverReply(s, reply, replyLength);
  } else {
    if (reply != nullptr) FreeNonPaged(reply);
    if (reinject != 0) {
      copyInjected = InjectStreamData(s.args, copy, s.length, s.streamData->flags);
      if (copyInjected) BlockIndicatedSegment(s.args, s.ioPacket);
    }
  }
  // After an accepted re-injection the copy is the injection's; the request
  // processing never asks for a report together with one.
  if (reportAsData != 0 && !copyInjected) {
    if (ClientTable* client = ReadyClient()) ReportSent(client, s, copy);
  }
  if (!copyInjected) FreeNonPaged(copy);
}
}  // namespace

void ClassifyStreamData(const ClassifyArgs& args) {
  auto* ioPacket = static_cast<FWPS_STREAM_CALLOUT_IO_PACKET0*>(args.layerData);
  if (ioPacket == nullptr || ioPacket->streamData == nullptr) return;
  FWPS_STREAM_DATA0* streamData = ioPacket->streamData;
  // An indication without data (a FIN alone) may come without a chain.
  NET_BUFFER_LIST* chain = streamData->netBufferListChain;
  if (chain != nullptr && InjectedBySelf(gDriverState->streamInjection, chain)) return;
  if (streamData->dataLength == 0) return;
  if (streamData->flags & (FWPS_STREAM_FLAG_SEND_EXPEDITED | FWPS_STREAM_FLAG_RECEIVE_EXPEDITED)) return;
  FlowContext* flow = FlowContextFromValue(args.flowContext);
  if (flow == nullptr) return;

  Segment s{args, ioPacket, streamData, flow, static_cast<NqU32>(streamData->dataLength)};
  if ((streamData->flags & FWPS_STREAM_FLAG_SEND) == 0) {
    ReportReceived(s);
  } else if (flow->httpEnabled == 0) {
    ReportSample(s);
  } else {
    InspectHttpSegment(s, flow);
  }
}
