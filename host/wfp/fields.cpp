// The incoming values of the layers the host engine models: how many fields
// each layer has and the platform type of each field.
#include "host/wfp_classify.h"

namespace host::wfp {
namespace {

struct LayerFields {
  UINT16 layerId;
  const char* name;
  UINT32 count;
  // Fields with a type other than FWP_EMPTY; all others stay FWP_EMPTY.
  struct Typed {
    UINT32 index;
    FWP_DATA_TYPE type;
  };
  std::vector<Typed> typed;
};

// Addresses, flags, direction and interface indices are 32-bit values,
// ports 16-bit, the protocol 8-bit, the local interface a 64-bit LUID.
const std::vector<LayerFields>& Layers() {
  static const std::vector<LayerFields> layers = {
      {FWPS_LAYER_INBOUND_IPPACKET_V4, "INBOUND_IPPACKET_V4", FWPS_FIELD_INBOUND_IPPACKET_V4_MAX,
       {{0, FWP_UINT32}, {1, FWP_UINT32}, {2, FWP_UINT8}, {3, FWP_UINT64}, {4, FWP_UINT32}, {5, FWP_UINT32},
        {6, FWP_UINT32}, {7, FWP_UINT32}, {8, FWP_UINT32}}},
      {FWPS_LAYER_STREAM_V4, "STREAM_V4", FWPS_FIELD_STREAM_V4_MAX,
       {{0, FWP_UINT32}, {1, FWP_UINT8}, {2, FWP_UINT32}, {3, FWP_UINT16}, {4, FWP_UINT16}, {5, FWP_UINT32},
        {6, FWP_UINT32}}},
      {FWPS_LAYER_DATAGRAM_DATA_V4, "DATAGRAM_DATA_V4", FWPS_FIELD_DATAGRAM_DATA_V4_MAX,
       {{0, FWP_UINT8}, {1, FWP_UINT32}, {2, FWP_UINT32}, {3, FWP_UINT8}, {4, FWP_UINT16}, {5, FWP_UINT16},
        {6, FWP_UINT64}, {7, FWP_UINT32}, {8, FWP_UINT32}, {9, FWP_UINT32}, {10, FWP_UINT32}, {11, FWP_UINT32},
        {12, FWP_UINT32}}},
      {FWPS_LAYER_ALE_RESOURCE_ASSIGNMENT_V4, "ALE_RESOURCE_ASSIGNMENT_V4",
       FWPS_FIELD_ALE_RESOURCE_ASSIGNMENT_V4_MAX,
       {{2, FWP_UINT32}, {3, FWP_UINT8}, {4, FWP_UINT16}, {5, FWP_UINT8}, {6, FWP_UINT32}, {7, FWP_UINT64},
        {8, FWP_UINT32}, {9, FWP_UINT32}, {10, FWP_UINT32}}},
      {FWPS_LAYER_ALE_AUTH_LISTEN_V4, "ALE_AUTH_LISTEN_V4", FWPS_FIELD_ALE_AUTH_LISTEN_V4_MAX,
       {{2, FWP_UINT32}, {3, FWP_UINT8}, {4, FWP_UINT16}, {5, FWP_UINT64}, {6, FWP_UINT32}, {7, FWP_UINT32},
        {8, FWP_UINT32}}},
      {FWPS_LAYER_ALE_AUTH_RECV_ACCEPT_V4, "ALE_AUTH_RECV_ACCEPT_V4", FWPS_FIELD_ALE_AUTH_RECV_ACCEPT_V4_MAX,
       {{2, FWP_UINT32}, {3, FWP_UINT8}, {4, FWP_UINT16}, {5, FWP_UINT8}, {6, FWP_UINT32}, {7, FWP_UINT16},
        {10, FWP_UINT64}, {11, FWP_UINT32}, {14, FWP_UINT32}, {15, FWP_UINT32}, {16, FWP_UINT32},
        {17, FWP_UINT32}}},
      {FWPS_LAYER_ALE_AUTH_CONNECT_V4, "ALE_AUTH_CONNECT_V4", FWPS_FIELD_ALE_AUTH_CONNECT_V4_MAX,
       {{2, FWP_UINT32}, {3, FWP_UINT8}, {4, FWP_UINT16}, {5, FWP_UINT8}, {6, FWP_UINT32}, {7, FWP_UINT16},
        {10, FWP_UINT8}, {11, FWP_UINT64}, {12, FWP_UINT32}, {13, FWP_UINT32}, {14, FWP_UINT32},
        {15, FWP_UINT32}, {16, FWP_UINT32}}},
      {FWPS_LAYER_ALE_FLOW_ESTABLISHED_V4, "ALE_FLOW_ESTABLISHED_V4", FWPS_FIELD_ALE_FLOW_ESTABLISHED_V4_MAX,
       {{2, FWP_UINT32}, {3, FWP_UINT8}, {4, FWP_UINT16}, {5, FWP_UINT8}, {6, FWP_UINT32}, {7, FWP_UINT16},
        {10, FWP_UINT8}, {11, FWP_UINT64}, {12, FWP_UINT32}, {13, FWP_UINT32}, {14, FWP_UINT32},
        {15, FWP_UINT32}}},
      {FWPS_LAYER_ALE_RESOURCE_RELEASE_V4, "ALE_RESOURCE_RELEASE_V4", FWPS_FIELD_ALE_RESOURCE_RELEASE_V4_MAX,
       {{2, FWP_UINT32}, {3, FWP_UINT8}, {4, FWP_UINT16}, {5, FWP_UINT8}, {6, FWP_UINT64}, {7, FWP_UINT32}}},
  };
  return layers;
}

// The types of every layer's fields by layer id and field index, built once
// from the list above: a classify finds them without a search.
constexpr UINT16 kLayerIds = 64;
static_assert(FWPS_FIELD_ALE_AUTH_CONNECT_V4_MAX <= kMaxLayerFields &&
                  FWPS_FIELD_ALE_AUTH_RECV_ACCEPT_V4_MAX <= kMaxLayerFields,
              "an event holds every field of its layer");
struct TypeTable {
  const LayerFields* layers[kLayerIds] = {};
  FWP_DATA_TYPE types[kLayerIds][kMaxLayerFields] = {};
  TypeTable() {
    for (const LayerFields& l : Layers()) {
      layers[l.layerId] = &l;
      for (const auto& t : l.typed) types[l.layerId][t.index] = t.type;
    }
  }
};
const TypeTable& Types() {
  static const TypeTable table;
  return table;
}

const LayerFields* Find(UINT16 layerId) { return layerId < kLayerIds ? Types().layers[layerId] : nullptr; }
}  // namespace

FWP_DATA_TYPE FieldType(UINT16 layerId, UINT32 field) {
  if (Find(layerId) == nullptr || field >= kMaxLayerFields) return FWP_EMPTY;
  return Types().types[layerId][field];
}

UINT32 FieldCount(UINT16 layerId) {
  const LayerFields* l = Find(layerId);
  return l != nullptr ? l->count : 0;
}

const char* LayerName(UINT16 layerId) {
  const LayerFields* l = Find(layerId);
  return l != nullptr ? l->name : "UNKNOWN";
}

}  // namespace host::wfp
