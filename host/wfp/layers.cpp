// The filtering layers the host engine models: the nine IPv4 layers, each
// with its management key and the run-time identifier classify sees.
#include "host/wfp/engine.h"

namespace host::wfp::detail {
namespace {
const LayerInfo kLayers[] = {
    {&FWPM_LAYER_INBOUND_IPPACKET_V4, FWPS_LAYER_INBOUND_IPPACKET_V4, "FWPM_LAYER_INBOUND_IPPACKET_V4"},
    {&FWPM_LAYER_STREAM_V4, FWPS_LAYER_STREAM_V4, "FWPM_LAYER_STREAM_V4"},
    {&FWPM_LAYER_DATAGRAM_DATA_V4, FWPS_LAYER_DATAGRAM_DATA_V4, "FWPM_LAYER_DATAGRAM_DATA_V4"},
    {&FWPM_LAYER_ALE_RESOURCE_ASSIGNMENT_V4, FWPS_LAYER_ALE_RESOURCE_ASSIGNMENT_V4,
     "FWPM_LAYER_ALE_RESOURCE_ASSIGNMENT_V4"},
    {&FWPM_LAYER_ALE_AUTH_LISTEN_V4, FWPS_LAYER_ALE_AUTH_LISTEN_V4, "FWPM_LAYER_ALE_AUTH_LISTEN_V4"},
    {&FWPM_LAYER_ALE_AUTH_RECV_ACCEPT_V4, FWPS_LAYER_ALE_AUTH_RECV_ACCEPT_V4, "FWPM_LAYER_ALE_AUTH_RECV_ACCEPT_V4"},
    {&FWPM_LAYER_ALE_AUTH_CONNECT_V4, FWPS_LAYER_ALE_AUTH_CONNECT_V4, "FWPM_LAYER_ALE_AUTH_CONNECT_V4"},
    {&FWPM_LAYER_ALE_FLOW_ESTABLISHED_V4, FWPS_LAYER_ALE_FLOW_ESTABLISHED_V4, "FWPM_LAYER_ALE_FLOW_ESTABLISHED_V4"},
    {&FWPM_LAYER_ALE_RESOURCE_RELEASE_V4, FWPS_LAYER_ALE_RESOURCE_RELEASE_V4, "FWPM_LAYER_ALE_RESOURCE_RELEASE_V4"},
};
}  // namespace

const LayerInfo* FindLayer(const GUID& layerKey) {
  for (const LayerInfo& layer : kLayers)
    if (SameGuid(*layer.key, layerKey)) return &layer;
  return nullptr;
}

const LayerInfo* FindLayer(UINT16 runtimeId) {
  for (const LayerInfo& layer : kLayers)
    if (layer.runtimeId == runtimeId) return &layer;
  return nullptr;
}

UINT16 LayerIdForKey(const GUID& layerKey) {
  const LayerInfo* layer = FindLayer(layerKey);
  return layer != nullptr ? layer->runtimeId : 0xFFFF;
}

}  // namespace host::wfp::detail

namespace host::wfp {
std::string LayerName(const GUID& layerKey) {
  const detail::LayerInfo* layer = detail::FindLayer(layerKey);
  return layer != nullptr ? layer->name : "";
}
}  // namespace host::wfp
