#include "host/kernel/state.h"
#include "host/stack.h"

namespace host::stack {
using wfp::ClassifyEvent;

ClassifyEvent BindEvent(const Socket& s) {
  ClassifyEvent e(FWPS_LAYER_ALE_RESOURCE_ASSIGNMENT_V4);
  e.Set(FWPS_FIELD_ALE_RESOURCE_ASSIGNMENT_V4_IP_PROTOCOL, s.protocol)
      .Set(FWPS_FIELD_ALE_RESOURCE_ASSIGNMENT_V4_IP_LOCAL_ADDRESS, s.localAddress)
      .Set(FWPS_FIELD_ALE_RESOURCE_ASSIGNMENT_V4_IP_LOCAL_PORT, s.localPort)
      .ProcessId(s.processId)
      .EndpointHandle(s.endpointHandle);
  return e;
}

ClassifyEvent ListenEvent(const Socket& s) {
  ClassifyEvent e(FWPS_LAYER_ALE_AUTH_LISTEN_V4);
  e.Set(FWPS_FIELD_ALE_AUTH_LISTEN_V4_IP_LOCAL_ADDRESS, s.localAddress)
      .Set(FWPS_FIELD_ALE_AUTH_LISTEN_V4_IP_LOCAL_PORT, s.localPort)
      .ProcessId(s.processId)
      .EndpointHandle(s.endpointHandle);
  return e;
}

ClassifyEvent ConnectEvent(const Socket& s, NET_BUFFER_LIST* packet) {
  ClassifyEvent e(FWPS_LAYER_ALE_AUTH_CONNECT_V4);
  e.Set(FWPS_FIELD_ALE_AUTH_CONNECT_V4_IP_PROTOCOL, s.protocol)
      .Set(FWPS_FIELD_ALE_AUTH_CONNECT_V4_IP_LOCAL_ADDRESS, s.localAddress)
      .Set(FWPS_FIELD_ALE_AUTH_CONNECT_V4_IP_LOCAL_PORT, s.localPort)
      .Set(FWPS_FIELD_ALE_AUTH_CONNECT_V4_IP_REMOTE_ADDRESS, s.remoteAddress)
      .Set(FWPS_FIELD_ALE_AUTH_CONNECT_V4_IP_REMOTE_PORT, s.remotePort)
      .Set(FWPS_FIELD_ALE_AUTH_CONNECT_V4_INTERFACE_INDEX, s.interfaceIndex)
      .Set(FWPS_FIELD_ALE_AUTH_CONNECT_V4_SUB_INTERFACE_INDEX, s.subInterfaceIndex)
      .ProcessId(s.processId)
      .EndpointHandle(s.endpointHandle)
      .Direction(FWP_DIRECTION_OUTBOUND);
  e.meta.compartmentId = s.compartmentId;
  e.meta.currentMetadataValues |= FWPS_METADATA_FIELD_COMPARTMENT_ID | FWPS_METADATA_FIELD_REMOTE_SCOPE_ID;
  e.layerData = packet;
  return e;
}

ClassifyEvent AcceptEvent(const Socket& s, NET_BUFFER_LIST* packet, UINT32 ipHeaderSize, UINT32 transportHeaderSize) {
  ClassifyEvent e(FWPS_LAYER_ALE_AUTH_RECV_ACCEPT_V4);
  e.Set(FWPS_FIELD_ALE_AUTH_RECV_ACCEPT_V4_IP_PROTOCOL, s.protocol)
      .Set(FWPS_FIELD_ALE_AUTH_RECV_ACCEPT_V4_IP_LOCAL_ADDRESS, s.localAddress)
      .Set(FWPS_FIELD_ALE_AUTH_RECV_ACCEPT_V4_IP_LOCAL_PORT, s.localPort)
      .Set(FWPS_FIELD_ALE_AUTH_RECV_ACCEPT_V4_IP_REMOTE_ADDRESS, s.remoteAddress)
      .Set(FWPS_FIELD_ALE_AUTH_RECV_ACCEPT_V4_IP_REMOTE_PORT, s.remotePort)
      .Set(FWPS_FIELD_ALE_AUTH_RECV_ACCEPT_V4_INTERFACE_INDEX, s.interfaceIndex)
      .Set(FWPS_FIELD_ALE_AUTH_RECV_ACCEPT_V4_SUB_INTERFACE_INDEX, s.subInterfaceIndex)
      .ProcessId(s.processId)
      .EndpointHandle(s.endpointHandle)
      .HeaderSizes(ipHeaderSize, transportHeaderSize)
      .Direction(FWP_DIRECTION_INBOUND);
  e.meta.compartmentId = s.compartmentId;
  e.meta.currentMetadataValues |= FWPS_METADATA_FIELD_COMPARTMENT_ID;
  e.layerData = packet;
  return e;
}

ClassifyEvent FlowEstablishedEvent(const Socket& s, FWP_DIRECTION direction, UINT64 flowHandle) {
  ClassifyEvent e(FWPS_LAYER_ALE_FLOW_ESTABLISHED_V4);
  e.Set(FWPS_FIELD_ALE_FLOW_ESTABLISHED_V4_IP_PROTOCOL, s.protocol)
      .Set(FWPS_FIELD_ALE_FLOW_ESTABLISHED_V4_IP_LOCAL_ADDRESS, s.localAddress)
      .Set(FWPS_FIELD_ALE_FLOW_ESTABLISHED_V4_IP_LOCAL_PORT, s.localPort)
      .Set(FWPS_FIELD_ALE_FLOW_ESTABLISHED_V4_IP_REMOTE_ADDRESS, s.remoteAddress)
      .Set(FWPS_FIELD_ALE_FLOW_ESTABLISHED_V4_IP_REMOTE_PORT, s.remotePort)
      .Set(FWPS_FIELD_ALE_FLOW_ESTABLISHED_V4_DIRECTION, direction)
      .ProcessId(s.processId)
      .EndpointHandle(s.endpointHandle)
      .FlowHandle(flowHandle);
  return e;
}

ClassifyEvent DatagramEvent(const Socket& s, FWP_DIRECTION direction, NET_BUFFER_LIST* datagrams) {
  ClassifyEvent e(FWPS_LAYER_DATAGRAM_DATA_V4);
  e.Set(FWPS_FIELD_DATAGRAM_DATA_V4_IP_PROTOCOL, s.protocol)
      .Set(FWPS_FIELD_DATAGRAM_DATA_V4_IP_LOCAL_ADDRESS, s.localAddress)
      .Set(FWPS_FIELD_DATAGRAM_DATA_V4_IP_LOCAL_PORT, s.localPort)
      .Set(FWPS_FIELD_DATAGRAM_DATA_V4_IP_REMOTE_ADDRESS, s.remoteAddress)
      .Set(FWPS_FIELD_DATAGRAM_DATA_V4_IP_REMOTE_PORT, s.remotePort)
      .Set(FWPS_FIELD_DATAGRAM_DATA_V4_DIRECTION, direction)
      .Set(FWPS_FIELD_DATAGRAM_DATA_V4_INTERFACE_INDEX, s.interfaceIndex)
      .EndpointHandle(s.endpointHandle)
      .Direction(direction);
  e.layerData = datagrams;
  return e;
}

ClassifyEvent ReleaseEvent(const Socket& s) {
  ClassifyEvent e(FWPS_LAYER_ALE_RESOURCE_RELEASE_V4);
  e.Set(FWPS_FIELD_ALE_RESOURCE_RELEASE_V4_IP_PROTOCOL, s.protocol)
      .Set(FWPS_FIELD_ALE_RESOURCE_RELEASE_V4_IP_LOCAL_ADDRESS, s.localAddress)
      .Set(FWPS_FIELD_ALE_RESOURCE_RELEASE_V4_IP_LOCAL_PORT, s.localPort)
      .ProcessId(s.processId)
      .EndpointHandle(s.endpointHandle);
  return e;
}

namespace {
bool Permits(FWP_ACTION_TYPE action) { return action != FWP_ACTION_BLOCK; }
}  // namespace

Authorization Authorize(const ClassifyFn& classify, const Socket& s, const ClassifyEvent& event) {
  auto& self = host::detail::CurrentThread();
  uint64_t savedProcess = self.processId, savedThread = self.threadId;
  self.processId = s.processId;
  self.threadId = s.threadId;
  Authorization a;
  a.first = classify(event);
  self.processId = savedProcess;
  self.threadId = savedThread;
  a.pended = a.first.pended;
  if (!a.pended) {
    a.permitted = Permits(a.first.actionType);
    return a;
  }
  a.reauthorized = wfp::WaitReauthorized(a.first.completionHandle, &a.reauthorization);
  a.permitted = a.reauthorized && Permits(a.reauthorization.result.actionType);
  if (!a.reauthorized) verifier::Report("PEND_NEVER_COMPLETED", "a pended operation was not completed in time");
  return a;
}

ConnectOutcome Connect(const ClassifyFn& classify, const Socket& s, NET_BUFFER_LIST* firstPacket) {
  ConnectOutcome outcome;
  outcome.bind = Authorize(classify, s, BindEvent(s));
  if (!outcome.bind.permitted) return outcome;
  outcome.connect = Authorize(classify, s, ConnectEvent(s, firstPacket));
  return outcome;
}

}  // namespace host::stack
